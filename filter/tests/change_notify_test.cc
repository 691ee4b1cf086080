// Completed changes of real directory accounts: log line, event, history,
// hand-off file and notify program; and the similarity check that reads the
// history back.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "server/reload_policies.h"
#include "directory/lookup_user.h"
#include "directory/view_keeper.h"
#include "filter/exports.h"
#include "filter/change_notify.h"
#include "history/password_hash.h"
#include "server/server_initialisation.h"
#include "testing/test_dc.h"

namespace zefa {
namespace {

using testing::T;

ZEFA_UNICODE_STRING Counted(Text& text) {
  return ZEFA_UNICODE_STRING{static_cast<uint16_t>(text.size() * sizeof(WChar)),
                             static_cast<uint16_t>(text.size() * sizeof(WChar)), text.data()};
}

// Receives the event records the library sends to the system log.
class EventSink {
 public:
  explicit EventSink(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    timeval timeout{0, 200000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setenv("CLAVORA_SYSLOG_SOCKET", path.c_str(), 1);
  }
  ~EventSink() {
    unsetenv("CLAVORA_SYSLOG_SOCKET");
    close(fd_);
    unlink(path_.c_str());
  }
  std::string All() {
    std::string out;
    char buffer[8192];
    ssize_t n;
    while ((n = recv(fd_, buffer, sizeof buffer, 0)) > 0) out.append(buffer, n).push_back('\n');
    return out;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  lines.push_back(text.substr(start));
  return lines;
}

std::vector<std::string> Fields(const std::string& line, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t end; (end = line.find(separator, start)) != std::string::npos; start = end + 1)
    fields.push_back(line.substr(start, end - start));
  fields.push_back(line.substr(start));
  return fields;
}

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 100 && !std::filesystem::exists(path); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return std::filesystem::exists(path);
}

class ChangeNotifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_DC();
    domain_ = std::make_unique<testing::TestDomain>();
    testing::UseTestDcDirectory();
    ASSERT_TRUE(RefreshDirectoryView());
    domain_->SetPolicy(1, "Enabled", "1");
    domain_->SetPolicy(1, "UserGroups", "Engineers");
    domain_->SetPolicy(1, "NoSimilarity", "1");
    domain_->SetPolicy(1, "MinLength", "8");
    domain_->SetPolicy(0, "SkipUsers", "nobody");
    ASSERT_EQ(ServerInitialisation(), 1);
  }
  void TearDown() override {
    domain_.reset();
    unsetenv("CLAVORA_LDAP_URI");
  }
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

  std::unique_ptr<testing::TestDomain> domain_;
};

TEST_F(ChangeNotifyTest, RecordsTheChangeOfARealAccount) {
  EventSink events(domain_->root() + "/events.sock");
  Notify("alice", "Correct horse 1");
  EXPECT_NE(Log().find("\tPassword Changed\tPassword of user alice has been changed "
                       "(alice@example.test; Alice Able)\r\n"),
            std::string::npos)
      << Log();
  const std::string records = events.All();
  EXPECT_NE(records.find("Clavora"), std::string::npos) << records;
  EXPECT_NE(records.find("[event 1 information] Password of user alice has been changed"),
            std::string::npos)
      << records;
  const std::vector<std::string> lines = Lines(History("alice"));
  ASSERT_EQ(lines.size(), 1u);
  const std::vector<std::string> fields = Fields(lines[0], '\t');
  ASSERT_EQ(fields.size(), 6u);
  EXPECT_EQ(fields[1], "alice");
  EXPECT_EQ(fields[2], "alice@example.test");
  EXPECT_EQ(fields[3], "Alice Able");
  EXPECT_EQ(fields[4].rfind("$1:sha256:1000:", 0), 0u);
  EXPECT_EQ(Fields(fields[4], ':')[3], Fields(fields[5], ':')[3]) << "one salt per line";
  EXPECT_EQ(Log().find("Correct horse"), std::string::npos);
  EXPECT_EQ(records.find("Correct horse"), std::string::npos);
}

TEST_F(ChangeNotifyTest, HistoryKeepsOneSaltAndEightLines) {
  for (int i = 1; i <= 9; ++i) Notify("carol", "Password number " + std::to_string(i));
  const std::vector<std::string> lines = Lines(History("carol"));
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_NE(History("carol").substr(History("carol").size() - 2), "\r\n");
  const std::string salt = Fields(Fields(lines[0], '\t')[4], ':')[3];
  EXPECT_EQ(salt.size(), 16u);
  for (const std::string& line : lines) EXPECT_EQ(Fields(Fields(line, '\t')[4], ':')[3], salt);
  // Newest first: the hash of the ninth password heads the file.
  EXPECT_EQ(Fields(lines[0], '\t')[4],
            TextToUtf8(HashPassword(ZT("Password number 9"), ZT("sha256"), 1000, T(salt))));
}

