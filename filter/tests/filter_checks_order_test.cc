// The costly checks (history, breached-password service) run last and only
// for passwords every rule accepted.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "filter/exports.h"
#include "server/server_initialisation.h"
#include "testing/private_resolver.h"
#include "testing/test_domain.h"

namespace zefa {
namespace {

// A loopback listener that counts connections and closes each at once.
class ConnectionCounter {
 public:
  ConnectionCounter() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(fd_, 16);
    thread_ = std::thread([this] {
      for (;;) {
        const int client = accept(fd_, nullptr, nullptr);
        if (client < 0 || stop_) break;
        ++count_;
        close(client);
      }
    });
  }
  ~ConnectionCounter() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  int port() const { return port_; }
  int count() const { return count_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::atomic<int> count_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

ZEFA_UNICODE_STRING Counted(Text& text) {
  return ZEFA_UNICODE_STRING{static_cast<uint16_t>(text.size() * sizeof(WChar)),
                             static_cast<uint16_t>(text.size() * sizeof(WChar)), text.data()};
}

TEST(FilterCheckOrder, OnlyAcceptedPasswordsReachTheBreachService) {
  testing::TestDomain domain;
  ConnectionCounter service;
  const std::string url = "https://127.0.0.1:" + std::to_string(service.port());
  setenv("CLAVORA_PWNED_URL", url.c_str(), 1);
  domain.SetPolicy(1, "Enabled", "1");
  domain.SetPolicy(1, "UserGroups", "Staff");
  domain.SetPolicy(1, "MinLength", "10");
  domain.SetPolicy(1, "PwnedEnabled", "1");
  SetUserLookupForTesting([](const Text& name, UserRecord& user) {
    user.AccountName = name;
    user.GroupNames = ZT("Staff;");
  });
  ASSERT_EQ(ServerInitialisation(), 1);
  auto filter = [](const char* password, bool reset) {
    Text account = ZT("jdoe"), full, secret = testing::T(password);
    ZEFA_UNICODE_STRING a = Counted(account), f = Counted(full), p = Counted(secret);
    return PasswordFilter(&a, &f, &p, reset ? 1 : 0) != 0;
  };
  EXPECT_FALSE(filter("short", false));
  EXPECT_EQ(service.count(), 0) << "a failing password makes no request";
  EXPECT_TRUE(filter("long enough password", true));
  EXPECT_EQ(service.count(), 0) << "resets are not looked up";
  EXPECT_TRUE(filter("long enough password", false)) << "an unusable service lets it pass";
  EXPECT_EQ(service.count(), 1);
  const std::string log = testing::ReadFileText(domain.log_file());
  EXPECT_NE(log.find("\tWarning\tPwnedCheck "), std::string::npos) << log;
  unsetenv("CLAVORA_PWNED_URL");
}

// A name server that never answers (private namespaces, see
// testing/private_resolver.h): the change is neither held up nor refused,
// and the log says why the service was not asked.
TEST(FilterDeadNameServer, APwnedCheckedChangePassesWithoutWaiting) {
  const std::string why = testing::PrivateResolverUnavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  const std::string folder = testing::NewTempFolder("resolver");
  const int status =
      testing::RunInPrivateResolver(folder, "InsideDeadNameServer.PasswordFilter", "silent");
  std::filesystem::remove_all(folder);
  EXPECT_EQ(status, 0) << "the filter calls inside the private namespaces failed (output above)";
}

TEST(InsideDeadNameServer, PasswordFilter) {
  if (testing::PrivateResolverMode().empty())
    GTEST_SKIP() << "runs only inside the private namespaces (FilterDeadNameServer starts it)";
  testing::LocalNameServer silent;
  ASSERT_TRUE(silent.bound());
  testing::TestDomain domain;
  setenv("CLAVORA_PWNED_URL", "https://range.breach.test", 1);
  domain.SetPolicy(1, "Enabled", "1");
  domain.SetPolicy(1, "UserGroups", "Staff");
  domain.SetPolicy(1, "MinLength", "10");
  domain.SetPolicy(1, "PwnedEnabled", "1");
  SetUserLookupForTesting([](const Text& name, UserRecord& user) {
    user.AccountName = name;
    user.GroupNames = ZT("Staff;");
  });
  ASSERT_EQ(ServerInitialisation(), 1);
  Text account = ZT("jdoe"), full, secret = ZT("long enough password");
  ZEFA_UNICODE_STRING a = Counted(account), f = Counted(full), p = Counted(secret);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(PasswordFilter(&a, &f, &p, 0), 0);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  // Far above the lookup's bound, far below the resolver's own timeouts; the
  // figure itself: bench/dead_name_server_bench.cc.
  EXPECT_LT(ms, 2000);
  std::printf("PasswordFilter with PwnedEnabled, silent name server: %.0f ms\n", ms);
  EXPECT_TRUE(silent.HasUnreadQuery());
  const std::string log = testing::ReadFileText(domain.log_file());
  EXPECT_NE(log.find("\tWarning\tPwnedCheck Max retries exceeded\r\n"), std::string::npos) << log;
  unsetenv("CLAVORA_PWNED_URL");
}

}  // namespace
}  // namespace zefa
