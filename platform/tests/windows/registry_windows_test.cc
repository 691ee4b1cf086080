// The Windows registry through the platform layer: every value type, names
// without case, last-write times, key trees and the WOW64 views.
#include "platform/tests/windows/windows_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/registry.h"

namespace zefa::platform {
namespace {

using test_support::UniqueName;
using test_support::Utf16Bytes;

const Text kHklm = L"HKEY_LOCAL_MACHINE";

RegistryValue Value(const Text& name, uint32_t type, std::string data) {
  RegistryValue value;
  value.name = name;
  value.type = type;
  value.data = std::move(data);
  return value;
}

// A key of its own below Software, removed afterwards.
class RegistryWindows : public ::testing::Test {
 protected:
  void SetUp() override { key_ = L"Software\\" + UniqueName(L"ClavoraTest"); }
  void TearDown() override {
    RegistryDeleteKey(kHklm, key_, 0);
    RegistryDeleteKey(kHklm, key_, 32);
  }
  Text key_;
};

TEST_F(RegistryWindows, EveryTypeRoundTripsByteForByte) {
  const std::string dword("\xff\xff\xff\xff", 4);
  const std::string qword("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  const std::string binary("\x00\x7f\x80\xff", 4);
  const std::string text = Utf16Bytes(Text(L"Grüße Σ 日本") + L'\0');
  const std::string expand = Utf16Bytes(Text(L"%SystemRoot%\\x") + L'\0');
  const std::string multi = Utf16Bytes(Text(L"Sales\0\"IT Staff\"\0\0", 19));
  ASSERT_TRUE(RegistryWrite(kHklm, key_, Value(L"Dword", kRegDword, dword), 0));
  ASSERT_TRUE(RegistryWrite(kHklm, key_, Value(L"Qword", kRegQword, qword), 0));
  ASSERT_TRUE(RegistryWrite(kHklm, key_, Value(L"Binary", kRegBinary, binary), 0));
  ASSERT_TRUE(RegistryWrite(kHklm, key_, Value(L"Text", kRegSz, text), 0));
  ASSERT_TRUE(RegistryWrite(kHklm, key_, Value(L"Expand", kRegExpandSz, expand), 0));
  ASSERT_TRUE(RegistryWrite(kHklm, key_, Value(L"Multi", kRegMultiSz, multi), 0));
  ASSERT_TRUE(RegistryWrite(kHklm, key_, Value(L"Empty", kRegSz, std::string()), 0));

  struct Expected {
    const wchar_t* name;
    uint32_t type;
    const std::string* data;
  };
  const std::string nothing;
  for (const Expected& e : {Expected{L"Dword", kRegDword, &dword},
                            {L"Qword", kRegQword, &qword},
                            {L"Binary", kRegBinary, &binary},
                            {L"Text", kRegSz, &text},
                            {L"Expand", kRegExpandSz, &expand},
                            {L"Multi", kRegMultiSz, &multi},
                            {L"Empty", kRegSz, &nothing}}) {
    const auto read = RegistryRead(kHklm, key_, e.name, 0);
    ASSERT_TRUE(read.has_value()) << TextToUtf8(e.name);
    EXPECT_EQ(read->type, e.type) << TextToUtf8(e.name);
    EXPECT_EQ(read->data, *e.data) << TextToUtf8(e.name);  // REG_EXPAND_SZ stays unexpanded
  }

  const std::vector<RegistryValue> all = RegistryValues(kHklm, key_, 0);
  ASSERT_EQ(all.size(), 7u);
  for (const RegistryValue& value : all) {
    const auto single = RegistryRead(kHklm, key_, value.name, 0);
    ASSERT_TRUE(single.has_value());
    EXPECT_EQ(single->data, value.data) << TextToUtf8(value.name);
  }
}

TEST_F(RegistryWindows, NamesIgnoreCaseAndMissingThingsReadAsNothing) {
  ASSERT_TRUE(RegistryWrite(kHklm, key_ + L"\\Sets\\1",
                            Value(L"MinLength", kRegDword, std::string("\x0c\0\0\0", 4)), 0));
  const auto read =
      RegistryRead(L"hkey_local_machine", L"\\" + key_ + L"\\SETS\\\\1\\", L"MINLENGTH", 0);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->data, std::string("\x0c\0\0\0", 4));

  EXPECT_FALSE(RegistryRead(kHklm, key_ + L"\\Sets\\1", L"Missing", 0).has_value());
  EXPECT_FALSE(RegistryRead(kHklm, key_ + L"\\Sets\\2", L"MinLength", 0).has_value());
  EXPECT_FALSE(RegistryRead(L"HKLM", key_ + L"\\Sets\\1", L"MinLength", 0).has_value());
  EXPECT_FALSE(RegistryRead(L"HKEY_NOWHERE", key_, L"x", 0).has_value());
  EXPECT_FALSE(RegistryRead(kHklm, key_ + Text(1, L'\0') + L"x", L"x", 0).has_value());
  EXPECT_EQ(RegistryKeyLastWriteTicks(kHklm, key_ + L"\\Sets\\2", 0), 0);
  EXPECT_EQ(RegistryKeyCheck(kHklm, key_ + L"\\Sets\\2", 0), RegistryKeyState::kMissing);
  EXPECT_EQ(RegistryKeyCheck(L"HKEY_NOWHERE", key_, 0), RegistryKeyState::kMissing);
  EXPECT_EQ(RegistryKeyCheck(kHklm, key_ + L"\\Sets\\1", 0), RegistryKeyState::kReadable);
  EXPECT_TRUE(RegistryValues(kHklm, key_ + L"\\Sets\\2", 0).empty());
  EXPECT_TRUE(RegistrySubkeys(kHklm, key_ + L"\\Sets\\2", 0).empty());
}

TEST_F(RegistryWindows, LastWriteTimeFollowsTheKeysOwnValuesAtFullPrecision) {
  ASSERT_TRUE(RegistryWrite(kHklm, key_, Value(L"SkipUsers", kRegSz, Utf16Bytes(L"a")), 0));
  ASSERT_TRUE(RegistryCreateKey(kHklm, key_ + L"\\1", 0));
  const int64_t created = RegistryKeyLastWriteTicks(kHklm, key_, 0);
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const int64_t now_ticks =
      static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  EXPECT_LT(std::llabs(now_ticks - created), 5LL * 10000000) << "a FILETIME, 100 ns ticks";

  // Past one tick of the system clock (at most 15.6 ms), well within one
  // second: whole seconds would hide the change.
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  ASSERT_TRUE(RegistryWrite(kHklm, key_ + L"\\1",
                            Value(L"Enabled", kRegDword, std::string("\x01\0\0\0", 4)), 0));
  EXPECT_EQ(RegistryKeyLastWriteTicks(kHklm, key_, 0), created);  // a subkey's value: no change
  EXPECT_GT(RegistryKeyLastWriteTicks(kHklm, key_ + L"\\1", 0), created);

  ASSERT_TRUE(RegistryWrite(kHklm, key_, Value(L"SkipUsers", kRegSz, Utf16Bytes(L"b")), 0));
  const int64_t rewritten = RegistryKeyLastWriteTicks(kHklm, key_, 0);
  EXPECT_GT(rewritten, created);
  EXPECT_LT(rewritten - created, 10000000LL) << "less than a second apart";

  // A touch moves the time and leaves the values as they were.
  const std::vector<RegistryValue> values = RegistryValues(kHklm, key_, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  ASSERT_TRUE(RegistryTouchKey(kHklm, key_, 0));
  const int64_t touched = RegistryKeyLastWriteTicks(kHklm, key_, 0);
  EXPECT_GT(touched, rewritten);
  const std::vector<RegistryValue> after = RegistryValues(kHklm, key_, 0);
  ASSERT_EQ(after.size(), 1u);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(after[0].name, values[0].name);
  EXPECT_EQ(after[0].data, values[0].data);
  EXPECT_FALSE(RegistryTouchKey(kHklm, key_ + L"\\Missing", 0));
  EXPECT_FALSE(RegistryKeyExists(kHklm, key_ + L"\\Missing", 0));

  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  ASSERT_TRUE(RegistryDeleteValue(kHklm, key_, L"skipusers", 0));
  EXPECT_GT(RegistryKeyLastWriteTicks(kHklm, key_, 0), touched);
  EXPECT_FALSE(RegistryDeleteValue(kHklm, key_, L"SkipUsers", 0));  // already gone
}

TEST_F(RegistryWindows, KeyTreesAreCreatedListedAndDeletedWhole) {
  ASSERT_TRUE(RegistryCreateKey(kHklm, key_ + L"\\b\\deep\\deeper", 0));
  ASSERT_TRUE(RegistryCreateKey(kHklm, key_ + L"\\a", 0));
  ASSERT_TRUE(
      RegistryWrite(kHklm, key_ + L"\\b\\deep", Value(L"v", kRegDword, std::string(4, '\0')), 0));
  EXPECT_TRUE(RegistryKeyExists(kHklm, key_ + L"\\B\\Deep\\Deeper", 0));
  EXPECT_TRUE(RegistryKeyExists(kHklm, L"", 0));  // the root itself
  const std::vector<Text> children = RegistrySubkeys(kHklm, key_, 0);
  EXPECT_EQ(children, (std::vector<Text>{L"a", L"b"}));

  EXPECT_TRUE(RegistryDeleteKey(kHklm, key_ + L"\\b", 0));
  EXPECT_FALSE(RegistryKeyExists(kHklm, key_ + L"\\b", 0));
  EXPECT_FALSE(RegistryKeyExists(kHklm, key_ + L"\\b\\deep\\deeper", 0));
  EXPECT_TRUE(RegistryKeyExists(kHklm, key_ + L"\\a", 0));
  EXPECT_FALSE(RegistryDeleteKey(kHklm, key_ + L"\\b", 0));  // not there any more
  EXPECT_FALSE(RegistryDeleteKey(kHklm, L"", 0));            // never a root key
}

TEST_F(RegistryWindows, The32BitViewOfSoftwareIsAKeyOfItsOwn) {
  const std::string bits32 = Utf16Bytes(Text(L"32") + L'\0');
  const std::string bits64 = Utf16Bytes(Text(L"64") + L'\0');
  ASSERT_TRUE(RegistryWrite(kHklm, key_, Value(L"View", kRegSz, bits32), 32));
  EXPECT_TRUE(RegistryKeyExists(kHklm, key_, 32));
  EXPECT_FALSE(RegistryKeyExists(kHklm, key_, 64));
  EXPECT_FALSE(RegistryKeyExists(kHklm, key_, 0));  // a 64-bit process sees the 64-bit view
  EXPECT_TRUE(RegistryKeyExists(kHklm, L"Software\\WOW6432Node\\" + key_.substr(9), 0));

  ASSERT_TRUE(RegistryWrite(kHklm, key_, Value(L"View", kRegSz, bits64), 64));
  EXPECT_EQ(RegistryRead(kHklm, key_, L"View", 32)->data, bits32);
  EXPECT_EQ(RegistryRead(kHklm, key_, L"View", 0)->data, bits64);
  EXPECT_TRUE(RegistryDeleteKey(kHklm, key_, 32));
  EXPECT_FALSE(RegistryKeyExists(kHklm, key_, 32));
  EXPECT_TRUE(RegistryKeyExists(kHklm, key_, 64));
}

TEST_F(RegistryWindows, ConcurrentWritersLeaveWholeValues) {
  ASSERT_TRUE(RegistryCreateKey(kHklm, key_, 0));
  const std::string a(4096, 'a');
  const std::string b(8192, 'b');
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        RegistryWrite(kHklm, key_, Value(L"Shared", kRegBinary, (i + t) % 2 ? a : b), 0);
      }
    });
  }
  int torn = 0;
  for (int i = 0; i < 400; ++i) {
    const auto read = RegistryRead(kHklm, key_, L"Shared", 0);
    if (read && read->data != a && read->data != b) ++torn;
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace zefa::platform
