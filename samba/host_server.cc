#include "samba/host_server.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "samba/frame_io.h"
#include "samba/host_log.h"
#include "samba/secure_buffer.h"

namespace zefa::host {

namespace {

constexpr int kAnswerTimeoutMs = 2000;

struct Connections {
  std::mutex lock;  // guards the fields below
  std::condition_variable changed;
  std::vector<int> open;  // descriptors of the connections being served
};

struct Host {
  HostSettings settings;
  AccessRule access;
  FilterLibrary library;
  ChangeWatcher watcher;
  Connections connections;
  std::atomic<uint64_t> requests{0};
};

// Tells systemd (Type=notify) about the service's state, when it asks.
void NotifyServiceManager(const char* state) {
  const char* path = getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = strlen(path);
  if (length >= sizeof address.sun_path) return;
  memcpy(address.sun_path, path, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // abstract namespace
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
  close(fd);
}

void SendAnswer(int fd, uint8_t kind, const std::string& message) {
  const std::string frame = EncodeAnswer(kind, message);
  WriteAll(fd, frame.data(), frame.size(), kAnswerTimeoutMs);
}

// Ends a connection after an error answer: the client may still be sending
// its request, and closing a socket with unread data would make it lose the
// answer (the kernel resets the connection). So the rest of its input is
// read and thrown away, for a short time at most, and wiped.
void SendFinalAnswer(int fd, uint8_t kind, const std::string& message) {
  SendAnswer(fd, kind, message);
  shutdown(fd, SHUT_WR);
  uint8_t discard[4096];
  size_t total = 0;
  for (int round = 0; round < 20 && total < 4 * kMaxPayload; ++round) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, 10) <= 0) break;
    const ssize_t n = recv(fd, discard, sizeof discard, MSG_DONTWAIT);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  WipeBytes(discard, sizeof discard);
}

// One request from a well-formed frame. False when the connection must end.
bool ServeRequest(Host& host, int fd, const FrameHeader& header, uint8_t* payload) {
  RequestContext context{&host.library, &host.watcher, ReadAccountStamps};
  std::string error;
  Answer answer;
  switch (header.kind) {
    case kCheckPassword: {
      CheckRequest request;
      if (!DecodeCheckRequest(payload, header.payload_bytes, request, error)) break;
      answer = AnswerCheck(context, request);
      break;
    }
    case kChangeNotify: {
      NotifyRequest request;
      if (!DecodeNotifyRequest(payload, header.payload_bytes, request, error)) break;
      answer = AnswerNotify(context, request);
      break;
    }
    case kPing:
      if (header.payload_bytes != 0) {
        error = "a ping has no payload";
        break;
      }
      answer = {kDone, "zefa-host ready"};
      break;
    default: {
      char text[64];
      snprintf(text, sizeof text, "unknown request kind 0x%02x", header.kind);
      error = text;
    }
  }
  ++host.requests;
  if (!error.empty()) {
    HostLog("malformed request: %s", error.c_str());
    SendFinalAnswer(fd, kErrorMalformed, "malformed request: " + error);
    return false;
  }
  SendAnswer(fd, answer.kind, answer.message);
  return true;
}

void ServeConnection(Host& host, int fd) {
  PeerIdentity peer;
  if (!ReadPeerIdentity(fd, peer)) {
    HostLog("connection without peer credentials refused");
    SendFinalAnswer(fd, kErrorDenied, "access denied: the peer's credentials are unknown");
    return;
  }
  if (!PeerAllowed(peer, host.access)) {
    HostLog("refused connection of uid %u gid %u (pid %d)", static_cast<unsigned>(peer.uid),
            static_cast<unsigned>(peer.gid), static_cast<int>(peer.pid));
    SendFinalAnswer(fd, kErrorDenied,
                    "access denied: only root or members of the host's group may use zefa-host");
    return;
  }
  SecureBuffer payload;
  if (!AllocateSecureBuffer(payload, kMaxPayload)) {
    HostLog("no memory for a connection");
    SendFinalAnswer(fd, kErrorUnavailable, "the host is out of memory");
    return;
  }
  for (;;) {
    FrameHeader header;
    const ReadStatus status = ReadFrame(fd, host.settings.idle_timeout_ms,
                                        host.settings.request_timeout_ms, header, payload.data,
                                        payload.capacity);
    bool go_on = false;
    switch (status) {
      case ReadStatus::kOk:
        go_on = ServeRequest(host, fd, header, payload.data);
        break;
      case ReadStatus::kClosed:
      case ReadStatus::kIdle:
      case ReadStatus::kError:
        break;
      case ReadStatus::kDisconnected:
        HostLog("client pid %d disconnected mid-request", static_cast<int>(peer.pid));
        break;
      case ReadStatus::kTimeout:
        HostLog("client pid %d: %s", static_cast<int>(peer.pid), ReadStatusText(status));
        SendFinalAnswer(fd, kErrorTimeout, ReadStatusText(status));
        break;
      case ReadStatus::kBadMagic:
      case ReadStatus::kBadVersion:
        HostLog("client pid %d sent garbage: %s", static_cast<int>(peer.pid),
                ReadStatusText(status));
        SendFinalAnswer(fd, kErrorMalformed, ReadStatusText(status));
        break;
      case ReadStatus::kTooLarge:
        HostLog("client pid %d: %s", static_cast<int>(peer.pid), ReadStatusText(status));
        SendFinalAnswer(fd, kErrorTooLarge, "a request may have at most " +
                                           std::to_string(kMaxPayload) + " bytes");
        break;
    }
    // Whatever arrived (a password, or part of one) is wiped at once.
    WipeSecureBuffer(payload, payload.capacity);
    if (!go_on) return;
  }
}

void ConnectionThread(Host* host, int fd) {
  ServeConnection(*host, fd);
  Connections& connections = host->connections;
  {
    std::lock_guard<std::mutex> guard(connections.lock);
    connections.open.erase(std::find(connections.open.begin(), connections.open.end(), fd));
    close(fd);
  }
  connections.changed.notify_all();
}

// Hands the connection to a thread of its own. False when none could start.
bool StartConnection(Host& host, int fd) {
  Connections& connections = host.connections;
  {
    std::lock_guard<std::mutex> guard(connections.lock);
    connections.open.push_back(fd);
  }
  try {
    std::thread(ConnectionThread, &host, fd).detach();
    return true;
  } catch (...) {
    std::lock_guard<std::mutex> guard(connections.lock);
    connections.open.pop_back();
    return false;
  }
}

bool HasFreeSlot(Host& host) {
  std::lock_guard<std::mutex> guard(host.connections.lock);
  return host.connections.open.size() < static_cast<size_t>(host.settings.max_clients);
}

// Accepts until a stop signal arrives. With every slot taken, new clients
// wait in the listen queue.
void AcceptLoop(Host& host, int listener, int signals) {
  for (;;) {
    const bool free_slot = HasFreeSlot(host);
    pollfd entries[2] = {{signals, POLLIN, 0}, {listener, POLLIN, 0}};
    const int rc = poll(entries, free_slot ? 2 : 1, free_slot ? -1 : 20);
    if (rc < 0 && errno != EINTR) {
      HostLog("poll failed: %s", strerror(errno));
      return;
    }
    if (entries[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (read(signals, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) {
          HostLog("%s received; stopping", info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT");
          return;
        }
      }
      continue;
    }
    if (!free_slot || !(entries[1].revents & POLLIN)) continue;
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
        HostLog("accept failed: %s", strerror(errno));
      if (errno == EMFILE || errno == ENFILE) usleep(50000);
      continue;
    }
    if (!StartConnection(host, fd)) {
      HostLog("no thread for a connection");
      SendFinalAnswer(fd, kErrorUnavailable, "the host cannot serve more connections now");
      close(fd);
    }
  }
}

// Wakes connections that wait for a request and waits for every connection
// to end; requests in progress are finished and answered first.
void EndConnections(Host& host) {
  Connections& connections = host.connections;
  std::unique_lock<std::mutex> guard(connections.lock);
  for (int fd : connections.open) shutdown(fd, SHUT_RD);
  connections.changed.wait(guard, [&] { return connections.open.empty(); });
}

int BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  // Blocked before any thread starts, so every thread (the library's worker
  // too) leaves them to the signal descriptor.
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

void RemoveSocketFile(const std::string& path, const struct stat& bound) {
  struct stat now{};
  if (lstat(path.c_str(), &now) == 0 && now.st_ino == bound.st_ino && now.st_dev == bound.st_dev)
    unlink(path.c_str());
}

}  // namespace

void HardenProcess() {
  const rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  signal(SIGPIPE, SIG_IGN);
}

int RunHost(const HostSettings& settings) {
  SetLogVerbose(settings.verbose);
  HardenProcess();
  const int signals = BlockStopSignals();
  if (signals < 0) {
    HostLog("cannot set up signal handling: %s", strerror(errno));
    return 1;
  }
  static Host* host = new Host;  // lives until exit: detached threads may still refer to it
  host->settings = settings;
  host->access.host_uid = geteuid();
  if (!settings.group.empty()) {
    gid_t gid = 0;
    if (!LookupGroup(settings.group, gid)) {
      HostLog("unknown group %s", settings.group.c_str());
      return 1;
    }
    host->access.group_allowed = true;
    host->access.group = gid;
  }
  std::string error;
  const int listener = OpenListeningSocket(settings.socket_path, host->access.group_allowed,
                                           host->access.group, error);
  if (listener < 0) {
    HostLog("%s", error.c_str());
    return 1;
  }
  struct stat bound{};
  lstat(settings.socket_path.c_str(), &bound);
  if (!LoadFilterLibrary(settings.library, host->library, error)) {
    HostLog("cannot load the filter library %s: %s", settings.library.c_str(), error.c_str());
    RemoveSocketFile(settings.socket_path, bound);
    return 1;
  }
  host->library.initialize();
  host->watcher.settings.poll_ms = settings.confirm_poll_ms;
  host->watcher.settings.window_ms = settings.confirm_window_ms;
  host->watcher.read_stamps = ReadAccountStamps;
  FilterLibrary* library = &host->library;
  host->watcher.notify = [library](const PendingChange& change, uint32_t relative_id) {
    ZEFA_UNICODE_STRING account = CountedText(const_cast<char16_t*>(change.account.data()),
                                              change.account.size());
    ZEFA_UNICODE_STRING password = CountedText(
        reinterpret_cast<char16_t*>(change.password.data), change.password_length);
    library->change_notify(&account, relative_id, &password);
  };
  if (!StartChangeWatcher(host->watcher)) HostLog("cannot start the change watcher");
  HostLog("serving on %s with %s (pid %d, at most %d connections)",
          settings.socket_path.c_str(), settings.library.c_str(), static_cast<int>(getpid()),
          settings.max_clients);
  NotifyServiceManager("READY=1");

  AcceptLoop(*host, listener, signals);

  NotifyServiceManager("STOPPING=1");
  close(listener);
  RemoveSocketFile(settings.socket_path, bound);
  EndConnections(*host);
  const size_t dropped = StopChangeWatcher(host->watcher);
  CloseStampConnections();
  const WatchCounters counters = Counters(host->watcher);
  HostLog("%llu requests served; changes confirmed %llu, expired %llu, dropped at stop %zu",
          static_cast<unsigned long long>(host->requests.load()),
          static_cast<unsigned long long>(counters.confirmed),
          static_cast<unsigned long long>(counters.expired), dropped);
  // Unloading runs the library's detach: its worker is stopped and its
  // locks freed, as when the security authority ends.
  const bool unloaded = UnloadFilterLibrary(host->library);
  HostLog(unloaded ? "library unloaded; stopped"
                   : "library stays mapped until exit (its detach runs then); stopped");
  close(signals);
  return 0;
}

}  // namespace zefa::host
