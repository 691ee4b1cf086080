// Dates for people: a date value in the user's language.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace zefa {

// Formats a local date value (0 = now) with a picture such as
// "ddd, dd MMM yyyy HH:mm". The picture is split before its first "h" (or,
// without one, its first "H", or else its first "m") into a date part and a
// time part, which the user's locale formats separately. A picture with none
// of these letters gives empty text.
Text FormatLocalDate(int64_t date_value, const Text& pattern);

}  // namespace zefa
