#pragma once

#include "platform/text.h"

namespace zefa {

inline bool IsDigitChar(WChar c) { return c >= ZT('0') && c <= ZT('9'); }

// The 32 printable ASCII punctuation characters.
inline bool IsSpecialChar(WChar c) {
  return (c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96) ||
         (c >= 123 && c <= 126);
}

inline bool IsVowelChar(WChar c) {
  switch (c) {
    case ZT('A'):
    case ZT('E'):
    case ZT('I'):
    case ZT('O'):
    case ZT('U'):
    case ZT('a'):
    case ZT('e'):
    case ZT('i'):
    case ZT('o'):
    case ZT('u'):
      return true;
    default:
      return false;
  }
}

}  // namespace zefa
