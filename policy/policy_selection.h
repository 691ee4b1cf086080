#pragma once

#include <cstdint>

#include "platform/text.h"
#include "policy/policy_set.h"

namespace zefa {

// Chooses the set that governs an account: the skip lists first, then the
// first enabled set whose group or OU entries match. Copies that set into
// `chosen` and returns 1; returns 0 (leaving `chosen` untouched) otherwise.
int PolicySelection(PolicySet& chosen, const Text& account_name, const Text& group_names,
                    const Text& container);

// The same choice as PolicySelection without the copy: the chosen set's
// Index, 0 when no set applies.
int64_t SelectedSetIndex(const Text& account_name, const Text& group_names, const Text& container);

// True when an entry of the normalised SkipUsers list names exactly this
// account (any letter case): "administrator" does not exempt "strator".
bool IsSkippedUser(const Text& skip_users, const Text& account_name);

}  // namespace zefa
