// Registry values as the policy loader reads them, and their conversion to
// numbers and lists.
#include <gtest/gtest.h>

#include "policy/normalise_list.h"
#include "policy/registry_values.h"
#include "policy/text_to_integer.h"
#include "testing/test_domain.h"
#include "platform/registry.h"

namespace zefa {
namespace {

using testing::T;

TEST(TextToInteger, ReadsEveryNumberForm) {
  EXPECT_EQ(TextToInteger(ZT(" 12abc")), 12);
  EXPECT_EQ(TextToInteger(ZT("\t -7")), -7);
  EXPECT_EQ(TextToInteger(ZT("+5")), 5);
  EXPECT_EQ(TextToInteger(ZT("$10")), 16);
  EXPECT_EQ(TextToInteger(ZT("$fF")), 255);
  EXPECT_EQ(TextToInteger(ZT("%101")), 5);
  EXPECT_EQ(TextToInteger(ZT("%102")), 2);
  EXPECT_EQ(TextToInteger(ZT("abc")), 0);
  EXPECT_EQ(TextToInteger(ZT("")), 0);
  EXPECT_EQ(TextToInteger(ZT("-")), 0);
  EXPECT_EQ(TextToInteger(ZT("9223372036854775807")), INT64_MAX);
}

TEST(TextToInteger, SaturatesAtTheSixtyFourBitLimits) {
  EXPECT_EQ(TextToInteger(ZT("9223372036854775808")), INT64_MAX);
  EXPECT_EQ(TextToInteger(ZT("18446744073709551616")), INT64_MAX) << "2^64 is not 0";
  EXPECT_EQ(TextToInteger(ZT("+99999999999999999999999x")), INT64_MAX);
  EXPECT_EQ(TextToInteger(ZT("$FFFFFFFFFFFFFFFF")), INT64_MAX) << "not -1";
  EXPECT_EQ(TextToInteger(ZT("$10000000000000000")), INT64_MAX);
  EXPECT_EQ(TextToInteger(ZT("%1") + Text(64, ZT('0'))), INT64_MAX);
  EXPECT_EQ(TextToInteger(ZT("-9223372036854775808")), INT64_MIN);
  EXPECT_EQ(TextToInteger(ZT("-9223372036854775809")), INT64_MIN);
  EXPECT_EQ(TextToInteger(ZT("-18446744073709551617")), INT64_MIN);
  EXPECT_EQ(TextToInteger(ZT("-9223372036854775807")), -INT64_MAX);
  EXPECT_EQ(TextToInteger(ZT("$7FFFFFFFFFFFFFFF")), INT64_MAX);
}

TEST(NormaliseList, DropEmptyEntriesKeepsTheOthersInOrder) {
  Text list = ZT(";a;;b;");
  EXPECT_TRUE(DropEmptyEntries(list));
  EXPECT_EQ(list, ZT("a;b;"));
  list = ZT(";");
  EXPECT_TRUE(DropEmptyEntries(list));
  EXPECT_EQ(list, ZT(""));
  list = ZT("a; ;b;");
  EXPECT_FALSE(DropEmptyEntries(list)) << "a blank is a name, not an empty entry";
  EXPECT_EQ(list, ZT("a; ;b;"));
  list.clear();
  EXPECT_FALSE(DropEmptyEntries(list));
}

TEST(NormaliseList, LowerCasesAndSeparates) {
  EXPECT_EQ(NormaliseList(ZT("Sales\r\n\"IT Staff\"\r\n"), true), ZT("sales;it staff;"));
  EXPECT_EQ(NormaliseList(ZT("A;;B"), true), ZT("a;b;"));
  EXPECT_EQ(NormaliseList(ZT("A;;;;B;"), false), ZT("a;b;"));
  EXPECT_EQ(NormaliseList(ZT("one\ntwo"), false), ZT("one;two;"));
  EXPECT_EQ(NormaliseList(ZT("\r\nFirst"), false), ZT(";first;"));
  EXPECT_EQ(NormaliseList(ZT("\"Quoted\""), false), ZT("\"quoted\";"));
  EXPECT_EQ(NormaliseList(ZT(" Padded "), false), ZT(" padded ;"));
  EXPECT_EQ(NormaliseList(ZT(""), true), ZT(""));
  EXPECT_EQ(NormaliseList(ZT("ÉQUIPE"), true), ZT("équipe;"));
}

TEST(NormaliseList, ForbiddenWordsKeepQuotesAndDropEmptyEntries) {
  const std::vector<Text> words = SplitForbiddenWords(ZT("Winter\r\nSUMMER;\r\n\"Quote\";;"));
  ASSERT_EQ(words.size(), 3u);
  EXPECT_EQ(words[0], ZT("winter"));
  EXPECT_EQ(words[1], ZT("summer"));
  EXPECT_EQ(words[2], ZT("\"quote\""));
}

class RegistryValuesTest : public ::testing::Test {
 protected:
  testing::TestDomain domain;
  const Text key = ZT("HKLM\\Software\\Clavora\\Test");
};

TEST_F(RegistryValuesTest, EveryTypeReadsBackAsText) {
  WriteRegistryValue(key, ZT("Sz"), ZT("plain text"), platform::kRegSz, 0);
  WriteRegistryValue(key, ZT("Dword"), ZT("12"), platform::kRegDword, 0);
  WriteRegistryValue(key, ZT("Hex"), ZT("$FF"), platform::kRegDword, 0);
  WriteRegistryValue(key, ZT("None"), ZT("no digits"), platform::kRegDword, 0);
  WriteRegistryValue(key, ZT("AllOnes"), ZT("$FFFFFFFF"), platform::kRegDword, 0);
  WriteRegistryValue(key, ZT("Qword"), ZT("-5000000000"), platform::kRegQword, 0);
  WriteRegistryValue(key, ZT("Binary"), ZT("0a0B1"), platform::kRegBinary, 0);
  WriteRegistryValue(key, ZT("Multi"), ZT("first\r\nsecond"), platform::kRegMultiSz, 0);
  EXPECT_EQ(ReadRegistryValue(key, ZT("sz"), 0), ZT("plain text"));
  EXPECT_EQ(ReadRegistryValue(key, ZT("Dword"), 0), ZT("12"));
  EXPECT_EQ(ReadRegistryValue(key, ZT("Hex"), 0), ZT("255"));
  EXPECT_EQ(ReadRegistryValue(key, ZT("None"), 0), ZT("0"));
  EXPECT_EQ(ReadRegistryValue(key, ZT("AllOnes"), 0), ZT("-1"));
  EXPECT_EQ(ReadRegistryValue(key, ZT("Qword"), 0), ZT("-5000000000"));
  EXPECT_EQ(ReadRegistryValue(key, ZT("Binary"), 0), ZT("0A0B"));
  EXPECT_EQ(ReadRegistryValue(key, ZT("Multi"), 0), ZT("first\r\nsecond\r\n"));

  // The raw forms are those Windows stores.
  const auto multi = platform::RegistryRead(ZT("HKEY_LOCAL_MACHINE"), ZT("Software\\Clavora\\Test"),
                                            ZT("Multi"), 0);
  ASSERT_TRUE(multi.has_value());
  EXPECT_EQ(multi->data.size(), (5 + 1 + 6 + 1 + 1) * 2u);
  const auto dword = platform::RegistryRead(ZT("HKEY_LOCAL_MACHINE"), ZT("Software\\Clavora\\Test"),
                                            ZT("AllOnes"), 0);
  ASSERT_TRUE(dword.has_value());
  EXPECT_EQ(dword->data, std::string("\xff\xff\xff\xff", 4));
}

TEST_F(RegistryValuesTest, ExpandSzExpandsOnReadingOnly) {
  setenv("CLAVORA_TEST_VALUE", "expanded", 1);
  WriteRegistryValue(key, ZT("Path"), ZT("%CLAVORA_TEST_VALUE%\\x"), platform::kRegExpandSz, 0);
  EXPECT_EQ(ReadRegistryValue(key, ZT("Path"), 0), ZT("expanded\\x"));
  const auto raw = platform::RegistryRead(ZT("HKEY_LOCAL_MACHINE"), ZT("Software\\Clavora\\Test"),
                                          ZT("Path"), 0);
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(raw->type, platform::kRegExpandSz);
  unsetenv("CLAVORA_TEST_VALUE");
}

TEST_F(RegistryValuesTest, KeyPathsNameTheirRootInAnyForm) {
  WriteRegistryValue(ZT("hkey_local_machine\\Software\\A\\B\\C"), ZT("V"), ZT("x"),
                     platform::kRegSz, 0);
  EXPECT_EQ(ReadRegistryValue(ZT("HKLM\\software\\a\\b\\c"), ZT("v"), 32), ZT("x"));
  EXPECT_EQ(ReadRegistryValue(ZT("HKXX\\Software\\A\\B\\C"), ZT("V"), 0), ZT(""));
  EXPECT_EQ(ReadRegistryValue(ZT("HKLM"), ZT("V"), 0), ZT(""));
  EXPECT_EQ(ReadRegistryValue(ZT("HKLM\\Software\\Missing"), ZT("V"), 0), ZT(""));
  EXPECT_EQ(KeyLastWriteTime(ZT("HKLM\\Software\\Missing"), 0), 0);
  EXPECT_GT(KeyLastWriteTime(ZT("HKLM\\Software\\A\\B\\C"), 0), 0);
  // Unsupported types create the key and store nothing.
  WriteRegistryValue(ZT("HKCU\\Created\\Only"), ZT("V"), ZT("1"), 99, 0);
  EXPECT_TRUE(platform::RegistryKeyExists(ZT("HKEY_CURRENT_USER"), ZT("Created\\Only"), 0));
  EXPECT_FALSE(platform::RegistryRead(ZT("HKEY_CURRENT_USER"), ZT("Created\\Only"), ZT("V"), 0));
}

}  // namespace
}  // namespace zefa
