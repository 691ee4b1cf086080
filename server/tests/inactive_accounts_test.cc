// The inactive-account pass against a real domain controller. Other test
// processes share the directory, so the tests create accounts of their own
// with unique names and look only at those (and at the fixture accounts the
// pass must never touch).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <climits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "logging/log.h"
#include "server/inactive_accounts.h"
#include "testing/test_dc.h"
#include "platform/directory.h"

namespace zefa {
namespace {

constexpr int64_t kDay = 864000000000;  // 100-ns units

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

int64_t DirectoryNow() {
  const auto since_1970 = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return 116444736000000000 + since_1970.count() * 10;
}

class InactiveAccountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_DC();
    domain_ = std::make_unique<testing::TestDomain>();
    testing::UseTestDc();
    log_ = domain_->root() + "/test.log";
    SetLogFilePath(testing::T(log_));
    handle_ = platform::DirectoryOpen();
    ASSERT_NE(handle_, nullptr);
    std::vector<platform::DirectoryEntry> root;
    ASSERT_EQ(platform::DirectorySearch(handle_, Text(), 0, Text(), {ZT("defaultNamingContext")}, 0,
                                        root),
              0);
    ASSERT_FALSE(root.empty());
    base_ = root.front().attributes.front().values.front();
    tag_ = "zi" + std::to_string(getpid()) + "x" + std::to_string(std::random_device{}() % 100000);
  }
  void TearDown() override {
    platform::DirectoryClose(handle_);
    domain_.reset();
  }

  // A user in CN=Users; `last_logon` 0 leaves lastLogonTimestamp unset.
  std::string CreateUser(const std::string& suffix, const std::string& control,
                         int64_t last_logon) {
    const std::string name = tag_ + suffix;
    const std::string dn = "CN=" + name + ",CN=Users," + base_;
    EXPECT_EQ(
        platform::DirectoryAdd(handle_, testing::T(dn),
                               {{platform::kDirectoryAdd, ZT("objectClass"), {"user"}},
                                {platform::kDirectoryAdd, ZT("sAMAccountName"), {name}},
                                {platform::kDirectoryAdd, ZT("userAccountControl"), {control}}},
                               false),
        0)
        << dn;
    if (last_logon != 0) {
      EXPECT_EQ(platform::DirectoryModify(handle_, testing::T(dn),
                                          {{platform::kDirectoryReplace,
                                            ZT("lastLogonTimestamp"),
                                            {std::to_string(last_logon)}}},
                                          false),
                0);
    }
    return dn;
  }

  std::string Value(const std::string& dn, const char* attribute) {
    std::vector<platform::DirectoryEntry> entries;
    if (platform::DirectorySearch(handle_, testing::T(dn), 0, Text(), {testing::T(attribute)}, 0,
                                  entries) != 0 ||
        entries.empty() || entries.front().attributes.empty() ||
        entries.front().attributes.front().values.empty()) {
      return std::string();
    }
    return entries.front().attributes.front().values.front();
  }
  std::string Control(const std::string& dn) { return Value(dn, "userAccountControl"); }

  std::unique_ptr<testing::TestDomain> domain_;
  platform::DirectoryHandle* handle_ = nullptr;
  std::string base_;
  std::string tag_;
  std::string log_;
};

TEST_F(InactiveAccountsTest, DisablesOnlyAccountsInactiveLongerThanTheLimit) {
  const int64_t now = DirectoryNow();
  const std::string old = CreateUser("old", "512", now - 91 * kDay);
  const std::string recent = CreateUser("recent", "512", now - 89 * kDay);
  // Password never expires (0x10000) stays set; only 0x2 is added.
  const std::string flagged = CreateUser("flagged", "66048", now - 400 * kDay);
  const std::string disabled = CreateUser("disabled", "514", now - 200 * kDay);
  const std::string never = CreateUser("never", "512", 0);
  ASSERT_EQ(Control(old), "512");
  ASSERT_EQ(Value(old, "lastLogonTimestamp"), std::to_string(now - 91 * kDay));
  const std::string disabled_usn = Value(disabled, "uSNChanged");

  DisableInactiveAccountsPass(90);

  EXPECT_EQ(Control(old), "514");
  EXPECT_EQ(Control(flagged), "66050");
  EXPECT_EQ(Control(recent), "512");
  EXPECT_EQ(Control(never), "512");
  EXPECT_EQ(Control(disabled), "514");
  EXPECT_EQ(Value(disabled, "uSNChanged"), disabled_usn);  // not rewritten
  // The fixture accounts never logged on: still enabled.
  for (const char* account : {"CN=alice,OU=Engineering,OU=Staff,", "CN=bob,OU=Sales,",
                              "CN=carol,CN=Users,", "CN=eve,CN=Users,"}) {
    const std::string control = Control(account + base_);
    ASSERT_FALSE(control.empty()) << account;
    EXPECT_EQ(std::stoll(control) & 2, 0) << account;
  }
  // One Info line for each account it disabled, with the account and its
  // last logon; nothing about the others.
  const std::string log = testing::ReadFileText(log_);
  for (const std::string& name : {tag_ + "old", tag_ + "flagged"}) {
    EXPECT_EQ(CountOf(log, "\tInfo\tAccount disabled for inactivity: " + name + " (last logon "),
              1u)
        << log;
  }
  EXPECT_EQ(CountOf(log, "\tInfo\t"), 2u) << log;
  EXPECT_EQ(log.find(tag_ + "recent"), std::string::npos);
}

