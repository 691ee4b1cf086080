// Directory servers that stop answering, for the tests of the time bounds:
// real sockets (a local ldapi socket or a TCP port on loopback) that accept
// connections and read every request but never answer. In front of a real
// domain controller's ldapi socket, the server passes requests through and
// goes silent on a connection from its first request of a chosen kind on.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zefa::testing {

// LDAP protocol operations (the application tag of the request).
constexpr unsigned char kLdapBindRequest = 0x60;
constexpr unsigned char kLdapSearchRequest = 0x63;
constexpr unsigned char kLdapModifyRequest = 0x66;
constexpr unsigned char kLdapAddRequest = 0x68;
constexpr unsigned char kLdapExtendedRequest = 0x77;

class SilentDirectory {
 public:
  // A local socket at `path` that never answers.
  static SilentDirectory Local(const std::string& path) {
    return SilentDirectory(path, "", nullptr);
  }

  // A loopback TCP port that never answers (port() tells which).
  static SilentDirectory Tcp(const std::string& ip = "127.0.0.1") {
    return SilentDirectory("", ip, nullptr);
  }

  // A local socket at `path` that passes everything on to the ldapi socket
  // `upstream` until a connection sends a request whose operation is in
  // `silent_from`; from then on that connection gets no answers (and its
  // requests go nowhere). An empty set passes everything on.
  static SilentDirectory InFrontOf(const std::string& path, const std::string& upstream,
                                   std::set<unsigned char> silent_from) {
    SilentDirectory server(path, "", nullptr);
    server.upstream_ = upstream;
    server.silent_from_ = [silent_from](unsigned char operation, const std::string&) {
      return silent_from.count(operation) != 0;
    };
    return server;
  }

  // The same, silent from the first request whose encoding holds `bytes`
  // (a name or value in its filter, say).
  static SilentDirectory InFrontOf(const std::string& path, const std::string& upstream,
                                   const std::string& bytes) {
    SilentDirectory server(path, "", nullptr);
    server.upstream_ = upstream;
    server.silent_from_ = [bytes](unsigned char, const std::string& message) {
      return message.find(bytes) != std::string::npos;
    };
    return server;
  }

  SilentDirectory(SilentDirectory&& other) noexcept { *this = std::move(other); }
  SilentDirectory& operator=(SilentDirectory&& other) noexcept {
    std::swap(listener_, other.listener_);
    std::swap(stop_[0], other.stop_[0]);
    std::swap(stop_[1], other.stop_[1]);
    std::swap(path_, other.path_);
    std::swap(upstream_, other.upstream_);
    std::swap(silent_from_, other.silent_from_);
    std::swap(port_, other.port_);
    std::swap(state_, other.state_);
    return *this;
  }
  SilentDirectory(const SilentDirectory&) = delete;
  SilentDirectory& operator=(const SilentDirectory&) = delete;

  ~SilentDirectory() { Stop(); }

  // Starts accepting; before this, connections wait in the backlog (a
  // local socket) or the path does not exist yet (see Local).
  void Start() {
    state_->acceptor = std::thread([this, state = state_.get(), listener = listener_,
                                    stop = stop_[0]] { AcceptLoop(state, listener, stop); });
  }

