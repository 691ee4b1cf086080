// The history file on disk: salt reuse, eight newest lines, separators, and
// that a failed rewrite never loses the old lines.
#include "history/history_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <string>

#include "history/account_files.h"
#include "history/password_hash.h"
#include "util/text_util.h"
#include "platform/files.h"

namespace zefa {
namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

Text W(const fs::path& path) { return Utf8ToText(path.string()); }

bool IsSalt(const Text& salt) {
  return salt.size() == kSaltLength && salt.find_first_not_of(kSaltAlphabet) == Text::npos;
}

// True when this process may write into a folder whose write permission was
// removed (an administrator); the permission tests cannot fail then.
bool IgnoresPermissions(const fs::path& folder) {
  const fs::path probe = folder / "probe";
  { std::ofstream out(probe); }
  const bool written = fs::exists(probe);
  std::error_code ignored;
  fs::remove(probe, ignored);
  return written;
}

class HistoryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        fs::temp_directory_path() / ("clavora-history-" + std::to_string(std::random_device{}()));
    fs::create_directories(folder_);
    path_ = folder_ / "jdoe.idh";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(folder_, ignored);
  }

  // A history line as the change notification builds it.
  static Text Line(int n, const Text& salt) {
    const Text stamp = ZT("2026-03-0") + IntegerToText(n % 10) + ZT(" 10:00:00");
    return stamp + ZT("\tjdoe\tjdoe@example.test\tJürgen Doe\t") +
           HashPassword(ZT("pw") + IntegerToText(n), kHistoryAlgorithm, 0, salt) + ZT("\t") +
           HashPassword(ZT("pw"), kHistoryAlgorithm, 0, salt);
  }

  fs::path folder_;
  fs::path path_;
};

TEST_F(HistoryFileTest, FirstChangeChoosesTheSaltLaterChangesReuseIt) {
  const Text fresh = ReadHistorySalt(W(path_));
  ASSERT_TRUE(IsSalt(fresh));
  EXPECT_NE(ReadHistorySalt(W(path_)), fresh) << "no file: a new salt every time";

  const Text first = Line(1, fresh);
  ASSERT_EQ(PrependHistoryLine(W(path_), first, kHistoryLines), 1);
  EXPECT_EQ(ReadBytes(path_), TextToUtf8(first)) << "one line, UTF-8, no separator";
  EXPECT_EQ(ReadHistorySalt(W(path_)), fresh);

  const Text second = Line(2, ReadHistorySalt(W(path_)));
  ASSERT_EQ(PrependHistoryLine(W(path_), second, kHistoryLines), 1);
  EXPECT_EQ(ReadBytes(path_), TextToUtf8(second + ZT("\r\n") + first));
  EXPECT_EQ(ReadHistorySalt(W(path_)), fresh);
}

TEST_F(HistoryFileTest, NinthChangeKeepsTheEightNewestFirst) {
  const Text salt = ReadHistorySalt(W(path_));
  ASSERT_EQ(PrependHistoryLine(W(path_), Line(1, salt), kHistoryLines), 1);
  for (int n = 2; n <= 9; ++n) {
    ASSERT_EQ(PrependHistoryLine(W(path_), Line(n, ReadHistorySalt(W(path_))), kHistoryLines), 1);
  }
  Text expected;
  for (int n = 9; n >= 2; --n) expected += Line(n, salt) + (n > 2 ? ZT("\r\n") : ZT(""));
  const std::string content = ReadBytes(path_);
  EXPECT_EQ(content, TextToUtf8(expected));
  EXPECT_NE(content.substr(content.size() - 2), "\r\n");
  EXPECT_NE(content.substr(0, 3), "\xEF\xBB\xBF");
}

TEST_F(HistoryFileTest, OldLinesAreCopiedAsTheyAreWhateverTheirSeparator) {
  WriteBytes(path_, "a\nb\r\n\r\nc\xFF\xFE\r\n");
  ASSERT_EQ(PrependHistoryLine(W(path_), ZT("new"), 8), 1);
  EXPECT_EQ(ReadBytes(path_), "new\r\na\r\nb\r\n\r\nc\xFF\xFE") << "no empty line from the end";

  ASSERT_EQ(PrependHistoryLine(W(path_), ZT("newer"), 3), 1);
  EXPECT_EQ(ReadBytes(path_), "newer\r\nnew\r\na");
  ASSERT_EQ(PrependHistoryLine(W(path_), ZT("only"), 0), 1);
  EXPECT_EQ(ReadBytes(path_), "only");

  WriteBytes(path_, "");
  ASSERT_EQ(PrependHistoryLine(W(path_), ZT("first"), 8), 1);
  EXPECT_EQ(ReadBytes(path_), "first");
}

