// No rule leaves a copy of the password in memory it frees: every block the
// rules hand back while checking is searched for the password (as typed and
// lower-cased, in UTF-16 and UTF-8).
#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "policy/policies.h"
#include "rules/evaluate_rules.h"
#include "rules/similarity.h"
#include "testing/freed_memory_watch.h"
#include "util/text_util.h"

namespace zefa {
namespace {

using testing::InMemoryForms;
using testing::StopWatchingFreedMemory;
using testing::WatchFreedMemory;

const WChar kLongPassword[] = ZT("Tr0ub4dor&3-XylophoneMass#Quartz+Jumping.Fox");

std::vector<std::string> PasswordForms(const Text& password) {
  std::vector<std::string> forms = InMemoryForms(password);
  for (std::string& form : InMemoryForms(ToLower(password))) forms.push_back(std::move(form));
  return forms;
}

TEST(PasswordCopies, TheWatchSeesUnwipedCopiesAndNotWipedOnes) {
  const Text password = kLongPassword;
  const std::vector<std::string> forms = PasswordForms(password);

  WatchFreedMemory(forms);
  {
    Text copy = password;
    copy += ZT("!");  // grows: the first buffer goes back unwiped, then the second
  }
  EXPECT_EQ(StopWatchingFreedMemory(), 2u);

  WatchFreedMemory(forms);
  {
    std::string utf8 = TextToUtf8(ToLower(password));  // the lower-cased UTF-16 temporary
  }
  EXPECT_EQ(StopWatchingFreedMemory(), 2u);

  WatchFreedMemory(forms);
  {
    Text copy = password;
    WipeText(copy);
  }
  EXPECT_EQ(StopWatchingFreedMemory(), 0u);
}

TEST(PasswordCopies, SimilarityReductionWipesEveryBuffer) {
  // From below the short-string size to well above it, so every growth step
  // of a buffer is reached.
  for (size_t length = 4; length <= Text(kLongPassword).size(); ++length) {
    const Text password = Text(kLongPassword).substr(0, length);
    const std::vector<std::string> forms = PasswordForms(password);
    Text working = password;
    WatchFreedMemory(forms);
    Text reduced = SimilarityReduction(working);
    EXPECT_EQ(StopWatchingFreedMemory(), 0u) << "length " << length;
    EXPECT_TRUE(working.empty());
  }
}

TEST(PasswordCopies, RuleEvaluationWipesEveryBuffer) {
  auto words = std::make_shared<WordList>();
  for (const WChar* w : {ZT("winter"), ZT("xylophone"), ZT("quartz"), ZT("troubador")})
    AppendWord(*words, w);
  FinishWordList(*words);
  PolicySet set;
  set.Index = 1;
  set.Enabled = 1;
  set.MinLength = 12;
  set.MaxLength = 30;
  set.UpperCase = 2;
  set.Number = 3;
  set.MaxRepeating = 2;
  set.MaxSequential = 3;
  set.NoName = 1;
  set.NoObfuscation = 1;
  set.NoSpace = 1;
  set.NoVowel = 1;
  set.AllowedChars = ZT("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789&-#+.");
  set.ForbiddenChars = ZT("<>");
  set.ForbiddenStartChars = ZT("!");
  set.MinWords = 2;
  set.ForbiddenActive = 1;
  set.ForbiddenFile = ZT("words.txt");
  set.ForbiddenWords = {ZT("password"), ZT("mass"), ZT("jumping")};
  const RuleSubject subject{ZT("xylo"), ZT("Quartz-Fox Mass"), ZT("xylo@example.test"),
                            ZT("Quartz Fox")};
  for (const int64_t threshold : {0, 50}) {
    set.ForbiddenThreshold = threshold;
    for (const WChar* pattern : {ZT("[0-9]{2}"), ZT("^(\\w+\\s?)+$"), ZT("(unclosed")}) {
      set.RegEx = pattern;
      for (size_t length = 4; length <= Text(kLongPassword).size(); length += 3) {
        const Text password = Text(kLongPassword).substr(0, length);
        const std::vector<std::string> forms = PasswordForms(password);
        WatchFreedMemory(forms);
        RuleVerdict verdict = EvaluateRules(password, subject, set, words.get());
        EXPECT_EQ(StopWatchingFreedMemory(), 0u) << "length " << length;
      }
    }
  }
}

}  // namespace
}  // namespace zefa
