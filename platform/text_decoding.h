// Reading the text of files as administrators save them: UTF-8 with or
// without byte-order mark, UTF-16 with its mark, or 8-bit Windows-1252.
#pragma once

#include <string_view>

#include "platform/text.h"

namespace zefa {

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

}  // namespace zefa
