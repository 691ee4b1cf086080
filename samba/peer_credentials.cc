#include "samba/peer_credentials.h"

#include <errno.h>
#include <grp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>

namespace zefa::host {

bool ReadPeerIdentity(int fd, PeerIdentity& peer) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials)
    return false;
  peer.pid = credentials.pid;
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;
  peer.groups.clear();
#ifdef SO_PEERGROUPS
  std::vector<gid_t> groups(64);
  for (int attempt = 0; attempt < 4; ++attempt) {
    socklen_t bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
      groups.resize(bytes / sizeof(gid_t));
      peer.groups = std::move(groups);
      break;
    }
    if (errno != ERANGE) break;  // an old kernel: only the primary group counts
    groups.resize(bytes / sizeof(gid_t) + 1);
  }
#endif
  return true;
}

bool PeerAllowed(const PeerIdentity& peer, const AccessRule& rule) {
  if (peer.uid == 0 || peer.uid == rule.host_uid) return true;
  if (!rule.group_allowed) return false;
  return peer.gid == rule.group ||
         std::find(peer.groups.begin(), peer.groups.end(), rule.group) != peer.groups.end();
}

bool LookupGroup(const std::string& name, gid_t& gid) {
  if (name.empty()) return false;
  if (name.find_first_not_of("0123456789") == std::string::npos && name.size() < 10) {
    gid = static_cast<gid_t>(std::strtoul(name.c_str(), nullptr, 10));
    return true;
  }
  group entry{};
  group* found = nullptr;
  std::vector<char> scratch(16384);
  if (getgrnam_r(name.c_str(), &entry, scratch.data(), scratch.size(), &found) != 0 ||
      found == nullptr)
    return false;
  gid = found->gr_gid;
  return true;
}

}  // namespace zefa::host
