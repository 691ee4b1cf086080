#include "platform/text.h"

namespace zefa {

namespace {

void AppendUtf16(Text& out, uint32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<WChar>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<WChar>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<WChar>(cp));
  }
}

}  // namespace

Text Utf8ToText(std::string_view s) {
  Text out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp = 0;
    size_t extra = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      out.push_back(static_cast<WChar>(0xFFFD));
      ++i;
      continue;
    }
    bool ok = i + extra < s.size();
    for (size_t k = 1; ok && k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) {
        ok = false;
      } else {
        cp = (cp << 6) | (cc & 0x3F);
      }
    }
    const uint32_t min_for_len[] = {0, 0x80, 0x800, 0x10000};
    if (!ok || cp < min_for_len[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(static_cast<WChar>(0xFFFD));
      ++i;
      continue;
    }
    AppendUtf16(out, cp);
    i += extra + 1;
  }
  return out;
}

std::string TextToUtf8(TextView t) {
  std::string out;
  // The worst case up front (3 bytes a unit), so the buffer never regrows
  // and leaves no stray copy of a secret in freed memory.
  out.reserve(t.size() * 3);
  for (size_t i = 0; i < t.size(); ++i) {
    uint32_t cp = static_cast<uint16_t>(t[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < t.size()) {
      const uint32_t lo = static_cast<uint16_t>(t[i + 1]);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

Text AsciiToText(std::string_view ascii) {
  Text out;
  out.reserve(ascii.size());
  for (char c : ascii) out.push_back(static_cast<WChar>(static_cast<unsigned char>(c)));
  return out;
}

Text IntegerToText(int64_t value) { return AsciiToText(std::to_string(value)); }

}  // namespace zefa
