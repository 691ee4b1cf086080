// Who is on the other end of a Unix socket, as the kernel recorded it at
// connect time (SO_PEERCRED, SO_PEERGROUPS), and whether that peer may use
// the host: root, the host's own user, or a member of the configured group.
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

bool PeerAllowed(const PeerIdentity& peer, const AccessRule& rule);

// The id of a group given by name or number. False when it does not exist.
bool LookupGroup(const std::string& name, gid_t& gid);

}  // namespace zefa::host
