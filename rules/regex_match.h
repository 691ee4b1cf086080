// The regular-expression engine behind the RegEx rule, chosen at build time:
// PCRE (UTF-8 mode, JIT where the library has it, bounded match work) where
// the build finds it, otherwise the C++ standard library's ECMAScript grammar
// over UTF-16 text.
#pragma once

#include <string>

#include "platform/text.h"

namespace zefa {

enum class RegexOutcome {
  kMatch,        // the pattern occurs in the subject
  kNoMatch,      // it does not
  kNotCompiled,  // the pattern is not valid for this engine
  kMatchError,   // the match ended in an error (work or stack limit, ...)
};

struct RegexResult {
  RegexOutcome Outcome = RegexOutcome::kNoMatch;
  std::string Error;  // the engine's reason, for kNotCompiled and kMatchError
};

// Compiles `pattern` and searches it anywhere in `subject`. Working copies of
// the subject are wiped; the reason never quotes the subject.
RegexResult MatchPattern(const Text& pattern, const Text& subject);

// Which engine this build uses ("PCRE", "PCRE JIT" or "std::regex").
const char* RegexEngineName();

}  // namespace zefa
