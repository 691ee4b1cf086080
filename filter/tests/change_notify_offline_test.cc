// Completed changes without a directory (the lookup answered by the test):
// how the notify program receives the password, that it runs once whatever
// the host does with SIGCHLD, and that names cannot corrupt the history.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "server/reload_policies.h"
#include "directory/lookup_user.h"
#include "filter/exports.h"
#include "filter/change_notify.h"
#include "server/server_initialisation.h"
#include "testing/test_domain.h"

namespace zefa {
namespace {

using testing::T;

ZEFA_UNICODE_STRING Counted(Text& text) {
  return ZEFA_UNICODE_STRING{static_cast<uint16_t>(text.size() * sizeof(WChar)),
                             static_cast<uint16_t>(text.size() * sizeof(WChar)), text.data()};
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string::npos;
       start = end + separator.size())
    parts.push_back(text.substr(start, end - start));
  parts.push_back(text.substr(start));
  return parts;
}

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 100 && !std::filesystem::exists(path); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return std::filesystem::exists(path);
}

class OfflineChangeNotify : public ::testing::Test {
 protected:
  void SetUp() override {
    domain_ = std::make_unique<testing::TestDomain>();
    domain_->SetPolicy(1, "Enabled", "1");
    domain_->SetPolicy(1, "UserGroups", "Staff");
    domain_->SetPolicy(1, "NoSimilarity", "1");
    domain_->SetPolicy(1, "MinLength", "8");
    SetUserLookupForTesting([this](const Text& name, UserRecord& user) {
      user.AccountName = name;
      user.PrincipalName = principal_;
      user.DisplayName = display_;
      user.GroupNames = ZT("Staff;");
    });
    ASSERT_EQ(ServerInitialisation(), 1);
  }
  void TearDown() override { domain_.reset(); }

  void Reload() {
    domain_->SetPolicy(0, "Touched", "1");
    testing::TestDomain::ForgetPolicyStamp();
    ASSERT_EQ(ReloadPolicies(), 1);
  }
  void Notify(const std::string& account, const std::string& password) {
    Text a = T(account), p = T(password);
    ZEFA_UNICODE_STRING ua = Counted(a), up = Counted(p);
    EXPECT_EQ(PasswordChangeNotify(&ua, 1234, &up), 0);
  }
  bool Filter(const std::string& account, const std::string& password) {
    Text a = T(account), p = T(password), f;
    ZEFA_UNICODE_STRING ua = Counted(a), up = Counted(p), uf = Counted(f);
    return PasswordFilter(&ua, &uf, &up, 0) != 0;
  }
  std::string History(const std::string& account) {
    return testing::ReadFileText(domain_->system_folder() + "/idh/" + account + ".idh");
  }
  std::string Log() { return testing::ReadFileText(domain_->log_file()); }

  // A notify script that records its arguments, the line on its standard
  // input and its command line as any local user can read it.
  std::string NotifyScript() {
    const std::string script = domain_->root() + "/notify.sh";
    testing::WriteFileText(script,
                           "#!/bin/sh\nIFS= read -r secret\n"
                           "{ printf '%s\\n%s\\n%s\\n' \"$1\" \"$2\" \"$secret\"; "
                           "tr '\\0' ' ' < /proc/$$/cmdline; } > " + Out() + ".tmp\n"
                           "mv " + Out() + ".tmp " + Out() + "\n"
                           "echo run >> " + domain_->root() + "/runs\n");
    chmod(script.c_str(), 0700);
    return script;
  }
  std::string Out() const { return domain_->root() + "/notify.out"; }

  std::unique_ptr<testing::TestDomain> domain_;
  Text principal_ = ZT("alice@example.test");
  Text display_ = ZT("Alice Able");
};

TEST_F(OfflineChangeNotify, ThePasswordReachesTheProgramOnStandardInputOnly) {
  domain_->SetPolicy(1, "NotifyProgram", NotifyScript());
  Reload();
  Notify("alice", "He said \"hi\" 1");
  ASSERT_TRUE(WaitForFile(Out()));
  std::vector<std::string> lines = Split(testing::ReadFileText(Out()), "\n");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "alice");
  EXPECT_EQ(lines[1], "-");
  EXPECT_EQ(lines[2], "He said \"hi\" 1");
  EXPECT_EQ(lines[3].find("hi"), std::string::npos) << "on the command line: " << lines[3];
  std::filesystem::remove(Out());

  domain_->SetPolicy(1, "NotifyProgramBase64", "1");
  Reload();
  Notify("alice", "He said \"hi\" 1");
  ASSERT_TRUE(WaitForFile(Out()));
  lines = Split(testing::ReadFileText(Out()), "\n");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "YWxpY2U=");
  EXPECT_EQ(lines[1], "-");
  EXPECT_EQ(lines[2], "SGUgc2FpZCAiaGkiIDE=");
  EXPECT_EQ(lines[3].find("SGUgc2FpZCAiaGkiIDE="), std::string::npos)
      << "on the command line: " << lines[3];
}

TEST_F(OfflineChangeNotify, WithSigchldIgnoredTheProgramRunsOnceWithoutAWarning) {
  domain_->SetPolicy(1, "NotifyProgram", NotifyScript());
  Reload();
  struct sigaction ignore {}, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &previous);
  Notify("alice", "Once only 12");
  ASSERT_TRUE(WaitForFile(Out()));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_EQ(testing::ReadFileText(domain_->root() + "/runs"), "run\n");
  EXPECT_EQ(Log().find("did not launch"), std::string::npos) << Log();
}

TEST_F(OfflineChangeNotify, ControlCharactersInNamesKeepTheHistoryIntact) {
  display_ = ZT("Alice\tAble");
  principal_ = ZT("alice@example.test\r\n");
  Notify("alice", "Summer2023?");
  Notify("alice", "Autumn2023?");
  const std::string history = History("alice");
  const std::vector<std::string> lines = Split(history, "\r\n");
  ASSERT_EQ(lines.size(), 2u) << history;
  for (const std::string& line : lines) {
    const std::vector<std::string> fields = Split(line, "\t");
    ASSERT_EQ(fields.size(), 6u) << line;
    EXPECT_EQ(fields[2], "alice@example.test  ");
    EXPECT_EQ(fields[3], "Alice Able");
    EXPECT_EQ(Split(fields[4], ":")[3], Split(Split(lines[0], "\t")[5], ":")[3]) << "one salt";
  }
  // The similarity check finds the earlier password through the same salt.
  EXPECT_FALSE(Filter("alice", "Summer2024!"));
  EXPECT_NE(Log().find("-Must not be similar to previous used passwords"), std::string::npos)
      << Log();
}

}  // namespace
}  // namespace zefa
