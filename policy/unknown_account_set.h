// The set that checks the password of an account the directory does not
// know: the global value UnknownAccountSet. The directory has no such
// account while it is being created with its first password, so without
// this set that password would go through unchecked.
#pragma once

#include <cstdint>

#include "platform/text.h"
#include "policy/policies.h"
#include "policy/policy_set.h"

namespace zefa {

struct UnknownAccountChoice {
  int64_t Configured = 0;  // UnknownAccountSet as loaded
  bool Skipped = false;    // the account is an entry of SkipUsers
  // The set of the configuration that checks the password; nullptr when none.
  const PolicySet* Chosen = nullptr;
};

// Chooses the set of `policies` that UnknownAccountSet names when it is
// enabled and the account is not an entry of SkipUsers (compared as whole
// names, any letter case). The chosen set lives as long as `policies`.
UnknownAccountChoice UnknownAccountSelection(const PolicyState& policies, const Text& account_name);

}  // namespace zefa
