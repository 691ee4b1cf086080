#include <pcre.h>

#include <string>

#include "platform/platform.h"
#include "rules/regex_match.h"

namespace zefa {

namespace {

// Bounds the work of one match so a pathological pattern cannot stall the
// caller's thread; a match that hits the bound counts as no verdict.
constexpr unsigned long kMatchLimit = 1000000;

}  // namespace

bool PatternFindsNoMatch(const Text& pattern, const Text& subject) {
  const std::string pattern_utf8 = TextToUtf8(pattern);
  const char* error = nullptr;
  int error_offset = 0;
  pcre* compiled = pcre_compile(pattern_utf8.c_str(), PCRE_UTF8, &error, &error_offset, nullptr);
  if (compiled == nullptr) return false;
  pcre_extra extra = {};
  extra.flags = PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  extra.match_limit = kMatchLimit;
  extra.match_limit_recursion = kMatchLimit / 100;
  std::string subject_utf8 = TextToUtf8(subject);
  int offsets[30];
  const int rc = pcre_exec(compiled, &extra, subject_utf8.data(),
                           static_cast<int>(subject_utf8.size()), 0, 0, offsets, 30);
  pcre_free(compiled);
  platform::SecureWipe(subject_utf8.data(), subject_utf8.size());
  return rc == PCRE_ERROR_NOMATCH;
}

const char* RegexEngineName() { return "PCRE"; }

}  // namespace zefa
