// Reloading the eight policy sets from the registry.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>
#include <utility>

#include "policy/policies.h"
#include "rules/evaluate_rules.h"
#include "server/reload_policies.h"
#include "util/server_paths.h"
#include "testing/test_domain.h"
#include "platform/registry.h"

namespace zefa {
namespace {

using testing::TestDomain;

class LoadPoliciesTest : public ::testing::Test {
 protected:
  TestDomain domain;

  std::vector<PolicySet> Sets() { return CurrentPolicies()->Sets; }
  GlobalSettings Globals() { return CurrentPolicies()->Globals; }
  // Gives the loader a words folder, as the server initialisation does.
  void UseWordsFolder() {
    std::filesystem::create_directories(domain.words_folder());
    ServerPaths paths;
    paths.WordsFolder = testing::T(domain.words_folder());
    StoreServerPaths(paths);
  }
  // Log lines of this test, in a file of its own.
  std::string UseLogFile() {
    const std::string path = domain.root() + "/policy.log";
    SetLogFilePath(testing::T(path));
    return path;
  }
  static size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
      ++count;
    return count;
  }
  // Replaces a key's stored record (the registry store's file) with `text`.
  void DamageRecord(const std::string& key_folder, const std::string& text) {
    const std::string record = domain.root() +
                               "/registry/hkey_local_machine/software/policies/clavora" +
                               key_folder + "/.key";
    ASSERT_TRUE(std::filesystem::exists(record)) << record;
    testing::WriteFileText(record, text);
  }
  size_t CachedWords(const std::string& file) {
    const PolicySnapshot policies = CurrentPolicies();
    auto& cache = policies->ForbiddenFileCache;
    auto found = cache.find(testing::T(file));
    return found == cache.end() ? SIZE_MAX : WordCount(*found->second.Words);
  }
};

TEST_F(LoadPoliciesTest, NoRootKeyLoadsNothing) {
  EXPECT_EQ(LoadPolicies(), 0);
  EXPECT_TRUE(Sets().empty());
}

TEST_F(LoadPoliciesTest, ReloadsOnlyWhenTheRootKeyChanged) {
  domain.SetPolicy(0, "SkipUsers", "Admin");
  EXPECT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(Sets().size(), 8u);
  EXPECT_EQ(LoadPolicies(), 0);
  // A change inside a set's subkey alone does not move the root stamp.
  domain.SetPolicy(1, "Enabled", "1");
  EXPECT_EQ(LoadPolicies(), 0);
  EXPECT_EQ(Sets()[0].Enabled, 0);
  TestDomain::ForgetPolicyStamp();
  EXPECT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(Sets()[0].Enabled, 1);
}

TEST_F(LoadPoliciesTest, AChangeWithinTheSecondOfAReloadIsPickedUp) {
  domain.SetPolicy(0, "SkipUsers", "first");
  ASSERT_EQ(LoadPolicies(), 1);
  for (const char* name : {"second", "third", "fourth"}) {
    domain.SetPolicy(0, "SkipUsers", name);
    ASSERT_EQ(LoadPolicies(), 1) << name;
    EXPECT_EQ(Globals().SkipUsers, testing::T(std::string(name) + ";"));
  }
  EXPECT_EQ(LoadPolicies(), 0);
}

TEST_F(LoadPoliciesTest, EmptyListEntriesAreDroppedWithOneWarningPerValue) {
  const std::string log = UseLogFile();
  domain.SetPolicy(0, "SkipGroups", "\r\nAdmins");
  domain.SetPolicy(0, "SkipUsers", "svc\r\n\r\nbackup\r\n");  // inner blank lines collapse
  domain.SetPolicy(2, "Enabled", "1");
  domain.SetPolicy(2, "UserGroups", "a;\"\";b");
  domain.SetPolicy(2, "UserOus", "\r\n\r\nSales\r\n");
  domain.SetPolicy(3, "Enabled", "1");
  domain.SetPolicy(3, "UserOus", "\"\"");
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(Globals().SkipGroups, ZT("admins;"));
  EXPECT_EQ(Globals().SkipUsers, ZT("svc;backup;"));
  EXPECT_EQ(Sets()[1].UserGroups, ZT("a;b;"));
  EXPECT_EQ(Sets()[1].UserOus, ZT("sales;"));
  EXPECT_EQ(Sets()[2].UserOus, ZT("")) << "nothing but an empty entry";

  const std::string text = testing::ReadFileText(log);
  EXPECT_EQ(Count(text, "\tWarning\t"), 4u) << text;
  EXPECT_EQ(Count(text,
                  "\tWarning\tSkipGroups in HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora "
                  "has an empty entry"),
            1u)
      << text;
  EXPECT_EQ(Count(text,
                  "\tWarning\tUserGroups in HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora"
                  "\\2 has an empty entry"),
            1u);
  EXPECT_EQ(Count(text,
                  "\tWarning\tUserOus in HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora"
                  "\\2 has an empty entry"),
            1u);
  EXPECT_EQ(Count(text,
                  "\tWarning\tUserOus in HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora"
                  "\\3 has an empty entry"),
            1u);
}

TEST_F(LoadPoliciesTest, ADamagedKeyIsNamedInAWarning) {
  const std::string log = UseLogFile();
  domain.SetPolicy(0, "SkipUsers", "x");
  domain.SetPolicy(3, "Enabled", "1");
  domain.SetPolicy(3, "MinLength", "12");
  domain.SetPolicy(4, "Enabled", "1");
  DamageRecord("/3", "clavora-registry-key 1\nname 3\nstamp 9223372036854775808\nend\n");
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(Sets()[2].Enabled, 0) << "its values count as absent";
  EXPECT_EQ(Sets()[3].Enabled, 1);
  std::string text = testing::ReadFileText(log);
  EXPECT_EQ(Count(text, "\tWarning\t"), 1u) << text;
  EXPECT_NE(text.find("\tWarning\tThe registry key HKEY_LOCAL_MACHINE\\Software\\Policies\\"
                      "Clavora\\3 exists but cannot be read"),
            std::string::npos)
      << text;

  // A damaged root key is a change too (its record file changed), and named.
  DamageRecord("", "clavora-registry-key 1\nname Clavora\nstamp x\nend\n");
  ASSERT_EQ(LoadPolicies(), 1);
  text = testing::ReadFileText(log);
  EXPECT_NE(text.find("\tWarning\tThe registry key HKEY_LOCAL_MACHINE\\Software\\Policies\\"
                      "Clavora exists but cannot be read"),
            std::string::npos)
      << text;
  EXPECT_EQ(LoadPolicies(), 0) << "one warning per change, not one a minute";
}

TEST_F(LoadPoliciesTest, DisabledSetKeepsEveryDefault) {
  domain.SetPolicy(0, "SkipUsers", "x");
  domain.SetPolicy(3, "Enabled", "0");
  domain.SetPolicy(3, "MinLength", "12");
  domain.SetPolicy(3, "UserGroups", "Sales");
  ASSERT_EQ(LoadPolicies(), 1);
  const PolicySet set = Sets()[2];
  EXPECT_EQ(set.Index, 3);
  EXPECT_EQ(set.MinLength, 0);
  EXPECT_TRUE(set.UserGroups.empty());
}

TEST_F(LoadPoliciesTest, ValuesAreConvertedAsTheirFieldsSay) {
  domain.SetPolicy(0, "SkipUsers", "\"Svc\"\r\nBackup", platform::kRegMultiSz);
  domain.SetPolicy(0, "SkipGroups", "\r\nAdmins");
  domain.SetPolicy(2, "Enabled", "1", platform::kRegDword);
  domain.SetPolicy(2, "MinLength", " 12abc");
  domain.SetPolicy(2, "MaxRepeating", "18446744073709551616");
  domain.SetPolicy(2, "MaxSequential", "-99999999999999999999");
  domain.SetPolicy(2, "MaxLength", "$10");
  domain.SetPolicy(2, "Number", "%101");
  domain.SetPolicy(2, "Special", "$FFFFFFFF", platform::kRegDword);
  domain.SetPolicy(2, "UserGroups", "Sales\r\n\"IT Staff\"", platform::kRegMultiSz);
  domain.SetPolicy(2, "UserOus", "A;;B");
  domain.SetPolicy(2, "Forbidden", "Winter\r\nSUMMER;", platform::kRegMultiSz);
  domain.SetPolicy(2, "NotifyProgramBase64", "1");
  domain.SetPolicy(2, "ForbiddenChars", " !x ");
  ASSERT_EQ(LoadPolicies(), 1);
  const PolicySet set = Sets()[1];
  EXPECT_EQ(set.MinLength, 12);
  EXPECT_EQ(set.MaxRepeating, INT64_MAX) << "too large a number keeps its rule on";
  EXPECT_EQ(set.MaxSequential, 0);  // saturates at the lower limit, and a negative count is off
  EXPECT_EQ(set.MaxLength, 16);
  EXPECT_EQ(set.Number, 5);
  EXPECT_EQ(set.Special, 0);  // 0xFFFFFFFF is -1: off, with a Warning
  EXPECT_EQ(set.UserGroups, ZT("sales;it staff;"));
  EXPECT_EQ(set.UserOus, ZT("a;b;"));
  ASSERT_EQ(set.ForbiddenWords.size(), 2u);
  EXPECT_EQ(set.ForbiddenWords[0], ZT("winter"));
  EXPECT_EQ(set.ForbiddenWords[1], ZT("summer"));
  EXPECT_EQ(set.ForbiddenActive, 1);
  EXPECT_EQ(set.NotifyProgramBase64, 0) << "read only when NotifyProgram is set";
  EXPECT_EQ(set.ForbiddenChars, ZT(" !x "));
  const GlobalSettings globals = Globals();
  EXPECT_EQ(globals.SkipUsers, ZT("\"svc\";backup;"));
  EXPECT_EQ(globals.SkipGroups, ZT("admins;")) << "the empty first entry is dropped";
}

TEST_F(LoadPoliciesTest, DisableInactiveAccountsSurvivesItsRemoval) {
  domain.SetPolicy(0, "DisableInactiveAccounts", "5");
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(Globals().DisableInactiveAccounts, 5);
  platform::RegistryDeleteValue(ZT("HKEY_LOCAL_MACHINE"), ZT("Software\\Policies\\Clavora"),
                                ZT("DisableInactiveAccounts"), 0);
  TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(Globals().DisableInactiveAccounts, 5);
}

TEST_F(LoadPoliciesTest, LogLevelIsReadWithThePolicies) {
  domain.SetPolicy(0, "LogLevel", "2", platform::kRegDword);
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(LogLevel(), 2);
  platform::RegistryDeleteValue(ZT("HKEY_LOCAL_MACHINE"), ZT("Software\\Policies\\Clavora"),
                                ZT("LogLevel"), 0);
  TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(LogLevel(), 0);
}

TEST_F(LoadPoliciesTest, ForbiddenFileIsIgnoredBeforeTheWordsFolderIsKnown) {
  domain.SetPolicy(0, "SkipUsers", "x");
  domain.SetPolicy(1, "Enabled", "1");
  domain.SetPolicy(1, "ForbiddenFile", "words.txt");
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(Sets()[0].ForbiddenActive, 0);
  EXPECT_TRUE(Sets()[0].ForbiddenFile.empty());
}

TEST_F(LoadPoliciesTest, WordFilesAreSharedByNameAndReloadedWhenDateOrSizeDiffer) {
  UseWordsFolder();
  const std::string file = domain.words_folder() + "/common.txt";
  testing::WriteFileText(file, "Alpha\r\nBeta\r\n");
  const auto old_time = std::filesystem::last_write_time(file) - std::chrono::hours(1);
  std::filesystem::last_write_time(file, old_time);
  domain.SetPolicy(0, "SkipUsers", "x");
  for (int set : {1, 4}) {
    domain.SetPolicy(set, "Enabled", "1");
    domain.SetPolicy(set, "ForbiddenFile", "common.txt");
  }
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(CachedWords("common.txt"), 2u);
  EXPECT_EQ(Sets()[3].ForbiddenFile, ZT("common.txt"));
  EXPECT_EQ(Sets()[3].ForbiddenActive, 1);

  // Same date and size: the file is not read again.
  testing::WriteFileText(file, "Gamma\r\nIota\r\n");
  std::filesystem::last_write_time(file, old_time);
  TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(CachedWords("common.txt"), 2u);

  // Same date, other size (an edit within the same second): reloaded, and
  // not appended to.
  testing::WriteFileText(file, "Alpha\r\nBeta\r\nGamma\r\n");
  std::filesystem::last_write_time(file, old_time);
  TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(CachedWords("common.txt"), 3u);

  // An older copy put in its place keeps its older date: reloaded.
  testing::WriteFileText(file, "One\r\nTwo\r\nSix\r\nTen\r\n");
  std::filesystem::last_write_time(file, old_time - std::chrono::hours(24));
  TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(CachedWords("common.txt"), 4u);

  // Newer: reloaded.
  testing::WriteFileText(file, "One\r\nTwo\r\nSix\r\nTen\r\nSum\r\n");
  std::filesystem::last_write_time(file, old_time + std::chrono::minutes(10));
  TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(CachedWords("common.txt"), 5u);

  // Deleted: the entry goes, the sets keep their file name.
  std::filesystem::remove(file);
  TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(LoadPolicies(), 1);
  EXPECT_EQ(CachedWords("common.txt"), SIZE_MAX);
  EXPECT_EQ(Sets()[0].ForbiddenActive, 1);
}

// Without any registry change, a load looks at the word files and stores the
// enabled sets name: a file that appears, changes its date or size, or goes
// away reloads the sets (the new words are checked); nothing else does. A
// word file that goes missing leaves one Warning naming it, and one Info
// line when it is back. Rounds of random edits of both files.
TEST_F(LoadPoliciesTest, ChangedWordFilesAndStoresReloadWithoutARegistryChange) {
  UseWordsFolder();
  const std::string log = UseLogFile();
  const std::string words = domain.words_folder() + "/live.txt";
  const std::string store = domain.words_folder() + "/live.store";
  domain.SetPolicy(0, "SkipUsers", "x");
  domain.SetPolicy(2, "Enabled", "1");
  domain.SetPolicy(2, "ForbiddenFile", "live.txt");
  domain.SetPolicy(2, "PwnedEnabled", "1");
  domain.SetPolicy(2, "PwnedStore", "live.store");
  domain.SetPolicy(3, "ForbiddenFile", "other.txt");  // a disabled set's file is not watched
  ASSERT_EQ(LoadPolicies(), 1);
  size_t warnings = 1, infos = 0, word_count = 0;
  bool present = false;
  const auto base = std::filesystem::file_time_type::clock::now() - std::chrono::hours(2);
  std::mt19937 random(25);
  for (int round = 1; round <= 60; ++round) {
    SCOPED_TRACE(round);
    bool changes = true;
    switch (random() % 5) {
      case 0: {  // new words, a new date
        word_count = 1 + random() % 20;
        std::string text;
        for (size_t i = 0; i < word_count; ++i)
          text += "word" + std::to_string(round * 100 + i) + "\n";
        testing::WriteFileText(words, text);
        std::filesystem::last_write_time(words, base + std::chrono::minutes(round));
        if (!present) ++infos;
        present = true;
        break;
      }
      case 1:  // the same words, touched
        if (present) std::filesystem::last_write_time(words, base + std::chrono::minutes(round));
        changes = present;
        break;
      case 2:  // removed
        if (present) {
          std::filesystem::remove(words);
          ++warnings;
        }
        changes = present;
        present = false;
        break;
      case 3:  // the store replaced
        testing::WriteFileText(store, std::string(1 + round, 'x'));
        break;
      default:  // the other set's file, which no enabled set names
        testing::WriteFileText(domain.words_folder() + "/other.txt", std::to_string(round));
        changes = false;
    }
    EXPECT_EQ(LoadPolicies(), changes ? 1 : 0);
    EXPECT_EQ(LoadPolicies(), 0);
    EXPECT_EQ(CachedWords("live.txt"), present ? word_count : SIZE_MAX);
    const std::string text = testing::ReadFileText(log);
    EXPECT_EQ(Count(text, "\tWarning\tThe forbidden-word file " + words +
                              " (ForbiddenFile of policy set 2) does not exist"),
              warnings);
    EXPECT_EQ(Count(text, "\tInfo\tThe forbidden-word file " + words), infos);
  }
}

// A negative count or length (0xFFFFFFFF is -1) is the rule switched off,
// with a Warning, instead of a rule no password can pass.
TEST_F(LoadPoliciesTest, NegativeCountsAndLengthsAreZeroWithAWarning) {
  domain.SetPolicy(0, "SkipUsers", "x");
  domain.SetPolicy(1, "Enabled", "1");
  domain.SetPolicy(1, "MaxRepeating", "-1", platform::kRegDword);
  domain.SetPolicy(1, "MinLength", "-5");
  domain.SetPolicy(1, "MaxSequential", "4", platform::kRegDword);
  std::filesystem::create_directories(domain.root() + "/log");
  SetLogFilePath(testing::T(domain.root() + "/log/filter.log"));
  ASSERT_EQ(LoadPolicies(), 1);
  const PolicySet set = Sets()[0];
  EXPECT_EQ(set.MaxRepeating, 0);
  EXPECT_EQ(set.MinLength, 0);
  EXPECT_EQ(set.MaxSequential, 4);
  const RuleSubject subject{ZT("jdoe"), ZT(""), ZT(""), ZT("")};
  EXPECT_TRUE(EvaluateRules(ZT("Correct-Horse"), subject, set, nullptr).Accepted);
  const std::string log = testing::ReadFileText(domain.root() + "/log/filter.log");
  EXPECT_NE(log.find("\tWarning\t"), std::string::npos) << log;
  EXPECT_NE(log.find("MaxRepeating is -1, below 0; it is treated as 0"), std::string::npos) << log;
  EXPECT_NE(log.find("MinLength is -5, below 0"), std::string::npos) << log;
}

// A changed word file is read and its list built while checks go on: they
// use the previous configuration, and the new one replaces it at the end.
// The load is held just before it reads the file until the test has looked.
TEST_F(LoadPoliciesTest, ChangedWordFileIsBuiltWhileChecksGoOn) {
  UseWordsFolder();
  const std::string file = domain.words_folder() + "/leaked.txt";
  testing::WriteFileText(file, "Alpha\r\n");
  std::filesystem::last_write_time(file,
                                   std::filesystem::last_write_time(file) - std::chrono::hours(1));
  domain.SetPolicy(0, "SkipUsers", "x");
  domain.SetPolicy(1, "Enabled", "1");
  domain.SetPolicy(1, "ForbiddenFile", "leaked.txt");
  ASSERT_EQ(LoadPolicies(), 1);
  const RuleSubject subject{ZT("jdoe"), ZT(""), ZT(""), ZT("")};
  const auto found = [&](const Text& password) {
    const PolicySnapshot policies = CurrentPolicies();
    const PolicySet& set = policies->Sets[0];
    return EvaluateRules(password, subject, set, ForbiddenFileWords(*policies, set))
        .Counters.FoundWord;
  };
  ASSERT_EQ(found(ZT("alphabet")), ZT("alpha"));

  testing::WriteFileText(file, "Gamma\r\n");
  TestDomain::ForgetPolicyStamp();
  std::promise<void> reading;
  std::promise<void> go_on;
  std::shared_future<void> released = go_on.get_future().share();
  SetWordFileReadHookForTesting([&reading, released](const Text&) {
    reading.set_value();
    released.wait();
  });
  std::thread loader([] { LoadPolicies(); });
  reading.get_future().wait();  // the load is about to read the file
  // Checks on another thread finish while the load waits.
  std::future<std::pair<Text, Text>> checks = std::async(std::launch::async, [&] {
    return std::make_pair(found(ZT("alphabet")), found(ZT("gammaray")));
  });
  const bool answered = checks.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  go_on.set_value();
  loader.join();
  SetWordFileReadHookForTesting(nullptr);
  ASSERT_TRUE(answered) << "a check waited for the load";
  const std::pair<Text, Text> during = checks.get();
  EXPECT_EQ(during.first, ZT("alpha")) << "the previous list serves checks";
  EXPECT_EQ(during.second, ZT(""));
  EXPECT_EQ(found(ZT("alphabet")), ZT(""));
  EXPECT_EQ(found(ZT("gammaray")), ZT("gamma"));
  EXPECT_EQ(CachedWords("leaked.txt"), 1u);
}

}  // namespace
}  // namespace zefa

