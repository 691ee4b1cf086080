#pragma once

#include <cstdint>

namespace zefa {

// Disables every enabled user account whose last logon lies more than `days`
// days back. 0 switches the pass off; a negative value is treated as 0 (with
// a Warning line).
void DisableInactiveAccountsPass(int64_t days);

}  // namespace zefa
