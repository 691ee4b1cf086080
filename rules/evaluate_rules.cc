#include "rules/evaluate_rules.h"

#include <string>

#include "platform/characters.h"
#include "rules/character_sets.h"
#include "words/forbidden_words.h"
#include "rules/regex_match.h"
#include "rules/rejection_message.h"
#include "util/text_util.h"

namespace zefa {

namespace {

void ScanRuns(const Text& plain, RuleCounters& c) {
  uint32_t previous_code = 0;
  bool have_previous = false;
  WChar previous = 0;
  int64_t sequence = 0;
  int64_t repeat = 0;
  for (WChar ch : plain) {
    const uint32_t code = static_cast<uint16_t>(ch);
    sequence = (code == previous_code + 1 || code + 1 == previous_code) ? sequence + 1 : 1;
    previous_code = code;
    if (have_previous && ch == previous) {
      ++repeat;
    } else {
      repeat = 1;
      previous = ch;
      have_previous = true;
    }
    if (repeat > c.LongestRepeat) c.LongestRepeat = repeat;
    if (sequence > c.LongestSequence) c.LongestSequence = sequence;
  }
}

void ScanCharacters(const Text& password, const PolicySet& set, RuleCounters& c) {
  for (WChar ch : password) {
    if (ch == ZT(' '))
      ++c.Spaces;
    else if (platform::IsCharLower(ch))
      ++c.LowerCase;
    else if (platform::IsCharUpper(ch))
      ++c.UpperCase;
    else if (IsDigitChar(ch))
      ++c.Digits;
    else if (IsSpecialChar(ch))
      ++c.Special;
    if (!set.ForbiddenChars.empty() && set.ForbiddenChars.find(ch) != Text::npos) ++c.BadChars;
    if (!set.AllowedChars.empty() && set.AllowedChars.find(ch) == Text::npos) ++c.BadChars;
    if (IsVowelChar(ch)) ++c.Vowels;
  }
}

bool ContainsName(const RuleSubject& subject, const Text& test_copy, const Text& plain_copy) {
  const Text principal = subject.PrincipalName.substr(0, subject.PrincipalName.find(ZT('@')));
  Text names = ToLower(subject.AccountName + ZT(" ") + subject.FullName + ZT(" ") + principal);
  for (WChar& ch : names)
    if (ch == ZT(',') || ch == ZT('-')) ch = ZT(' ');
  for (const Text& field : SplitFields(names, ZT(' '))) {
    const Text name = TrimBlanks(field);
    if (name.size() <= 3) continue;
    if (Contains(test_copy, name)) return true;
    if (test_copy != plain_copy && Contains(plain_copy, name)) return true;
  }
  return false;
}

// Both the lower-cased password and its de-obfuscated copy are searched (they
// are the same text when NoObfuscation is off): de-obfuscation only adds
// matches, so a listed "p@ssw0rd" is found as written and "pa55word" as
// "password".
Text FindForbiddenWord(const PolicySet& set, const WordList* file_words, const Text& test_copy,
                       const Text& plain_copy) {
  const float threshold =
      set.ForbiddenThreshold > 0 ? static_cast<float>(set.ForbiddenThreshold) / 100.0f : 0.0f;
  Text found;
  if (file_words) found = ForbiddenWordSearch(*file_words, plain_copy, test_copy, threshold);
  if (found.empty())
    found = ForbiddenWordSearch(set.ForbiddenWords, plain_copy, test_copy, threshold);
  return found;
}

}  // namespace

int64_t CountWords(TextView text) {
  int64_t words = 0;
  bool in_word = false;
  for (WChar ch : text) {
    const bool blank = ch == 9 || ch == 32 || ch == 13 || ch == 10;
    if (!blank && !in_word) ++words;
    in_word = !blank;
  }
  return words;
}

void Deobfuscate(Text& text) {
  static const WChar kFrom[] = ZT("0123456789@$");
  static const WChar kTo[] = ZT("oizeasbtbgas");
  for (WChar& ch : text) {
    for (size_t i = 0; kFrom[i] != 0; ++i) {
      if (ch == kFrom[i]) {
        ch = kTo[i];
        break;
      }
    }
  }
}

bool RegExFails(const Text& pattern, const Text& password, std::vector<RuleWarning>& warnings) {
  const RegexResult result = MatchPattern(pattern, password);
  switch (result.Outcome) {
    case RegexOutcome::kMatch:
    case RegexOutcome::kNotCompiled:
      return false;
    case RegexOutcome::kNoMatch:
      return true;
    case RegexOutcome::kMatchError:
      warnings.push_back({pattern, ZT("RegEx ") + pattern + ZT(" could not be matched (") +
                                       Utf8ToText(result.Error) +
                                       ZT("); passwords it cannot match are denied")});
      return true;
  }
  return true;
}

RuleVerdict EvaluateRules(const Text& password, const RuleSubject& subject, const PolicySet& set,
                          const WordList* file_words) {
  RuleVerdict verdict;
  RuleCounters& c = verdict.Counters;
  if (password.empty()) verdict.Accepted = false;

  Text test_copy;
  Text plain_copy;
  if (!password.empty()) {
    c.Length = static_cast<int64_t>(password.size());
    test_copy = ToLower(password);
    plain_copy = test_copy;
    if (set.NoObfuscation != 0) Deobfuscate(test_copy);
    c.Words = CountWords(password);
    ScanRuns(plain_copy, c);
    c.BadFirstChar =
        !set.ForbiddenStartChars.empty() && set.ForbiddenStartChars.find(password[0]) != Text::npos;
    ScanCharacters(password, set, c);
    if (set.NoName != 0) c.NameFound = ContainsName(subject, test_copy, plain_copy);
    c.FoundWord = FindForbiddenWord(set, file_words, test_copy, plain_copy);
    c.Categories = (c.UpperCase > 0) + (c.LowerCase > 0) + (c.Digits > 0) + (c.Special > 0);
  }

  const bool categories_apply = set.CharCategories >= 1 && set.UpperCase == 0 &&
                                set.LowerCase == 0 && set.Number == 0 && set.Special == 0;
  if (categories_apply && c.Categories < set.CharCategories) verdict.Accepted = false;

  Text& message = verdict.Message;
  message = RejectionHeader(subject.AccountName, subject.PrincipalName, subject.DisplayName);
  auto fail = [&](Requirement requirement) {
    verdict.Accepted = false;
    message += RequirementLine(requirement, set, c.FoundWord);
  };
  if (set.UpperCase != 0 && c.UpperCase < set.UpperCase) fail(Requirement::UpperCase);
  if (set.LowerCase != 0 && c.LowerCase < set.LowerCase) fail(Requirement::LowerCase);
  if (set.Number != 0 && c.Digits < set.Number) fail(Requirement::Number);
  if (set.Special != 0 && c.Special < set.Special) fail(Requirement::Special);
  if (set.NoName != 0 && c.NameFound) fail(Requirement::NoName);
  if (set.NoSpace != 0 && c.Spaces > 0) fail(Requirement::NoSpace);
  if (set.NoVowel != 0 && c.Vowels > 0) fail(Requirement::NoVowel);
  if (set.MaxRepeating != 0 && c.LongestRepeat > set.MaxRepeating) fail(Requirement::MaxRepeating);
  if (set.MaxSequential != 0 && c.LongestSequence > set.MaxSequential)
    fail(Requirement::MaxSequential);
  if (c.BadChars > 0) {
    if (!set.ForbiddenChars.empty())
      fail(Requirement::ForbiddenChars);
    else if (!set.AllowedChars.empty())
      fail(Requirement::AllowedChars);
  }
  if (!set.ForbiddenStartChars.empty() && c.BadFirstChar) fail(Requirement::ForbiddenStartChars);
  if (set.ForbiddenActive != 0 && !c.FoundWord.empty()) fail(Requirement::ForbiddenWords);
  if (set.MinLength != 0 && c.Length < set.MinLength) fail(Requirement::MinLength);
  if (set.MaxLength != 0 && c.Length > set.MaxLength) fail(Requirement::MaxLength);
  if (set.MinWords != 0 && c.Words < set.MinWords) fail(Requirement::MinWords);
  if (!set.RegEx.empty() && RegExFails(set.RegEx, password, verdict.Warnings))
    fail(Requirement::RegEx);

  WipeText(test_copy);
  WipeText(plain_copy);
  return verdict;
}

}  // namespace zefa
