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

#include "samba/connection_pool.h"
#include "samba/check_rate.h"
#include "samba/frame_io.h"
#include "samba/host_log.h"
#include "samba/secure_buffer.h"

namespace zefa::host {

namespace {

constexpr int kAnswerTimeoutMs = 2000;

// One connection being served. Idle: waiting for the first byte of a
// request (since idle_since_ms); a connection that is idle may be closed to
// make room for a new client.
struct Connection {
  int fd = -1;
  bool idle = false;
  bool evicted = false;
  int64_t idle_since_ms = 0;
};

struct Connections {
  std::mutex lock;  // guards the fields below
  std::condition_variable changed;
  std::vector<Connection> open;  // the connections being served
};

struct Host {
  HostSettings settings;
  AccessRule access;
  FilterLibrary library;
  ChangeWatcher watcher;
  Connections connections;
  ConnectionPool pool;
  CheckRate group_checks;  // the rate of each group member's checks
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> evicted{0};
};

Connection* FindConnection(Connections& connections, int fd) {
  for (Connection& connection : connections.open)
    if (connection.fd == fd) return &connection;
  return nullptr;
}

// Marks the connection idle (waiting for a request) or busy. False when it
// was closed to make room for another client meanwhile.
bool MarkConnection(Host& host, int fd, bool idle) {
  std::lock_guard<std::mutex> guard(host.connections.lock);
  Connection* connection = FindConnection(host.connections, fd);
  if (connection == nullptr || connection->evicted) return false;
  connection->idle = idle;
  if (idle) connection->idle_since_ms = MonotonicMs();
  return true;
}

// Waits for the first byte of the next request: true when one is there (or
// the peer closed: the read tells), false when none came within `idle_ms`.
bool WaitForRequest(int fd, int idle_ms) {
  const int64_t deadline = MonotonicMs() + idle_ms;
  for (;;) {
    const int64_t left = deadline - MonotonicMs();
    if (left <= 0) return false;
    pollfd entry{fd, POLLIN, 0};
    const int rc = poll(&entry, 1, static_cast<int>(left));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return true;  // the read reports the error
  }
}

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

// A check asked by a member of the host's group: within its rate, and
// logged with its uid whatever the verdict, so that probing shows.
Answer AnswerGroupMemberCheck(Host& host, RequestContext& context, const PeerIdentity& peer,
                              const CheckRequest& request) {
  const std::string account =
      Printable(TextToUtf8(Text(request.account.units, request.account.length)));
  if (!TakeCheck(host.group_checks, peer.uid, MonotonicMs())) {
    HostLog("check of %s by uid %u (pid %d) refused: more than %d checks a second", account.c_str(),
            static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid),
            host.group_checks.per_second);
    return {kErrorRateLimited, "too many checks: a member of the host's group may ask at most " +
                                   std::to_string(host.group_checks.per_second) +
                                   " checks a second"};
  }
  const Answer answer = AnswerCheck(context, request);
  HostLog("check of %s by uid %u (pid %d): %s", account.c_str(), static_cast<unsigned>(peer.uid),
          static_cast<int>(peer.pid), KindName(answer.kind));
  return answer;
}

// One request from a well-formed frame. False when the connection must end.
bool ServeRequest(Host& host, int fd, const PeerIdentity& peer, const FrameHeader& header,
                  uint8_t* payload) {
  RequestContext context{&host.library, &host.watcher};
  const bool trusted = PeerTrusted(peer, host.access);
  std::string error;
  Answer answer;
  switch (header.kind) {
    case kCheckPassword: {
      CheckRequest request;
      if (!DecodeCheckRequest(payload, header.payload_bytes, request, error)) break;
      answer = trusted ? AnswerCheck(context, request)
                       : AnswerGroupMemberCheck(host, context, peer, request);
      break;
    }
    case kChangeNotify: {
      NotifyRequest request;
      if (!DecodeNotifyRequest(payload, header.payload_bytes, request, error)) break;
      if (!trusted) {
        // A notification records a password as the account's new one (log,
        // history, hand-off file, notify program): only the host's own side
        // may claim that a change happened.
        HostLog(
            "refused change notification for %s from uid %u (pid %d): only root and the "
            "host's user may send them",
            Printable(TextToUtf8(Text(request.account.units, request.account.length))).c_str(),
            static_cast<unsigned>(peer.uid), static_cast<int>(peer.pid));
        ++host.requests;
        SendFinalAnswer(fd, kErrorDenied,
                        "access denied: only root or the host's own user may send change "
                        "notifications");
        return false;
      }
      answer = AnswerNotify(context, request);
      break;
    }
    case kPing:
      if (header.payload_bytes != 0) {
        error = "a ping has no payload";
        break;
      }
      answer = LibraryInitialised(host.library)
                   ? Answer{kDone, "zefa-host ready"}
                   : Answer{kStarting,
                            "zefa-host is starting: the filter library has not "
                            "finished its initialisation"};
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
  if (answer.kind >= kErrorMalformed) {  // an error answer ends the connection
    SendFinalAnswer(fd, answer.kind, answer.message);
    return false;
  }
  SendAnswer(fd, answer.kind, answer.message);
  return true;
}

// Serves one connection in the worker's `payload` buffer (locked at start).
void ServeConnection(Host& host, int fd, uint8_t* payload, size_t capacity) {
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
  for (;;) {
    // Idle until a request begins: the connection's slot may go to a new
    // client then, and after the idle time the connection is closed.
    if (!MarkConnection(host, fd, true)) return;
    const bool request_begun = WaitForRequest(fd, host.settings.idle_timeout_ms);
    if (!MarkConnection(host, fd, false)) return;  // closed for another client
    if (!request_begun) {
      HostLogVerbose("client pid %d sent no request within %d ms; closed",
                     static_cast<int>(peer.pid), host.settings.idle_timeout_ms);
      return;
    }
    FrameHeader header;
    const ReadStatus status =
        ReadFrame(fd, host.settings.request_timeout_ms, host.settings.request_timeout_ms, header,
                  payload, capacity);
    bool go_on = false;
    switch (status) {
      case ReadStatus::kOk:
        go_on = ServeRequest(host, fd, peer, header, payload);
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
        SendFinalAnswer(fd, kErrorTooLarge,
                        "a request may have at most " + std::to_string(kMaxPayload) + " bytes");
        break;
    }
    // Whatever arrived (a password, or part of one) is wiped at once.
    WipeBytes(payload, capacity);
    if (!go_on) return;
  }
}

void ConnectionWork(Host* host, int fd, uint8_t* payload, size_t capacity) {
  ServeConnection(*host, fd, payload, capacity);
  Connections& connections = host->connections;
  {
    std::lock_guard<std::mutex> guard(connections.lock);
    std::erase_if(connections.open, [fd](const Connection& c) { return c.fd == fd; });
    close(fd);
  }
  connections.changed.notify_all();
}

// Hands the connection to the next free worker of the pool (there is one
// for every slot).
bool StartConnection(Host& host, int fd) {
  Connections& connections = host.connections;
  {
    std::lock_guard<std::mutex> guard(connections.lock);
    connections.open.push_back(Connection{fd, false, false, 0});
  }
  HandOverConnection(host.pool, fd);
  return true;
}

bool HasFreeSlot(Host& host) {
  std::lock_guard<std::mutex> guard(host.connections.lock);
  return host.connections.open.size() < static_cast<size_t>(host.settings.max_clients);
}

// With every slot taken: closes the connection that has waited longest for
// a request, so a new client gets its slot at once. False when every
// connection is in the middle of a request.
bool EvictIdleConnection(Host& host) {
  std::lock_guard<std::mutex> guard(host.connections.lock);
  Connection* oldest = nullptr;
  for (Connection& connection : host.connections.open) {
    if (!connection.idle || connection.evicted) continue;
    if (oldest == nullptr || connection.idle_since_ms < oldest->idle_since_ms) oldest = &connection;
  }
  if (oldest == nullptr) return false;
  oldest->evicted = true;
  shutdown(oldest->fd, SHUT_RDWR);  // wakes its thread, which ends the connection
  ++host.evicted;
  return true;
}

// Waits up to `ms` for a connection to end.
void WaitForSlot(Host& host, int ms) {
  std::unique_lock<std::mutex> guard(host.connections.lock);
  host.connections.changed.wait_for(guard, std::chrono::milliseconds(ms), [&] {
    return host.connections.open.size() < static_cast<size_t>(host.settings.max_clients);
  });
}

// Tells systemd that the service is ready once the library has initialised
// (so that a DC ordered after the host starts only then), and logs it.
void ReportReadiness(Host& host, bool& reported) {
  if (reported || !LibraryInitialised(host.library)) return;
  reported = true;
  HostLog("the filter library is initialised; checking passwords");
  NotifyServiceManager("READY=1\nSTATUS=checking passwords");
}

// Accepts until a stop signal arrives. With every slot taken, a new client
// takes the slot of the longest idle connection; while every connection is
// in the middle of a request, new clients wait in the listen queue.
void AcceptLoop(Host& host, int listener, int signals) {
  bool ready_reported = false;
  for (;;) {
    ReportReadiness(host, ready_reported);
    const bool free_slot = HasFreeSlot(host);
    pollfd entries[2] = {{signals, POLLIN, 0}, {listener, POLLIN, 0}};
    const int wait_ms = !free_slot ? 20 : ready_reported ? -1 : 100;
    const int rc = poll(entries, 2, wait_ms);
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
    if (!(entries[1].revents & POLLIN)) continue;
    if (!free_slot) {
      if (EvictIdleConnection(host))
        WaitForSlot(host, 100);
      else
        WaitForSlot(host, 20);
      continue;
    }
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
  for (const Connection& connection : connections.open) shutdown(connection.fd, SHUT_RD);
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
  struct stat now {};
  if (lstat(path.c_str(), &now) == 0 && now.st_ino == bound.st_ino && now.st_dev == bound.st_dev)
    unlink(path.c_str());
}

}  // namespace

int RunHost(const HostSettings& settings) {
  SetLogVerbose(settings.verbose);
  HardenProcess();
  const int signals = BlockStopSignals();
  if (signals < 0) {
    HostLog("cannot set up signal handling: %s", strerror(errno));
    return 1;
  }
  static Host* host = new Host;  // lives until exit: the library's threads may still refer to it
  host->settings = settings;
  host->access.host_uid = geteuid();
  host->group_checks.per_second = settings.group_checks_per_second;
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
  struct stat bound {};
  lstat(settings.socket_path.c_str(), &bound);
  if (!LoadFilterLibrary(settings.library, host->library, error)) {
    HostLog("cannot load the filter library %s: %s", settings.library.c_str(), error.c_str());
    RemoveSocketFile(settings.socket_path, bound);
    return 1;
  }
  host->library.initialize();
  host->watcher.settings.poll_ms = settings.confirm_poll_ms;
  host->watcher.settings.max_age_ms = settings.confirm_max_age_ms;
  host->watcher.settings.max_pending = static_cast<size_t>(settings.confirm_max_pending);
  FilterLibrary* library = &host->library;
  if (library->password_stamps == nullptr)
    HostLog("the filter library has no ZefaPasswordStamps; accepted changes cannot be confirmed");
  host->watcher.read_stamps = [library](std::vector<StampQuery>& queries) {
    return ReadStampsFromLibrary(*library, queries);
  };
  host->watcher.dropped = [library](const PendingChange& change, DropReason reason) {
    if (library->change_dropped == nullptr) return;
    ZEFA_UNICODE_STRING account =
        CountedText(const_cast<char16_t*>(change.account.data()), change.account.size());
    const uint32_t code = reason == DropReason::kNotConfirmed ? ZEFA_DROP_NOT_CONFIRMED
                          : reason == DropReason::kListFull   ? ZEFA_DROP_LIST_FULL
                                                              : ZEFA_DROP_TOO_OLD;
    library->change_dropped(&account, code);
  };
  host->watcher.notify = [library](const PendingChange& change, uint32_t relative_id) {
    ZEFA_UNICODE_STRING account =
        CountedText(const_cast<char16_t*>(change.account.data()), change.account.size());
    ZEFA_UNICODE_STRING password =
        CountedText(reinterpret_cast<char16_t*>(change.password.data), change.password_length);
    library->change_notify(&account, relative_id, &password);
  };
  if (!StartChangeWatcher(host->watcher)) HostLog("cannot start the change watcher");
  Host* served = host;
  if (!StartConnectionPool(
          host->pool, settings.max_clients, kMaxPayload,
          [served](int fd, uint8_t* payload, size_t capacity) {
            ConnectionWork(served, fd, payload, capacity);
          },
          error)) {
    HostLog("%s", error.c_str());
    StopChangeWatcher(host->watcher);
    RemoveSocketFile(settings.socket_path, bound);
    return 1;
  }
  if (!host->pool.region.locked) {
    HostLogVerbose(
        "the connection buffers could not be locked into memory (%s); passwords may be "
        "swapped out",
        strerror(host->pool.region.lock_error));
  }
  HostLog("serving on %s with %s (pid %d, at most %d connections)", settings.socket_path.c_str(),
          settings.library.c_str(), static_cast<int>(getpid()), settings.max_clients);
  if (!LibraryInitialised(host->library)) {
    HostLog(
        "the filter library is initialising; until then every check is answered with "
        "\"zefa-host is starting\"");
    NotifyServiceManager("STATUS=waiting for the filter library to initialise");
  }

  AcceptLoop(*host, listener, signals);

  NotifyServiceManager("STOPPING=1");
  close(listener);
  RemoveSocketFile(settings.socket_path, bound);
  EndConnections(*host);
  StopConnectionPool(host->pool);
  const size_t dropped = StopChangeWatcher(host->watcher);
  const WatchCounters counters = Counters(host->watcher);
  HostLog(
      "%llu requests served, %llu idle connections closed for new clients; changes "
      "confirmed %llu, not seen %llu, too old %llu, crowded out %llu, dropped at stop %zu",
      static_cast<unsigned long long>(host->requests.load()),
      static_cast<unsigned long long>(host->evicted.load()),
      static_cast<unsigned long long>(counters.confirmed),
      static_cast<unsigned long long>(counters.expired),
      static_cast<unsigned long long>(counters.too_old),
      static_cast<unsigned long long>(counters.crowded_out), dropped);
  // Unloading runs the library's detach: its worker is stopped and its
  // locks freed, as when the security authority ends.
  const bool unloaded = UnloadFilterLibrary(host->library);
  HostLog(unloaded ? "library unloaded; stopped"
                   : "library stays mapped until exit (its detach runs then); stopped");
  close(signals);
  return 0;
}

}  // namespace zefa::host
