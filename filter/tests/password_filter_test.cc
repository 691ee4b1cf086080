// The filter's entry points end to end: a registry written policy, a user
// handed in through the lookup seam, the log file and the console.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "server/reload_policies.h"
#include "filter/exports.h"
#include "server/library_state.h"
#include "filter/password_filter.h"
#include "server/server_initialisation.h"
#include "testing/test_domain.h"
#include "platform/registry.h"

namespace zefa {
namespace {

using testing::T;

ZEFA_UNICODE_STRING Counted(Text& text) {
  ZEFA_UNICODE_STRING s;
  s.Length = static_cast<uint16_t>(text.size() * sizeof(WChar));
  s.MaximumLength = s.Length;
  s.Buffer = text.data();
  return s;
}

class PasswordFilterTest : public ::testing::Test {
 protected:
  testing::TestDomain domain;

  void SetUp() override {
    domain.SetPolicy(1, "Enabled", "1");
    domain.SetPolicy(1, "UserGroups", "Engineers");
    domain.SetPolicy(1, "MinLength", "8");
    domain.SetPolicy(1, "Number", "1");
    domain.SetPolicy(0, "SkipUsers", "svc");
    SetUserLookupForTesting([](const Text& name, UserRecord& user) {
      if (name == ZT("offline")) user.LookupFailed = true;  // no directory answer
      if (name != ZT("alice") && name != ZT("svc")) return;
      user.AccountName = name;
      user.PrincipalName = name + ZT("@example.test");
      user.DisplayName = ZT("Alice Able");
      user.Container = ZT("Staff/Engineering");
      user.GroupNames = ZT("Engineers;Domain Users;");
    });
  }

  bool Filter(const std::string& account, const std::string& password, bool set_operation = false) {
    Text a = T(account), p = T(password), f;
    ZEFA_UNICODE_STRING ua = Counted(a), up = Counted(p), uf = Counted(f);
    return PasswordFilter(&ua, &uf, &up, set_operation ? 1 : 0) != 0;
  }

