// Letter case of UTF-16 code units and secure wiping of memory.
//
// The case tables are the C library's Unicode tables, read through a
// "C.UTF-8" character-type locale made once for the whole process, so the
// answer does not depend on the locale the host program happens to set.

#include <locale.h>
#include <string.h>
#include <wctype.h>

#include "platform/characters.h"

namespace zefa::platform {

namespace {

locale_t UnicodeCtype() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;  // (locale_t)0 when the C library has no such locale
}

bool IsSurrogate(WChar c) { return c >= 0xD800 && c <= 0xDFFF; }

// The C library puts the title-case digraphs (U+01C5 "Dz" and its three
// siblings) in both classes; they are neither upper nor lower case letters,
// so each class below excludes the other.

}  // namespace

bool IsCharUpper(WChar c) {
  if (IsSurrogate(c)) return false;
  const locale_t locale = UnicodeCtype();
  if (locale == static_cast<locale_t>(0)) return c >= u'A' && c <= u'Z';
  return iswupper_l(static_cast<wint_t>(c), locale) != 0 &&
         iswlower_l(static_cast<wint_t>(c), locale) == 0;
}

bool IsCharLower(WChar c) {
  if (IsSurrogate(c)) return false;
  const locale_t locale = UnicodeCtype();
  if (locale == static_cast<locale_t>(0)) return c >= u'a' && c <= u'z';
  return iswlower_l(static_cast<wint_t>(c), locale) != 0 &&
         iswupper_l(static_cast<wint_t>(c), locale) == 0;
}

WChar CharLower(WChar c) {
  if (IsSurrogate(c)) return c;
  const locale_t locale = UnicodeCtype();
  if (locale == static_cast<locale_t>(0)) {
    return (c >= u'A' && c <= u'Z') ? static_cast<WChar>(c + 32) : c;
  }
  const wint_t lower = towlower_l(static_cast<wint_t>(c), locale);
  // A mapping that leaves the Basic Multilingual Plane cannot be one unit.
  return lower <= 0xFFFF ? static_cast<WChar>(lower) : c;
}

void SecureWipe(void* data, size_t size) {
  if (data != nullptr && size > 0) explicit_bzero(data, size);
}

}  // namespace zefa::platform
