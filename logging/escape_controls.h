// Names that reach a log line (account, principal and display names, as the
// caller or the directory gave them) with their control characters written
// out: NUL, CR, LF and the other C0 characters, DEL and the C1 characters
// become "\xNN", the Unicode line and paragraph separators "\u2028" and
// "\u2029". A name can then neither end a log line early nor forge one.
#pragma once

#include <string>
#include <string_view>

#include "platform/text.h"

namespace zefa {

Text EscapeControlCharacters(TextView text);

// The same for UTF-8 text (the host's and the hook's diagnostics).
std::string EscapeControlCharacters(std::string_view utf8);

}  // namespace zefa
