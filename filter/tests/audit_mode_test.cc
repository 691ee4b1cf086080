// A policy set in audit mode: its checks run and are logged as they would be
// when enforced, but a failing password is accepted.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "filter/exports.h"
#include "filter/password_filter.h"
#include "policy/policies.h"
#include "server/reload_policies.h"
#include "server/server_initialisation.h"
#include "testing/test_domain.h"

namespace zefa {
namespace {

using testing::T;

// A datagram socket standing in for the system log, which receives the events.
class EventReceiver {
 public:
  explicit EventReceiver(const std::string& path)
      : path_(path), fd_(socket(AF_UNIX, SOCK_DGRAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval timeout{0, 200000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setenv("CLAVORA_SYSLOG_SOCKET", path.c_str(), 1);
  }
  ~EventReceiver() {
    unsetenv("CLAVORA_SYSLOG_SOCKET");
    close(fd_);
    unlink(path_.c_str());
  }
  bool bound() const { return bound_; }
  // Every record received so far, one per line.
  std::string Drain() {
    std::string all;
    char buffer[8192];
    ssize_t got;
    while ((got = recv(fd_, buffer, sizeof buffer, 0)) > 0) all.append(buffer, size_t(got)) += "\n";
    return all;
  }

 private:
  std::string path_;
  int fd_;
  bool bound_ = false;
};

class AuditModeTest : public ::testing::Test {
 protected:
  testing::TestDomain domain;

  void SetUp() override {
    domain.SetPolicy(1, "Enabled", "1");
    domain.SetPolicy(1, "UserGroups", "Pilot");
    domain.SetPolicy(1, "MinLength", "14");
    domain.SetPolicy(1, "AuditOnly", "1");
    domain.SetPolicy(2, "Enabled", "1");
    domain.SetPolicy(2, "UserGroups", "Engineers");
    domain.SetPolicy(2, "MinLength", "8");
    SetUserLookupForTesting([](const Text& name, UserRecord& user) {
      if (name != ZT("alice") && name != ZT("paul")) return;
      user.AccountName = name;
      user.PrincipalName = name + ZT("@example.test");
      user.DisplayName = ZT("Test User");
      user.GroupNames =
          name == ZT("paul") ? ZT("Pilot;Domain Users;") : ZT("Engineers;Domain Users;");
    });
  }

  FilterVerdict Check(const std::string& account, const std::string& password, bool reset = false) {
    const Text a = T(account), p = T(password), f;
    return CheckPassword(FilterRequest{&a, &f, &p, reset}).Verdict;
  }

  std::string Log() { return testing::ReadFileText(domain.log_file()); }
};

TEST_F(AuditModeTest, FailingPasswordIsAcceptedAndLoggedAsAudit) {
  EventReceiver events(domain.root() + "/events.sock");
  ASSERT_TRUE(events.bound());
  ASSERT_EQ(ServerInitialisation(), 1);
  events.Drain();

  EXPECT_EQ(Check("paul", "short-pw"), FilterVerdict::AuditDenied);
  const std::string log = Log();
  const std::string message =
      "Requested password for user paul (paul@example.test; Test User) was not accepted because "
      "it did not meet these requirements: | -Must be at least 14 characters long";
  EXPECT_NE(log.find("\tInfo paul\tPolicy set 1 would deny the password (audit only)\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\tPassword Audit\t" + message + "\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Password Denied"), std::string::npos) << log;
  EXPECT_EQ(log.find("short-pw"), std::string::npos) << "no password in the log";
  const std::string recorded = events.Drain();
  EXPECT_NE(recorded.find("[event 2 information] (audit only) " + message), std::string::npos)
      << recorded;

  // The exported entry point accepts it; a passing password leaves no line.
  Text a = ZT("paul"), p = ZT("short-pw"), f;
  ZEFA_UNICODE_STRING ua{uint16_t(a.size() * 2), uint16_t(a.size() * 2), a.data()};
  ZEFA_UNICODE_STRING up{uint16_t(p.size() * 2), uint16_t(p.size() * 2), p.data()};
  ZEFA_UNICODE_STRING uf{0, 0, f.data()};
  EXPECT_TRUE(PasswordFilter(&ua, &uf, &up, 0));
  const std::string before = Log();
  EXPECT_EQ(Check("paul", "long-enough-password"), FilterVerdict::Accepted);
  EXPECT_EQ(Log(), before);
}

TEST_F(AuditModeTest, EnforcedSetStillDenies) {
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_EQ(Check("alice", "short"), FilterVerdict::Denied);
  const Text a = ZT("alice"), p = ZT("short"), f;
  EXPECT_FALSE(RunPasswordFilter(FilterRequest{&a, &f, &p, false}));
  const std::string log = Log();
  EXPECT_NE(log.find("\tInfo alice\tPolicy set 2 denied the password\r\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("\tPassword Denied\tRequested password for user alice (alice@example.test; "
                     "Test User) was not accepted because it did not meet these requirements: | "
                     "-Must be at least 8 characters long\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Password Audit"), std::string::npos) << log;

  // Switching audit mode off makes the same set enforce; on, it stops.
  domain.SetPolicy(1, "AuditOnly", "0");
  testing::TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(ReloadPolicies(), 1);
  EXPECT_EQ(Check("paul", "short-pw"), FilterVerdict::Denied);
  domain.SetPolicy(2, "AuditOnly", "1");
  testing::TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(ReloadPolicies(), 1);
  EXPECT_EQ(Check("alice", "short"), FilterVerdict::AuditDenied);
}

TEST_F(AuditModeTest, ResetsWithoutValidationStaySkipped) {
  domain.SetPolicy(1, "NoValidateOnReset", "1");
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_EQ(Check("paul", "x", true), FilterVerdict::Accepted);
  EXPECT_EQ(Log().find("Password Audit"), std::string::npos);
}

}  // namespace
}  // namespace zefa
