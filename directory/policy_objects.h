// Mirrors the enabled policy sets into the domain: a container "CN=ZEFA",
// per set a group of the set's security groups, a group of the users below
// the set's OUs, and a Password Settings Object that applies to the set's
// group.
#pragma once

#include "platform/text.h"

namespace zefa {

// One pass over the policy sets of the configuration published when it
// starts (no check or load waits for it). False when the
// pass could not run to its end: no directory connection, or the
// connection was lost on the way (a server that stopped answering).
bool SyncDirectoryPolicies();

// The msDS-PasswordComplexityEnabled value the pass writes: the platform's
// answer ("FALSE" on Windows, where the filter checks composition itself;
// "TRUE" on a Samba DC, where the check-password hook runs only with it).
Text PasswordSettingsComplexity();

}  // namespace zefa
