// The host's listening Unix socket.
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "samba/host_server.h"
#include "samba/peer_credentials.h"

namespace zefa::host {

namespace {

bool FillAddress(const std::string& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// Creates the socket's folder when it is missing (one level, mode 0755: the
// socket's own mode and the peer check guard the socket, the folder's
// owner and mode are checked before it is used).
void EnsureFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  const std::string folder = path.substr(0, slash);
  struct stat info {};
  if (stat(folder.c_str(), &info) == 0) return;
  mkdir(folder.c_str(), 0755);
}

// True when a server answers on the socket file at `path`.
bool SomeoneListens(const sockaddr_un& address) {
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  const bool answered =
      connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return answered;
}

}  // namespace

int OpenListeningSocket(const std::string& path, bool group_allowed, unsigned group,
                        std::string& error) {
  sockaddr_un address;
  if (!FillAddress(path, address)) {
    error = "socket path too long: " + path;
    return -1;
  }
  EnsureFolder(path);
  // Whoever may write into the folder could put a socket of their own in
  // the host's place and receive the hook's passwords.
  std::string why;
  if (!SocketFolderTrusted(path, geteuid(), why)) {
    error = why + "; zefa-host does not listen there";
    return -1;
  }
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      error = path + " exists and is not a socket";
      return -1;
    }
    if (SomeoneListens(address)) {
      error = "another host already answers on " + path;
      return -1;
    }
    unlink(path.c_str());  // left behind by a host that ended
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + strerror(errno);
    return -1;
  }
  // Created without any access for others, so there is no moment in which
  // anyone but the owner could connect.
  const mode_t old_mask = umask(0177);
  const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bind_errno = errno;
  umask(old_mask);
  if (bound != 0) {
    error = "bind " + path + ": " + strerror(bind_errno);
    close(fd);
    return -1;
  }
  if (group_allowed &&
      (chown(path.c_str(), static_cast<uid_t>(-1), group) != 0 || chmod(path.c_str(), 0660) != 0)) {
    error = "cannot give " + path + " to the group: " + strerror(errno);
    unlink(path.c_str());
    close(fd);
    return -1;
  }
  if (listen(fd, 128) != 0) {
    error = std::string("listen: ") + strerror(errno);
    unlink(path.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace zefa::host
