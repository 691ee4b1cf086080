// The platform layer: the user locale. One implementation per platform
// (platform/posix, platform/windows) is chosen at build time. Unless a
// function says otherwise it is safe to call from any thread, never throws,
// and reports failure only through its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace zefa::platform {

// A local date value formatted in the user's default locale, so that day and
// month names (and the AM/PM designator) are in the user's language.
// Date pictures: d, dd (day), ddd, dddd (abbreviated and full day name), M,
// MM (month), MMM, MMMM (month names), y, yy, yyyy (year). Time pictures: h,
// hh (12-hour), H, HH (24-hour), m, mm, s, ss, t, tt (designator). Text in
// single quotes is copied ('' is a quote); any other character is copied.
// Empty text for an empty picture or on failure.
// Windows: GetDateFormatW / GetTimeFormatW with LOCALE_USER_DEFAULT.
// POSIX: the locale named by LC_ALL, LC_TIME or LANG ("C" when that locale
// is not installed).
Text FormatUserDate(int64_t date_value, const Text& picture);
Text FormatUserTime(int64_t date_value, const Text& picture);

}  // namespace zefa::platform
