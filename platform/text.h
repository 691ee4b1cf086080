// Wide text as the filter keeps it in memory: UTF-16 code units.
// On Windows the code unit is wchar_t (so Win32 calls take it directly);
// elsewhere it is char16_t. Literals are written ZT("...").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zefa {

#if defined(_WIN32)
using WChar = wchar_t;
#define ZT(s) L##s
#else
using WChar = char16_t;
#define ZT(s) u##s
#endif

static_assert(sizeof(WChar) == 2, "text is UTF-16");

using Text = std::basic_string<WChar>;
using TextView = std::basic_string_view<WChar>;

// UTF-8 <-> UTF-16. Malformed input becomes U+FFFD; never fails.
Text Utf8ToText(std::string_view utf8);
std::string TextToUtf8(TextView text);

// ASCII-only helpers for literals and numbers.
Text AsciiToText(std::string_view ascii);
Text IntegerToText(int64_t value);

}  // namespace zefa
