// Mirrors the enabled policy sets into the domain: a container "CN=ZEFA",
// per set a group of the set's security groups, a group of the users below
// the set's OUs, and a Password Settings Object that applies to the set's
// group.
#pragma once

#include "platform/text.h"

namespace zefa {

// One pass over the loaded policy sets; holds PolicyLock for the whole pass.
// Does nothing when no directory connection can be opened.
void SyncDirectoryPolicies();

// The msDS-PasswordComplexityEnabled value the pass writes: the platform's
// answer ("FALSE" on Windows, where the filter checks composition itself;
// "TRUE" on a Samba DC, where the check-password hook runs only with it).
Text PasswordSettingsComplexity();

}  // namespace zefa
