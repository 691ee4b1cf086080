// Mirrors the policy sets into the domain: a container "CN=ZEFA", per
// enabled set NN a group ZEFA_NN that holds exactly the person accounts the
// filter checks by set NN, and a Password Settings Object ZEFA_NN_P that
// applies to that group. The members are computed from the directory view
// (directory/view_keeper.h) by the filter's own choice of set
// (policy/policy_selection.h), so the directory's resultant settings object
// of an account is ZEFA_NN_P exactly when the filter checks it by set NN.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace zefa {

// One full pass over the policy sets of the configuration published when it
// starts (no check or load waits for it): brings the directory view up to
// date, creates the container and the enabled sets' groups, writes their
// descriptions and settings objects, then the members
// (SyncPolicyMembership). False when the pass could not run to its end: no
// directory view, no directory connection, or the connection was lost on
// the way (a server that stopped answering).
bool SyncDirectoryPolicies();

// The members only, from the view as it is: for each set the accounts the
// filter checks by it are compared with the `member` values of ZEFA_NN and
// only the differences are written (values added and removed). The group of
// a set that is not enabled is emptied; so is a ZEFA_NN_C group that an
// earlier version filled. A group that does not exist yet is left to the
// full pass. False when no view is ready, the directory could not be
// reached, or a value could not be written (the next call tries again).
bool SyncPolicyMembership();

// The msDS-PasswordComplexityEnabled value the pass writes: the platform's
// answer ("FALSE" on Windows, where the filter checks composition itself;
// "TRUE" on a Samba DC, where the check-password hook runs only with it).
Text PasswordSettingsComplexity();

// Tests that share one directory: while restricted, the passes touch only
// the objects of the set numbers added with AddToMirrorScopeForTesting (so
// a test process never empties the groups of another's sets). Restricting
// empties the scope; unrestricted (as in service) every set is mirrored.
void RestrictMirrorForTesting(bool restricted);
void AddToMirrorScopeForTesting(int64_t set_index);

}  // namespace zefa