TEST_F(HistoryFileTest, LineBreaksAtTheEndOfTheOldFileNeverEndTheNewOne) {
  const struct {
    const char* old_content;
    int max_lines;
    const char* expected;
  } cases[] = {
      {"\r\n", 8, "NEW"},
      {"\n\n\r\n", 8, "NEW"},
      {"a\r\n\r\n", 8, "NEW\r\na"},
      {"a\r\n\r\nb", 3, "NEW\r\na"},  // the part kept ends in an empty line
      {"a\r\n\r\nb\r\n", 8, "NEW\r\na\r\n\r\nb"},
  };
  for (const auto& c : cases) {
    WriteBytes(path_, c.old_content);
    ASSERT_EQ(PrependHistoryLine(W(path_), ZT("NEW"), c.max_lines), 1);
    EXPECT_EQ(ReadBytes(path_), c.expected) << c.old_content;
  }
}

TEST_F(HistoryFileTest, TheSaltComesFromTheHashAtTheEndOfTheLine) {
  // Written before names were cleaned: a tab in the display name shifts the
  // hashes to fields 6 and 7.
  WriteBytes(path_,
             "d\tjdoe\tp\tAlice\tAble\t$1:sha256:1000:AbCdEfGh12345678:00ff\t"
             "$1:sha256:1000:AbCdEfGh12345678:11ee\r\nolder");
  EXPECT_EQ(ReadHistorySalt(W(path_)), ZT("AbCdEfGh12345678"));
}

// A damaged history file of many megabytes (one endless line, or many
// lines of garbage) is read no further than a good one: nothing beyond the
// first kHistoryReadBytes counts, and the next change rewrites it short.
TEST_F(HistoryFileTest, ADamagedHugeFileIsReadOnlyAsFarAsAGoodOneAndRewrittenShort) {
  std::mt19937 random(5);
  for (const bool with_lines : {false, true}) {
    std::string garbage(20 * 1024 * 1024, 'x');
    for (char& c : garbage) {
      c = static_cast<char>('!' + random() % 90);
      if (with_lines && random() % 64 == 0) c = '\n';
    }
    WriteBytes(path_, garbage);
    std::vector<std::string> lines;
    ASSERT_EQ(ReadHistoryLines(W(path_), lines), platform::FileRead::kRead);
    EXPECT_LE(lines.size(), static_cast<size_t>(kHistoryLines));
    size_t bytes = 0;
    for (const std::string& line : lines) bytes += line.size() + 1;
    EXPECT_LE(bytes, kHistoryReadBytes);
    EXPECT_TRUE(IsSalt(ReadHistorySalt(W(path_))));

    const Text salt = ZT("abcdefghijklmnop");
    ASSERT_EQ(PrependHistoryLine(W(path_), Line(1, salt), kHistoryLines), 1);
    const std::string rewritten = ReadBytes(path_);
    EXPECT_LE(rewritten.size(), kHistoryReadBytes + TextToUtf8(Line(1, salt)).size() + 2);
    EXPECT_EQ(rewritten.rfind(TextToUtf8(Line(1, salt)), 0), 0u);
    EXPECT_EQ(ReadHistorySalt(W(path_)), salt);
  }
}

TEST(HistoryFieldText, ControlCharactersBecomeBlanks) {
  EXPECT_EQ(HistoryFieldText(ZT("Alice\tAble")), ZT("Alice Able"));
  EXPECT_EQ(HistoryFieldText(ZT("a\r\nb\x7F\x85\u2028c")), ZT("a  b   c"));
  EXPECT_EQ(HistoryFieldText(Text(ZT("x\0y"), 3)), ZT("x y"));
  EXPECT_EQ(HistoryFieldText(ZT("Grüße, Ærøskøbing")), ZT("Grüße, Ærøskøbing"));
}

TEST_F(HistoryFileTest, MalformedFirstLineGivesAFreshSalt) {
  const std::string good_hash = "$1:sha256:1000:AbCdEfGh12345678:00ff";
  WriteBytes(path_, "d\tjdoe\tp\tn\t" + good_hash + "\tx");
  EXPECT_EQ(ReadHistorySalt(W(path_)), ZT("AbCdEfGh12345678"));
  WriteBytes(path_,
             "\xEF\xBB\xBF"
             "d\tjdoe\tp\tn\t" +
                 good_hash + "\r\nrest");
  EXPECT_EQ(ReadHistorySalt(W(path_)), ZT("AbCdEfGh12345678")) << "a byte-order mark is skipped";

  const std::string malformed[] = {
      "",                                              // empty file
      "d\tjdoe\tp\t" + good_hash,                      // four tab fields
      "d\tjdoe\tp\tn\t$1:sha256:1000",                 // three ":" fields
      "d\tjdoe\tp\tn\t$1:sha256:1000::00ff",           // empty salt field
      "d\tjdoe\tp\tn\r\nd\tjdoe\tp\tn\t" + good_hash,  // only the first line counts
  };
  for (const std::string& content : malformed) {
    WriteBytes(path_, content);
    const Text salt = ReadHistorySalt(W(path_));
    EXPECT_TRUE(IsSalt(salt)) << content;
    EXPECT_NE(salt, ZT("AbCdEfGh12345678")) << content;
  }
  EXPECT_TRUE(IsSalt(ReadHistorySalt(W(folder_)))) << "a folder cannot be read as a file";
}

