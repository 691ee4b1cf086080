// Completed changes without a directory (the lookup answered by the test):
// how the notify program receives the password, that it runs once whatever
// the host does with SIGCHLD, and that names cannot corrupt the history.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "server/reload_policies.h"
#include "directory/lookup_user.h"
#include "filter/exports.h"
#include "filter/change_notify.h"
#include "history/account_files.h"
#include "logging/log.h"
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
                           "tr '\\0' ' ' < /proc/$$/cmdline; } > " +
                               Out() +
                               ".tmp\n"
                               "mv " +
                               Out() + ".tmp " + Out() +
                               "\n"
                               "echo run >> " +
                               domain_->root() + "/runs\n");
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
  struct sigaction ignore {
  }, previous{};
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

// Names that cannot name a file as they are (".." in them, a separator, a
// colon) still get their own history and hand-off files, inside the folders,
// and their history is checked.
TEST_F(OfflineChangeNotify, EveryAccountNameGetsItsHistoryAndHandOffFile) {
  domain_->SetPolicy(1, "CreateIDP", "1");
  Reload();
  for (const std::string account : {"john..smith", "../escape", "a\\b:c", "plain.name"}) {
    SCOPED_TRACE(account);
    Notify(account, "Spring2024?");
    const std::string name = TextToUtf8(AccountFileName(T(account)));
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_EQ(Split(History(name), "\r\n").size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(domain_->system_folder() + "/idp/" + name + ".idp"));
    EXPECT_FALSE(Filter(account, "Spring2025!")) << "similar to the recorded password";
  }
  EXPECT_TRUE(std::filesystem::exists(domain_->system_folder() + "/idh/plain.name.idh"))
      << "a plain name keeps its file name";
  EXPECT_FALSE(std::filesystem::exists(domain_->system_folder() + "/escape.idh"));
  EXPECT_EQ(Log().find("No history or hand-off file"), std::string::npos) << Log();
}

// Receives the event records the library sends to the system log, as they
// come (a sender would wait once a few records were left unread).
class EventSink {
 public:
  explicit EventSink(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    timeval timeout{0, 50000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setenv("CLAVORA_SYSLOG_SOCKET", path.c_str(), 1);
    reader_ = std::thread([this] {
      char buffer[16384];
      while (!stop_) {
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> guard(lock_);
        received_.append(buffer, static_cast<size_t>(n)).push_back('\n');
      }
    });
  }
  ~EventSink() {
    unsetenv("CLAVORA_SYSLOG_SOCKET");
    stop_ = true;
    reader_.join();
    close(fd_);
    unlink(path_.c_str());
  }
  // Everything received so far (after a moment for records on their way).
  std::string All() {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
  }

 private:
  std::string path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::string received_;
  std::thread reader_;
};

// The messages of the log's lines; fails the test for a line that is not
// whole (no line end, or not date TAB label TAB message).
std::vector<std::string> WholeLogMessages(const std::string& log) {
  std::vector<std::string> messages;
  EXPECT_TRUE(log.empty() || log.compare(log.size() - 2, 2, "\r\n") == 0) << "a partial last line";
  std::vector<std::string> lines = Split(log, "\r\n");
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  for (const std::string& line : lines) {
    const std::vector<std::string> fields = Split(line, "\t");
    EXPECT_TRUE(fields.size() == 3 && fields[0].size() == 19 && fields[0][4] == '-')
        << "not a whole line: " << line.substr(0, 80);
    if (fields.size() == 3) messages.push_back(fields[2]);
  }
  return messages;
}

// The netlogon share's file system full (a small tmpfs of its own): the
// log keeps whole lines only, the history and hand-off files stay as they
// were, and every write that failed is reported as event 12.
TEST_F(OfflineChangeNotify, AFullDiskLeavesWholeLinesAndFilesAndReportsEveryLoss) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
  EventSink events(domain_->root() + "/events.sock");
  domain_->SetPolicy(1, "CreateIDP", "1");
  Reload();
  const std::string system = domain_->system_folder();
  if (mount("tmpfs", system.c_str(), "tmpfs", 0, "size=256k,mode=0755") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{system};
  for (const char* folder : {"log", "idh", "idp"})
    ASSERT_EQ(mkdir((system + "/" + folder).c_str(), 0700), 0);

  Notify("alice", "First-Password-1");
  const std::string idp = system + "/idp/alice.idp";
  const std::string first_idp = testing::ReadFileText(idp);
  ASSERT_NE(first_idp.find("First-Password-1"), std::string::npos);
  ASSERT_EQ(Split(History("alice"), "\r\n").size(), 1u);

  // Fill the file system, then free a few bytes at a time: lines of random
  // length meet every kind of remaining space.
  const std::string filler = system + "/filler";
  const int fill = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fill, 0);
  const std::string block(1024, 'f');
  while (write(fill, block.data(), block.size()) > 0) {
  }
  while (write(fill, "f", 1) > 0) {
  }
  std::vector<std::string> expected = WholeLogMessages(Log());
  std::mt19937 random(22);
  off_t filler_size = lseek(fill, 0, SEEK_END);
  for (int round = 0; round < 30; ++round) {
    filler_size -= static_cast<off_t>(random() % 6000);
    ASSERT_EQ(ftruncate(fill, std::max<off_t>(filler_size, 0)), 0);
    for (int line = 0; line < 40; ++line) {
      const std::string message =
          "round " + std::to_string(round) + " " +
          std::string(1 + random() % 2500, static_cast<char>('a' + line % 26));
      if (WriteLog(T(message), ZT("Info"), 0) == 0) break;
      expected.push_back(message);
    }
  }
  EXPECT_EQ(WholeLogMessages(Log()), expected) << "lines lost or cut";
  EXPECT_NE(events.All().find("[event 12 error] The log " + domain_->log_file() +
                              " could not be written (disk full or no access); the line was: "
                              "Info: round "),
            std::string::npos);

  // Still full: the change is recorded nowhere, and that is said.
  Notify("alice", "Second-Password-2");
  EXPECT_EQ(Split(History("alice"), "\r\n").size(), 1u);
  EXPECT_EQ(testing::ReadFileText(idp), first_idp);
  for (const char* folder : {"idh", "idp"})
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(system + "/" + folder),
                            std::filesystem::directory_iterator()),
              1)
        << "a temporary file was left in " << folder;
  const std::string reported = events.All();
  EXPECT_NE(reported.find("[event 12 error] The password history of account alice could not be "
                          "written to " +
                          system + "/idh/alice.idh"),
            std::string::npos)
      << reported;
  EXPECT_NE(reported.find("[event 12 error] The hand-off file of account alice could not be "
                          "written to " +
                          idp),
            std::string::npos)
      << reported;
  EXPECT_NE(reported.find("the line was: Password Changed: Password of user alice"),
            std::string::npos)
      << reported;
  EXPECT_EQ(reported.find("Second-Password-2"), std::string::npos) << "a password in an event";

  // Room again: the next change is recorded, on lines of its own.
  close(fill);
  unlink(filler.c_str());
  Notify("alice", "Third-Password-3");
  EXPECT_EQ(Split(History("alice"), "\r\n").size(), 2u);
  EXPECT_NE(testing::ReadFileText(idp).find("Third-Password-3"), std::string::npos);
  const std::vector<std::string> after = WholeLogMessages(Log());
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back().rfind("Password of user alice has been changed", 0), 0u) << after.back();
}

}  // namespace
}  // namespace zefa
