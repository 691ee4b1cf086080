#pragma once

#include <cstdint>

#include "platform/text.h"

namespace zefa {

// Every numeric configuration value is read this way: leading blanks and
// tabs skipped, an optional sign, then "$" and hexadecimal digits, "%" and
// binary digits, or decimal digits, stopping at the first character that
// does not fit. No digits gives 0. A number beyond the signed 64-bit range
// gives the nearest limit (INT64_MAX, or INT64_MIN with "-"), so a huge
// value never wraps round to a small one or to 0.
int64_t TextToInteger(TextView text);

}  // namespace zefa
