#include "words/word_file.h"

#include "logging/log.h"

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

TEST_F(WordFileTest, CrLfAndLoneCrAndLfAllEndALine) {
  WordList list;
  ASSERT_TRUE(
      LoadWordFile(list, WriteFile("w.txt", "one\r\ntwo\n\r\n\nthree\nfour\r\n"), true, false));
  EXPECT_EQ(Entries(list),
            (std::vector<Text>{ZT("one"), ZT("two"), ZT(""), ZT(""), ZT("three"), ZT("four")}));
  // Old Mac line ends, a CR before the end of the file, mixed ends.
  ASSERT_TRUE(LoadWordFile(list, WriteFile("cr.txt", "alpha\rbeta\r\rgamma\r"), true, false));
  EXPECT_EQ(Entries(list), (std::vector<Text>{ZT("alpha"), ZT("beta"), ZT(""), ZT("gamma")}));
  ASSERT_TRUE(LoadWordFile(list, WriteFile("x.txt", "a\rb\nc\r\nlast"), true, false));
  EXPECT_EQ(Entries(list), (std::vector<Text>{ZT("a"), ZT("b"), ZT("c"), ZT("last")}));
  ASSERT_TRUE(LoadWordFile(list, WriteFile("empty.txt", ""), true, false));
  EXPECT_EQ(WordCount(list), 0u);
  // The words of a CR-only file match one by one.
  ASSERT_TRUE(LoadWordFile(list, WriteFile("mac.txt", "Winter\rSummer\r"), true, true));
  FinishWordList(list);
  EXPECT_EQ(ForbiddenWordSearch(list, ZT("hotsummer"), 0), ZT("summer"));
}

// What Notepad ("Unicode", "Unicode big endian", "UTF-8"), PowerShell 5.1's
// Out-File and older editors save.
TEST_F(WordFileTest, Utf16WithByteOrderMarkAndUtf8WithOrWithout) {
  const std::string utf16le(
      "\xFF\xFE"
      "G\0r\0\xFC\0\xDF\0"
      "e\0\r\0\n\0"
      "=\xD8\0\xDE"
      "\r\0\n\0"
      "x\0",
      26);
  const std::string utf16be(
      "\xFE\xFF"
      "\0G\0r\0\xFC\0\xDF"
      "\0e\0\r\0\n"
      "\xD8=\xDE\0"
      "\0\r\0\n"
      "\0x",
      26);
  const std::vector<Text> expected{ZT("gr\u00fc\u00dfe"), ZT("\U0001F600"), ZT("x")};
  WordList list;
  ASSERT_TRUE(LoadWordFile(list, WriteFile("le.txt", utf16le), true, true));
  EXPECT_EQ(Entries(list), expected);
  ASSERT_TRUE(LoadWordFile(list, WriteFile("be.txt", utf16be), true, true));
  EXPECT_EQ(Entries(list), expected);
  ASSERT_TRUE(LoadWordFile(list,
                           WriteFile("u8.txt",
                                     "\xEF\xBB\xBFGr\xC3\xBC\xC3\x9F"
                                     "e\r\n\xF0\x9F\x98\x80\r\nx"),
                           true, true));
  EXPECT_EQ(Entries(list), expected);
  ASSERT_TRUE(LoadWordFile(list,
                           WriteFile("plain.txt",
                                     "Gr\xC3\xBC\xC3\x9F"
                                     "e\n\xF0\x9F\x98\x80\nx\n"),
                           true, true));
  EXPECT_EQ(Entries(list), expected);
  FinishWordList(list);
  EXPECT_EQ(ForbiddenWordSearch(list, ZT("vielegr\u00fc\u00dfe"), 0), ZT("gr\u00fc\u00dfe"));
  // An odd last byte of a UTF-16 file is a replacement character.
  ASSERT_TRUE(
      LoadWordFile(list, WriteFile("odd.txt", std::string("\xFF\xFEo\0k\0!", 7)), true, false));
  EXPECT_EQ(Entries(list), (std::vector<Text>{ZT("ok\uFFFD")}));
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

// A file that is not valid UTF-8 is an 8-bit file of the Windows code page:
// read as Windows-1252, and said so once in the log.
TEST_F(WordFileTest, NotUtf8IsReadAsWindows1252WithOneWarning) {
  const std::string log = (folder_ / "filter.log").string();
  ResetLogDefaults();
  SetLogFilePath(Utf8ToText(log));
  WordList list;
  const Text path = WriteFile("latin.txt",
                              "Gr\xFC\xDF"
                              "e\r\n\x80uro\r\nna\xEFve\r\n\x81\x9F\r\nplain\r\n");
  ASSERT_TRUE(LoadWordFile(list, path, true, true));
  ResetLogDefaults();
  EXPECT_EQ(Entries(list), (std::vector<Text>{ZT("gr\u00fc\u00dfe"), ZT("\u20acuro"),
                                              ZT("na\u00efve"), ZT("\u0081\u00ff"), ZT("plain")}));
  std::vector<std::string> lines;
  {
    std::ifstream in(log, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("\tWarning\tThe word file "), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("latin.txt is not UTF-8 text and was read as Windows-1252"),
            std::string::npos)
      << lines[0];
  FinishWordList(list);
  EXPECT_EQ(ForbiddenWordSearch(list, ZT("sehrgr\u00fc\u00dfe!"), 0), ZT("gr\u00fc\u00dfe"));
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
