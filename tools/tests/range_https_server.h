// A range-interface server for the sync tests: HTTPS on loopback with
// OpenSSL, keep-alive connections each on a thread of its own, answers
// computed by a function of the prefix. Counts requests and remembers the
// User-Agent values it saw.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zefa::store::test_support {

class RangeHttpsServer {
 public:
  // `answer` gets the request path ("/range/ABCDE?mode=ntlm") and returns
  // the body, or sets `status` to something other than 200.
  using Answer = std::function<std::string(const std::string& path, int& status)>;

  RangeHttpsServer(const std::string& cert, const std::string& key, Answer answer)
      : answer_(std::move(answer)) {
    // A client killed in the middle of a transfer (as the resume test does)
    // must cost the server a failed write, not the test program.
    signal(SIGPIPE, SIG_IGN);
    context_ = SSL_CTX_new(TLS_server_method());
    if (context_ == nullptr || SSL_CTX_use_certificate_chain_file(context_, cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context_, key.c_str(), SSL_FILETYPE_PEM) != 1) {
      return;
    }
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 128) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }

  ~RangeHttpsServer() {
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& connection : connections_) connection.join();
    if (listener_ >= 0) close(listener_);
    if (context_ != nullptr) SSL_CTX_free(context_);
  }

  int port() const { return port_; }
  uint64_t requests() const { return requests_; }
  std::set<std::string> user_agents() {
    std::lock_guard<std::mutex> lock(mutex_);
    return user_agents_;
  }

 private:
  void AcceptLoop() {
    while (!stopping_) {
      pollfd waiting{listener_, POLLIN, 0};
      if (poll(&waiting, 1, 100) <= 0) continue;
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      connections_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Serve(int fd) {
    SSL* ssl = SSL_new(context_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      std::string pending;
      char buffer[16384];
      while (!stopping_) {
        const size_t end = pending.find("\r\n\r\n");
        if (end == std::string::npos) {
          pollfd waiting{fd, POLLIN, 0};
          if (SSL_pending(ssl) == 0 && poll(&waiting, 1, 100) <= 0) continue;
          const int got = SSL_read(ssl, buffer, sizeof buffer);
          if (got <= 0) break;
          pending.append(buffer, static_cast<size_t>(got));
          continue;
        }
        const std::string head = pending.substr(0, end);
        pending.erase(0, end + 4);
        const size_t first_space = head.find(' ');
        const size_t second_space = head.find(' ', first_space + 1);
        const std::string path = head.substr(first_space + 1, second_space - first_space - 1);
        const size_t agent = head.find("\r\nUser-Agent: ");
        if (agent != std::string::npos) {
          const size_t from = agent + 14;
          std::lock_guard<std::mutex> lock(mutex_);
          user_agents_.insert(head.substr(from, head.find("\r\n", from) - from));
        }
        ++requests_;
        int status = 200;
        const std::string body = answer_(path, status);
        const std::string reply =
            "HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Error") +
            "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\n\r\n" + body;
        if (SSL_write(ssl, reply.data(), static_cast<int>(reply.size())) <= 0) break;
      }
    }
    SSL_free(ssl);
    close(fd);
  }

  Answer answer_;
  SSL_CTX* context_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> requests_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::vector<std::thread> connections_;
  std::set<std::string> user_agents_;
};

}  // namespace zefa::store::test_support
