#include "samba/wire_text.h"

namespace zefa::host {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at in[i], advancing i past it (one byte for a
// malformed start).
char32_t DecodeOne(const uint8_t* in, size_t size, size_t& i) {
  const uint8_t lead = in[i];
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  size_t extra = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, value = lead & 0x07, minimum = 0x10000;
  } else {
    ++i;
    return kReplacement;
  }
  if (size - i <= extra) {
    ++i;
    return kReplacement;
  }
  for (size_t k = 1; k <= extra; ++k) {
    if ((in[i + k] & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    value = (value << 6) | (in[i + k] & 0x3F);
  }
  i += extra + 1;
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return kReplacement;
  return value;
}

}  // namespace

size_t Utf8ToUtf16(const uint8_t* in, size_t size, char16_t* out, size_t capacity) {
  size_t written = 0;
  for (size_t i = 0; i < size;) {
    const char32_t c = DecodeOne(in, size, i);
    if (c >= 0x10000) {
      if (capacity - written < 2) return kUtf16Overflow;
      out[written++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out[written++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      if (capacity - written < 1) return kUtf16Overflow;
      out[written++] = static_cast<char16_t>(c);
    }
  }
  return written;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out(text.size(), u'\0');  // never more units than bytes
  const size_t n = Utf8ToUtf16(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                               out.data(), out.size());
  out.resize(n == kUtf16Overflow ? 0 : n);
  return out;
}

}  // namespace zefa::host
