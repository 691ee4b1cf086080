// The warnings the rules return with a verdict, logged by the check that
// got them: each subject once per published policy load.
#pragma once

#include <cstdint>
#include <vector>

#include "rules/evaluate_rules.h"

namespace zefa {

// Logs each warning as a Warning line unless a warning with its subject was
// logged for the same `generation` (PolicyState::Generation of the
// configuration the check used) already; a new generation logs each subject
// once more. Safe to call from any thread.
void LogRuleWarnings(const std::vector<RuleWarning>& warnings, uint64_t generation);

}  // namespace zefa
