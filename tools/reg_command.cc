#include "tools/reg_command.h"

#include <algorithm>
#include <utility>

#include "policy/value_catalogue.h"
#include "tools/reg_file.h"
#include "platform/files.h"
#include "platform/registry.h"

namespace zefa::reg {

namespace {

using platform::RegistryValue;

struct RootAlias {
  const char* short_name;
  const char* long_name;
};

constexpr RootAlias kRootAliases[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE"}, {"HKCU", "HKEY_CURRENT_USER"},   {"HKCR", "HKEY_CLASSES_ROOT"},
    {"HKU", "HKEY_USERS"},          {"HKCC", "HKEY_CURRENT_CONFIG"},
};

struct TypeEntry {
  uint32_t type;
  const char* name;
  bool addable;
};

constexpr TypeEntry kTypes[] = {
    {platform::kRegNone, "REG_NONE", false},
    {platform::kRegSz, "REG_SZ", true},
    {platform::kRegExpandSz, "REG_EXPAND_SZ", true},
    {platform::kRegBinary, "REG_BINARY", true},
    {platform::kRegDword, "REG_DWORD", true},
    {5, "REG_DWORD_BIG_ENDIAN", false},
    {6, "REG_LINK", false},
    {platform::kRegMultiSz, "REG_MULTI_SZ", true},
    {8, "REG_RESOURCE_LIST", false},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR", false},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST", false},
    {platform::kRegQword, "REG_QWORD", true},
};

constexpr char kSuccess[] = "The operation completed successfully.\n";
constexpr char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.\n";

Text T(std::string_view ascii) { return AsciiToText(ascii); }

WChar AsciiLower(WChar c) { return (c >= 'A' && c <= 'Z') ? static_cast<WChar>(c + 32) : c; }

bool EqualsIgnoringAsciiCase(TextView text, std::string_view ascii) {
  if (text.size() != ascii.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (AsciiLower(text[i]) != AsciiLower(static_cast<WChar>(ascii[i]))) return false;
  }
  return true;
}

void AppendUnit(std::string& bytes, WChar c) {
  const auto u = static_cast<uint16_t>(c);
  bytes.push_back(static_cast<char>(u & 0xFF));
  bytes.push_back(static_cast<char>(u >> 8));
}

void AppendLittleEndian(std::string& bytes, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t ReadLittleEndian(const std::string& bytes) {
  uint64_t value = 0;
  for (size_t i = bytes.size(); i-- > 0;)
    value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

Text UnitsOf(const std::string& bytes) {
  Text units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<WChar>(static_cast<unsigned char>(bytes[i]) |
                                       (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return units;
}

Text LowerHex(uint64_t value) {
  static const char kDigits[] = "0123456789abcdef";
  Text out;
  do {
    out.insert(out.begin(), static_cast<WChar>(kDigits[value & 0xF]));
    value >>= 4;
  } while (value != 0);
  return out;
}

Text UpperHexPairs(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  Text out;
  for (unsigned char b : bytes) {
    out.push_back(static_cast<WChar>(kDigits[b >> 4]));
    out.push_back(static_cast<WChar>(kDigits[b & 0xF]));
  }
  return out;
}

// Decimal or 0x-prefixed hexadecimal, nothing else, at most `max`.
std::optional<uint64_t> ParseAddNumber(TextView text, uint64_t max) {
  if (text.empty()) return 0;
  uint64_t base = 10;
  size_t i = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
    if (i == text.size()) return std::nullopt;
  }
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int digit = HexDigitValue(text[i]);
    if (digit < 0 || static_cast<uint64_t>(digit) >= base) return std::nullopt;
    if (value > (max - static_cast<uint64_t>(digit)) / base) return std::nullopt;
    value = value * base + static_cast<uint64_t>(digit);
  }
  return value;
}

EncodedData Refuse(Text error) {
  EncodedData result;
  result.error = std::move(error);
  return result;
}

EncodedData Accept(std::string data) {
  EncodedData result;
  result.ok = true;
  result.data = std::move(data);
  return result;
}

EncodedData EncodeMultiString(TextView data, std::optional<WChar> separator) {
  std::vector<Text> strings(1);
  for (size_t i = 0; i < data.size(); ++i) {
    if (separator ? data[i] == *separator
                  : (data[i] == '\\' && i + 1 < data.size() && data[i + 1] == '0')) {
      strings.emplace_back();
      if (!separator) ++i;
    } else {
      strings.back().push_back(data[i]);
    }
  }
  if (strings.size() > 1 && strings.back().empty()) strings.pop_back();  // trailing separator
  std::string bytes;
  if (strings.size() == 1 && strings[0].empty()) {
    AppendUnit(bytes, 0);  // the empty list: its terminator only
    return Accept(std::move(bytes));
  }
  for (const Text& s : strings) {
    if (s.empty()) {
      return Refuse(
          T("ERROR: A REG_MULTI_SZ list cannot hold an empty string "
            "(two separators in a row, or one at the start)."));
    }
    for (WChar c : s) AppendUnit(bytes, c);
    AppendUnit(bytes, 0);
  }
  AppendUnit(bytes, 0);
  return Accept(std::move(bytes));
}

Text ValueDisplayName(const Text& name) { return name.empty() ? T("(Default)") : name; }

CommandOutcome Failure(Text errors) {
  CommandOutcome outcome;
  outcome.exit_code = 1;
  outcome.errors = std::move(errors);
  if (outcome.errors.empty() || outcome.errors.back() != '\n') outcome.errors.push_back('\n');
  return outcome;
}

CommandOutcome Success(Text output) {
  CommandOutcome outcome;
  outcome.output = std::move(output);
  return outcome;
}

// ---------------------------------------------------------------- usage

Text GeneralUsage() {
  return T(
      "Usage: zefareg OPERATION [parameters]\n"
      "  zefareg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
      "  zefareg query KEY [/v NAME | /ve] [/s]\n"
      "  zefareg delete KEY [/v NAME | /ve | /va] /f\n"
      "  zefareg import FILE.reg\n"
      "  zefareg export KEY FILE.reg [/y]\n"
      "KEY is ROOT\\SUBKEY with ROOT one of HKLM, HKCU, HKCR, HKU, HKCC or their\n"
      "long names. Every operation also takes /reg:32 or /reg:64.\n"
      "Type \"zefareg OPERATION /?\" for details.\n");
}

Text OperationUsage(Operation operation) {
  switch (operation) {
    case Operation::kAdd:
      return T(
          "zefareg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
          "  /v NAME  the value to add; /ve the default (unnamed) value.\n"
          "           Without /v or /ve only the key is created.\n"
          "  /t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,\n"
          "           REG_QWORD or REG_BINARY.\n"
          "  /s SEP   one character that separates the strings of a REG_MULTI_SZ\n"
          "           (default: the two characters \\0).\n"
          "  /d DATA  the data: text; decimal or 0x-prefixed hexadecimal numbers;\n"
          "           hexadecimal digits (two per byte) for REG_BINARY.\n"
          "  /f       overwrite an existing value (this tool never asks).\n");
    case Operation::kQuery:
      return T(
          "zefareg query KEY [/v NAME | /ve] [/s]\n"
          "  /v NAME  show one value; /ve the default value.\n"
          "  /s       include every key below KEY.\n");
    case Operation::kDelete:
      return T(
          "zefareg delete KEY [/v NAME | /ve | /va] /f\n"
          "  /v NAME  delete one value; /ve the default value; /va every value\n"
          "           of the key. Without them the key and all its subkeys go.\n"
          "  /f       required: this tool never asks for confirmation.\n");
    case Operation::kImport:
      return T(
          "zefareg import FILE.reg\n"
          "  Applies a \"Windows Registry Editor Version 5.00\" file (UTF-16 with its\n"
          "  byte-order mark, or UTF-8; a file that is not valid UTF-8 is read as\n"
          "  Windows-1252, with a note). The whole file is checked before anything\n"
          "  is written.\n");
    case Operation::kExport:
      return T(
          "zefareg export KEY FILE.reg [/y]\n"
          "  Writes KEY and every key below it as UTF-16LE with a byte-order mark.\n"
          "  /y       overwrite an existing file (this tool never asks).\n");
  }
  return GeneralUsage();
}

Text OperationName(Operation operation) {
  switch (operation) {
    case Operation::kAdd:
      return T("add");
    case Operation::kQuery:
      return T("query");
    case Operation::kDelete:
      return T("delete");
    case Operation::kImport:
      return T("import");
    case Operation::kExport:
      return T("export");
  }
  return {};
}

ParsedCommand SyntaxError(Operation operation, TextView detail) {
  ParsedCommand parsed;
  parsed.message = T("ERROR: Invalid syntax: ") + Text(detail) + T("\nType \"zefareg ") +
                   OperationName(operation) + T(" /?\" for usage.\n");
  return parsed;
}

// ------------------------------------------------------------ execution

// The pieces between NULs: (number of NULs + 1) of them.
std::vector<Text> SplitAtNul(const Text& units) {
  std::vector<Text> pieces(1);
  for (WChar c : units) {
    if (c == 0) {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(c);
    }
  }
  return pieces;
}

// The names of a subkey path's levels, without empty ones.
std::vector<Text> SplitLevels(const Text& subkey) {
  std::vector<Text> levels(1);
  for (WChar c : subkey) {
    if (c != '\\') {
      levels.back().push_back(c);
    } else if (!levels.back().empty()) {
      levels.emplace_back();
    }
  }
  if (levels.back().empty()) levels.pop_back();
  return levels;
}

bool Unreadable(const KeyPath& key, int view) {
  return platform::RegistryKeyCheck(key.root, key.subkey, view) ==
         platform::RegistryKeyState::kUnreadable;
}

Text UnreadableKeyError(const KeyPath& key) {
  return T("ERROR: The key ") + KeyPathText(key) +
         T(" cannot be read: its stored record is damaged or unreadable.\n");
}

// An unreadable key shows no values (it has none that can be trusted) and
// adds its error; the walk goes on below it and beside it.
void AppendKeyQuery(const KeyPath& key, bool recurse, int view, Text& out, Text& errors) {
  if (Unreadable(key, view)) {
    errors += UnreadableKeyError(key);
  } else {
    out += KeyPathText(key) + T("\n");
    const std::vector<RegistryValue> values = platform::RegistryValues(key.root, key.subkey, view);
    for (const RegistryValue& value : values) out += FormatQueryValue(value) + T("\n");
    if (!values.empty() || recurse) out += T("\n");
  }
  const std::vector<Text> subkeys = platform::RegistrySubkeys(key.root, key.subkey, view);
  for (const Text& name : subkeys) {
    if (recurse) {
      AppendKeyQuery(ChildKey(key, name), recurse, view, out, errors);
    } else {
      out += KeyPathText(ChildKey(key, name)) + T("\n");
    }
  }
  if (!subkeys.empty() && !recurse) out += T("\n");
}

// Every key in the tree that holds the value, with the value.
void AppendValueSearch(const KeyPath& key, const Text& name, int view, Text& out, Text& errors,
                       size_t& matches) {
  if (Unreadable(key, view)) {
    errors += UnreadableKeyError(key);
  } else if (auto value = platform::RegistryRead(key.root, key.subkey, name, view)) {
    out += KeyPathText(key) + T("\n") + FormatQueryValue(*value) + T("\n\n");
    ++matches;
  }
  for (const Text& child : platform::RegistrySubkeys(key.root, key.subkey, view)) {
    AppendValueSearch(ChildKey(key, child), name, view, out, errors, matches);
  }
}

// Output and the errors met on the way: exit code 1 when there were any.
CommandOutcome Outcome(Text output, Text errors) {
  CommandOutcome outcome;
  outcome.output = std::move(output);
  outcome.errors = std::move(errors);
  outcome.exit_code = outcome.errors.empty() ? 0 : 1;
  return outcome;
}

// The key the filter reads its policy sets from; its own last-write time is
// the filter's sign that anything below it changed.
const KeyPath& PolicyKey() {
  static const KeyPath key{T("HKEY_LOCAL_MACHINE"), T("Software\\Policies\\Clavora")};
  return key;
}

bool SameNameIgnoringCase(TextView a, TextView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// The key or one below it, whatever the letter case and however many
// backslashes separate the levels.
bool UnderPolicyKey(const KeyPath& key) {
  if (!SameNameIgnoringCase(key.root, PolicyKey().root)) return false;
  const std::vector<Text> levels = SplitLevels(key.subkey);
  const std::vector<Text> policy = SplitLevels(PolicyKey().subkey);
  if (levels.size() < policy.size()) return false;
  for (size_t i = 0; i < policy.size(); ++i) {
    if (!SameNameIgnoringCase(levels[i], policy[i])) return false;
  }
  return true;
}

// A change below the policy key ends with a touch of the key itself, as a
// Group Policy refresh rewrites it: the filter reloads only when that key's
// own time moves, so without it an edit inside a set would wait for an
// unrelated change. A policy key that no longer exists needs no touch (its
// absence is the change).
CommandOutcome FinishPolicyChange(CommandOutcome outcome, int view) {
  const KeyPath& policy = PolicyKey();
  if (!platform::RegistryKeyExists(policy.root, policy.subkey, view)) return outcome;
  if (!platform::RegistryTouchKey(policy.root, policy.subkey, view)) {
    outcome.exit_code = 1;
    outcome.errors += T("ERROR: Cannot mark ") + KeyPathText(policy) +
                      T(" as changed; the filter sees this change only after the next change of "
                        "that key itself.\n");
  }
  return outcome;
}

// Warnings for a value written below the policy key that the filter would
// not read as meant: a key that is not the root or a set 1 to 8, a name it
// does not know, a type that does not suit the value. The value is written
// all the same.
Text PolicyValueWarnings(const KeyPath& key, const Text& name, uint32_t type, const Text& data) {
  const std::vector<Text> levels = SplitLevels(key.subkey);
  const size_t depth = SplitLevels(PolicyKey().subkey).size();
  const Text shown = KeyPathText(key);
  if (levels.size() > depth + 1 ||
      (levels.size() == depth + 1 &&
       !(levels.back().size() == 1 && levels.back()[0] >= '1' && levels.back()[0] <= '8'))) {
    return T("WARNING: ") + shown +
           T(" is not a policy set (the sets are the keys 1 to 8); the filter does not read it.\n");
  }
  const ValueScope scope = levels.size() == depth ? ValueScope::kRoot : ValueScope::kSet;
  const PolicyValue* known = FindPolicyValue(scope, name);
  if (known == nullptr) {
    return T("WARNING: The filter does not know the value ") + ValueDisplayName(name) + T(" in ") +
           shown + T(" (did you mean ") + ClosestPolicyValueName(scope, name) +
           T("?); it is written but ignored.\n");
  }
  if (!TypeSuitsKind(known->Kind, type, data)) {
    return T("WARNING: ") + Text(known->Name) + T(" should be ") + T(KindTypeNames(known->Kind)) +
           T("; the filter does not read this value as meant.\n");
  }
  return Text();
}

CommandOutcome RunAdd(const Command& c) {
  const KeyPath& key = c.key;
  if (!c.value_name) {
    if (!platform::RegistryCreateKey(key.root, key.subkey, c.view)) {
      return Failure(T("ERROR: Cannot create the key ") + KeyPathText(key) + T("."));
    }
    return Success(T(kSuccess));
  }
  const uint32_t type = c.type.value_or(platform::kRegSz);
  const EncodedData encoded = EncodeAddData(type, c.data.value_or(Text()), c.separator);
  if (!encoded.ok) return Failure(encoded.error);
  if (!c.force && platform::RegistryRead(key.root, key.subkey, *c.value_name, c.view)) {
    return Failure(T("ERROR: The value ") + ValueDisplayName(*c.value_name) +
                   T(" already exists in ") + KeyPathText(key) +
                   T(". Add /f to overwrite it (zefareg never asks)."));
  }
  RegistryValue value;
  value.name = *c.value_name;
  value.type = type;
  value.data = encoded.data;
  if (!platform::RegistryWrite(key.root, key.subkey, value, c.view)) {
    if (Unreadable(key, c.view)) return Failure(UnreadableKeyError(key));
    return Failure(T("ERROR: Cannot write the value ") + ValueDisplayName(value.name) + T(" in ") +
                   KeyPathText(key) + T("."));
  }
  CommandOutcome outcome = Success(T(kSuccess));
  if (UnderPolicyKey(key))
    outcome.errors = PolicyValueWarnings(key, value.name, type, c.data.value_or(Text()));
  return outcome;
}

CommandOutcome RunQuery(const Command& c) {
  const KeyPath& key = c.key;
  if (!platform::RegistryKeyExists(key.root, key.subkey, c.view)) return Failure(T(kNotFound));
  Text out = T("\n");
  Text errors;
  if (!c.value_name) {
    AppendKeyQuery(key, c.recurse, c.view, out, errors);
    return Outcome(std::move(out), std::move(errors));
  }
  if (c.recurse) {
    size_t matches = 0;
    AppendValueSearch(key, *c.value_name, c.view, out, errors, matches);
    if (matches == 0 && errors.empty()) return Failure(T(kNotFound));
    return Outcome(std::move(out), std::move(errors));
  }
  if (Unreadable(key, c.view)) return Failure(UnreadableKeyError(key));
  auto value = platform::RegistryRead(key.root, key.subkey, *c.value_name, c.view);
  if (!value) {
    if (!c.value_name->empty()) return Failure(T(kNotFound));
    out += KeyPathText(key) + T("\n    (Default)    REG_SZ    (value not set)\n\n");
    return Success(out);
  }
  out += KeyPathText(key) + T("\n") + FormatQueryValue(*value) + T("\n\n");
  return Success(out);
}

CommandOutcome RunDelete(const Command& c) {
  const KeyPath& key = c.key;
  if (!c.force) {
    return Failure(
        T("ERROR: zefareg delete needs /f: this tool never asks for confirmation, "
          "so nothing was deleted."));
  }
  if (!platform::RegistryKeyExists(key.root, key.subkey, c.view)) return Failure(T(kNotFound));
  // A damaged key can still be deleted whole, which is how it is removed.
  if ((c.value_name || c.all_values) && Unreadable(key, c.view)) {
    return Failure(UnreadableKeyError(key));
  }
  if (c.value_name) {
    if (!platform::RegistryDeleteValue(key.root, key.subkey, *c.value_name, c.view)) {
      return Failure(T(kNotFound));
    }
    return Success(T(kSuccess));
  }
  if (c.all_values) {
    for (const RegistryValue& value : platform::RegistryValues(key.root, key.subkey, c.view)) {
      if (!platform::RegistryDeleteValue(key.root, key.subkey, value.name, c.view) &&
          platform::RegistryRead(key.root, key.subkey, value.name, c.view)) {
        return Failure(T("ERROR: Cannot delete the value ") + ValueDisplayName(value.name) +
                       T(" in ") + KeyPathText(key) + T("."));
      }
    }
    return Success(T(kSuccess));
  }
  if (key.subkey.empty()) return Failure(T("ERROR: A root key cannot be deleted."));
  if (!platform::RegistryDeleteKey(key.root, key.subkey, c.view)) return Failure(T(kNotFound));
  return Success(T(kSuccess));
}

CommandOutcome RunImport(const Command& c) {
  const auto bytes = platform::ReadWholeFile(c.file);
  if (!bytes) return Failure(T("ERROR: Cannot open the file ") + c.file + T("."));
  bool windows_1252 = false;
  const RegFileParse parsed = ParseRegFile(DecodeRegFileBytes(*bytes, &windows_1252));
  const Text notice = windows_1252 ? T("NOTE: ") + c.file +
                                         T(" is not UTF-8 or UTF-16 text; it was read as "
                                           "Windows-1252.\n")
                                   : Text();
  if (!parsed.ok) {
    return Failure(notice + T("ERROR: ") + c.file + T(", ") + parsed.error +
                   T("\nNothing was imported."));
  }
  // Every value is applied before the policy key is touched, so a reload
  // that the touch starts sees the whole file.
  const Text failure = ApplyRegFile(parsed.operations, c.view);
  CommandOutcome outcome = failure.empty()
                               ? Success(notice + T(kSuccess))
                               : Failure(notice + T("ERROR: ") + c.file + T(", ") + failure);
  const bool policy_changed =
      std::any_of(parsed.operations.begin(), parsed.operations.end(),
                  [](const RegFileOperation& op) { return UnderPolicyKey(op.key); });
  return policy_changed ? FinishPolicyChange(std::move(outcome), c.view) : outcome;
}

CommandOutcome RunExport(const Command& c) {
  if (!platform::RegistryKeyExists(c.key.root, c.key.subkey, c.view)) return Failure(T(kNotFound));
  if (!c.overwrite_file && platform::FileExists(c.file)) {
    return Failure(T("ERROR: The file ") + c.file +
                   T(" exists. Add /y to overwrite it (zefareg never asks)."));
  }
  std::vector<KeyPath> unreadable;
  const std::vector<ExportedKey> keys = CollectKeyTree(c.key, c.view, &unreadable);
  if (!unreadable.empty()) {
    // A file without them would look like a complete copy.
    Text errors;
    for (const KeyPath& key : unreadable) errors += UnreadableKeyError(key);
    return Failure(errors + T("Nothing was exported."));
  }
  const std::string bytes = EncodeUtf16LeWithBom(FormatRegFile(keys));
  if (!platform::ReplaceFileAtomically(c.file, bytes, false)) {
    return Failure(T("ERROR: Cannot write the file ") + c.file + T("."));
  }
  return Success(T(kSuccess));
}

}  // namespace

std::optional<KeyPath> ParseKeyPath(TextView text) {
  if (text.empty() || text[0] == '\\') return std::nullopt;
  const size_t slash = text.find(static_cast<WChar>('\\'));
  const TextView root = text.substr(0, slash);
  TextView rest = slash == TextView::npos ? TextView() : text.substr(slash + 1);
  while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  for (const RootAlias& alias : kRootAliases) {
    if (EqualsIgnoringAsciiCase(root, alias.short_name) ||
        EqualsIgnoringAsciiCase(root, alias.long_name)) {
      return KeyPath{T(alias.long_name), Text(rest)};
    }
  }
  return std::nullopt;
}

Text KeyPathText(const KeyPath& key) {
  if (key.subkey.empty()) return key.root;
  return key.root + static_cast<WChar>('\\') + key.subkey;
}

KeyPath ChildKey(const KeyPath& key, const Text& name) {
  if (key.subkey.empty()) return KeyPath{key.root, name};
  return KeyPath{key.root, key.subkey + static_cast<WChar>('\\') + name};
}

std::optional<uint32_t> ParseTypeName(TextView name) {
  for (const TypeEntry& entry : kTypes) {
    if (entry.addable && EqualsIgnoringAsciiCase(name, entry.name)) return entry.type;
  }
  return std::nullopt;
}

Text TypeName(uint32_t type) {
  for (const TypeEntry& entry : kTypes) {
    if (entry.type == type) return T(entry.name);
  }
  Text upper = LowerHex(type);
  for (WChar& c : upper) {
    if (c >= 'a' && c <= 'f') c = static_cast<WChar>(c - 32);
  }
  return T("0x") + upper;
}

EncodedData EncodeAddData(uint32_t type, TextView data, std::optional<WChar> separator) {
  switch (type) {
    case platform::kRegSz:
    case platform::kRegExpandSz: {
      std::string bytes;
      for (WChar c : data) AppendUnit(bytes, c);
      AppendUnit(bytes, 0);
      return Accept(std::move(bytes));
    }
    case platform::kRegDword:
    case platform::kRegQword: {
      const bool dword = type == platform::kRegDword;
      const auto number = ParseAddNumber(data, dword ? 0xFFFFFFFFULL : ~0ULL);
      if (!number) {
        return Refuse(T("ERROR: ") + Text(data) + T(" is not a valid ") + TypeName(type) +
                      T(" number: use decimal digits or 0x and hexadecimal digits, at most ") +
                      T(dword ? "4294967295" : "18446744073709551615") + T("."));
      }
      std::string bytes;
      AppendLittleEndian(bytes, *number, dword ? 4 : 8);
      return Accept(std::move(bytes));
    }
    case platform::kRegBinary: {
      if (data.size() % 2 != 0) {
        return Refuse(T("ERROR: REG_BINARY data needs two hexadecimal digits per byte; ") +
                      Text(data) + T(" has an odd number of digits."));
      }
      std::string bytes;
      for (size_t i = 0; i < data.size(); i += 2) {
        const int high = HexDigitValue(data[i]);
        const int low = HexDigitValue(data[i + 1]);
        if (high < 0 || low < 0) {
          return Refuse(T("ERROR: REG_BINARY data may hold only hexadecimal digits: ") +
                        Text(data) + T("."));
        }
        bytes.push_back(static_cast<char>((high << 4) | low));
      }
      return Accept(std::move(bytes));
    }
    case platform::kRegMultiSz:
      return EncodeMultiString(data, separator);
    default:
      return Refuse(T("ERROR: The type ") + TypeName(type) + T(" cannot be added."));
  }
}

Text FormatQueryData(uint32_t type, const std::string& data) {
  switch (type) {
    case platform::kRegSz:
    case platform::kRegExpandSz: {
      const Text units = UnitsOf(data);
      return units.substr(0, units.find(static_cast<WChar>(0)));
    }
    case platform::kRegMultiSz: {
      // Every string the data holds, empty ones inside the list included
      // (the filter reads them all); only the empty string that ends the
      // list is left out.
      std::vector<Text> strings = SplitAtNul(UnitsOf(data));
      if (strings.size() > 1 && strings.back().empty()) {
        strings.pop_back();  // what follows the last NUL
      }
      if (!strings.empty() && strings.back().empty()) strings.pop_back();  // the list's end
      Text out;
      for (size_t i = 0; i < strings.size(); ++i) {
        if (i > 0) out += T("\\0");
        out += strings[i];
      }
      return out;
    }
    case platform::kRegDword:
      if (data.size() == 4) return T("0x") + LowerHex(ReadLittleEndian(data));
      break;
    case platform::kRegQword:
      if (data.size() == 8) return T("0x") + LowerHex(ReadLittleEndian(data));
      break;
    default:
      break;
  }
  return UpperHexPairs(data);
}

Text FormatQueryValue(const RegistryValue& value) {
  return T("    ") + ValueDisplayName(value.name) + T("    ") + TypeName(value.type) + T("    ") +
         FormatQueryData(value.type, value.data);
}

ParsedCommand ParseCommandLine(const std::vector<Text>& args) {
  ParsedCommand parsed;
  if (args.empty()) {
    parsed.message = T("ERROR: Invalid syntax: no operation given.\n") + GeneralUsage();
    return parsed;
  }
  auto is_help = [](const Text& a) {
    return EqualsIgnoringAsciiCase(a, "/?") || EqualsIgnoringAsciiCase(a, "-?") ||
           EqualsIgnoringAsciiCase(a, "/h") || EqualsIgnoringAsciiCase(a, "--help");
  };
  Command c;
  if (EqualsIgnoringAsciiCase(args[0], "add")) {
    c.operation = Operation::kAdd;
  } else if (EqualsIgnoringAsciiCase(args[0], "query")) {
    c.operation = Operation::kQuery;
  } else if (EqualsIgnoringAsciiCase(args[0], "delete")) {
    c.operation = Operation::kDelete;
  } else if (EqualsIgnoringAsciiCase(args[0], "import")) {
    c.operation = Operation::kImport;
  } else if (EqualsIgnoringAsciiCase(args[0], "export")) {
    c.operation = Operation::kExport;
  } else if (is_help(args[0])) {
    parsed.help = true;
    parsed.message = GeneralUsage();
    return parsed;
  } else {
    parsed.message =
        T("ERROR: Invalid syntax: unknown operation ") + args[0] + T(".\n") + GeneralUsage();
    return parsed;
  }
  const Operation op = c.operation;
  if (std::any_of(args.begin() + 1, args.end(), is_help)) {
    parsed.help = true;
    parsed.message = OperationUsage(op);
    return parsed;
  }

  // Only the option names this operation knows count as options, so a file
  // path such as /tmp/x.reg stays a positional argument.
  struct OptionSpec {
    const char* name;
    bool add, query, remove, import, exporting;
  };
  static constexpr OptionSpec kOptions[] = {
      {"v", true, true, true, false, false},    {"ve", true, true, true, false, false},
      {"va", false, false, true, false, false}, {"t", true, false, false, false, false},
      {"s", true, true, false, false, false},   {"d", true, false, false, false, false},
      {"f", true, false, true, false, false},   {"y", false, false, false, false, true},
      {"reg:32", true, true, true, true, true}, {"reg:64", true, true, true, true, true},
  };
  auto known_option = [&](const Text& a) -> const char* {
    if (a.size() < 2 || (a[0] != '/' && a[0] != '-')) return nullptr;
    const TextView name = TextView(a).substr(1);
    for (const OptionSpec& spec : kOptions) {
      const bool allowed =
          (op == Operation::kAdd && spec.add) || (op == Operation::kQuery && spec.query) ||
          (op == Operation::kDelete && spec.remove) || (op == Operation::kImport && spec.import) ||
          (op == Operation::kExport && spec.exporting);
      if (allowed && EqualsIgnoringAsciiCase(name, spec.name)) return spec.name;
    }
    return nullptr;
  };

  std::vector<Text> positional;
  std::vector<std::string> seen;
  for (size_t i = 1; i < args.size(); ++i) {
    const char* option = known_option(args[i]);
    if (option == nullptr) {
      positional.push_back(args[i]);
      continue;
    }
    const std::string name = option;
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
      return SyntaxError(op, T("/") + T(name) + T(" is given twice."));
    }
    seen.push_back(name);
    const bool takes_argument =
        name == "v" || name == "t" || name == "d" || (name == "s" && op == Operation::kAdd);
    Text argument;
    if (takes_argument) {
      if (i + 1 >= args.size()) return SyntaxError(op, T("/") + T(name) + T(" needs a value."));
      argument = args[++i];
    }
    if (name == "v") {
      c.value_name = argument;
    } else if (name == "ve") {
      c.value_name = Text();
    } else if (name == "va") {
      c.all_values = true;
    } else if (name == "t") {
      c.type = ParseTypeName(argument);
      if (!c.type) {
        ParsedCommand bad;
        bad.message = T("ERROR: Unknown type ") + argument +
                      T(". Use REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD or "
                        "REG_BINARY.\n");
        return bad;
      }
    } else if (name == "s") {
      if (op == Operation::kQuery) {
        c.recurse = true;
      } else if (argument.size() != 1) {
        return SyntaxError(op, T("/s takes exactly one separator character."));
      } else {
        c.separator = argument[0];
      }
    } else if (name == "d") {
      c.data = argument;
    } else if (name == "f") {
      c.force = true;
    } else if (name == "y") {
      c.overwrite_file = true;
    } else if (name == "reg:32") {
      c.view = 32;
    } else if (name == "reg:64") {
      c.view = 64;
    }
  }
  auto has = [&](const char* name) {
    return std::find(seen.begin(), seen.end(), name) != seen.end();
  };
  if (has("reg:32") && has("reg:64"))
    return SyntaxError(op, T("/reg:32 and /reg:64 exclude each other."));
  if (int(has("v")) + int(has("ve")) + int(has("va")) > 1) {
    return SyntaxError(op, T("/v, /ve and /va exclude each other."));
  }
  if (op == Operation::kAdd) {
    if (!c.value_name && (c.type || c.data || c.separator)) {
      return SyntaxError(op, T("/t, /s and /d need /v NAME or /ve."));
    }
    if (c.separator && c.type.value_or(platform::kRegSz) != platform::kRegMultiSz) {
      return SyntaxError(op, T("/s applies only to /t REG_MULTI_SZ."));
    }
  }

  const size_t wanted = op == Operation::kExport ? 2 : 1;
  if (positional.size() != wanted) {
    if (positional.size() < wanted) {
      return SyntaxError(op, op == Operation::kImport   ? T("the file name is missing.")
                             : op == Operation::kExport ? T("KEY and FILE are both needed.")
                                                        : T("the key is missing."));
    }
    return SyntaxError(op, T("unexpected argument ") + positional[wanted] + T("."));
  }
  if (op == Operation::kImport) {
    c.file = positional[0];
  } else {
    auto key = ParseKeyPath(positional[0]);
    if (!key) {
      ParsedCommand bad;
      bad.message = T("ERROR: Invalid key name ") + positional[0] +
                    T(": it must start with HKLM, HKCU, HKCR, HKU, HKCC or their long names "
                      "(HKEY_LOCAL_MACHINE, ...) and a backslash.\n");
      return bad;
    }
    c.key = std::move(*key);
    if (op == Operation::kExport) c.file = positional[1];
  }
  parsed.command = std::move(c);
  return parsed;
}

CommandOutcome RunCommand(const std::vector<Text>& args) {
  const ParsedCommand parsed = ParseCommandLine(args);
  if (parsed.help) return Success(parsed.message);
  if (!parsed.command) return Failure(parsed.message);
  const Command& c = *parsed.command;
  switch (c.operation) {
    case Operation::kAdd:
    case Operation::kDelete: {
      CommandOutcome outcome = c.operation == Operation::kAdd ? RunAdd(c) : RunDelete(c);
      if (outcome.exit_code != 0 || !UnderPolicyKey(c.key)) return outcome;
      return FinishPolicyChange(std::move(outcome), c.view);
    }
    case Operation::kQuery:
      return RunQuery(c);
    case Operation::kImport:
      return RunImport(c);
    case Operation::kExport:
      return RunExport(c);
  }
  return Failure(T("ERROR: Unknown operation."));
}

}  // namespace zefa::reg
