// Text put into directory requests and distinguished names taken apart:
// every value written into a search filter goes through EscapeFilterValue
// (RFC 4515), every name written into a DN through EscapeDnValue (RFC 4514),
// and a DN's parent starts after its first comma that is not escaped. Used by the filter library,
// the reminder, the platform's own directory translations and the Samba host alike.
#pragma once

#include "platform/text.h"

namespace zefa {

// A value inside a filter item, "(attr=" + value + ")": "*", "(", ")", "\"
// and NUL are written as "\" and two hexadecimal digits, so the value only
// ever matches itself ("tom(x)" -> "tom\28x\29", "domain*" -> "domain\2a").
Text EscapeFilterValue(const Text& value);

// A value inside one relative name, "CN=" + value: the characters that
// separate or quote ("," "+" ";" "\"" "<" ">" "\"), a leading "#" or blank and
// a trailing blank are preceded by "\"; NUL is written "\00"
// ("Smith, John" -> "Smith\, John").
Text EscapeDnValue(const Text& value);

// The DN of the parent: everything after the first comma that is not
// escaped ("CN=Smith\, John,OU=Sales,DC=example" -> "OU=Sales,DC=example");
// empty when the DN has a single relative name.
Text ParentDn(const Text& dn);

}  // namespace zefa
