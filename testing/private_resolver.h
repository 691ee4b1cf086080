// A name server the tests control: private mount and network namespaces
// (root only) in which /etc/resolv.conf names 127.0.0.1, where a UDP socket
// of the test either never answers or answers late. Nothing leaves the
// machine: the private network namespace has only its own loopback.
//
// Tests run a part of their own program inside: RunInPrivateResolver forks,
// moves the child into the namespaces and starts this program again there
// with a test filter and CLAVORA_PRIVATE_RESOLVER set; the inner tests skip
// when that variable is absent. A benchmark program may enter the
// namespaces itself at the start of main (EnterPrivateResolver).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zefa::testing {

inline constexpr const char* kPrivateResolverVariable = "CLAVORA_PRIVATE_RESOLVER";

// Why the namespaces cannot be made here; empty when they can.
inline std::string PrivateResolverUnavailable() {
  if (geteuid() != 0) return "needs root for private mount and network namespaces";
  const pid_t probe = fork();
  if (probe == 0) _exit(unshare(CLONE_NEWNS | CLONE_NEWNET) == 0 ? 0 : 1);
  int status = 0;
  if (probe < 0 || waitpid(probe, &status, 0) != probe || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return "this system refuses private mount and network namespaces";
  }
  return "";
}

// Writes resolv.conf, hosts and nsswitch.conf for the namespaces into
// `folder` (which must exist).
inline void WritePrivateResolverFiles(const std::string& folder) {
  std::ofstream(folder + "/resolv.conf") << "nameserver 127.0.0.1\n";
  // The machine's own name stays resolvable, as on a domain controller.
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  std::ofstream(folder + "/hosts") << "127.0.0.1 localhost\n127.0.1.1 " << name << "\n";
  std::ofstream(folder + "/nsswitch.conf") << "hosts: files dns\n";
}

// Moves the calling process into new mount and network namespaces where
// /etc/resolv.conf, /etc/hosts and /etc/nsswitch.conf are the files of
// `folder` and the loopback interface is up. Only system calls on the
// prepared paths, so a freshly forked child of a threaded program may call
// it. False on any failure.
inline bool EnterPrivateResolver(const char* resolv_conf, const char* hosts, const char* nsswitch) {
  if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return false;
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  if (mount(resolv_conf, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) return false;
  if (mount(hosts, "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) return false;
  if (mount(nsswitch, "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) != 0) return false;
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(s, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP | IFF_RUNNING;
  up = up && ioctl(s, SIOCSIFFLAGS, &request) == 0;
  close(s);
  return up;
}

// Runs this test program again inside the namespaces with only the tests of
// `filter`; `mode` is passed in CLAVORA_PRIVATE_RESOLVER. The inner run's
// output goes to this program's output. Returns its exit status (0: all
// inner tests passed), or -1 when it could not be started.
inline int RunInPrivateResolver(const std::string& folder, const std::string& filter,
                                const std::string& mode) {
  WritePrivateResolverFiles(folder);
  const std::string resolv = folder + "/resolv.conf", hosts = folder + "/hosts",
                    nsswitch = folder + "/nsswitch.conf";
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string filter_argument = "--gtest_filter=" + filter;
  std::vector<char*> argv{self.data(), filter_argument.data(), nullptr};
  std::vector<std::string> variables;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, kPrivateResolverVariable, std::strlen(kPrivateResolverVariable)) != 0 &&
        std::strncmp(*e, "GTEST_", 6) != 0) {
      variables.emplace_back(*e);
    }
  }
  variables.push_back(std::string(kPrivateResolverVariable) + "=" + mode);
  std::vector<char*> envp;
  for (std::string& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);

  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (!EnterPrivateResolver(resolv.c_str(), hosts.c_str(), nsswitch.c_str())) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (child < 0) return -1;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The mode the inner run was started with; empty outside the namespaces.
inline std::string PrivateResolverMode() {
  const char* mode = getenv(kPrivateResolverVariable);
  return mode != nullptr ? mode : "";
}

// The name server on 127.0.0.1:53 inside the namespaces. Silent: a bound
// socket that never reads or answers. Late: answers every query after
// `delay` (A queries with 127.0.0.1, others with no records).
class LocalNameServer {
 public:
  explicit LocalNameServer(std::chrono::milliseconds delay = std::chrono::milliseconds(-1))
      : delay_(delay) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (bound_ && delay_.count() >= 0) thread_ = std::thread([this] { Serve(); });
  }
  ~LocalNameServer() {
    stop_ = true;
    if (thread_.joinable()) {
      shutdown(fd_, SHUT_RDWR);
      thread_.join();
    }
    if (fd_ >= 0) close(fd_);
  }
  LocalNameServer(const LocalNameServer&) = delete;
  LocalNameServer& operator=(const LocalNameServer&) = delete;

  bool bound() const { return bound_; }
  int answered() const { return answered_; }
  int received() const { return received_; }
  // A silent server's unread queries.
  bool HasUnreadQuery() const {
    char byte;
    return recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) >= 0;
  }

 private:
  struct Query {
    std::string packet;
    sockaddr_in from;
    std::chrono::steady_clock::time_point due;
  };

  void Serve() {
    std::vector<Query> pending;
    timeval tick{0, 20000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    while (!stop_) {
      char buffer[512];
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t n =
          recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (n >= 12) {
        ++received_;
        pending.push_back(
            {std::string(buffer, n), from, std::chrono::steady_clock::now() + delay_});
      }
      const auto now = std::chrono::steady_clock::now();
      for (auto it = pending.begin(); it != pending.end();) {
        if (it->due > now) {
          ++it;
          continue;
        }
        const std::string answer = Answer(it->packet);
        sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&it->from),
               sizeof it->from);
        ++answered_;
        it = pending.erase(it);
      }
    }
  }

  // The query's header and question, marked as a response; one A record of
  // 127.0.0.1 for an A question.
  static std::string Answer(const std::string& query) {
    size_t end = 12;
    while (end < query.size() && query[end] != 0) end += 1 + static_cast<unsigned char>(query[end]);
    end += 5;  // the root label, type and class
    if (end > query.size()) return {};
    std::string answer = query.substr(0, end);
    answer[2] = static_cast<char>(0x80 | (query[2] & 0x01));  // QR, RD as asked
    answer[3] = static_cast<char>(0x80);                      // RA, no error
    answer[4] = 0, answer[5] = 1;                             // one question
    const bool a_record = query[end - 4] == 0 && query[end - 3] == 1;
    answer[6] = 0, answer[7] = a_record ? 1 : 0;
    for (int i = 8; i < 12; ++i) answer[i] = 0;
    if (a_record) {
      static const unsigned char kRecord[] = {0xC0, 0x0C, 0, 1, 0,   1, 0, 0,
                                              0,    60,   0, 4, 127, 0, 0, 1};
      answer.append(reinterpret_cast<const char*>(kRecord), sizeof kRecord);
    }
    return answer;
  }

  int fd_ = -1;
  bool bound_ = false;
  std::chrono::milliseconds delay_;
  std::atomic<bool> stop_{false};
  std::atomic<int> received_{0}, answered_{0};
  std::thread thread_;
};

// Threads of this process (entries of /proc/self/task).
inline int ThreadCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++count;
  return count;
}

}  // namespace zefa::testing
