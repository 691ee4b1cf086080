#include "logging/escape_controls.h"

namespace zefa {

namespace {

constexpr char kHex[] = "0123456789abcdef";

bool IsControl(uint32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }
bool IsSeparator(uint32_t c) { return c == 0x2028 || c == 0x2029; }

template <typename Out>
void AppendEscape(Out& out, uint32_t c) {
  using Unit = typename Out::value_type;
  out += static_cast<Unit>('\\');
  if (IsSeparator(c)) {
    out += static_cast<Unit>('u');
    for (int shift = 12; shift >= 0; shift -= 4) out += static_cast<Unit>(kHex[(c >> shift) & 0xF]);
    return;
  }
  out += static_cast<Unit>('x');
  out += static_cast<Unit>(kHex[(c >> 4) & 0xF]);
  out += static_cast<Unit>(kHex[c & 0xF]);
}

}  // namespace

Text EscapeControlCharacters(TextView text) {
  Text out;
  out.reserve(text.size());
  for (WChar unit : text) {
    const auto c = static_cast<uint32_t>(static_cast<uint16_t>(unit));
    if (IsControl(c) || IsSeparator(c))
      AppendEscape(out, c);
    else
      out += unit;
  }
  return out;
}

std::string EscapeControlCharacters(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x20 || byte == 0x7F) {
      AppendEscape(out, byte);
      continue;
    }
    // C1 characters are C2 80..C2 9F in UTF-8, the separators E2 80 A8/A9.
    if (byte == 0xC2 && i + 1 < utf8.size()) {
      const auto next = static_cast<unsigned char>(utf8[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        AppendEscape(out, next);
        ++i;
        continue;
      }
    }
    if (byte == 0xE2 && i + 2 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0x80) {
      const auto last = static_cast<unsigned char>(utf8[i + 2]);
      if (last == 0xA8 || last == 0xA9) {
        AppendEscape(out, 0x2000u + last - 0x80u);
        i += 2;
        continue;
      }
    }
    out += utf8[i];
  }
  return out;
}

}  // namespace zefa
