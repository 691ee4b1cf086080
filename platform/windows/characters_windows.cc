// Letter case of UTF-16 code units (the system's own Unicode tables) and
// secure wiping of memory.

#include "platform/windows/win_util.h"

#include "platform/characters.h"

namespace zefa::platform {

namespace {

bool IsSurrogate(WChar c) { return c >= 0xD800 && c <= 0xDFFF; }

// Title-case digraphs (U+01C5 and its siblings) may answer to both
// questions; they are neither upper nor lower case letters, so each class
// below excludes the other.

}  // namespace

bool IsCharUpper(WChar c) {
  if (IsSurrogate(c)) return false;
  return IsCharUpperW(c) != FALSE && IsCharLowerW(c) == FALSE;
}

bool IsCharLower(WChar c) {
  if (IsSurrogate(c)) return false;
  return IsCharLowerW(c) != FALSE && IsCharUpperW(c) == FALSE;
}

WChar CharLower(WChar c) {
  if (IsSurrogate(c) || c == 0) return c;
  // With a zero high word CharLowerW takes the pointer argument as one
  // character and returns its lower case the same way.
  const ULONG_PTR result =
      reinterpret_cast<ULONG_PTR>(CharLowerW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(c))));
  return static_cast<WChar>(result & 0xFFFF);
}

void SecureWipe(void* data, size_t size) {
  if (data != nullptr && size > 0) SecureZeroMemory(data, size);
}

}  // namespace zefa::platform