// lastLogonTimestamp lags behind the real last logon by up to the domain's
// msDS-LogonTimeSyncInterval (2 days, as the server initialisation sets
// it): a shorter limit counts as that interval + 1 days, with a warning, so
// an account that logged on two days ago stays enabled.
TEST_F(InactiveAccountsTest, LimitsBelowTheLogonSyncIntervalCountAsIntervalPlusOne) {
  ASSERT_EQ(platform::DirectoryModify(
                handle_, testing::T(base_),
                {{platform::kDirectoryReplace, ZT("msDS-LogonTimeSyncInterval"), {"2"}}}, false),
            0);
  const int64_t now = DirectoryNow();
  const std::string two_days = CreateUser("two", "512", now - 2 * kDay - kDay / 4);
  const std::string four_days = CreateUser("four", "512", now - 4 * kDay);

  DisableInactiveAccountsPass(1);

  EXPECT_EQ(Control(two_days), "512");
  EXPECT_EQ(Control(four_days), "514");
  const std::string log = testing::ReadFileText(log_);
  EXPECT_EQ(CountOf(log,
                    "\tWarning\tDisableInactiveAccounts 1 is below "
                    "msDS-LogonTimeSyncInterval + 1 and is treated as 3"),
            1u)
      << log;
  EXPECT_EQ(CountOf(log, "Account disabled for inactivity: " + tag_ + "four (last logon "), 1u)
      << log;
  EXPECT_EQ(log.find(tag_ + "two"), std::string::npos) << log;

  // At or above interval + 1 the limit is taken as it is, without a warning.
  const std::string five_days = CreateUser("five", "512", now - 5 * kDay);
  DisableInactiveAccountsPass(3);
  EXPECT_EQ(Control(five_days), "514");
  EXPECT_EQ(Control(two_days), "512");
  EXPECT_EQ(CountOf(testing::ReadFileText(log_), "\tWarning\t"), 1u);

  // An interval of 0 keeps no timestamps at all: nobody is disabled.
  const std::string month = CreateUser("month", "512", now - 30 * kDay);
  ASSERT_EQ(platform::DirectoryModify(
                handle_, testing::T(base_),
                {{platform::kDirectoryReplace, ZT("msDS-LogonTimeSyncInterval"), {"0"}}}, false),
            0);
  DisableInactiveAccountsPass(3);
  EXPECT_EQ(platform::DirectoryModify(
                handle_, testing::T(base_),
                {{platform::kDirectoryReplace, ZT("msDS-LogonTimeSyncInterval"), {"2"}}}, false),
            0);
  EXPECT_EQ(Control(month), "512");
  EXPECT_EQ(CountOf(testing::ReadFileText(log_), "\tWarning\tmsDS-LogonTimeSyncInterval is 0"), 1u);
}

// An account that logged on yesterday: any threshold at or after now would
// disable it.
TEST_F(InactiveAccountsTest, ZeroNegativeAndHugeLimitsDisableNothing) {
  const std::string yesterday = CreateUser("yday", "512", DirectoryNow() - kDay);

  DisableInactiveAccountsPass(0);
  EXPECT_EQ(Control(yesterday), "512");
  EXPECT_EQ(testing::ReadFileText(log_), "");

  DisableInactiveAccountsPass(-5);
  EXPECT_EQ(Control(yesterday), "512");
  const std::string log = testing::ReadFileText(log_);
  EXPECT_NE(log.find("\tWarning\tDisableInactiveAccounts -5 "), std::string::npos) << log;

  DisableInactiveAccountsPass(INT64_MAX);
  DisableInactiveAccountsPass(INT64_MIN);
  EXPECT_EQ(Control(yesterday), "512");
}

}  // namespace
}  // namespace zefa
