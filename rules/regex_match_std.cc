// The standard library's regular expressions, for builds without PCRE. The
// grammar is ECMAScript, close to PCRE's for the patterns a policy uses
// (classes, anchors, quantifiers, alternation, look-ahead); PCRE-only
// syntax such as possessive quantifiers or look-behind does not compile here
// and such a pattern is ignored, as any pattern that does not compile.

#include <exception>
#include <regex>
#include <string>

#include "platform/characters.h"
#include "rules/regex_match.h"

namespace zefa {

namespace {

// std::regex matches recursively; a subject far longer than any password
// could exhaust the stack, so such a subject is not matched at all and
// counts as a match error.
constexpr size_t kMaxSubjectUnits = 4096;

// libstdc++ can match without backtracking (a breadth-first walk of the
// automaton, time linear in the subject for a given pattern), so a
// pathological pattern cannot stall the caller; patterns with
// back-references then do not compile and are ignored.
#if defined(__GLIBCXX__)
constexpr auto kSyntax = std::regex_constants::ECMAScript | std::regex_constants::__polynomial;
#else
constexpr auto kSyntax = std::regex_constants::ECMAScript;
#endif

// The standard library has regex traits for wchar_t only; where WChar is
// char16_t each UTF-16 unit becomes one wchar_t.
std::wstring Widen(const Text& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

RegexResult MatchPattern(const Text& pattern, const Text& subject) {
  RegexResult result;
  std::wregex compiled;
  try {
    compiled.assign(Widen(pattern), kSyntax);
  } catch (const std::exception& e) {
    result.Outcome = RegexOutcome::kNotCompiled;
    result.Error = e.what();
    return result;
  }
  if (subject.size() > kMaxSubjectUnits) {
    result.Outcome = RegexOutcome::kMatchError;
    result.Error = "subject longer than " + std::to_string(kMaxSubjectUnits) + " characters";
    return result;
  }
  std::wstring wide_subject = Widen(subject);
  try {
    result.Outcome =
        std::regex_search(wide_subject, compiled) ? RegexOutcome::kMatch : RegexOutcome::kNoMatch;
  } catch (const std::exception& e) {
    result.Outcome = RegexOutcome::kMatchError;  // complexity or stack
    result.Error = e.what();
  }
  platform::SecureWipe(wide_subject.data(), wide_subject.size() * sizeof(wchar_t));
  return result;
}

const char* RegexEngineName() { return "std::regex"; }

}  // namespace zefa
