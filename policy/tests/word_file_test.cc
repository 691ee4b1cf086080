#include "policy/word_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zefa {
namespace {

class WordFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        std::filesystem::temp_directory_path() /
        ("word_file_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  Text WriteFile(const std::string& name, const std::string& bytes) {
    const std::filesystem::path path = folder_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return Utf8ToText(path.string());
  }

  std::filesystem::path folder_;
};

std::vector<Text> Entries(const WordList& list) {
  std::vector<Text> out;
  for (size_t i = 0; i < WordCount(list); ++i) out.emplace_back(WordAt(list, i));
  return out;
}

TEST_F(WordFileTest, LineEndsAndBlankLines) {
  WordList list;
  ASSERT_TRUE(
      LoadWordFile(list, WriteFile("w.txt", "one\r\ntwo\n\r\n\nthree\nfour\r\n"), true, false));
  EXPECT_EQ(Entries(list),
            (std::vector<Text>{ZT("one"), ZT("two"), ZT(""), ZT(""), ZT("three"), ZT("four")}));
  // No line end after the last line; a lone carriage return is text.
  ASSERT_TRUE(LoadWordFile(list, WriteFile("x.txt", "a\rb\nlast"), true, false));
  EXPECT_EQ(Entries(list), (std::vector<Text>{ZT("a\rb"), ZT("last")}));
  ASSERT_TRUE(LoadWordFile(list, WriteFile("empty.txt", ""), true, false));
  EXPECT_EQ(WordCount(list), 0u);
}

TEST_F(WordFileTest, ByteOrderMarkIgnoredOnlyAtStart) {
  WordList list;
  ASSERT_TRUE(LoadWordFile(list,
                           WriteFile("bom.txt",
                                     "\xEF\xBB\xBF"
                                     "first\n\xEF\xBB\xBF"
                                     "second"),
                           true, false));
  EXPECT_EQ(Entries(list), (std::vector<Text>{ZT("first"), ZT("\uFEFFsecond")}));
}

TEST_F(WordFileTest, LowerCasesNonAsciiWhenAsked) {
  const Text path =
      WriteFile("case.txt",
                "\xC3\x89T\xC3\x89\n\xD0\xAF\xD0\x91\xD0\x9B\xD0\x9E\xD0\x9A\xD0\x9E\nMiXeD42!\n");
  WordList list;
  ASSERT_TRUE(LoadWordFile(list, path, true, true));
  EXPECT_EQ(Entries(list),
            (std::vector<Text>{ZT("\u00e9t\u00e9"), ZT("\u044f\u0431\u043b\u043e\u043a\u043e"),
                               ZT("mixed42!")}));
  ASSERT_TRUE(LoadWordFile(list, path, true, false));
  EXPECT_EQ(Entries(list),
            (std::vector<Text>{ZT("\u00c9T\u00c9"), ZT("\u042f\u0411\u041b\u041e\u041a\u041e"),
                               ZT("MiXeD42!")}));
}

TEST_F(WordFileTest, MalformedUtf8BecomesReplacementCharacters) {
  WordList list;
  ASSERT_TRUE(LoadWordFile(list, WriteFile("bad.txt", "ok\n\xFF\xC3\n"), true, true));
  EXPECT_EQ(Entries(list), (std::vector<Text>{ZT("ok"), ZT("\uFFFD\uFFFD")}));
}

TEST_F(WordFileTest, AppendsOrReplacesAndSearchesAfterFinish) {
  WordList list;
  ASSERT_TRUE(LoadWordFile(list, WriteFile("a.txt", "Winter\n"), false, true));
  ASSERT_TRUE(LoadWordFile(list, WriteFile("b.txt", "Summer\n"), false, true));
  EXPECT_EQ(Entries(list), (std::vector<Text>{ZT("winter"), ZT("summer")}));
  FinishWordList(list);
  EXPECT_EQ(ForbiddenWordSearch(list, ZT("hotsummer1"), 0), ZT("summer"));

  ASSERT_TRUE(LoadWordFile(list, WriteFile("c.txt", "autumn\n"), true, true));
  EXPECT_EQ(Entries(list), (std::vector<Text>{ZT("autumn")}));
  EXPECT_EQ(ForbiddenWordSearch(list, ZT("hotsummer1"), 0), ZT(""));
}

TEST_F(WordFileTest, MissingFileIsFalse) {
  WordList list;
  AppendWord(list, ZT("kept"));
  const Text missing = Utf8ToText((folder_ / "missing.txt").string());
  EXPECT_FALSE(LoadWordFile(list, missing, false, true));
  EXPECT_EQ(Entries(list), (std::vector<Text>{ZT("kept")}));
  EXPECT_FALSE(LoadWordFile(list, missing, true, true));
  EXPECT_EQ(WordCount(list), 0u);
}

TEST_F(WordFileTest, ExistingButUnreadableLeavesListAndIsTrue) {
  WordList list;
  AppendWord(list, ZT("kept"));
  EXPECT_TRUE(LoadWordFile(list, Utf8ToText(folder_.string()), false, true));
  EXPECT_EQ(Entries(list), (std::vector<Text>{ZT("kept")}));
}

}  // namespace
}  // namespace zefa
