#pragma once

#include <cstdint>

#include "platform/text.h"

namespace zefa {

// Every numeric configuration value is read this way: leading blanks and
// tabs skipped, an optional sign, then "$" and hexadecimal digits, "%" and
// binary digits, or decimal digits, stopping at the first character that
// does not fit. No digits gives 0. Overflow wraps as 64-bit arithmetic does.
int64_t TextToInteger(TextView text);

}  // namespace zefa
