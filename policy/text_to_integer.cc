#include "policy/text_to_integer.h"

namespace zefa {

namespace {

int DigitValue(WChar c, int base) {
  int v = -1;
  if (c >= ZT('0') && c <= ZT('9'))
    v = c - ZT('0');
  else if (c >= ZT('a') && c <= ZT('f'))
    v = c - ZT('a') + 10;
  else if (c >= ZT('A') && c <= ZT('F'))
    v = c - ZT('A') + 10;
  return v < base ? v : -1;
}

}  // namespace

int64_t TextToInteger(TextView text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ZT(' ') || text[i] == ZT('\t'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == ZT('+') || text[i] == ZT('-'))) {
    negative = text[i] == ZT('-');
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == ZT('$')) {
    base = 16;
    ++i;
  } else if (i < text.size() && text[i] == ZT('%')) {
    base = 2;
    ++i;
  }
  // The magnitude is gathered up to 2^63, the largest one a sign can use
  // (INT64_MIN); anything above stays there.
  constexpr uint64_t kLimit = uint64_t{1} << 63;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const int d = DigitValue(text[i], base);
    if (d < 0) break;
    const uint64_t digit = static_cast<uint64_t>(d);
    if (magnitude > (kLimit - digit) / static_cast<uint64_t>(base)) {
      magnitude = kLimit;
    } else {
      magnitude = magnitude * static_cast<uint64_t>(base) + digit;
    }
  }
  if (negative) return magnitude >= kLimit ? INT64_MIN : -static_cast<int64_t>(magnitude);
  return magnitude >= kLimit ? INT64_MAX : static_cast<int64_t>(magnitude);
}

}  // namespace zefa
