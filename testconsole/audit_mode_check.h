#pragma once

#include <vector>

#include "platform/text.h"

namespace zefa {

// One "WARNING  " line for each enabled policy set that is in audit mode:
// such a set logs the passwords it would deny but accepts them.
std::vector<Text> AuditModeWarningLines();

// One "WARNING  " line when policy sets are enabled but UnknownAccountSet
// names none of them: accounts the directory does not know yet (a new
// account's first password, an account renamed in the same request as its
// reset) then go unchecked.
std::vector<Text> UnknownAccountWarningLines();

}  // namespace zefa
