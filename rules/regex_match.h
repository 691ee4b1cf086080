// The regular-expression engine behind the RegEx rule, chosen at build time:
// PCRE (UTF-8 mode, bounded match work) where the build finds it, otherwise
// the C++ standard library's ECMAScript grammar over UTF-16 text.
#pragma once

#include "platform/text.h"

namespace zefa {

// True when `pattern` compiles and does not match anywhere in `subject`;
// false when it matches, does not compile, or the match gave up at its work
// bound. Working copies of the subject are wiped.
bool PatternFindsNoMatch(const Text& pattern, const Text& subject);

// Which engine this build uses ("PCRE" or "std::regex").
const char* RegexEngineName();

}  // namespace zefa
