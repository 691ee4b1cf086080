// Machine facts, environment, console output, time and dates on Windows.
#include "platform/tests/windows/windows_test_support.h"

#include <gtest/gtest.h>

#include "platform/characters.h"
#include "platform/time.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/events.h"
#include "platform/locale.h"

namespace zefa::platform {
namespace {

using test_support::ScopedEnv;

TEST(SystemWindows, FoldersAndNamesOfThisMachine) {
  wchar_t folder[MAX_PATH + 1] = {};
  GetWindowsDirectoryW(folder, MAX_PATH + 1);
  Text expected = folder;
  if (expected.size() > 3 && expected.back() == L'\\') expected.pop_back();
  EXPECT_EQ(WindowsDirectory(), expected);

  const Text computer = ComputerName();
  ASSERT_FALSE(computer.empty());
  EXPECT_LE(computer.size(), 15u);
  for (const WChar c : computer) EXPECT_FALSE(IsCharLower(c)) << TextToUtf8(computer);

  GetSystemDirectoryW(folder, MAX_PATH + 1);
  EXPECT_EQ(InstalledFilterLibrary(), Text(folder) + L"\\zefa.dll");
  EXPECT_EQ(StartNetwork(), 1);
}

TEST(SystemWindows, EnvironmentVariablesAndExpansion) {
  ScopedEnv set(L"ZEFA_TEST_VALUE", L"C:\\Tools");
  ScopedEnv unset(L"ZEFA_TEST_UNSET", nullptr);
  EXPECT_EQ(EnvironmentVariable(L"ZEFA_TEST_VALUE"), L"C:\\Tools");
  EXPECT_EQ(EnvironmentVariable(L"zefa_test_value"), L"C:\\Tools");  // names ignore case here
  EXPECT_EQ(EnvironmentVariable(L"ZEFA_TEST_UNSET"), L"");
  EXPECT_EQ(EnvironmentVariable(L""), L"");

  EXPECT_EQ(ExpandEnvironmentStrings(L"%ZEFA_TEST_VALUE%\\bin"), L"C:\\Tools\\bin");
  EXPECT_EQ(ExpandEnvironmentStrings(L"a%ZEFA_TEST_VALUE%%ZEFA_TEST_VALUE%"),
            L"aC:\\ToolsC:\\Tools");
  EXPECT_EQ(ExpandEnvironmentStrings(L"%ZEFA_TEST_UNSET%\\x"), L"%ZEFA_TEST_UNSET%\\x");
  EXPECT_EQ(ExpandEnvironmentStrings(L"100%"), L"100%");
  EXPECT_EQ(ExpandEnvironmentStrings(L""), L"");

  const Text long_value(5000, L'v');
  ScopedEnv large(L"ZEFA_TEST_LONG", long_value.c_str());
  EXPECT_EQ(EnvironmentVariable(L"ZEFA_TEST_LONG"), long_value);
  EXPECT_EQ(ExpandEnvironmentStrings(L"<%ZEFA_TEST_LONG%>"), L"<" + long_value + L">");
}

TEST(SystemWindows, ConsoleLinesAreUtf8WithCarriageReturns) {
  // Standard output goes to a file for the two lines, then back.
  test_support::TempFolder dir;
  const Text path = dir.File(L"stdout.txt");
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, file);
  ConsoleWriteLine(L"Result: Denied \u2013 Gr\u00FC\u00DFe");
  ConsoleWriteLine(L"");
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(file);
  EXPECT_EQ(ReadWholeFile(path),
            "Result: Denied \xE2\x80\x93 Gr\xC3\xBC\xC3\x9F"
            "e\r\n\r\n");
  DebugOutput(L"debugger text");  // nothing to observe without a debugger; must not fail
}

TEST(TimeWindows, LocalAndUtcConvertBothWays) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const int64_t utc = static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
  EXPECT_NEAR(static_cast<double>(LocalNow()), static_cast<double>(UtcToLocal(utc)), 2.0);

  TIME_ZONE_INFORMATION zone;
  GetTimeZoneInformation(&zone);
  for (const int64_t instant : {int64_t{1705320000}, int64_t{1720000000}, int64_t{0}}) {
    const int64_t local = UtcToLocal(instant);
    // Whatever the zone, the offset is whole quarter hours within a day.
    EXPECT_EQ((local - instant) % 900, 0);
    EXPECT_LE(std::abs(local - instant), 14 * 3600);
    EXPECT_EQ(LocalToUtc(local), instant);
  }
  // Before 1601 nothing can be converted: the value comes back unchanged.
  EXPECT_EQ(UtcToLocal(-12000000000LL), -12000000000LL);
}

TEST(LocaleWindows, DatesAndTimesFollowThePictures) {
  const int64_t friday = 1741943107;  // 2025-03-14 09:05:07 as a date value
  EXPECT_EQ(FormatUserDate(friday, L"yyyy-MM-dd"), L"2025-03-14");
  EXPECT_EQ(FormatUserDate(friday, L"d.M.yy"), L"14.3.25");
  EXPECT_EQ(FormatUserDate(friday, L"'day' dd 'of' MM"), L"day 14 of 03");
  EXPECT_EQ(FormatUserTime(friday, L"HH:mm:ss"), L"09:05:07");
  EXPECT_EQ(FormatUserTime(friday + 12 * 3600, L"h:mm"), L"9:05");
  EXPECT_EQ(FormatUserDate(friday, L""), L"");
  EXPECT_EQ(FormatUserTime(friday, L""), L"");

  // Names come from the user's language; whatever it is, two different days
  // and months have different names.
  const Text friday_name = FormatUserDate(friday, L"dddd");
  const Text saturday_name = FormatUserDate(friday + 86400, L"dddd");
  EXPECT_FALSE(friday_name.empty());
  EXPECT_NE(friday_name, saturday_name);
  EXPECT_NE(FormatUserDate(friday, L"MMMM"), FormatUserDate(friday + 31 * 86400, L"MMMM"));
}

TEST(EventsWindows, EventsAreReportedUnderTheirSource) {
  EXPECT_EQ(ReportEvent(L"", L"no source", 2, kEventInformation), 0);
  ASSERT_EQ(
      ReportEvent(L"Clavora", L"Password for jdoe rejected.\r\nToo short.", 2, kEventInformation),
      1);
  if (test_support::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's event log accepts events and keeps none; the record is not read back";
  }
  // The newest record of the source carries the event ID and the text.
  HANDLE log = OpenEventLogW(nullptr, L"Application");
  ASSERT_NE(log, nullptr);
  std::string buffer(0x10000, '\0');
  DWORD read = 0, needed = 0;
  bool found = false;
  if (ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buffer.data(),
                    static_cast<DWORD>(buffer.size()), &read, &needed)) {
    for (DWORD at = 0; at < read && !found;) {
      const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + at);
      const auto* source = reinterpret_cast<const wchar_t*>(record + 1);
      const auto* text =
          reinterpret_cast<const wchar_t*>(buffer.data() + at + record->StringOffset);
      found = Text(source) == L"Clavora" && (record->EventID & 0xFFFF) == 2 &&
              Text(text).find(L"jdoe rejected") != Text::npos;
      at += record->Length;
    }
  }
  CloseEventLog(log);
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace zefa::platform
