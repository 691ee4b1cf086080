// Starting programs on Windows: command-line splitting and quoting as the
// programs see them, hidden output, working folders, waiting and not waiting.
#include "platform/tests/windows/windows_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/files.h"
#include "platform/system.h"

namespace zefa::platform {
namespace {

using test_support::ScopedEnv;
using test_support::TempFolder;

// The recorder is built beside this test program.
Text Recorder() {
  wchar_t self[MAX_PATH * 2] = {};
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
  Text path(self, length);
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"record_arguments.exe";
}

template <typename Condition>
bool WaitFor(Condition condition) {
  for (int i = 0; i < 200 && !condition(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

std::string RecordedParameters(const TempFolder& dir, const Text& parameters) {
  DeleteFile(dir.File(L"args.txt"));
  if (!StartProcess(Recorder(), parameters, dir.path(), true)) return "not started";
  return ReadWholeFile(dir.File(L"args.txt")).value_or("no output");
}

std::string RecordedArguments(const TempFolder& dir, const std::vector<Text>& arguments) {
  DeleteFile(dir.File(L"args.txt"));
  if (!StartProgramWithArguments(Recorder(), arguments, dir.path())) return "not started";
  if (!WaitFor([&] { return FileExists(dir.File(L"args.txt")); })) return "no output";
  return ReadWholeFile(dir.File(L"args.txt")).value_or("no output");
}

// The same parameter strings and expectations as the POSIX splitting: the
// program sees the same arguments on both platforms.
TEST(ProcessWindows, ParametersReachTheProgramAsAWindowsCommandLine) {
  TempFolder dir;
  EXPECT_EQ(RecordedParameters(dir, L"  a \"b c\"\td  "), "[a]\n[b c]\n[d]\n");
  EXPECT_EQ(RecordedParameters(dir, LR"("a\"b" a\\b)"), "[a\"b]\n[a\\\\b]\n");
  EXPECT_EQ(RecordedParameters(dir, LR"(a\\\\"b c" x\\\"y)"), "[a\\\\b c]\n[x\\\"y]\n");
  EXPECT_EQ(RecordedParameters(dir, LR"("" Grüße "a""b")"), "[]\n[Grüße]\n[a\"b]\n");
  EXPECT_EQ(RecordedParameters(dir, L""), "");
}

TEST(ProcessWindows, SeparateArgumentsArriveUnchanged) {
  TempFolder dir;
  const std::vector<Text> arguments = {L"plain",      L"two words",
                                       L"",           L"quote\"inside",
                                       L"trailing\\", L"C:\\Program Files\\x\\",
                                       L"Grüße 日本", L"back\\\\\"slash"};
  std::string expected;
  for (const Text& argument : arguments) expected += "[" + TextToUtf8(argument) + "]\n";
  EXPECT_EQ(RecordedArguments(dir, arguments), expected);
  EXPECT_EQ(RecordedArguments(dir, {}), "");
  EXPECT_FALSE(StartProgramWithArguments(Recorder(), {Text(L"a\0b", 3)}, dir.path()));
}

// Only administrators read a service's command line on Windows: the secret
// is the last argument there, quoted like the others.
TEST(ProcessWindows, TheSecretIsTheLastArgument) {
  TempFolder dir;
  DeleteFile(dir.File(L"args.txt"));
  ASSERT_TRUE(StartProgramWithSecret(Recorder(), {L"alice"}, L"pa ss \"w\"\\", dir.path()));
  ASSERT_TRUE(WaitFor([&] { return FileExists(dir.File(L"args.txt")); }));
  EXPECT_EQ(ReadWholeFile(dir.File(L"args.txt")), "[alice]\n[pa ss \"w\"\\]\n");
  EXPECT_FALSE(StartProgramWithSecret(Recorder(), {L"alice"}, Text(L"a\0b", 3), dir.path()));
}

TEST(ProcessWindows, ScriptsRunThroughTheirInterpreter) {
  TempFolder dir;
  ASSERT_TRUE(AppendToFile(dir.File(L"notify.cmd"), "@echo %~1> \"%~dp0seen.txt\"\r\n"));
  ASSERT_TRUE(StartProgramWithArguments(dir.File(L"notify.cmd"), {L"alice"}, dir.path()));
  ASSERT_TRUE(WaitFor([&] { return FileSize(dir.File(L"seen.txt")) > 0; }));
  EXPECT_EQ(ReadWholeFile(dir.File(L"seen.txt")), "alice\r\n");
}

TEST(ProcessWindows, CommandsRunHiddenInTheirFolderAndTheirOutputIsDropped) {
  TempFolder dir;
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(StartProcess(L"cmd.exe", L"/c echo visible& cd > where.txt", dir.path(), true));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  // Waited for: the file is complete when the call returns.
  const auto where = ReadWholeFile(dir.File(L"where.txt"));
  ASSERT_TRUE(where.has_value());
  EXPECT_EQ(Utf8ToText(where->substr(0, where->find_first_of("\r\n"))), dir.path());
}

TEST(ProcessWindows, WithoutWaitingTheCallReturnsFirst) {
  TempFolder dir;
  ScopedEnv delay(L"ZEFA_RECORD_DELAY_MS", L"500");
  ASSERT_TRUE(StartProcess(Recorder(), L"late", dir.path(), false));
  EXPECT_FALSE(FileExists(dir.File(L"args.txt")));  // returned before the program ended
  ASSERT_TRUE(WaitFor([&] { return FileExists(dir.File(L"args.txt")); }));
  EXPECT_EQ(ReadWholeFile(dir.File(L"args.txt")), "[late]\n");
}

TEST(ProcessWindows, MissingProgramsAreReported) {
  TempFolder dir;
  EXPECT_FALSE(StartProcess(L"no-such-program-zefa.exe", L"x", L"", true));
  EXPECT_FALSE(StartProcess(dir.File(L"missing.exe"), L"", L"", false));
  EXPECT_FALSE(StartProcess(L"", L"", L"", false));
  EXPECT_FALSE(StartProgramWithArguments(dir.File(L"missing.exe"), {L"a"}, L""));
}

}  // namespace
}  // namespace zefa::platform
