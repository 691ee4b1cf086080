// The text that explains a rejection: a header naming the account, then one
// line per requirement the password did not meet, each starting with CR LF
// and "-". Only logged and written to the event log.
#pragma once

#include "platform/text.h"
#include "policy/policy_set.h"

namespace zefa {

enum class Requirement {
  UpperCase,
  LowerCase,
  Number,
  Special,
  NoName,
  NoSpace,
  NoVowel,
  MaxRepeating,
  MaxSequential,
  ForbiddenChars,
  AllowedChars,  // used where ForbiddenChars is empty and AllowedChars is set
  ForbiddenStartChars,
  ForbiddenWords,
  MinLength,
  MaxLength,
  MinWords,
  RegEx,
  NoSimilarity,
  Pwned,
};

Text RejectionHeader(const Text& account_name, const Text& principal_name,
                     const Text& display_name);

// The line of one failed requirement, with its leading "\r\n-".
Text RequirementLine(Requirement requirement, const PolicySet& set, const Text& found_word);

}  // namespace zefa