TEST_F(ChangeNotifyTest, SimilarPasswordsAreRejectedAfterwards) {
  Notify("alice", "Summer2023?");
  EXPECT_FALSE(Filter("alice", "Summer2024!"));
  EXPECT_NE(Log().find("Alice Able) was not accepted because it did not meet these "
                       "requirements: | -Must not be similar to previous used passwords\r\n"),
            std::string::npos)
      << Log();
  EXPECT_TRUE(Filter("alice", "Winter2024!x"));
  // A password that already fails a rule is not compared with the history.
  const size_t before = Log().size();
  EXPECT_FALSE(Filter("alice", "Sum2"));
  const std::string added = Log().substr(before);
  EXPECT_EQ(added.find("similar"), std::string::npos) << added;
}

TEST_F(ChangeNotifyTest, HandOffFileIsPrivateAndReplaced) {
  domain_->SetPolicy(1, "CreateIDP", "1");
  Reload();
  Notify("alice", "A much longer first password");
  Notify("alice", "Short 2nd");
  const std::string path = domain_->system_folder() + "/idp/alice.idp";
  const std::vector<std::string> fields = Fields(testing::ReadFileText(path), '\t');
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields[1], "alice");
  EXPECT_EQ(fields[2], "alice@example.test");
  EXPECT_EQ(fields[3], "Alice Able");
  EXPECT_EQ(fields[4], "Short 2nd");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(Log().find("Short 2nd"), std::string::npos);
}

TEST_F(ChangeNotifyTest, NotifyProgramGetsTheAccountAndThePasswordOnItsInput) {
  const std::string script = domain_->root() + "/notify.sh";
  const std::string out = domain_->root() + "/notify.out";
  testing::WriteFileText(script,
                         "#!/bin/sh\nIFS= read -r secret\n"
                         "printf '%s\\n%s\\n%s\\n' \"$1\" \"$2\" \"$secret\" > " +
                             out +
                             ".tmp\n"
                             "mv " +
                             out + ".tmp " + out + "\n");
  chmod(script.c_str(), 0700);
  domain_->SetPolicy(1, "NotifyProgram", script);
  Reload();
  Notify("alice", "He said \"hi\" 1");
  ASSERT_TRUE(WaitForFile(out));
  EXPECT_EQ(testing::ReadFileText(out), "alice\n-\nHe said \"hi\" 1\n");
  std::filesystem::remove(out);

  domain_->SetPolicy(1, "NotifyProgramBase64", "1");
  chmod(script.c_str(), 0600);  // not executable: run through the shell
  Reload();
  Notify("alice", "He said \"hi\" 1");
  ASSERT_TRUE(WaitForFile(out));
  EXPECT_EQ(testing::ReadFileText(out), "YWxpY2U=\n-\nSGUgc2FpZCAiaGkiIDE=\n");
}

TEST_F(ChangeNotifyTest, MissingNotifyProgramIsReported) {
  EventSink events(domain_->root() + "/events.sock");
  domain_->SetPolicy(1, "NotifyProgram", "/nonexistent/notify");
  Reload();
  Notify("alice", "Whatever 123");
  EXPECT_NE(Log().find("\tWarning\tThe configured program/script /nonexistent/notify did not "
                       "launch on server DC1\r\n"),
            std::string::npos)
      << Log();
  EXPECT_NE(events.All().find("[event 12 error] The configured program/script"), std::string::npos);
}

TEST_F(ChangeNotifyTest, IgnoredAndUnsafeAccounts) {
  // No policy set applies: still logged and recorded, nothing handed off.
  Notify("eve", "Eve's password");
  EXPECT_EQ(Lines(History("eve")).size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(domain_->system_folder() + "/idp/eve.idp"));
  // A name that would leave the history folder gets its file inside it.
  Notify("../escape", "x1234567");
  EXPECT_FALSE(std::filesystem::exists(domain_->system_folder() + "/escape.idh"));
  EXPECT_EQ(Lines(History(".=2E=2Fescape")).size(), 1u);
}

}  // namespace
}  // namespace zefa
