#include "history/account_files.h"

#include "util/text_util.h"

namespace zefa {

namespace {

constexpr WChar kEscape = ZT('=');

bool CannotBeNamed(WChar c) {
  if (c < 0x20 || c == 0x7F) return true;
  for (WChar forbidden : TextView(ZT("/\\:*?\"<>|=")))
    if (c == forbidden) return true;
  return false;
}

WChar UpperAscii(WChar c) { return c >= ZT('a') && c <= ZT('z') ? c - 32 : c; }

// True when the part of `name` before its first "." is a name Windows gives
// to a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9), in any case.
bool DeviceName(const Text& name) {
  const Text base = name.substr(0, name.find(ZT('.')));
  Text upper;
  for (WChar c : base) upper.push_back(UpperAscii(c));
  if (upper == ZT("CON") || upper == ZT("PRN") || upper == ZT("AUX") || upper == ZT("NUL"))
    return true;
  return upper.size() == 4 && (StartsWith(upper, ZT("COM")) || StartsWith(upper, ZT("LPT"))) &&
         upper[3] >= ZT('1') && upper[3] <= ZT('9');
}

void AppendEscaped(Text& out, WChar c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out.push_back(kEscape);
  out.push_back(static_cast<WChar>(kHex[(c >> 4) & 0xF]));
  out.push_back(static_cast<WChar>(kHex[c & 0xF]));
}

int HexDigit(WChar c) {
  if (c >= ZT('0') && c <= ZT('9')) return c - ZT('0');
  if (c >= ZT('A') && c <= ZT('F')) return c - ZT('A') + 10;
  return -1;
}

}  // namespace

Text AccountFileName(const Text& account) {
  Text name;
  name.reserve(account.size());
  const bool device = DeviceName(account);
  for (size_t i = 0; i < account.size(); ++i) {
    const WChar c = account[i];
    const bool second_dot = c == ZT('.') && i > 0 && account[i - 1] == ZT('.');
    if (CannotBeNamed(c) || second_dot || (device && i == 0)) {
      AppendEscaped(name, c);
    } else {
      name.push_back(c);
    }
  }
  return name;
}

std::optional<Text> AccountOfFileName(const Text& file_name) {
  Text account;
  for (size_t i = 0; i < file_name.size(); ++i) {
    if (file_name[i] != kEscape) {
      account.push_back(file_name[i]);
      continue;
    }
    if (i + 2 >= file_name.size()) return std::nullopt;
    const int high = HexDigit(file_name[i + 1]);
    const int low = HexDigit(file_name[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    account.push_back(static_cast<WChar>(high * 16 + low));
    i += 2;
  }
  if (AccountFileName(account) != file_name) return std::nullopt;  // not in the canonical form
  return account;
}

Text AccountFilePath(const Text& folder, const Text& account, const Text& extension) {
  if (folder.empty() || account.empty()) return Text();
  return JoinPath(folder, AccountFileName(account) + extension);
}

}  // namespace zefa
