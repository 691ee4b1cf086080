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

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// Windows-1252 ("ANSI" on western Windows) to UTF-16. The five bytes the code
// page leaves undefined become the C1 controls of the same value, as Windows
// itself converts them.
Text Windows1252ToText(std::string_view bytes);

// How the bytes of a text file were read by DecodeTextFile.
enum class TextFileEncoding { kUtf8, kUtf8WithBom, kUtf16Le, kUtf16Be, kWindows1252 };

// The text of a file as administrators save it: UTF-16 LE or BE after its
// byte-order mark, UTF-8 with or without its mark, and otherwise (bytes that
// are not valid UTF-8) Windows-1252. The mark is not part of the text; an odd
// last byte of a UTF-16 file becomes U+FFFD.
Text DecodeTextFile(std::string_view bytes, TextFileEncoding* encoding = nullptr);

// ASCII-only helpers for literals and numbers.
Text AsciiToText(std::string_view ascii);
Text IntegerToText(int64_t value);

}  // namespace zefa
