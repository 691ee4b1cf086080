#include "words/forbidden_words.h"

#include "rules/evaluate_rules.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace zefa {
namespace {

WordList MakeWordList(const std::vector<Text>& words, bool finish) {
  WordList list;
  for (const Text& w : words) AppendWord(list, w);
  if (finish) FinishWordList(list);
  return list;
}

// Runs the search through the short-list walk, the unfinished pool and the
// index; all three must agree.
Text SearchAll(const std::vector<Text>& words, TextView text, float threshold) {
  const Text walked = ForbiddenWordSearch(words, text, threshold);
  EXPECT_EQ(ForbiddenWordSearch(MakeWordList(words, false), text, threshold), walked);
  EXPECT_EQ(ForbiddenWordSearch(MakeWordList(words, true), text, threshold), walked);
  return walked;
}

TEST(ForbiddenWordSearch, WithoutThresholdTheFirstListedWordWins) {
  EXPECT_EQ(SearchAll({ZT("dog"), ZT("cat")}, ZT("catdog"), 0), ZT("dog"));
  EXPECT_EQ(SearchAll({ZT("horse"), ZT("cat"), ZT("dog")}, ZT("dogcat"), -1), ZT("cat"));
  EXPECT_EQ(SearchAll({ZT("dog"), ZT("cat")}, ZT("bird"), 0), ZT(""));
  // Case-sensitive, and a word longer than the text never occurs.
  EXPECT_EQ(SearchAll({ZT("Dog"), ZT("catdogs")}, ZT("catdog"), 0), ZT(""));
}

TEST(ForbiddenWordSearch, ThresholdReportsTheWordThatReachedIt) {
  // Length 8: ab adds 0.25, xyz brings the score to 0.625.
  EXPECT_EQ(SearchAll({ZT("ab"), ZT("xyz"), ZT("cd")}, ZT("abcdxyzq"), 0.5f), ZT("xyz"));
  // Exactly half is enough.
  EXPECT_EQ(SearchAll({ZT("ab"), ZT("qq"), ZT("cd")}, ZT("abcdxyzq"), 0.5f), ZT("cd"));
  EXPECT_EQ(SearchAll({ZT("ab"), ZT("qq")}, ZT("abcdxyzq"), 0.5f), ZT(""));
  // A single word covering the whole text reaches 100 %.
  EXPECT_EQ(SearchAll({ZT("x"), ZT("summer")}, ZT("summer"), 1.0f), ZT("summer"));
  // Three one-unit words in a three-unit text sum to 1 despite rounding.
  EXPECT_EQ(SearchAll({ZT("a"), ZT("b"), ZT("c")}, ZT("abc"), 1.0f), ZT("c"));
}

TEST(ForbiddenWordSearch, DuplicatesCountPerEntryRepeatsInTextOnce) {
  EXPECT_EQ(SearchAll({ZT("ab")}, ZT("abxyzwvu"), 0.5f), ZT(""));
  EXPECT_EQ(SearchAll({ZT("ab"), ZT("ab")}, ZT("abxyzwvu"), 0.5f), ZT("ab"));
  EXPECT_EQ(SearchAll({ZT("ab"), ZT("zz"), ZT("xy"), ZT("ab")}, ZT("abxyzwvu"), 0.75f), ZT("ab"));
  // The word occurs twice in the text but is listed once: 2/8 only.
  EXPECT_EQ(SearchAll({ZT("ab")}, ZT("ababxyzw"), 0.5f), ZT(""));
}

TEST(ForbiddenWordSearch, OverlappingWordsEachCount) {
  // abc and bcd share "bc"; each adds 3/4.
  EXPECT_EQ(SearchAll({ZT("abc"), ZT("bcd")}, ZT("abcd"), 1.0f), ZT("bcd"));
  // Words inside other words, prefixes and suffixes.
  EXPECT_EQ(SearchAll({ZT("bc"), ZT("b"), ZT("abcd")}, ZT("xabcdx"), 1.0f), ZT("abcd"));
  EXPECT_EQ(SearchAll({ZT("abcd"), ZT("cd"), ZT("d")}, ZT("abcd"), 0), ZT("abcd"));
  EXPECT_EQ(SearchAll({ZT("zabcd"), ZT("cd"), ZT("d")}, ZT("abcd"), 0), ZT("cd"));
}

TEST(ForbiddenWordSearch, EmptyEntriesNeverMatch) {
  EXPECT_EQ(SearchAll({ZT(""), ZT("dog")}, ZT("dog"), 0), ZT("dog"));
  EXPECT_EQ(SearchAll({ZT(""), ZT(""), ZT("dog")}, ZT("dogs"), 0.5f), ZT("dog"));
  EXPECT_EQ(SearchAll({ZT("")}, ZT("anything"), 0), ZT(""));
  EXPECT_EQ(SearchAll({}, ZT("anything"), 0), ZT(""));
}

TEST(ForbiddenWordSearch, EmptyTextFindsNothing) {
  EXPECT_EQ(SearchAll({ZT("a"), ZT("")}, ZT(""), 0), ZT(""));
  EXPECT_EQ(SearchAll({ZT("a"), ZT("")}, ZT(""), 0.5f), ZT(""));
}

TEST(ForbiddenWordSearch, ComparesUtf16CodeUnits) {
  const Text text = ZT("x\U0001F600y");  // x, high surrogate, low surrogate, y
  const Text high(1, static_cast<WChar>(0xD83D));
  const Text low(1, static_cast<WChar>(0xDE00));
  EXPECT_EQ(SearchAll({ZT("\U0001F600")}, text, 0), ZT("\U0001F600"));
  EXPECT_EQ(SearchAll({ZT("zz"), low}, text, 0), low);
  EXPECT_EQ(SearchAll({low + ZT("y"), high}, text, 0.75f), high);
  EXPECT_EQ(SearchAll({ZT("\u00e9t\u00e9")}, ZT("l\u00e9t\u00e9"), 0.75f), ZT("\u00e9t\u00e9"));
  EXPECT_EQ(SearchAll({ZT("\u00c9t\u00e9")}, ZT("\u00e9t\u00e9"), 0), ZT(""));
}

TEST(ForbiddenWordSearch, AppendingAfterFinishStillFindsNewWords) {
  WordList list = MakeWordList({ZT("cat")}, true);
  AppendWord(list, ZT("dog"));
  EXPECT_EQ(ForbiddenWordSearch(list, ZT("hotdog"), 0), ZT("dog"));
  FinishWordList(list);
  EXPECT_EQ(ForbiddenWordSearch(list, ZT("hotdogcat"), 0), ZT("cat"));
  ASSERT_EQ(WordCount(list), 2u);
  EXPECT_EQ(WordAt(list, 1), ZT("dog"));
}

// ---------------------------------------------------- index vs plain walk

Text RandomText(std::mt19937& rng, const Text& alphabet, size_t max_length) {
  Text t(std::uniform_int_distribution<size_t>(0, max_length)(rng), WChar{});
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  for (WChar& c : t) c = alphabet[pick(rng)];
  return t;
}

// Words from a small alphabet so that they occur often, with duplicates,
// extensions and truncations of earlier words, and empty entries.
std::vector<Text> RandomWordList(std::mt19937& rng, const Text& alphabet, size_t size,
                                 size_t max_length) {
  std::vector<Text> words;
  std::uniform_int_distribution<int> kind(0, 9);
  while (words.size() < size) {
    const int k = words.empty() ? 0 : kind(rng);
    const Text earlier = words.empty() ? Text() : words[rng() % words.size()];
    if (k <= 4) {
      words.push_back(RandomText(rng, alphabet, max_length));
    } else if (k == 5) {
      words.push_back(earlier);
    } else if (k == 6) {
      words.push_back(earlier + RandomText(rng, alphabet, 2));
    } else if (k == 7) {
      words.push_back(RandomText(rng, alphabet, 2) + earlier);
    } else if (k == 8) {
      words.push_back(earlier.substr(0, earlier.size() / 2));
    } else {
      words.push_back(earlier.substr(earlier.size() / 2));
    }
  }
  return words;
}

// Passwords: random, or glued from listed words and noise.
Text RandomPassword(std::mt19937& rng, const std::vector<Text>& words, const Text& alphabet) {
  if (rng() % 2 == 0) return RandomText(rng, alphabet, 24);
  Text t;
  const size_t parts = 1 + rng() % 4;
  for (size_t i = 0; i < parts; ++i) {
    t += rng() % 3 == 0 ? RandomText(rng, alphabet, 3) : words[rng() % words.size()];
  }
  return t;
}

// The second copy the rules search: the password de-obfuscated.
Text Deobfuscated(Text text) {
  Deobfuscate(text);
  return text;
}

bool CompareOne(const std::vector<Text>& words, const WordList& list, const Text& password,
                const Text& also, const char* what) {
  const float thresholds[] = {0.0f, -1.0f, 0.1f, 0.25f, 1.0f / 3, 0.5f, 0.75f, 1.0f, 1.5f, 7.0f};
  for (const float threshold : thresholds) {
    const Text expected = ForbiddenWordSearch(words, password, also, threshold);
    const Text actual = ForbiddenWordSearch(list, password, also, threshold);
    if (actual != expected) {
      ADD_FAILURE() << what << ": password " << TextToUtf8(password) << " / " << TextToUtf8(also)
                    << " threshold " << threshold << ": walk '" << TextToUtf8(expected)
                    << "', index '" << TextToUtf8(actual) << "'";
      return false;
    }
  }
  return true;
}

void CompareWithWalk(uint32_t seed, const Text& alphabet, size_t lists, size_t list_size,
                     size_t max_length, size_t passwords) {
  std::mt19937 rng(seed);
  for (size_t l = 0; l < lists; ++l) {
    const std::vector<Text> words =
        RandomWordList(rng, alphabet, 1 + rng() % list_size, max_length);
    const WordList list = MakeWordList(words, true);
    // The finished list still reads back entry by entry.
    ASSERT_EQ(WordCount(list), words.size());
    for (size_t i = 0; i < words.size(); ++i) ASSERT_EQ(WordAt(list, i), words[i]) << i;
    for (size_t p = 0; p < passwords; ++p) {
      const Text password = RandomPassword(rng, words, alphabet);
      if (!CompareOne(words, list, password, password, "one copy")) return;
      if (!CompareOne(words, list, password, Deobfuscated(password), "two copies")) return;
    }
  }
}

// The shapes of real lists (as the benchmark generates them): distinct random
// words, dictionary- and password-like words with repeats, and a list of a
// few distinct 1-4-letter words repeated thousands of times.
std::vector<Text> ShapedList(std::mt19937& rng, int shape, size_t size) {
  static const char* const kSyllables[] = {"pa", "ss", "wo", "rd",  "le",  "t",  "me", "in",
                                           "dr", "ag", "on", "sum", "mer", "qw", "er", "ty"};
  const Text letters_digits = ZT("abcdefghijklmnopqrstuvwxyz0123456789@$");
  std::vector<Text> words;
  while (words.size() < size) {
    Text w;
    if (shape == 0) {
      w = RandomText(rng, letters_digits, 20);
      if (w.size() < 8) continue;
    } else if (shape == 1) {
      const size_t parts = 1 + rng() % 4;
      for (size_t i = 0; i < parts; ++i) w += AsciiToText(kSyllables[rng() % 16]);
      if (rng() % 3 == 0) w += IntegerToText(static_cast<int64_t>(rng() % 100));
    } else {
      w = RandomText(rng, ZT("abcdeo0"), 4);
      if (w.empty()) w = ZT("a");
    }
    words.push_back(w);
  }
  return words;
}

TEST(ForbiddenWordSearchDifferential, ListShapesOfTheBenchmark) {
  std::mt19937 rng(7);
  const Text alphabet = ZT("abcdeo0pasword12345@$!");
  for (int shape = 0; shape < 3; ++shape) {
    const std::vector<Text> words = ShapedList(rng, shape, shape == 2 ? 5000 : 3000);
    const WordList list = MakeWordList(words, true);
    for (size_t p = 0; p < 150; ++p) {
      Text password;
      const size_t length = std::vector<size_t>{1, 5, 12, 20, 64, 256}[p % 6];
      while (password.size() < length) {
        password += rng() % 2 ? words[rng() % words.size()] : RandomText(rng, alphabet, 3);
      }
      password.resize(length);
      ASSERT_TRUE(CompareOne(words, list, password, password, "one copy")) << "shape " << shape;
      ASSERT_TRUE(CompareOne(words, list, password, Deobfuscated(password), "two copies"))
          << "shape " << shape;
    }
  }
}

TEST(ForbiddenWordSearchDifferential, SmallAlphabetsManyMatches) {
  CompareWithWalk(1, ZT("ab"), 300, 40, 5, 60);
  CompareWithWalk(2, ZT("abc"), 300, 80, 6, 60);
  const Text with_surrogates =
      Text(ZT("ab")) + static_cast<WChar>(0xD83D) + static_cast<WChar>(0xDE00);
  CompareWithWalk(3, with_surrogates, 200, 60, 5, 60);
  // Units of one, two and three UTF-8 bytes side by side.
  CompareWithWalk(6, ZT("a\u00e9\u20ac\u0800\u07ff\uffff"), 200, 60, 5, 60);
}

TEST(ForbiddenWordSearchDifferential, LargerListDeepFailureChains) {
  CompareWithWalk(4, ZT("abcdef"), 3, 20000, 10, 400);
  CompareWithWalk(5, ZT("abcdefghijklmnopqrstuvwxyz0123456789"), 2, 20000, 14, 400);
}

}  // namespace
}  // namespace zefa
