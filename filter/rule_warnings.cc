#include "filter/rule_warnings.h"

#include <mutex>
#include <set>

#include "logging/log.h"

namespace zefa {

namespace {

// The subjects logged for the newest generation seen.
struct LoggedSubjects {
  std::mutex lock;
  uint64_t generation = 0;
  std::set<Text> subjects;
};

LoggedSubjects& Logged() {
  static LoggedSubjects logged;
  return logged;
}

// True when `subject` is to be logged now (and counts as logged after).
bool FirstOfGeneration(const Text& subject, uint64_t generation) {
  LoggedSubjects& logged = Logged();
  std::lock_guard<std::mutex> guard(logged.lock);
  // A check still holding an older configuration counts against the record
  // of the newest one.
  if (generation > logged.generation) {
    logged.generation = generation;
    logged.subjects.clear();
  }
  return logged.subjects.insert(subject).second;
}

}  // namespace

void LogRuleWarnings(const std::vector<RuleWarning>& warnings, uint64_t generation) {
  for (const RuleWarning& warning : warnings)
    if (FirstOfGeneration(warning.Subject, generation)) LogWarning(warning.Line);
}

}  // namespace zefa
