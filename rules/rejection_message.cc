#include "rules/rejection_message.h"

#include "logging/escape_controls.h"

namespace zefa {

Text RejectionHeader(const Text& account_name, const Text& principal_name,
                     const Text& display_name) {
  return ZT("Requested password for user ") + EscapeControlCharacters(account_name) + ZT(" (") +
         EscapeControlCharacters(principal_name) + ZT("; ") +
         EscapeControlCharacters(display_name) +
         ZT(") was not accepted because it did not meet these requirements:");
}

Text RequirementLine(Requirement requirement, const PolicySet& set, const Text& found_word) {
  auto n = [](int64_t value) { return IntegerToText(value); };
  switch (requirement) {
    case Requirement::UpperCase:
      return ZT("\r\n-Has at least ") + n(set.UpperCase) + ZT(" upper case letters");
    case Requirement::LowerCase:
      return ZT("\r\n-Has at least ") + n(set.LowerCase) + ZT(" lower case letters");
    case Requirement::Number:
      return ZT("\r\n-Has at least ") + n(set.Number) + ZT(" numbers");
    case Requirement::Special:
      return ZT("\r\n-Has at least ") + n(set.Special) + ZT(" special characters");
    case Requirement::NoName:
      return ZT("\r\n-Must not contain the name of the user");
    case Requirement::NoSpace:
      return ZT("\r\n-Must not contain spaces");
    case Requirement::NoVowel:
      return ZT("\r\n-Must not contain any vowels");
    case Requirement::MaxRepeating:
      return ZT("\r\n-Must not contain more than ") + n(set.MaxRepeating) +
             ZT(" repeating characters");
    case Requirement::MaxSequential:
      return ZT("\r\n-Must not contain more than ") + n(set.MaxSequential) +
             ZT(" sequential characters");
    case Requirement::ForbiddenChars:
      return ZT("\r\n-Must not contain any of the forbidden characters ") + set.ForbiddenChars;
    case Requirement::AllowedChars:
      return ZT("\r\n-Must only contain the allowed characters ") + set.AllowedChars;
    case Requirement::ForbiddenStartChars:
      return ZT("\r\n-Must not start with any of the forbidden characters ") +
             set.ForbiddenStartChars;
    case Requirement::ForbiddenWords:
      return ZT("\r\n-Must not contain any of the forbidden words (found ") + found_word + ZT(")");
    case Requirement::MinLength:
      return ZT("\r\n-Must be at least ") + n(set.MinLength) + ZT(" characters long");
    case Requirement::MaxLength:
      return ZT("\r\n-Must be at maximum ") + n(set.MaxLength) + ZT(" characters long");
    case Requirement::MinWords:
      return ZT("\r\n-Must have at least ") + n(set.MinWords) + ZT(" words");
    case Requirement::RegEx:
      return ZT("\r\n-Must match the regular expression ") + set.RegEx;
    case Requirement::NoSimilarity:
      return ZT("\r\n-Must not be similar to previous used passwords");
    case Requirement::Pwned:
      return ZT("\r\n-Must not be listed as compromised in PwnedCheck");
  }
  return Text();
}

}  // namespace zefa
