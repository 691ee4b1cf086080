// Text to integer against a plain reference that reads the digits into a
// 128-bit number and saturates at the 64-bit limits.
#include <cstdint>
#include <limits>

#include "fuzz/fuzz_check.h"
#include "platform/text.h"
#include "policy/text_to_integer.h"

using zefa::Text;

namespace {

int64_t Reference(const Text& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  int base = 10;
  if (i < text.size() && text[i] == u'$') {
    base = 16, ++i;
  } else if (i < text.size() && text[i] == u'%') {
    base = 2, ++i;
  }
  const __int128 cap = static_cast<__int128>(1) << 64;  // beyond every 64-bit result
  __int128 value = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    int d = -1;
    if (c >= u'0' && c <= u'9') d = c - u'0';
    if (base == 16 && c >= u'a' && c <= u'f') d = c - u'a' + 10;
    if (base == 16 && c >= u'A' && c <= u'F') d = c - u'A' + 10;
    if (d < 0 || d >= base) break;
    value = value * base + d;
    if (value > cap) value = cap;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
  if (value < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each byte one unit (dense ASCII), then the bytes as UTF-8.
  Text units(data, data + size);
  FUZZ_CHECK(zefa::TextToInteger(units) == Reference(units));
  const Text decoded =
      zefa::Utf8ToText(std::string_view(reinterpret_cast<const char*>(data), size));
  FUZZ_CHECK(zefa::TextToInteger(decoded) == Reference(decoded));
  return 0;
}
