#include "tools/reg_file.h"

#include "platform/text_decoding.h"
#include "platform/registry.h"

#include <optional>
#include <utility>

namespace zefa::reg {

namespace {

using platform::RegistryValue;

constexpr char kHeader[] = "Windows Registry Editor Version 5.00";
// A hex line is broken once it reaches this many characters, as reg export
// does (lines stay within 80 columns).
constexpr size_t kHexLineBreak = 77;

Text T(std::string_view ascii) { return AsciiToText(ascii); }

bool IsBlank(WChar c) { return c == ' ' || c == '\t'; }

TextView TrimLeft(TextView text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

TextView TrimRight(TextView text) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

TextView Trim(TextView text) { return TrimRight(TrimLeft(text)); }

// Nothing but blanks, or a ";" comment.
bool NothingFollows(TextView rest) {
  rest = TrimLeft(rest);
  return rest.empty() || rest.front() == ';';
}

bool StartsWithIgnoringAsciiCase(TextView text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    WChar c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<WChar>(c + 32);
    if (c != static_cast<WChar>(prefix[i])) return false;
  }
  return true;
}

std::optional<uint32_t> ParseHexNumber(TextView digits) {
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (WChar c : digits) {
    const int digit = HexDigitValue(c);
    if (digit < 0) return std::nullopt;
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  return value;
}

void AppendUnit(std::string& bytes, WChar c) {
  const auto u = static_cast<uint16_t>(c);
  bytes.push_back(static_cast<char>(u & 0xFF));
  bytes.push_back(static_cast<char>(u >> 8));
}

Text UnitsOf(const std::string& bytes) {
  Text units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<WChar>(static_cast<unsigned char>(bytes[i]) |
                                       (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return units;
}

std::vector<Text> SplitLines(TextView text) {
  std::vector<Text> lines(1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      lines.emplace_back();
    } else {
      lines.back().push_back(text[i]);
    }
  }
  return lines;
}

// A quoted string starting at text[pos] == '"'. Understands \\ \" \n \r;
// any other backslash stays as written. `pos` ends after the closing quote.
std::optional<Text> ParseQuoted(TextView text, size_t& pos) {
  Text out;
  for (++pos; pos < text.size(); ++pos) {
    const WChar c = text[pos];
    if (c == '"') {
      ++pos;
      return out;
    }
    if (c == '\\' && pos + 1 < text.size()) {
      const WChar next = text[++pos];
      if (next == '\\' || next == '"') {
        out.push_back(next);
      } else if (next == 'n') {
        out.push_back('\n');
      } else if (next == 'r') {
        out.push_back('\r');
      } else {
        out.push_back('\\');
        out.push_back(next);
      }
      continue;
    }
    out.push_back(c);
  }
  return std::nullopt;
}

Text EscapeQuoted(TextView text) {
  Text out;
  for (WChar c : text) {
    if (c == '\\' || c == '"') {
      out.push_back('\\');
      out.push_back(c);
    } else if (c == '\n') {
      out += T("\\n");
    } else if (c == '\r') {
      out += T("\\r");
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// "01,ab, 02" -> bytes; every byte is exactly two hexadecimal digits.
std::optional<std::string> ParseHexBytes(TextView list, Text& error) {
  std::string bytes;
  list = Trim(list);
  if (list.empty()) return bytes;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(static_cast<WChar>(','), start);
    if (end == TextView::npos) end = list.size();
    const TextView token = Trim(list.substr(start, end - start));
    const bool last = end == list.size();
    if (token.empty() && last && start > 0) break;  // a trailing comma
    if (token.size() != 2 || HexDigitValue(token[0]) < 0 || HexDigitValue(token[1]) < 0) {
      error = T("\"") + Text(token) +
              T("\" is not a byte: hex data needs two hexadecimal digits per byte, "
                "separated by commas");
      return std::nullopt;
    }
    bytes.push_back(static_cast<char>((HexDigitValue(token[0]) << 4) | HexDigitValue(token[1])));
    start = end + 1;
  }
  return bytes;
}

Text LowerHexByte(unsigned char b) {
  static const char kDigits[] = "0123456789abcdef";
  return Text{static_cast<WChar>(kDigits[b >> 4]), static_cast<WChar>(kDigits[b & 0xF])};
}

Text LowerHex(uint32_t value, size_t min_digits) {
  static const char kDigits[] = "0123456789abcdef";
  Text out;
  do {
    out.insert(out.begin(), static_cast<WChar>(kDigits[value & 0xF]));
    value >>= 4;
  } while (value != 0);
  while (out.size() < min_digits) out.insert(out.begin(), static_cast<WChar>('0'));
  return out;
}

// A REG_SZ that a quoted string can carry unchanged: whole UTF-16 units,
// one final NUL and none before it, no line breaks.
bool IsPlainString(const RegistryValue& value) {
  if (value.type != platform::kRegSz || value.data.size() < 2 || value.data.size() % 2 != 0) {
    return false;
  }
  const Text units = UnitsOf(value.data);
  if (units.back() != 0) return false;
  for (size_t i = 0; i + 1 < units.size(); ++i) {
    if (units[i] == 0 || units[i] == '\r' || units[i] == '\n') return false;
  }
  return true;
}

struct ParseState {
  RegFileParse result;
  std::optional<KeyPath> current;  // the key the following values belong to
};

RegFileParse ParseFailure(size_t line, const Text& message) {
  RegFileParse failed;
  failed.error = T("line ") + IntegerToText(static_cast<int64_t>(line)) + T(": ") + message;
  return failed;
}

}  // namespace

int HexDigitValue(WChar c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Text DecodeRegFileBytes(const std::string& bytes, bool* read_as_windows_1252) {
  TextFileEncoding encoding = TextFileEncoding::kUtf8;
  Text text = DecodeTextFile(bytes, &encoding);
  if (read_as_windows_1252 != nullptr)
    *read_as_windows_1252 = encoding == TextFileEncoding::kWindows1252;
  return text;
}

RegFileParse ParseRegFile(TextView text) {
  const std::vector<Text> lines = SplitLines(text);
  size_t index = 0;
  while (index < lines.size() && Trim(lines[index]).empty()) ++index;
  if (index == lines.size() || Trim(lines[index]) != T(kHeader)) {
    if (index < lines.size() && Trim(lines[index]) == T("REGEDIT4")) {
      return ParseFailure(index + 1, T("REGEDIT4 files are not supported; the first line must "
                                       "be \"Windows Registry Editor Version 5.00\"."));
    }
    return ParseFailure(index + 1, T("not a registry file: the first line must be \"Windows "
                                     "Registry Editor Version 5.00\"."));
  }

  ParseState state;
  for (++index; index < lines.size(); ++index) {
    const size_t line_number = index + 1;
    const TextView line = TrimLeft(lines[index]);
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      const size_t close = line.rfind(static_cast<WChar>(']'));
      if (close == TextView::npos || !NothingFollows(line.substr(close + 1))) {
        return ParseFailure(line_number, T("a key line must end with \"]\"."));
      }
      TextView inside = line.substr(1, close - 1);
      const bool remove = !inside.empty() && inside.front() == '-';
      if (remove) inside.remove_prefix(1);
      auto key = ParseKeyPath(inside);
      if (!key) {
        return ParseFailure(line_number, T("unknown root key in [") + Text(inside) +
                                             T("]; it must start with HKEY_LOCAL_MACHINE, "
                                               "HKEY_CURRENT_USER, HKEY_CLASSES_ROOT, "
                                               "HKEY_USERS or HKEY_CURRENT_CONFIG."));
      }
      if (remove && key->subkey.empty()) {
        return ParseFailure(line_number, T("a root key cannot be deleted."));
      }
      RegFileOperation op;
      op.action = remove ? RegFileAction::kDeleteKey : RegFileAction::kCreateKey;
      op.key = *key;
      op.line = line_number;
      state.result.operations.push_back(op);
      if (remove) {
        state.current.reset();
      } else {
        state.current = *key;
      }
      continue;
    }

    if (line.front() != '"' && line.front() != '@') {
      return ParseFailure(line_number, T("expected [KEY], \"NAME\"=DATA or @=DATA, found: ") +
                                           Text(line.substr(0, 40)));
    }
    if (!state.current) {
      return ParseFailure(line_number, T("a value line must follow a [KEY] line (not a "
                                         "[-KEY] line)."));
    }
    RegFileOperation op;
    op.key = *state.current;
    op.line = line_number;
    size_t pos = 0;
    if (line.front() == '@') {
      pos = 1;
    } else {
      auto name = ParseQuoted(line, pos);
      if (!name) return ParseFailure(line_number, T("the value name has no closing quote."));
      op.value.name = std::move(*name);
    }
    TextView rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest.front() != '=') {
      return ParseFailure(line_number, T("\"=\" must follow the value name."));
    }
    rest = TrimLeft(rest.substr(1));

    if (!rest.empty() && rest.front() == '-' && NothingFollows(rest.substr(1))) {
      op.action = RegFileAction::kDeleteValue;
    } else if (!rest.empty() && rest.front() == '"') {
      size_t end = 0;
      auto data = ParseQuoted(rest, end);
      if (!data) return ParseFailure(line_number, T("the string has no closing quote."));
      if (!NothingFollows(rest.substr(end))) {
        return ParseFailure(line_number, T("unexpected text after the closing quote."));
      }
      op.action = RegFileAction::kSetValue;
      op.value.type = platform::kRegSz;
      for (WChar c : *data) AppendUnit(op.value.data, c);
      AppendUnit(op.value.data, 0);
    } else if (StartsWithIgnoringAsciiCase(rest, "dword:")) {
      TextView digits = rest.substr(6);
      const size_t comment = digits.find(static_cast<WChar>(';'));
      if (comment != TextView::npos) digits = digits.substr(0, comment);
      auto number = ParseHexNumber(Trim(digits));
      if (!number) {
        return ParseFailure(line_number,
                            T("dword: needs one to eight hexadecimal digits, found \"") +
                                Text(Trim(digits)) + T("\"."));
      }
      op.action = RegFileAction::kSetValue;
      op.value.type = platform::kRegDword;
      for (int i = 0; i < 4; ++i)
        op.value.data.push_back(static_cast<char>((*number >> (8 * i)) & 0xFF));
    } else if (StartsWithIgnoringAsciiCase(rest, "hex")) {
      TextView after = rest.substr(3);
      uint32_t type = platform::kRegBinary;
      if (!after.empty() && after.front() == '(') {
        const size_t close = after.find(static_cast<WChar>(')'));
        auto number =
            close == TextView::npos ? std::nullopt : ParseHexNumber(after.substr(1, close - 1));
        if (!number) {
          return ParseFailure(line_number, T("hex(TYPE): needs the type as one to eight "
                                             "hexadecimal digits, e.g. hex(7):."));
        }
        type = *number;
        after = after.substr(close + 1);
      }
      if (after.empty() || after.front() != ':') {
        return ParseFailure(line_number, T("unknown value type: ") + Text(rest.substr(0, 20)));
      }
      Text list(after.substr(1));
      // Long data continues on the next lines after a final backslash.
      for (;;) {
        const TextView trimmed = TrimRight(list);
        if (trimmed.empty() || trimmed.back() != '\\') break;
        list.resize(trimmed.size() - 1);
        if (++index >= lines.size()) {
          return ParseFailure(line_number, T("the file ends inside continued hex data."));
        }
        list += Text(Trim(lines[index]));
      }
      Text error;
      auto bytes = ParseHexBytes(list, error);
      if (!bytes) return ParseFailure(line_number, error + T("."));
      op.action = RegFileAction::kSetValue;
      op.value.type = type;
      op.value.data = std::move(*bytes);
    } else {
      const size_t colon = rest.find(static_cast<WChar>(':'));
      return ParseFailure(line_number, T("unknown value type \"") +
                                           Text(rest.substr(0, std::min<size_t>(colon, 20))) +
                                           T("\": use \"text\", dword:, hex:, hex(N): or -."));
    }
    state.result.operations.push_back(std::move(op));
  }
  state.result.ok = true;
  return std::move(state.result);
}

Text ApplyRegFile(const std::vector<RegFileOperation>& operations, int view) {
  for (size_t i = 0; i < operations.size(); ++i) {
    const RegFileOperation& op = operations[i];
    const Text where = T("line ") + IntegerToText(static_cast<int64_t>(op.line)) + T(": ");
    if (op.action == RegFileAction::kSetValue) {
      // The values that follow for the same key are written together: one
      // write of the key for all of them, not one per value.
      std::vector<RegistryValue> values{op.value};
      while (i + 1 < operations.size() && operations[i + 1].action == RegFileAction::kSetValue &&
             operations[i + 1].key.root == op.key.root &&
             operations[i + 1].key.subkey == op.key.subkey) {
        values.push_back(operations[++i].value);
      }
      if (!platform::RegistryWriteValues(op.key.root, op.key.subkey, values, view)) {
        return where + T("cannot write a value in ") + KeyPathText(op.key) + T(".");
      }
      continue;
    }
    switch (op.action) {
      case RegFileAction::kCreateKey:
        if (!platform::RegistryCreateKey(op.key.root, op.key.subkey, view)) {
          return where + T("cannot create the key ") + KeyPathText(op.key) + T(".");
        }
        break;
      case RegFileAction::kDeleteKey:
        if (!platform::RegistryDeleteKey(op.key.root, op.key.subkey, view) &&
            platform::RegistryKeyExists(op.key.root, op.key.subkey, view)) {
          return where + T("cannot delete the key ") + KeyPathText(op.key) + T(".");
        }
        break;
      case RegFileAction::kSetValue:
        break;  // above
      case RegFileAction::kDeleteValue:
        if (!platform::RegistryDeleteValue(op.key.root, op.key.subkey, op.value.name, view) &&
            platform::RegistryRead(op.key.root, op.key.subkey, op.value.name, view)) {
          return where + T("cannot delete a value in ") + KeyPathText(op.key) + T(".");
        }
        break;
    }
  }
  return {};
}

std::vector<ExportedKey> CollectKeyTree(const KeyPath& key, int view,
                                        std::vector<KeyPath>* unreadable) {
  std::vector<ExportedKey> keys;
  switch (platform::RegistryKeyCheck(key.root, key.subkey, view)) {
    case platform::RegistryKeyState::kMissing:
      return keys;
    case platform::RegistryKeyState::kUnreadable:
      unreadable->push_back(key);
      break;
    case platform::RegistryKeyState::kReadable:
      keys.push_back(ExportedKey{key, platform::RegistryValues(key.root, key.subkey, view)});
      break;
  }
  for (const Text& name : platform::RegistrySubkeys(key.root, key.subkey, view)) {
    std::vector<ExportedKey> below = CollectKeyTree(ChildKey(key, name), view, unreadable);
    for (ExportedKey& k : below) keys.push_back(std::move(k));
  }
  return keys;
}

Text FormatRegFileValue(const RegistryValue& value) {
  Text out = value.name.empty() ? T("@=") : T("\"") + EscapeQuoted(value.name) + T("\"=");
  if (IsPlainString(value)) {
    const Text units = UnitsOf(value.data);
    return out + T("\"") + EscapeQuoted(TextView(units).substr(0, units.size() - 1)) + T("\"");
  }
  if (value.type == platform::kRegDword && value.data.size() == 4) {
    uint32_t number = 0;
    for (int i = 3; i >= 0; --i) number = (number << 8) | static_cast<unsigned char>(value.data[i]);
    return out + T("dword:") + LowerHex(number, 8);
  }
  out += value.type == platform::kRegBinary ? T("hex:")
                                            : T("hex(") + LowerHex(value.type, 1) + T("):");
  size_t line_length = out.size();
  for (size_t i = 0; i < value.data.size(); ++i) {
    out += LowerHexByte(static_cast<unsigned char>(value.data[i]));
    if (i + 1 == value.data.size()) break;
    out.push_back(',');
    line_length += 3;
    if (line_length >= kHexLineBreak) {
      out += T("\\\r\n  ");
      line_length = 2;
    }
  }
  return out;
}

Text FormatRegFile(const std::vector<ExportedKey>& keys) {
  Text out = T(kHeader) + T("\r\n\r\n");
  for (const ExportedKey& key : keys) {
    out += T("[") + KeyPathText(key.key) + T("]\r\n");
    for (const RegistryValue& value : key.values) out += FormatRegFileValue(value) + T("\r\n");
    out += T("\r\n");
  }
  return out;
}

std::string EncodeUtf16LeWithBom(TextView text) {
  std::string bytes = "\xFF\xFE";
  bytes.reserve(2 + text.size() * 2);
  for (WChar c : text) AppendUnit(bytes, c);
  return bytes;
}

}  // namespace zefa::reg
