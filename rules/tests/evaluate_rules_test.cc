// The composition rules and the rejection text they produce.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/log.h"

#include "policy/policies.h"
#include "rules/evaluate_rules.h"
#include "rules/regex_match.h"
#include "rules/policy_dump.h"
#include "rules/similarity.h"

namespace zefa {
namespace {

const Text kHeader =
    ZT("Requested password for user jdoe (jdoe@example.test; John Doe) was not accepted because "
       "it did not meet these requirements:");

RuleSubject Subject() {
  return RuleSubject{ZT("jdoe"), ZT("John Doe"), ZT("jdoe@example.test"), ZT("John Doe")};
}

PolicySet Set() {
  PolicySet set;
  set.Index = 1;
  set.Enabled = 1;
  return set;
}

RuleVerdict Check(const Text& password, const PolicySet& set,
                  const RuleSubject& subject = Subject(), const WordList* file_words = nullptr) {
  return EvaluateRules(password, subject, set, file_words);
}

TEST(EvaluateRules, MessageListsFailuresInRuleOrder) {
  PolicySet set = Set();
  set.MinLength = 12;
  set.Number = 1;
  const RuleVerdict v = Check(ZT("short"), set);
  EXPECT_FALSE(v.Accepted);
  EXPECT_EQ(v.Message,
            kHeader + ZT("\r\n-Has at least 1 numbers\r\n-Must be at least 12 characters long"));
}

TEST(EvaluateRules, EveryLineHasItsExactText) {
  PolicySet set = Set();
  set.UpperCase = 3;
  set.LowerCase = 20;
  set.Special = 2;
  set.NoName = 1;
  set.NoSpace = 1;
  set.NoVowel = 1;
  set.MaxRepeating = 2;
  set.MaxSequential = 3;
  set.ForbiddenChars = ZT(" # ~");
  set.ForbiddenStartChars = ZT("j");
  set.ForbiddenActive = 1;
  set.ForbiddenWords = {ZT("doe")};
  set.MaxLength = 5;
  set.MinWords = 4;
  set.RegEx = ZT("^\\d+$");
  const RuleVerdict v = Check(ZT("johnaaa abcd#"), set);
  EXPECT_FALSE(v.Accepted);
  EXPECT_EQ(v.Message, kHeader + ZT("\r\n-Has at least 3 upper case letters"
                                    "\r\n-Has at least 20 lower case letters"
                                    "\r\n-Has at least 2 special characters"
                                    "\r\n-Must not contain the name of the user"
                                    "\r\n-Must not contain spaces"
                                    "\r\n-Must not contain any vowels"
                                    "\r\n-Must not contain more than 2 repeating characters"
                                    "\r\n-Must not contain more than 3 sequential characters"
                                    "\r\n-Must not contain any of the forbidden characters  # ~"
                                    "\r\n-Must not start with any of the forbidden characters j"
                                    "\r\n-Must be at maximum 5 characters long"
                                    "\r\n-Must have at least 4 words"
                                    "\r\n-Must match the regular expression ^\\d+$"));
}

TEST(EvaluateRules, HeaderKeepsSeparatorsForMissingNames) {
  PolicySet set = Set();
  set.MinLength = 30;
  const RuleVerdict v = Check(ZT("x"), set, RuleSubject{ZT("eve"), ZT(""), ZT(""), ZT("")});
  EXPECT_EQ(v.Message, ZT("Requested password for user eve (; ) was not accepted because it did "
                          "not meet these requirements:\r\n-Must be at least 30 characters long"));
}

TEST(EvaluateRules, EmptyPasswordIsRejectedEvenWithoutRules) {
  const RuleVerdict none = Check(ZT(""), Set());
  EXPECT_FALSE(none.Accepted);
  EXPECT_EQ(none.Message, kHeader);
  PolicySet set = Set();
  set.Number = 1;
  set.MaxLength = 3;
  set.NoSpace = 1;
  const RuleVerdict some = Check(ZT(""), set);
  EXPECT_EQ(some.Message, kHeader + ZT("\r\n-Has at least 1 numbers"));
}

TEST(EvaluateRules, CharacterCategories) {
  PolicySet set = Set();
  set.UpperCase = 2;
  EXPECT_FALSE(Check(ZT("Abc123!x"), set).Accepted);
  set.UpperCase = 0;
  set.CharCategories = 3;
  EXPECT_TRUE(Check(ZT("Abc123x"), set).Accepted);
  // A failure of the category count alone gives only the header.
  const RuleVerdict v = Check(ZT("abcdef"), set);
  EXPECT_FALSE(v.Accepted);
  EXPECT_EQ(v.Message, kHeader);
  // Any per-category minimum switches the category count off.
  set.CharCategories = 4;
  set.UpperCase = 1;
  EXPECT_TRUE(Check(ZT("Abcdef"), set).Accepted);
}

TEST(EvaluateRules, CaseOfLettersBeyondAscii) {
  PolicySet set = Set();
  set.UpperCase = 2;
  set.LowerCase = 3;
  EXPECT_TRUE(Check(ZT("ÉЯßσς"), set).Accepted);
  const RuleVerdict v = Check(ZT("É1א"), set);  // a digit and a caseless letter count as neither
  EXPECT_EQ(v.Counters.UpperCase, 1);
  EXPECT_EQ(v.Counters.LowerCase, 0);
  EXPECT_EQ(v.Counters.Digits, 1);
}

TEST(EvaluateRules, BlanksCountOnlyAsSpaces) {
  const RuleVerdict v = Check(ZT("a b"), Set());
  EXPECT_EQ(v.Counters.Spaces, 1);
  EXPECT_EQ(v.Counters.Special, 0);
  EXPECT_EQ(v.Counters.Categories, 1);
}

TEST(EvaluateRules, RepeatsIgnoreCaseAndSequencesTurn) {
  PolicySet set = Set();
  set.MaxRepeating = 2;
  EXPECT_FALSE(Check(ZT("xaAaz"), set).Accepted);
  EXPECT_TRUE(Check(ZT("xaAz"), set).Accepted);
  set = Set();
  set.MaxSequential = 3;
  EXPECT_FALSE(Check(ZT("x1234y"), set).Accepted);
  EXPECT_EQ(Check(ZT("abcb"), set).Counters.LongestSequence, 4);  // up, up, down
  EXPECT_TRUE(Check(ZT("13579"), set).Accepted);
  EXPECT_EQ(Check(ZT("aBcD"), set).Counters.LongestSequence, 4);
}

TEST(EvaluateRules, NameParts) {
  PolicySet set = Set();
  set.NoName = 1;
  const RuleSubject subject{ZT("mjones"), ZT("Mary-Ann Lee, Jones"), ZT("m.jones@example.test"),
                            ZT("")};
  EXPECT_FALSE(Check(ZT("xxMARYxx"), set, subject).Accepted);
  EXPECT_FALSE(Check(ZT("jones!2024"), set, subject).Accepted);
  EXPECT_TRUE(Check(ZT("leelee-ann"), set, subject).Accepted) << "3-letter parts are not searched";
  EXPECT_FALSE(Check(ZT("xMJONESx"), set, subject).Accepted);
  // Obfuscated name found through the de-obfuscated copy.
  set.NoObfuscation = 1;
  EXPECT_FALSE(Check(ZT("J0N3S"), set, subject).Accepted);
}

TEST(EvaluateRules, ForbiddenWordsWithObfuscationAndThreshold) {
  PolicySet set = Set();
  set.ForbiddenActive = 1;
  set.ForbiddenWords = {ZT("password"), ZT("summer")};
  EXPECT_TRUE(Check(ZT("P@$$w0rd!"), set).Accepted);
  set.NoObfuscation = 1;
  const RuleVerdict v = Check(ZT("P@$$w0rd!"), set);
  EXPECT_FALSE(v.Accepted);
  EXPECT_EQ(v.Message,
            kHeader + ZT("\r\n-Must not contain any of the forbidden words (found password)"));

  set = Set();
  set.ForbiddenActive = 1;
  set.ForbiddenWords = {ZT("abc"), ZT("defg"), ZT("hij")};
  set.ForbiddenThreshold = 50;
  EXPECT_TRUE(Check(ZT("abcxxxxxxxxxxx"), set).Accepted);  // 3/14 < 0.5
  const RuleVerdict t = Check(ZT("abcdefgxxxxxxx"), set);  // 3/14 + 4/14 = 0.5
  EXPECT_FALSE(t.Accepted);
  EXPECT_EQ(t.Counters.FoundWord, ZT("defg"));

  // No list, no cache entry: the rule never fails.
  set = Set();
  EXPECT_TRUE(Check(ZT("password"), set).Accepted);
}

// De-obfuscation only adds matches: listed words written with digits, "@" or
// "$" are still found as written, in the policy's list and in a word file.
TEST(EvaluateRules, NoObfuscationAlsoSearchesThePasswordAsWritten) {
  PolicySet set = Set();
  set.ForbiddenActive = 1;
  set.NoObfuscation = 1;
  set.ForbiddenWords = {ZT("p@ssw0rd"), ZT("123456"), ZT("qwerty123"), ZT("$ecret")};
  for (const WChar* leaked : {ZT("P@ssw0rd!"), ZT("x123456x"), ZT("Qwerty123"), ZT("my$ecret")}) {
    EXPECT_FALSE(Check(leaked, set).Accepted) << TextToUtf8(leaked);
  }
  // The earliest listed word found in either copy is named: "qwerty123" is
  // found as written, "password" only through de-obfuscation.
  set.ForbiddenWords = {ZT("zzz"), ZT("password"), ZT("qwerty123")};
  EXPECT_EQ(Check(ZT("Qwerty123"), set).Counters.FoundWord, ZT("qwerty123"));
  EXPECT_EQ(Check(ZT("qwerty123-Pa55word"), set).Counters.FoundWord, ZT("password"));

  auto words = std::make_shared<WordList>();
  for (const WChar* w : {ZT("iloveyou"), ZT("1q2w3e"), ZT("letmein")}) AppendWord(*words, w);
  FinishWordList(*words);
  set.ForbiddenWords.clear();
  set.ForbiddenFile = ZT("leaked.txt");
  EXPECT_EQ(Check(ZT("A1q2w3e!"), set, Subject(), words.get()).Counters.FoundWord, ZT("1q2w3e"));
  EXPECT_EQ(Check(ZT("L3tme1n"), set, Subject(), words.get()).Counters.FoundWord, ZT("letmein"));
  // With a threshold, a word found in either copy counts once: 6/8 + 0.
  set.ForbiddenThreshold = 75;
  EXPECT_EQ(Check(ZT("x1q2w3ex"), set, Subject(), words.get()).Counters.FoundWord, ZT("1q2w3e"));
  set.NoObfuscation = 0;
  EXPECT_TRUE(Check(ZT("L3tme1n"), set, Subject(), words.get()).Accepted);
}

TEST(EvaluateRules, ForbiddenCharactersAndAllowedCharacters) {
  PolicySet set = Set();
  set.AllowedChars = ZT("abc");
  const RuleVerdict only_allowed = Check(ZT("abcd"), set);
  EXPECT_FALSE(only_allowed.Accepted);
  EXPECT_EQ(only_allowed.Message,
            kHeader + ZT("\r\n-Must only contain the allowed characters abc"));
  EXPECT_TRUE(Check(ZT("cab"), set).Accepted);
  set.ForbiddenChars = ZT("#");
  const RuleVerdict both = Check(ZT("abcd"), set);
  EXPECT_EQ(both.Message, kHeader + ZT("\r\n-Must not contain any of the forbidden characters #"));
}

TEST(EvaluateRules, ForbiddenFirstCharacter) {
  PolicySet set = Set();
  set.ForbiddenStartChars = ZT("!");
  EXPECT_FALSE(Check(ZT("!abc"), set).Accepted);
  EXPECT_TRUE(Check(ZT("abc!"), set).Accepted);
}

TEST(EvaluateRules, WordsAreRunsBetweenBlanks) {
  EXPECT_EQ(CountWords(ZT("alpha beta")), 2);
  EXPECT_EQ(CountWords(ZT("alpha-beta")), 1);
  EXPECT_EQ(CountWords(ZT("\t a \r\n b\t")), 2);
  EXPECT_EQ(CountWords(ZT("   ")), 0);
}

TEST(EvaluateRules, RegularExpressions) {
  PolicySet set = Set();
  set.RegEx = ZT("[0-9]{2}");
  EXPECT_TRUE(Check(ZT("ab12cd"), set).Accepted) << "unanchored search";
  EXPECT_FALSE(Check(ZT("ab1cd"), set).Accepted);
  set.RegEx = ZT("ä.ö");  // UTF-8 matching: one character between
  EXPECT_TRUE(Check(ZT("xäßöx"), set).Accepted);
  set.RegEx = ZT("(unclosed");
  const RuleVerdict v = Check(ZT("anything"), set);
  EXPECT_TRUE(v.Accepted) << "a pattern that does not compile is ignored";
}

// The log lines written while `check` runs.
std::vector<std::string> LogLinesOf(const std::function<void()>& check) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("evaluate_rules_log_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
       ".log");
  std::filesystem::remove(path);
  ResetLogDefaults();
  SetLogFilePath(Utf8ToText(path.string()));
  check();
  ResetLogDefaults();
  std::vector<std::string> lines;
  {
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  std::filesystem::remove(path);
  return lines;
}

// A match that ends in an error (here the engine's work or length bound)
// cannot show the password matches, so the password is denied, and the
// verdict carries a warning naming the pattern for its caller to log (the
// rules themselves log nothing; once per load is the filter's business).
TEST(EvaluateRules, RegExMatchErrorsDenyAndReturnAWarningNamingThePattern) {
  PolicySet set = Set();
  set.RegEx = ZT("^(\\w+\\s?)+$");
  for (size_t letters = 10; letters <= 40; ++letters) {
    const Text password = Text(letters, ZT('a')) + ZT("!");
    EXPECT_FALSE(Check(password, set).Accepted) << letters << " letters";
  }
  const Text long_password = Text(5000, ZT('a')) + ZT("!");
  const std::vector<std::string> lines = LogLinesOf([&] {
    for (int i = 0; i < 3; ++i) {
      const RuleVerdict v = Check(long_password, set);
      EXPECT_FALSE(v.Accepted);
      EXPECT_NE(v.Message.find(ZT("-Must match the regular expression")), Text::npos);
      ASSERT_EQ(v.Warnings.size(), 1u);
      EXPECT_EQ(v.Warnings[0].Subject, set.RegEx);
      const std::string line = TextToUtf8(v.Warnings[0].Line);
      EXPECT_EQ(line.rfind("RegEx ^(\\w+\\s?)+$ could not be matched (", 0), 0u) << line;
      EXPECT_EQ(line.find("aaaaaaaa"), std::string::npos) << "the password is never logged";
    }
  });
  EXPECT_TRUE(lines.empty()) << lines.front();
  // A pattern that does not compile is ignored and reports nothing.
  set.RegEx = ZT("(unclosed");
  EXPECT_TRUE(LogLinesOf([&] {
                const RuleVerdict v = Check(long_password, set);
                EXPECT_TRUE(v.Accepted);
                EXPECT_TRUE(v.Warnings.empty());
              }).empty());
}

TEST(SimilarityReduction, CollapsesDigitsAndPunctuation) {
  Text a = ZT("abc");
  EXPECT_EQ(SimilarityReduction(a), ZT("_abc_"));
  EXPECT_TRUE(a.empty());
  Text b = ZT("ab123cd!?");
  EXPECT_EQ(SimilarityReduction(b), ZT("_ab_cd_"));
  Text c = ZT("Summer2024!");
  Text d = ZT("summer#99");
  EXPECT_EQ(SimilarityReduction(c), SimilarityReduction(d));
  Text e = ZT("Été_x");
  EXPECT_EQ(SimilarityReduction(e), ZT("_été_x_"));
}

TEST(PolicyDump, ListsEverySettingInOrder) {
  PolicySet set = Set();
  set.Index = 4;
  set.ForbiddenActive = 1;
  set.ForbiddenWords = {ZT("never shown")};
  set.ForbiddenChars = ZT(" ;");
  const std::vector<Text> lines = PolicyDumpLines(set);
  ASSERT_EQ(lines.size(), 37u);  // the audit-mode value comes after the others
  EXPECT_EQ(lines[0], ZT("Applied Policy Settings:"));
  EXPECT_EQ(lines[1], ZT("  Index: 4"));
  EXPECT_EQ(lines[20], ZT("  ForbiddenChars:  ;"));
  EXPECT_EQ(lines[26], ZT("  Forbidden: 1"));
  EXPECT_EQ(lines[35], ZT("  PasswordHistory: 0"));
  EXPECT_EQ(lines[36], ZT("  AuditOnly: 0"));
}

}  // namespace
}  // namespace zefa
