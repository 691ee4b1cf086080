// Evaluation of every composition and character rule of a policy set. Every
// failing rule clears the verdict and adds its line; evaluation never stops
// at the first failure.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/text.h"
#include "policy/policy_set.h"
#include "words/forbidden_words.h"

namespace zefa {

struct RuleCounters {
  int64_t Length = 0;
  int64_t UpperCase = 0;
  int64_t LowerCase = 0;
  int64_t Digits = 0;
  int64_t Special = 0;
  int64_t Spaces = 0;
  int64_t Vowels = 0;
  int64_t BadChars = 0;
  int64_t LongestRepeat = 0;
  int64_t LongestSequence = 0;
  int64_t Words = 0;
  int64_t Categories = 0;
  bool NameFound = false;
  bool BadFirstChar = false;
  Text FoundWord;
};

struct RuleSubject {
  Text AccountName;
  Text FullName;
  Text PrincipalName;
  Text DisplayName;
};

// A problem of the configuration met while checking, for the caller to log.
struct RuleWarning {
  Text Subject;  // what it is about (a pattern): logged once per policy load
  Text Line;     // the Warning line; never holds the password
};

struct RuleVerdict {
  bool Accepted = true;
  Text Message;  // header plus one line per failure; meaningful when rejected
  RuleCounters Counters;
  std::vector<RuleWarning> Warnings;
};

// Runs the rules of `set` on `password`; `file_words` is the word list of
// the set's ForbiddenFile (nullptr: none). Reads nothing but its arguments,
// takes no lock and logs nothing: what should be logged is returned in
// Warnings. An empty password is rejected (with only the lines of the rules
// that fail on all-zero counts).
RuleVerdict EvaluateRules(const Text& password, const RuleSubject& subject, const PolicySet& set,
                          const WordList* file_words);

// Number of maximal runs of characters other than TAB, SPACE, CR and LF.
int64_t CountWords(TextView text);

// Lower case with the obfuscation table applied (0->o, 1->i, 2->z, 3->e,
// 4->a, 5->s, 6->b, 7->t, 8->b, 9->g, @->a, $->s).
void Deobfuscate(Text& lower_case_text);

// True when the pattern compiles and does not match, or its match ends in an
// error (work or stack limit): such a password cannot be shown to match, so it
// is denied, and the error is added to `warnings` (with the pattern as its
// subject). False when it matches or does not compile (a pattern that does
// not compile is ignored).
bool RegExFails(const Text& pattern, const Text& password, std::vector<RuleWarning>& warnings);

}  // namespace zefa
