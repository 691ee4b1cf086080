#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/files.h"
#include "platform/system.h"
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

bool WaitForFile(const TempFolder& dir, const char* name) {
  for (int i = 0; i < 100 && !FileExists(dir.Wide(name)); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return FileExists(dir.Wide(name));
}

// A script that records its arguments, the line on its standard input and
// its own command line as every local user can read it.
Text SecretRecorder(const TempFolder& dir) {
  const Text script = dir.Wide("notify.sh");
  AppendToFile(script,
               "#!/bin/sh\nIFS= read -r secret\n"
               "{ printf '[%s]\\n' \"$@\"; printf 'stdin [%s]\\n' \"$secret\"; "
               "tr '\\0' ' ' < /proc/$$/cmdline; echo; } > out.tmp\nmv out.tmp out.txt\n");
  chmod(dir.File("notify.sh").c_str(), 0755);
  return script;
}

TEST(StartProgramWithSecret, TheSecretGoesToStandardInputNotTheCommandLine) {
  TempFolder dir;
  const Text secret = ZT("pa ss \"wörd\" $HOME");
  ASSERT_TRUE(
      StartProgramWithSecret(SecretRecorder(dir), {ZT("alice")}, secret, Utf8ToText(dir.path())));
  ASSERT_TRUE(WaitForFile(dir, "out.txt"));
  const std::string out = ReadWholeFile(dir.Wide("out.txt")).value_or("");
  EXPECT_EQ(out.substr(0, out.rfind("stdin")), "[alice]\n[-]\n");
  EXPECT_NE(out.find("stdin [pa ss \"wörd\" $HOME]\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("wörd", out.find("stdin") + 20), std::string::npos)
      << "the secret is on the command line: " << out;

  // A script without its execute bit runs through the shell and still gets
  // the secret on its standard input.
  std::filesystem::remove(dir.File("out.txt"));
  chmod(dir.File("notify.sh").c_str(), 0644);
  ASSERT_TRUE(StartProgramWithSecret(dir.Wide("notify.sh"), {ZT("bob")}, ZT("second"),
                                     Utf8ToText(dir.path())));
  ASSERT_TRUE(WaitForFile(dir, "out.txt"));
  const std::string through_shell = ReadWholeFile(dir.Wide("out.txt")).value_or("");
  EXPECT_EQ(through_shell.substr(0, through_shell.find("/bin/sh ")), "[bob]\n[-]\nstdin [second]\n")
      << through_shell;
}

TEST(StartProgramWithSecret, ALongSecretIsDeliveredWhole) {
  TempFolder dir;
  const Text script = dir.Wide("count.sh");
  AppendToFile(script,
               "#!/bin/sh\nIFS= read -r secret\nprintf '%s' \"${#secret}\" > n.tmp\n"
               "mv n.tmp n.txt\n");
  chmod(dir.File("count.sh").c_str(), 0755);
  Text wide(70000, ZT('\u00e9'));  // 140,000 bytes of UTF-8: more than a default pipe holds
  ASSERT_TRUE(StartProgramWithSecret(script, {}, wide, Utf8ToText(dir.path())));
  ASSERT_TRUE(WaitForFile(dir, "n.txt"));
  EXPECT_EQ(ReadWholeFile(dir.Wide("n.txt")), "140000");  // the shell counts bytes
}

// A host that ignores SIGCHLD cannot wait for its children; a start is still
// reported by the exec's own result, and the program runs exactly once.
TEST(StartProgramWithArguments, WithSigchldIgnoredTheProgramRunsOnceAndIsReported) {
  TempFolder dir;
  const Text script = dir.Wide("once.sh");
  AppendToFile(script, "#!/bin/sh\necho \"run $1\" >> runs.txt\n");
  chmod(dir.File("once.sh").c_str(), 0755);
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &previous);
  const bool started = StartProgramWithArguments(script, {ZT("1")}, Utf8ToText(dir.path()));
  const bool missing = StartProgramWithArguments(dir.Wide("missing.sh"), {}, Text());
  const bool secret = StartProgramWithSecret(script, {ZT("2")}, ZT("s"), Utf8ToText(dir.path()));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_TRUE(started);
  EXPECT_FALSE(missing);
  EXPECT_TRUE(secret);
  const std::string runs = ReadWholeFile(dir.Wide("runs.txt")).value_or("");
  EXPECT_TRUE(runs == "run 1\nrun 2\n" || runs == "run 2\nrun 1\n") << runs;
}

}  // namespace
}  // namespace zefa::platform
