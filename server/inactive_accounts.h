#pragma once

#include <cstdint>

namespace zefa {

// Disables every enabled user account whose last logon lies more than `days`
// days back. 0 switches the pass off; a negative value is treated as 0 (with
// a Warning line). lastLogonTimestamp lags by up to the domain's
// msDS-LogonTimeSyncInterval (14 days when unset), so a value below that
// interval + 1 counts as interval + 1 (with a Warning line); an interval of
// 0 (no timestamps kept) disables nothing. Each disabled account gets an
// Info line with its name and last logon.
void DisableInactiveAccountsPass(int64_t days);

}  // namespace zefa