namespace zefa {
namespace {

// A FIFO named as a word file or as an absolute store (nobody ever writes
// into it) must not block the load: each is left out with one Warning per
// load that names it, and the load after it still runs.
TEST_F(LoadPoliciesTest, AFifoAsWordFileOrStoreNeverBlocksALoad) {
  UseWordsFolder();
  const std::string log = UseLogFile();
  const std::string word_fifo = domain.words_folder() + "/words.fifo";
  const std::string store_fifo = domain.root() + "/store.fifo";
  ASSERT_EQ(mkfifo(word_fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(store_fifo.c_str(), 0600), 0);
  domain.SetPolicy(1, "Enabled", "1");
  domain.SetPolicy(1, "ForbiddenFile", "words.fifo");
  domain.SetPolicy(2, "Enabled", "1");
  domain.SetPolicy(2, "PwnedEnabled", "1");
  domain.SetPolicy(2, "PwnedStore", store_fifo);
  for (int load = 1; load <= 2; ++load) {
    TestDomain::ForgetPolicyStamp();
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread loader([done] {
      ReloadPolicies();  // the load as the library runs it: stores opened too
      done->store(true);
    });
    for (int i = 0; i < 500 && !done->load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool finished = done->load();
    // A reader stuck in a FIFO's open is released by a writer that comes
    // and goes, so a failing test ends instead of hanging.
    for (int i = 0; i < 200 && !done->load(); ++i) {
      for (const std::string& fifo : {word_fifo, store_fifo}) {
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    loader.join();
    ASSERT_TRUE(finished) << "load " << load << " waited for a writer of a FIFO";
    const std::string text = testing::ReadFileText(log);
    EXPECT_EQ(Count(text, "\tWarning\tForbiddenFile " + word_fifo + " is not a regular file"),
              static_cast<size_t>(load))
        << text;
    EXPECT_EQ(Count(text, "\tWarning\tPwnedStore " + store_fifo + " unusable: not a regular file"),
              static_cast<size_t>(load))
        << text;
  }
  EXPECT_EQ(CachedWords("words.fifo"), SIZE_MAX);
}

}  // namespace
}  // namespace zefa
