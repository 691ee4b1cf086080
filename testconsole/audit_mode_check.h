#pragma once

#include <vector>

#include "platform/text.h"

namespace zefa {

// One "WARNING  " line for each enabled policy set that is in audit mode:
// such a set logs the passwords it would deny but accepts them.
std::vector<Text> AuditModeWarningLines();

}  // namespace zefa
