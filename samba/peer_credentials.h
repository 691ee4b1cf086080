// Who is on the other end of a Unix socket, as the kernel recorded it at
// connect time (SO_PEERCRED, SO_PEERGROUPS), and what that peer may do:
// root and the host's own user everything, a member of the configured group
// only ask checks.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zefa::host {

struct PeerIdentity {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups
};

struct AccessRule {
  uid_t host_uid = 0;
  bool group_allowed = false;
  gid_t group = 0;
};

// False when the kernel did not say.
bool ReadPeerIdentity(int fd, PeerIdentity& peer);

// Root, the host's own user, and (with a group configured) its members.
bool PeerAllowed(const PeerIdentity& peer, const AccessRule& rule);

// Root or the host's own user: these alone may send change notifications,
// and their checks are not limited in rate. A group member may only ask
// checks.
bool PeerTrusted(const PeerIdentity& peer, const AccessRule& rule);

// Whether a socket's folder (the folder part of `socket_path`, links
// followed) can be trusted: owned by root or `owner`, and writable by no one
// else (no write permission for others, nor for a group other than root's),
// so no one else can put a socket of their own in its place. False with
// `why` set otherwise, or when the folder cannot be examined.
bool SocketFolderTrusted(const std::string& socket_path, uid_t owner, std::string& why);

// Whether the process listening on a connected Unix socket (the credentials
// the kernel recorded when it began to listen) is root, this process's own
// user or `host_uid`. False with `why` set otherwise.
bool ListenerTrusted(int fd, uid_t host_uid, std::string& why);

// The id of a user given by name or number. False when it does not exist.
bool LookupUser(const std::string& name, uid_t& uid);

// The id of a group given by name or number. False when it does not exist.
bool LookupGroup(const std::string& name, gid_t& gid);

}  // namespace zefa::host
