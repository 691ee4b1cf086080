#include "platform/directory_names.h"

namespace zefa {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void AppendHexEscape(Text& out, WChar c) {
  out.push_back(ZT('\\'));
  out.push_back(static_cast<WChar>(kHex[(c >> 4) & 0xF]));
  out.push_back(static_cast<WChar>(kHex[c & 0xF]));
}

bool SeparatesOrQuotes(WChar c) {
  return c == ZT(',') || c == ZT('+') || c == ZT(';') || c == ZT('"') || c == ZT('<') ||
         c == ZT('>') || c == ZT('\\');
}

}  // namespace

Text EscapeFilterValue(const Text& value) {
  Text out;
  out.reserve(value.size());
  for (const WChar c : value) {
    if (c == ZT('*') || c == ZT('(') || c == ZT(')') || c == ZT('\\') || c == 0) {
      AppendHexEscape(out, c);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

Text EscapeDnValue(const Text& value) {
  Text out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    const WChar c = value[i];
    if (c == 0) {
      AppendHexEscape(out, c);
      continue;
    }
    const bool leading = i == 0 && (c == ZT('#') || c == ZT(' '));
    const bool trailing = i + 1 == value.size() && c == ZT(' ');
    if (SeparatesOrQuotes(c) || leading || trailing) out.push_back(ZT('\\'));
    out.push_back(c);
  }
  return out;
}

Text ParentDn(const Text& dn) {
  // "\," and "\2C" alike: the character after "\" never separates.
  for (size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == ZT('\\')) {
      ++i;
    } else if (dn[i] == ZT(',')) {
      return dn.substr(i + 1);
    }
  }
  return Text();
}

}  // namespace zefa