  void Stop() {
    if (!state_) return;
    if (stop_[1] >= 0) {
      if (write(stop_[1], "x", 1) < 0) {
      }
    }
    if (state_->acceptor.joinable()) state_->acceptor.join();
    std::vector<std::thread> connections;
    {
      std::lock_guard<std::mutex> guard(state_->lock);
      connections.swap(state_->connections);
    }
    for (std::thread& thread : connections) thread.join();
    for (int* fd : {&listener_, &stop_[0], &stop_[1]}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    if (!path_.empty()) unlink(path_.c_str());
    state_.reset();
  }

  int port() const { return port_; }

  // Requests that got no answer (held back), over all connections.
  int silenced_requests() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->silenced;
  }
  int connections_accepted() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->accepted;
  }

  // Waits until at least `count` requests went unanswered; false after
  // `seconds`.
  bool WaitForSilencedRequests(int count, int seconds = 30) {
    std::unique_lock<std::mutex> guard(state_->lock);
    return state_->changed.wait_for(guard, std::chrono::seconds(seconds),
                                    [&] { return state_->silenced >= count; });
  }

 private:
  struct State {
    mutable std::mutex lock;
    std::condition_variable changed;
    std::thread acceptor;
    std::vector<std::thread> connections;
    int silenced = 0;
    int accepted = 0;
  };

  SilentDirectory(const std::string& path, const std::string& ip, std::nullptr_t)
      : path_(path), state_(std::make_unique<State>()) {
    if (pipe(stop_) != 0) stop_[0] = stop_[1] = -1;
    if (!path.empty()) {
      listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
      unlink(path.c_str());
      if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
          listen(listener_, 64) != 0) {
        close(listener_);
        listener_ = -1;
      }
      return;
    }
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 64) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      close(listener_);
      listener_ = -1;
      return;
    }
    port_ = ntohs(address.sin_port);
  }

  void AcceptLoop(State* state, int listener, int stop) {
    for (;;) {
      pollfd waits[2] = {{listener, POLLIN, 0}, {stop, POLLIN, 0}};
      if (poll(waits, 2, -1) < 0) continue;
      if (waits[1].revents != 0) return;
      const int client = accept(listener, nullptr, nullptr);
      if (client < 0) continue;
      std::lock_guard<std::mutex> guard(state->lock);
      ++state->accepted;
      state->connections.emplace_back([this, state, client, stop] { Serve(state, client, stop); });
    }
  }

  static int ConnectUpstream(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  // The length of the first whole LDAP message in `buffer` (0 when it is
  // not complete yet) and its operation tag.
  static size_t WholeMessage(const std::string& buffer, unsigned char& operation) {
    if (buffer.size() < 2) return 0;
    size_t at = 1;
    size_t length = static_cast<unsigned char>(buffer[at++]);
    if (length & 0x80) {
      const size_t bytes = length & 0x7F;
      if (buffer.size() < at + bytes) return 0;
      length = 0;
      for (size_t i = 0; i < bytes; ++i)
        length = length << 8 | static_cast<unsigned char>(buffer[at++]);
    }
    const size_t total = at + length;
    if (buffer.size() < total) return 0;
    // messageID: INTEGER tag, short length, value; then the operation.
    const size_t id_length = static_cast<unsigned char>(buffer[at + 1]);
    operation = static_cast<unsigned char>(buffer[at + 2 + id_length]);
    return total;
  }

  void Serve(State* state, int client, int stop) {
    int upstream = upstream_.empty() ? -1 : ConnectUpstream(upstream_);
    bool silent = upstream < 0;
    std::string pending;
    char chunk[65536];
    for (;;) {
      pollfd waits[3] = {{client, POLLIN, 0}, {stop, POLLIN, 0}, {upstream, POLLIN, 0}};
      if (poll(waits, upstream >= 0 ? 3 : 2, -1) < 0) continue;
      if (waits[1].revents != 0) break;
      if (upstream >= 0 && waits[2].revents != 0) {
        const ssize_t n = read(upstream, chunk, sizeof chunk);
        if (n <= 0) break;
        if (!silent && write(client, chunk, static_cast<size_t>(n)) != n) break;
      }
      if (waits[0].revents == 0) continue;
      const ssize_t n = read(client, chunk, sizeof chunk);
      if (n <= 0) break;
      pending.append(chunk, static_cast<size_t>(n));
      unsigned char operation = 0;
      for (size_t length; (length = WholeMessage(pending, operation)) != 0;
           pending.erase(0, length)) {
        if (!silent && silent_from_ && silent_from_(operation, pending.substr(0, length))) {
          silent = true;
        }
        if (silent) {
          // An abandon (0x50) or unbind (0x42) expects no answer anyway.
          if (operation != 0x50 && operation != 0x42) {
            std::lock_guard<std::mutex> guard(state->lock);
            ++state->silenced;
            state->changed.notify_all();
          }
          continue;
        }
        if (write(upstream, pending.data(), length) != static_cast<ssize_t>(length)) break;
      }
    }
    if (upstream >= 0) close(upstream);
    close(client);
  }

  int listener_ = -1;
  int stop_[2] = {-1, -1};
  std::string path_;
  std::string upstream_;
  std::function<bool(unsigned char, const std::string&)> silent_from_;
  int port_ = 0;
  std::unique_ptr<State> state_;
};

// "ldapi://" + the path with its slashes escaped.
inline std::string LdapiUriOf(const std::string& path) {
  std::string uri = "ldapi://";
  for (char c : path) uri += c == '/' ? std::string("%2F") : std::string(1, c);
  return uri;
}

}  // namespace zefa::testing
