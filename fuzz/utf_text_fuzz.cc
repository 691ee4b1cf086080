// UTF-8 <-> UTF-16: the filter's conversion and the hook's allocation-free
// one.
//   - both decoders give the same units for any bytes (a password typed
//     through the hook reads as it does everywhere else);
//   - never more units than bytes; the hook's decoder writes within the
//     capacity it is given and reports an overflow exactly when the text
//     does not fit;
//   - valid UTF-8 survives decode and encode byte for byte; any units
//     survive encode and decode with lone surrogates replaced by U+FFFD,
//     in at most three bytes a unit.
#include <memory>
#include <string>

#include "fuzz/fuzz_check.h"
#include "samba/wire_text.h"
#include "platform/text.h"

using zefa::Text;

namespace {

// Well-formed UTF-8 as the Unicode standard's table of byte sequences has it.
bool IsValidUtf8(const uint8_t* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t c = s[i];
    size_t extra = 0;
    uint8_t lo = 0x80, hi = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c == 0xE0) {
      extra = 2, lo = 0xA0;
    } else if (c == 0xED) {
      extra = 2, hi = 0x9F;
    } else if (c >= 0xE1 && c <= 0xEF) {
      extra = 2;
    } else if (c == 0xF0) {
      extra = 3, lo = 0x90;
    } else if (c == 0xF4) {
      extra = 3, hi = 0x8F;
    } else if (c >= 0xF1 && c <= 0xF3) {
      extra = 3;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (size_t k = 2; k <= extra; ++k)
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
    i += extra + 1;
  }
  return true;
}

Text WithLoneSurrogatesReplaced(const Text& t) {
  Text out;
  for (size_t i = 0; i < t.size(); ++i) {
    const char16_t u = t[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < t.size() && t[i + 1] >= 0xDC00 &&
        t[i + 1] <= 0xDFFF) {
      out.push_back(u);
      out.push_back(t[++i]);
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out.push_back(0xFFFD);
    } else {
      out.push_back(u);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Text decoded = zefa::Utf8ToText(bytes);
  FUZZ_CHECK(decoded.size() <= size);
  FUZZ_CHECK(zefa::host::Utf8ToUtf16(bytes) == decoded);

  // The hook's decoder into buffers of exactly the needed size and one less.
  std::unique_ptr<char16_t[]> exact(new char16_t[decoded.size() + 1]);
  FUZZ_CHECK(zefa::host::Utf8ToUtf16(data, size, exact.get(), decoded.size()) == decoded.size());
  FUZZ_CHECK(Text(exact.get(), decoded.size()) == decoded);
  if (!decoded.empty()) {
    std::unique_ptr<char16_t[]> short_by_one(new char16_t[decoded.size() - 1]);
    FUZZ_CHECK(zefa::host::Utf8ToUtf16(data, size, short_by_one.get(), decoded.size() - 1) ==
               zefa::host::kUtf16Overflow);
  }

  if (IsValidUtf8(data, size)) FUZZ_CHECK(zefa::TextToUtf8(decoded) == bytes);

  // The same bytes read as UTF-16LE units.
  Text units;
  for (size_t i = 0; i + 1 < size; i += 2)
    units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  const std::string encoded = zefa::TextToUtf8(units);
  FUZZ_CHECK(encoded.size() <= 3 * units.size());
  FUZZ_CHECK(IsValidUtf8(reinterpret_cast<const uint8_t*>(encoded.data()), encoded.size()));
  FUZZ_CHECK(zefa::Utf8ToText(encoded) == WithLoneSurrogatesReplaced(units));
  return 0;
}
