#pragma once

namespace zefa {

// Prepares this domain controller: finds the netlogon share, builds the
// folder tree on it, fixes the log and data paths, loads the policy sets and
// marks the filter initialised. 1 when it completed, 0 when the netlogon
// share was not found (nothing else is done then).
int ServerInitialisation();

}  // namespace zefa
