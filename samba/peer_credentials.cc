#include "samba/peer_credentials.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

bool PeerTrusted(const PeerIdentity& peer, const AccessRule& rule) {
  return peer.uid == 0 || peer.uid == rule.host_uid;
}

bool PeerAllowed(const PeerIdentity& peer, const AccessRule& rule) {
  if (PeerTrusted(peer, rule)) return true;
  if (!rule.group_allowed) return false;
  return peer.gid == rule.group ||
         std::find(peer.groups.begin(), peer.groups.end(), rule.group) != peer.groups.end();
}

bool SocketFolderTrusted(const std::string& socket_path, uid_t owner, std::string& why) {
  const size_t slash = socket_path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : socket_path.substr(0, slash);
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) {
    why = "cannot examine the socket's folder " + folder + ": " + strerror(errno);
    return false;
  }
  char mode[8];
  snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  if (info.st_uid != 0 && info.st_uid != owner) {
    why = "the socket's folder " + folder + " belongs to uid " + std::to_string(info.st_uid) +
          ", not to root or the host's user";
    return false;
  }
  if ((info.st_mode & S_IWOTH) != 0 || ((info.st_mode & S_IWGRP) != 0 && info.st_gid != 0)) {
    why = "the socket's folder " + folder + " is writable by others (mode " + mode + ")";
    return false;
  }
  return true;
}

bool ListenerTrusted(int fd, uid_t host_uid, std::string& why) {
  PeerIdentity listener;
  if (!ReadPeerIdentity(fd, listener)) {
    why = "the listening process's credentials are unknown";
    return false;
  }
  if (listener.uid == 0 || listener.uid == geteuid() || listener.uid == host_uid) return true;
  why = "the process listening on the socket (pid " + std::to_string(listener.pid) +
        ") runs as uid " + std::to_string(listener.uid) + ", not as root or the host's user";
  return false;
}

bool LookupUser(const std::string& name, uid_t& uid) {
  if (name.empty()) return false;
  if (name.find_first_not_of("0123456789") == std::string::npos && name.size() < 10) {
    uid = static_cast<uid_t>(std::strtoul(name.c_str(), nullptr, 10));
    return true;
  }
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> scratch(16384);
  if (getpwnam_r(name.c_str(), &entry, scratch.data(), scratch.size(), &found) != 0 ||
      found == nullptr)
    return false;
  uid = found->pw_uid;
  return true;
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
