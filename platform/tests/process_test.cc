#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "platform/tests/test_folder.h"

namespace zefa::platform {
namespace {

using test_support::TempFolder;

// A script that writes each argument in brackets, one a line, to args.txt in
// its working folder.
Text ArgumentRecorder(const TempFolder& dir) {
  const Text script = dir.Wide("record.sh");
  AppendToFile(script, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done > args.txt\n");
  chmod(dir.File("record.sh").c_str(), 0755);
  return script;
}

std::string RecordedArguments(const TempFolder& dir, const Text& parameters) {
  const Text script = ArgumentRecorder(dir);
  if (!StartProcess(script, parameters, Utf8ToText(dir.path()), true)) return "not started";
  return ReadWholeFile(dir.Wide("args.txt")).value_or("no output");
}

TEST(StartProcess, ParametersAreSplitLikeAWindowsCommandLine) {
  TempFolder dir;
  EXPECT_EQ(RecordedArguments(dir, ZT("  a \"b c\"\td  ")), "[a]\n[b c]\n[d]\n");
  EXPECT_EQ(RecordedArguments(dir, ZT(R"("a\"b" a\\b)")), "[a\"b]\n[a\\\\b]\n");
  EXPECT_EQ(RecordedArguments(dir, ZT(R"(a\\\\"b c" x\\\"y)")), "[a\\\\b c]\n[x\\\"y]\n");
  EXPECT_EQ(RecordedArguments(dir, ZT(R"("" Grüße "a""b")")), "[]\n[Grüße]\n[a\"b]\n");
  // A doubled quote inside quotes is a literal quote that also ends the quoted
  // part, so the final quote opens a new one and the blank stays in.
  EXPECT_EQ(RecordedArguments(dir, ZT(R"("a""b" c)")), "[a\"b c]\n");
  EXPECT_EQ(RecordedArguments(dir, ZT("")), "");
}

TEST(StartProcess, FindsProgramsOnThePathAndHidesTheirOutput) {
  TempFolder dir;
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(StartProcess(ZT("sh"), ZT("-c \"echo visible; pwd > where.txt\""),
                           Utf8ToText(dir.path()), true));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(ReadWholeFile(dir.Wide("where.txt")), dir.path() + "\n");
}

TEST(StartProcess, MissingProgramsAreReported) {
  EXPECT_FALSE(StartProcess(ZT("icacls.exe"), ZT("x"), ZT(""), true));
  EXPECT_FALSE(StartProcess(ZT("/no/such/program"), ZT(""), ZT(""), false));
  EXPECT_FALSE(StartProcess(ZT(""), ZT(""), ZT(""), false));
}

TEST(StartProcess, WithoutWaitingTheProgramRunsAndLeavesNoZombie) {
  TempFolder dir;
  ASSERT_TRUE(StartProcess(ZT("sh"), ZT("-c \"sleep 0.2; echo done > late.txt\""),
                           Utf8ToText(dir.path()), false));
  EXPECT_FALSE(FileExists(dir.Wide("late.txt")));  // returned before the program ended
  int status = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);  // nothing of ours left to reap
  for (int i = 0; i < 100 && !FileExists(dir.Wide("late.txt")); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(ReadWholeFile(dir.Wide("late.txt")), "done\n");
}

}  // namespace
}  // namespace zefa::platform
