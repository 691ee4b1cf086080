#include "platform/text_decoding.h"

namespace zefa {

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra = 0;
    uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    const uint32_t min_for_len[] = {0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

Text Windows1252ToText(std::string_view bytes) {
  // 0x80 to 0x9F; the rest of the code page equals Latin-1.
  static constexpr uint16_t kHigh[32] = {
      0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  Text out(bytes.size(), WChar{0});
  for (size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    out[i] = static_cast<WChar>(c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : c);
  }
  return out;
}

Text DecodeTextFile(std::string_view bytes, TextFileEncoding* encoding) {
  TextFileEncoding used = TextFileEncoding::kUtf8;
  Text text;
  const auto byte = [&bytes](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 2 &&
      ((byte(0) == 0xFF && byte(1) == 0xFE) || (byte(0) == 0xFE && byte(1) == 0xFF))) {
    const bool little = byte(0) == 0xFF;
    used = little ? TextFileEncoding::kUtf16Le : TextFileEncoding::kUtf16Be;
    const size_t units = (bytes.size() - 2) / 2;
    text.resize(units + (bytes.size() % 2));
    for (size_t u = 0; u < units; ++u) {
      const unsigned a = byte(2 + 2 * u);
      const unsigned b = byte(3 + 2 * u);
      text[u] = static_cast<WChar>(little ? (a | (b << 8)) : ((a << 8) | b));
    }
    if (bytes.size() % 2 != 0) text[units] = static_cast<WChar>(0xFFFD);
  } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    used = TextFileEncoding::kUtf8WithBom;
    text = Utf8ToText(bytes.substr(3));
  } else if (IsValidUtf8(bytes)) {
    text = Utf8ToText(bytes);
  } else {
    used = TextFileEncoding::kWindows1252;
    text = Windows1252ToText(bytes);
  }
  if (encoding != nullptr) *encoding = used;
  return text;
}

}  // namespace zefa
