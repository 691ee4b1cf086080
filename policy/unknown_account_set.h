// The set that checks the password of an account the directory does not
// know: the global value UnknownAccountSet. The directory has no such
// account while it is being created with its first password, so without
// this set that password would go through unchecked.
#pragma once

#include <cstdint>

#include "platform/text.h"
#include "policy/policy_set.h"

namespace zefa {

struct UnknownAccountChoice {
  int64_t Configured = 0;  // UnknownAccountSet as loaded
  bool Skipped = false;    // the account is an entry of SkipUsers
  bool Chosen = false;     // `chosen` holds the set
};

// Copies the set that UnknownAccountSet names into `chosen` when it is
// enabled and the account is not an entry of SkipUsers (compared as whole
// names, any letter case). Takes PolicyLock.
UnknownAccountChoice UnknownAccountSelection(PolicySet& chosen, const Text& account_name);

}  // namespace zefa
