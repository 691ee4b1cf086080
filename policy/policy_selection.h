#pragma once

#include <cstdint>

#include "platform/text.h"
#include "policy/policies.h"
#include "policy/policy_set.h"

namespace zefa {

// Chooses the set of `policies` that governs an account: the skip lists
// first, then the first enabled set whose group or OU entries match. Returns
// that set (it lives as long as `policies`), or nullptr when none governs.
const PolicySet* PolicySelection(const PolicyState& policies, const Text& account_name,
                                 const Text& group_names, const Text& container);

// True when an entry of the normalised SkipUsers list names exactly this
// account (any letter case): "administrator" does not exempt "strator".
bool IsSkippedUser(const Text& skip_users, const Text& account_name);

}  // namespace zefa