TEST_F(HistoryFileTest, MissingFolderOrFolderInTheWayReturnZero) {
  const fs::path missing = folder_ / "no-such-folder" / "jdoe.idh";
  EXPECT_EQ(PrependHistoryLine(W(missing), ZT("line"), 8), 0);
  EXPECT_FALSE(fs::exists(missing.parent_path()));

  const fs::path folder_as_file = folder_ / "taken.idh";
  fs::create_directory(folder_as_file);
  EXPECT_EQ(PrependHistoryLine(W(folder_as_file), ZT("line"), 8), 0);
  EXPECT_TRUE(fs::is_directory(folder_as_file));
  EXPECT_EQ(PrependHistoryLine(Text(), ZT("line"), 8), 0);
}

TEST_F(HistoryFileTest, ReadOnlyFolderOrUnreadableFileReturnZeroAndKeepTheOldFile) {
  WriteBytes(path_, "old 1\r\nold 2");
  fs::permissions(folder_,
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  if (IgnoresPermissions(folder_)) GTEST_SKIP() << "running with administrator rights";
  EXPECT_EQ(PrependHistoryLine(W(path_), ZT("new"), 8), 0);
  EXPECT_EQ(ReadBytes(path_), "old 1\r\nold 2");
  fs::permissions(folder_, fs::perms::owner_write, fs::perm_options::add);

  fs::permissions(path_, fs::perms::none);
  EXPECT_EQ(PrependHistoryLine(W(path_), ZT("new"), 8), 0) << "unreadable: its lines would be lost";
  fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(ReadBytes(path_), "old 1\r\nold 2");
}

TEST_F(HistoryFileTest, AFailedRewriteNeverLosesTheOldLines) {
  // A name at the length limit leaves no room for the temporary file the
  // new content is first written to, so the rewrite fails after the read.
  const fs::path longest = folder_ / (std::string(251, 'x') + ".idh");
  WriteBytes(longest, "old 1\r\nold 2");
  ASSERT_EQ(ReadBytes(longest), "old 1\r\nold 2");
  const int written = PrependHistoryLine(W(longest), ZT("new"), 8);
  EXPECT_EQ(ReadBytes(longest), written == 1 ? "new\r\nold 1\r\nold 2" : "old 1\r\nold 2");
  for (const auto& entry : fs::directory_iterator(folder_)) {
    EXPECT_EQ(entry.path(), longest) << "no temporary file is left behind";
  }
}

}  // namespace
}  // namespace zefa

namespace zefa {
namespace {

// Over many generated names, from a small alphabet rich in the characters
// that matter: every account gets a file name inside the folder that either
// platform can create, plain names keep their name, and the name leads back
// to exactly its account.
TEST(AccountFileName, EveryAccountGetsItsOwnFileAndPlainNamesKeepTheirs) {
  const Text alphabet = ZT("ab.=/\\:*?\"<>|\t\x7F\x01 %$-_\u00e9\u4e2d");
  std::mt19937 random(23);
  std::set<Text> names;
  std::set<Text> accounts;
  for (int round = 0; round < 20000; ++round) {
    Text account;
    const size_t length = 1 + random() % 8;
    for (size_t i = 0; i < length; ++i) account.push_back(alphabet[random() % alphabet.size()]);
    if (round % 7 == 0) account = (round % 2 ? ZT("con") : ZT("LPT3")) + account;
    const Text name = AccountFileName(account);
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name.find(ZT("..")), Text::npos) << TextToUtf8(name);
    for (WChar c : name)
      EXPECT_TRUE(c >= 0x20 && c != 0x7F && TextView(ZT("/\\:*?\"<>|")).find(c) == TextView::npos)
          << TextToUtf8(name);
    const bool plain = account.find_first_of(ZT("=/\\:*?\"<>|\t\x7F\x01")) == Text::npos &&
                       account.find(ZT("..")) == Text::npos &&
                       !(account.size() >= 3 &&
                         (account.substr(0, 3) == ZT("con") || account.substr(0, 3) == ZT("LPT")));
    if (plain) {
      EXPECT_EQ(name, account);
    }
    const std::optional<Text> back = AccountOfFileName(name);
    ASSERT_TRUE(back.has_value()) << TextToUtf8(name);
    EXPECT_EQ(*back, account);
    if (accounts.insert(account).second) {
      EXPECT_TRUE(names.insert(name).second) << TextToUtf8(name);
    }
    EXPECT_EQ(AccountFilePath(ZT("f"), account, ZT(".idh")), JoinPath(ZT("f"), name + ZT(".idh")));
  }
  EXPECT_FALSE(AccountOfFileName(ZT("a=2")).has_value());
  EXPECT_FALSE(AccountOfFileName(ZT("a=61")).has_value()) << "an escape of a plain character";
  EXPECT_EQ(AccountFileName(ZT("../x")), ZT(".=2E=2Fx"));
  EXPECT_EQ(AccountFileName(ZT("Smith, John (x)")), ZT("Smith, John (x)"));
}

}  // namespace
}  // namespace zefa
