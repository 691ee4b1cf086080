#include <pcre.h>

#include <string>

#include "platform/characters.h"
#include "rules/regex_match.h"

namespace zefa {

namespace {

// Bounds the work of one match so a pathological pattern cannot stall the
// caller's thread; a match that hits the bound ends in an error.
constexpr unsigned long kMatchLimit = 1000000;
constexpr unsigned long kRecursionLimit = 10000;

bool JitAvailable() {
  static const bool available = [] {
    int jit = 0;
    return pcre_config(PCRE_CONFIG_JIT, &jit) == 0 && jit != 0;
  }();
  return available;
}

// One JIT stack per thread, created on first use and freed with the thread.
struct ThreadJitStack {
  pcre_jit_stack* stack = nullptr;
  ~ThreadJitStack() {
    if (stack != nullptr) pcre_jit_stack_free(stack);
  }
};

pcre_jit_stack* JitStack() {
  thread_local ThreadJitStack holder;
  if (holder.stack == nullptr) holder.stack = pcre_jit_stack_alloc(32 * 1024, 1024 * 1024);
  return holder.stack;
}

std::string MatchErrorText(int rc) {
  switch (rc) {
    case PCRE_ERROR_MATCHLIMIT:
      return "match limit reached";
    case PCRE_ERROR_RECURSIONLIMIT:
      return "recursion limit reached";
#ifdef PCRE_ERROR_JIT_STACKLIMIT
    case PCRE_ERROR_JIT_STACKLIMIT:
      return "JIT stack limit reached";
#endif
    case PCRE_ERROR_NOMEMORY:
      return "out of memory";
    case PCRE_ERROR_BADUTF8:
      return "invalid UTF-8 subject";
    default:
      return "PCRE error " + std::to_string(rc);
  }
}

}  // namespace

RegexResult MatchPattern(const Text& pattern, const Text& subject) {
  RegexResult result;
  const std::string pattern_utf8 = TextToUtf8(pattern);
  const char* error = nullptr;
  int error_offset = 0;
  pcre* compiled = pcre_compile(pattern_utf8.c_str(), PCRE_UTF8, &error, &error_offset, nullptr);
  if (compiled == nullptr) {
    result.Outcome = RegexOutcome::kNotCompiled;
    result.Error = error != nullptr ? error : "does not compile";
    return result;
  }
  const char* study_error = nullptr;
  pcre_extra* studied =
      pcre_study(compiled, JitAvailable() ? PCRE_STUDY_JIT_COMPILE : 0, &study_error);
  pcre_extra fallback = {};
  pcre_extra* extra = studied != nullptr ? studied : &fallback;
  extra->flags |= PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
  extra->match_limit = kMatchLimit;
  extra->match_limit_recursion = kRecursionLimit;
  if (studied != nullptr && JitAvailable()) pcre_assign_jit_stack(studied, nullptr, JitStack());

  std::string subject_utf8 = TextToUtf8(subject);
  int offsets[30];
  const int rc = pcre_exec(compiled, extra, subject_utf8.data(),
                           static_cast<int>(subject_utf8.size()), 0, 0, offsets, 30);
  platform::SecureWipe(subject_utf8.data(), subject_utf8.size());
  platform::SecureWipe(offsets, sizeof offsets);
  if (studied != nullptr) pcre_free_study(studied);
  pcre_free(compiled);

  if (rc >= 0) {
    result.Outcome = RegexOutcome::kMatch;
  } else if (rc == PCRE_ERROR_NOMATCH) {
    result.Outcome = RegexOutcome::kNoMatch;
  } else {
    result.Outcome = RegexOutcome::kMatchError;
    result.Error = MatchErrorText(rc);
  }
  return result;
}

const char* RegexEngineName() { return JitAvailable() ? "PCRE JIT" : "PCRE"; }

}  // namespace zefa
