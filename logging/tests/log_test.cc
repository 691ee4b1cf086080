// The text log: line form, rollover and the console form of test mode.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "logging/log.h"
#include "util/date_value.h"
#include "testing/test_domain.h"

namespace zefa {
namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = testing::NewTempFolder("log");
    path_ = folder_ + "/DC1.log";
    ResetLogDefaults();
    SetLogFilePath(testing::T(path_));
  }
  void TearDown() override {
    ResetLogDefaults();
    std::filesystem::remove_all(folder_);
  }
  std::string folder_;
  std::string path_;
};

TEST_F(LogTest, LineFormAndLineBreaks) {
  EXPECT_EQ(FormatLogLine(0, ZT("Info"), ZT("a\r\nb")), ZT("1970-01-01 00:00:00\tInfo\ta | b"));
  EXPECT_EQ(FormatLogLine(CivilToDateValue(CivilTime{2026, 12, 1, 1, 2, 3}), ZT("Password Denied"),
                          ZT("x")),
            ZT("2026-12-01 01:02:03\tPassword Denied\tx"));
  EXPECT_EQ(WriteLog(ZT("a\r\nb"), ZT("Warning"), 0), 1);
  EXPECT_EQ(WriteLog(ZT("Ünïcödé"), ZT("Info"), 2), 1);
  const std::string text = testing::ReadFileText(path_);
  const size_t first_tab = text.find('\t');
  ASSERT_EQ(first_tab, 19u);
  EXPECT_EQ(text.substr(first_tab),
            "\tWarning\ta | b\r\n" + text.substr(0, 19) + "\tInfo\tÜnïcödé\r\n");
}

TEST_F(LogTest, RollsOverStrictlyAboveTheLimit) {
  const std::string rolled = folder_ + "/DC1~.log";
  EXPECT_EQ(RolledOverLogPath(testing::T(path_)), testing::T(rolled));
  testing::WriteFileText(rolled, "older generation");
  testing::WriteFileText(path_, std::string(kLogRolloverBytes, 'x'));
  WriteLog(ZT("at the limit"), ZT("Info"), 0);
  EXPECT_FALSE(testing::ReadFileText(rolled) != "older generation") << "exactly 8 MiB is kept";
  EXPECT_GT(std::filesystem::file_size(path_), static_cast<uintmax_t>(kLogRolloverBytes));

  WriteLog(ZT("next"), ZT("Info"), 0);
  EXPECT_GT(std::filesystem::file_size(rolled), static_cast<uintmax_t>(kLogRolloverBytes));
  const std::string fresh = testing::ReadFileText(path_);
  EXPECT_EQ(fresh.substr(19), "\tInfo\tnext\r\n");
}

// Another process (the test console beside the library) is rolling the
// same log over: it holds the lock on "<log>.lock", renames the full log and
// lets go. A writer that honours the lock waits, then finds the fresh log
// and keeps the generation just made; one that does not would roll the full
// log over too, and the other process's rename would then replace that
// generation with a file of one line.
TEST_F(LogTest, RolloverWaitsForAnotherProcessHoldingTheLock) {
  const std::string rolled = folder_ + "/DC1~.log";
  const std::string lock = path_ + ".lock";
  EXPECT_EQ(LogLockFilePath(testing::T(path_)), testing::T(lock));
  testing::WriteFileText(path_, std::string(kLogRolloverBytes + 1, 'x'));
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t other = fork();
  if (other == 0) {
    const int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0644);
    const bool locked = fd >= 0 && flock(fd, LOCK_EX) == 0;
    const char byte = locked ? 1 : 0;
    if (write(ready[1], &byte, 1) != 1) _exit(2);
    usleep(300000);
    unlink(rolled.c_str());
    const bool renamed = rename(path_.c_str(), rolled.c_str()) == 0;
    _exit(locked && renamed ? 0 : 1);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  close(ready[1]);
  ASSERT_EQ(byte, 1) << "the other process could not take the lock";
  EXPECT_EQ(WriteLog(ZT("after the other rollover"), ZT("Info"), 0), 1);
  int status = 0;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(std::filesystem::file_size(rolled), static_cast<uintmax_t>(kLogRolloverBytes + 1))
      << "the generation the other process made is lost";
  EXPECT_EQ(testing::ReadFileText(path_).substr(19), "\tInfo\tafter the other rollover\r\n");
}

TEST_F(LogTest, TestModePrintsInsteadOfWriting) {
  SetTestMode(true);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(WriteLog(ZT("a\r\nb"), ZT("Info"), 2), 1);
  const std::string out = ::testing::internal::GetCapturedStdout();
  SetTestMode(false);
  EXPECT_FALSE(std::filesystem::exists(path_));
  ASSERT_GE(out.size(), 21u);
  EXPECT_EQ(out.front(), '[');
  EXPECT_EQ(out.substr(20), "\tInfo\ta\r\nb]\n");
}

TEST_F(LogTest, UnwritableLogLosesTheLineQuietly) {
  SetLogFilePath(testing::T(folder_ + "/missing/folder/x.log"));
  EXPECT_EQ(WriteLog(ZT("lost"), ZT("Info"), 0), 0);
}

TEST_F(LogTest, ConcurrentWritersNeverInterleave) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i)
        WriteLog(Text(200, static_cast<WChar>(ZT('a') + t)), ZT("Info"), 0);
    });
  for (auto& thread : threads) thread.join();
  const std::string text = testing::ReadFileText(path_);
  size_t lines = 0;
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string body = text.substr(start + 25, end - start - 25);
    ASSERT_EQ(body.size(), 200u);
    EXPECT_EQ(body.find_first_not_of(body[0]), std::string::npos);
    ++lines;
    start = end + 2;
  }
  EXPECT_EQ(lines, 400u);
}

TEST_F(LogTest, DefaultPathIsInTheWindowsFolder) {
  testing::TestDomain domain;
  EXPECT_EQ(DefaultLogFilePath(), testing::T(domain.root() + "/DEDodud.log"));
  EXPECT_EQ(RolledOverLogPath(DefaultLogFilePath()), testing::T(domain.root() + "/DEDodud~.log"));
}

}  // namespace
}  // namespace zefa