  std::string Log() { return testing::ReadFileText(domain.log_file()); }
};

TEST_F(PasswordFilterTest, RejectsEverythingUntilInitialisedAndLogsNothing) {
  EXPECT_FALSE(Filter("alice", "Good-password-1"));
  EXPECT_FALSE(Filter("krbtgt", "x"));
  EXPECT_FALSE(std::filesystem::exists(domain.log_file()));
  EXPECT_FALSE(std::filesystem::exists(domain.root() + "/DEDodud.log"));
}

TEST_F(PasswordFilterTest, ChecksRulesAndLogsRejections) {
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_TRUE(Filter("alice", "longenough1"));
  EXPECT_FALSE(Filter("alice", "short"));
  const std::string log = Log();
  EXPECT_NE(log.find("\tInfo\tClavora v2.1.1 initialized (server EXAMPLE\\DC1)\r\n"),
            std::string::npos);
  EXPECT_NE(log.find("\tPassword Denied\tRequested password for user alice (alice@example.test; "
                     "Alice Able) was not accepted because it did not meet these requirements: | "
                     "-Has at least 1 numbers | -Must be at least 8 characters long\r\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("short"), std::string::npos) << "no password in the log";
  EXPECT_EQ(log.find("longenough1"), std::string::npos);
}

TEST_F(PasswordFilterTest, SkipCasesAcceptAndSayWhy) {
  domain.SetPolicy(0, "LogLevel", "2");
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_TRUE(PasswordFilter(nullptr, nullptr, nullptr, 0));
  EXPECT_TRUE(Filter("", "x"));
  EXPECT_TRUE(Filter("nobody", "x"));
  EXPECT_TRUE(Filter("svc", "x"));
  const std::string log = Log();
  EXPECT_NE(log.find("\tDebug\tSkip: username and password are NULL\r\n"), std::string::npos);
  EXPECT_NE(log.find("\tDebug\tSkip: user is a computer account\r\n"), std::string::npos);  // ""
  EXPECT_NE(log.find("\tInfo nobody\tSkip: user not found\r\n"), std::string::npos);
  EXPECT_NE(log.find("\tInfo svc\tSkip: no password policy found\r\n"), std::string::npos);
}

// A name with line breaks or a NUL cannot split the log line or forge one:
// the library's lines carry it with its control characters written out,
// also where the directory gave the names.
TEST_F(PasswordFilterTest, ControlCharactersOfLoggedNamesAreEscaped) {
  SetUserLookupForTesting([](const Text& name, UserRecord& user) {
    if (name != Text(ZT("mallory\r\n"), 9)) return;
    user.AccountName = name;
    user.PrincipalName = ZT("m@example.test\n2026-01-01 00:00:00\tInfo\tforged");
    user.DisplayName = Text(ZT("Mal\0lory"), 8);
    user.GroupNames = ZT("Engineers;");
  });
  ASSERT_EQ(ServerInitialisation(), 1);
  Text account(ZT("eve\n2026-01-01 00:00:00\tInfo\tforged\0x"), 37);
  Text password = ZT("x"), full_name;
  ZEFA_UNICODE_STRING ua = Counted(account), up = Counted(password), uf = Counted(full_name);
  EXPECT_TRUE(PasswordFilter(&ua, &uf, &up, 0));  // unknown: accepted
  EXPECT_FALSE(Filter("mallory\r\n", "short"));
  const std::string log = Log();
  EXPECT_NE(log.find("\tInfo eve\\x0a2026-01-01 00:00:00\\x09Info\\x09forged\\x00x\t"
                     "Skip: user not found\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Requested password for user mallory\\x0d\\x0a (m@example.test\\x0a"
                     "2026-01-01 00:00:00\\x09Info\\x09forged; Mal\\x00lory) was not accepted"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("\n2026-01-01"), std::string::npos) << "a forged line: " << log;
  EXPECT_EQ(log.find('\0'), std::string::npos) << "a NUL in the log";
}

TEST_F(PasswordFilterTest, DebugLinesNeedLevelTwo) {
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_TRUE(Filter("PC01$", "x"));
  EXPECT_EQ(Log().find("Debug"), std::string::npos);
}

TEST_F(PasswordFilterTest, ResetsSkipValidationOnlyWhenTheSetSaysSo) {
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_FALSE(Filter("alice", "short", true));
  domain.SetPolicy(1, "NoValidateOnReset", "1");
  domain.SetPolicy(0, "SkipUsers", "svc2");
  testing::TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(ReloadPolicies(), 1);
  EXPECT_TRUE(Filter("alice", "short", true));
  EXPECT_FALSE(Filter("alice", "short", false));
}

TEST_F(PasswordFilterTest, EmptyPasswordAndNullBuffersAreRejected) {
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_FALSE(Filter("alice", ""));
  Text account = ZT("alice");
  ZEFA_UNICODE_STRING ua = Counted(account);
  ZEFA_UNICODE_STRING null_buffer{0, 0, nullptr};
  EXPECT_FALSE(PasswordFilter(&ua, nullptr, &null_buffer, 0));
  EXPECT_FALSE(PasswordFilter(&ua, nullptr, nullptr, 0));
}

// An account the directory does not know yet (its first password, as it is
// created) is checked by the set of UnknownAccountSet, with every rule of
// that set but the history: a former account of the same name is not this
// one. The log says which set applied.
TEST_F(PasswordFilterTest, UnknownAccountsAreCheckedByTheirSetWithoutHistory) {
  domain.SetPolicy(0, "UnknownAccountSet", "2", platform::kRegDword);
  domain.SetPolicy(1, "NoSimilarity", "1");
  domain.SetPolicy(2, "Enabled", "1");
  domain.SetPolicy(2, "MinLength", "12");
  domain.SetPolicy(2, "NoSimilarity", "1");
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_FALSE(Filter("newcomer", "Ab1!"));
  EXPECT_FALSE(Filter("newcomer", "Ab1!", /*set_operation=*/true));
  std::string log = Log();
  EXPECT_NE(log.find("\tInfo newcomer\tUnknown account: checked by policy set 2\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\tPassword Denied\tRequested password for user newcomer (; ) was not "
                     "accepted because it did not meet these requirements: | -Must be at least "
                     "12 characters long\r\n"),
            std::string::npos)
      << log;

  // A history entry under the name decides nothing for the unknown account,
  // while the same entry rejects the password for a known one.
  for (const char* account : {"newcomer", "alice"}) {
    Text a = T(account), p = T("Twelve-chars-4711");
    ZEFA_UNICODE_STRING ua = Counted(a), up = Counted(p);
    PasswordChangeNotify(&ua, 0, &up);
  }
  EXPECT_TRUE(Filter("newcomer", "Twelve-chars-4711"));
  EXPECT_FALSE(Filter("alice", "Twelve-chars-4711"));
  EXPECT_EQ(Log().find("Twelve-chars-4711"), std::string::npos);
}

// UnknownAccountSet off, naming a set that is not enabled, an account of
// SkipUsers, or a directory that gave no answer: the password of an account
// that was not found is accepted, and the log says why.
TEST_F(PasswordFilterTest, UnknownAccountsPassOnlyWhenNoSetIsForThem) {
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_TRUE(Filter("newcomer", "x"));
  domain.SetPolicy(0, "UnknownAccountSet", "1", platform::kRegDword);
  testing::TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(ReloadPolicies(), 1);
  EXPECT_TRUE(Filter("offline", "x"));
  EXPECT_NE(Log().find("\tInfo offline\tSkip: user not found\r\n"), std::string::npos);
  for (const char* value : {"3", "9", "-1"}) {
    domain.SetPolicy(0, "UnknownAccountSet", value, platform::kRegDword);
    testing::TestDomain::ForgetPolicyStamp();
    ASSERT_EQ(ReloadPolicies(), 1);
    EXPECT_TRUE(Filter("newcomer", "x")) << value;
    EXPECT_NE(Log().find(std::string("\tInfo newcomer\tSkip: user not found; UnknownAccountSet ") +
                         value + " names no enabled policy set\r\n"),
              std::string::npos)
        << value;
  }
  domain.SetPolicy(0, "UnknownAccountSet", "1", platform::kRegDword);
  domain.SetPolicy(0, "SkipUsers", "svc;NewComer");
  testing::TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(ReloadPolicies(), 1);
  EXPECT_TRUE(Filter("newcomer", "x"));
  EXPECT_FALSE(Filter("comer", "x"));  // whole names only
  const std::string log = Log();
  EXPECT_NE(log.find("\tInfo newcomer\tSkip: user not found and listed in SkipUsers\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\tInfo newcomer\tSkip: user not found\r\n"), std::string::npos) << log;
}

TEST_F(PasswordFilterTest, ConcurrentCallsAgreeWithSingleCalls) {
  ASSERT_EQ(ServerInitialisation(), 1);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const bool good = (i + t) % 2 == 0;
        if (Filter("alice", good ? "longenough1" : "bad") != good) ++wrong;
        if (i % 10 == 0) {
          testing::TestDomain::ForgetPolicyStamp();
          ReloadPolicies();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(PasswordFilterTest, InitialisationNeedsTheNetlogonShare) {
  testing::WriteFileText(domain.root() + "/smb.conf",
                         "[global]\n\tworkgroup = EXAMPLE\n[netlogon2]\n\tpath = /tmp\n"
                         "[printers]\n\tpath = /tmp\n\tprintable = yes\n");
  EXPECT_EQ(ServerInitialisation(), 0);
  EXPECT_FALSE(Initialised());
  EXPECT_FALSE(std::filesystem::exists(domain.system_folder()));
}

TEST_F(PasswordFilterTest, InitialisationBuildsTheFolderTree) {
  testing::WriteFileText(
      domain.root() + "/smb.conf",
      "[global]\n\tworkgroup = example\n\tnetbios name = dc1\n[NETLOGON]\n\tpath = " +
          domain.netlogon() + "\n");
  std::filesystem::create_directories(domain.root() + "/zefa/setup");
  testing::WriteFileText(domain.root() + "/zefa/setup/expwarn.exe", "binary");
  ASSERT_EQ(ServerInitialisation(), 1);
  const std::string system = domain.system_folder();
  for (const char* folder : {"", "/log", "/idp", "/idh", "/words", "/mail"})
    EXPECT_TRUE(std::filesystem::is_directory(system + folder)) << folder;
  EXPECT_FALSE(std::filesystem::exists(system + "/users"));
  EXPECT_TRUE(std::filesystem::exists(domain.netlogon() + "/zefa/public/expwarn.exe"));
  const auto mode = std::filesystem::status(system + "/idp").permissions();
  EXPECT_EQ(mode & std::filesystem::perms::others_all, std::filesystem::perms::none);
  EXPECT_EQ(std::filesystem::read_symlink(domain.root() + "/zefa/system"), system);
  // A second run changes nothing and still completes.
  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_EQ(std::filesystem::read_symlink(domain.root() + "/zefa/system"), system);
}

}  // namespace
}  // namespace zefa
