#include "policy/registry_values.h"

#include "platform/time.h"
#include "platform/system.h"
#include "platform/registry.h"
#include "policy/text_to_integer.h"
#include "util/text_util.h"

namespace zefa {

namespace {

struct RootAlias {
  const WChar* short_name;
  const WChar* long_name;
};

constexpr RootAlias kRoots[] = {
    {ZT("hkcr"), ZT("HKEY_CLASSES_ROOT")},   {ZT("hkcu"), ZT("HKEY_CURRENT_USER")},
    {ZT("hklm"), ZT("HKEY_LOCAL_MACHINE")},  {ZT("hku"), ZT("HKEY_USERS")},
    {ZT("hkcc"), ZT("HKEY_CURRENT_CONFIG")},
};

Text StringFromUtf16Le(const std::string& data, size_t begin, size_t end) {
  Text out;
  const size_t stop = end < data.size() ? end : data.size();
  for (size_t i = begin; i + 2 <= stop; i += 2) {
    out.push_back(static_cast<WChar>(static_cast<unsigned char>(data[i]) |
                                     (static_cast<unsigned char>(data[i + 1]) << 8)));
  }
  return out;
}

void AppendUtf16Le(std::string& data, WChar c) {
  data.push_back(static_cast<char>(static_cast<uint16_t>(c) & 0xFF));
  data.push_back(static_cast<char>(static_cast<uint16_t>(c) >> 8));
}

uint64_t LittleEndian(const std::string& data, size_t bytes) {
  uint64_t v = 0;
  for (size_t i = 0; i < bytes && i < data.size(); ++i)
    v |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
  return v;
}

int HexValue(WChar c) {
  if (c >= ZT('0') && c <= ZT('9')) return c - ZT('0');
  if (c >= ZT('a') && c <= ZT('f')) return c - ZT('a') + 10;
  if (c >= ZT('A') && c <= ZT('F')) return c - ZT('A') + 10;
  return 0;
}

}  // namespace

bool SplitKeyPath(const Text& key_path, Text& root, Text& subkey) {
  const size_t slash = key_path.find(ZT('\\'));
  if (slash == Text::npos) return false;
  const Text name = ToLower(TextView(key_path).substr(0, slash));
  for (const RootAlias& alias : kRoots) {
    if (name == alias.short_name || name == ToLower(alias.long_name)) {
      root = alias.long_name;
      subkey = key_path.substr(slash + 1);
      return true;
    }
  }
  return false;
}

// The text form of one stored value (see ReadRegistryValue).
static Text RegistryValueText(const platform::RegistryValue& stored) {
  const platform::RegistryValue* value = &stored;
  if (value->data.empty()) return Text();
  const std::string& data = value->data;
  switch (value->type) {
    case platform::kRegSz:
    case platform::kRegExpandSz: {
      Text text = StringFromUtf16Le(data, 0, data.size());
      const size_t nul = text.find(WChar(0));
      if (nul != Text::npos) text.resize(nul);
      return value->type == platform::kRegExpandSz ? platform::ExpandEnvironmentStrings(text)
                                                   : text;
    }
    case platform::kRegDword:
      return IntegerToText(static_cast<int32_t>(static_cast<uint32_t>(LittleEndian(data, 4))));
    case platform::kRegQword:
      return IntegerToText(static_cast<int64_t>(LittleEndian(data, 8)));
    case platform::kRegBinary: {
      static const char kDigits[] = "0123456789ABCDEF";
      Text out;
      for (unsigned char byte : data) {
        out.push_back(static_cast<WChar>(kDigits[byte >> 4]));
        out.push_back(static_cast<WChar>(kDigits[byte & 15]));
      }
      return out;
    }
    case platform::kRegMultiSz: {
      const Text all = StringFromUtf16Le(data, 0, data.size());
      Text out;
      size_t start = 0;
      while (start < all.size()) {
        size_t nul = all.find(WChar(0), start);
        if (nul == Text::npos) nul = all.size();
        if (!out.empty()) out += ZT("\r\n");
        out.append(all, start, nul - start);
        start = nul + 1;
      }
      return out;
    }
    default:
      return Text();
  }
}

Text ReadRegistryValue(const Text& key_path, const Text& value_name, int view) {
  Text root, subkey;
  if (!SplitKeyPath(key_path, root, subkey)) return Text();
  const auto value = platform::RegistryRead(root, subkey, value_name, view);
  return value ? RegistryValueText(*value) : Text();
}

std::map<Text, Text> ReadRegistryKeyValues(const Text& key_path, int view) {
  std::map<Text, Text> values;
  Text root, subkey;
  if (!SplitKeyPath(key_path, root, subkey)) return values;
  for (const platform::RegistryValue& value : platform::RegistryValues(root, subkey, view))
    values.emplace(ToLower(value.name), RegistryValueText(value));
  return values;
}

void WriteRegistryValue(const Text& key_path, const Text& value_name, const Text& text,
                        uint32_t type, int view) {
  Text root, subkey;
  if (!SplitKeyPath(key_path, root, subkey)) return;
  if (!platform::RegistryCreateKey(root, subkey, view)) return;
  platform::RegistryValue value;
  value.name = value_name;
  value.type = type;
  switch (type) {
    case platform::kRegSz:
    case platform::kRegExpandSz:
      for (WChar c : text) AppendUtf16Le(value.data, c);
      AppendUtf16Le(value.data, 0);
      break;
    case platform::kRegDword:
    case platform::kRegQword: {
      const uint64_t number = static_cast<uint64_t>(TextToInteger(text));
      const size_t bytes = type == platform::kRegDword ? 4 : 8;
      for (size_t i = 0; i < bytes; ++i) value.data.push_back(static_cast<char>(number >> (8 * i)));
      break;
    }
    case platform::kRegBinary:
      for (size_t i = 0; i + 1 < text.size(); i += 2)
        value.data.push_back(static_cast<char>(HexValue(text[i]) * 16 + HexValue(text[i + 1])));
      break;
    case platform::kRegMultiSz: {
      bool open_string = false;
      for (WChar c : text) {
        if (c == ZT('\r')) {
          AppendUtf16Le(value.data, 0);
          open_string = false;
        } else if (c != ZT('\n')) {
          AppendUtf16Le(value.data, c);
          open_string = true;
        }
      }
      if (open_string) AppendUtf16Le(value.data, 0);
      AppendUtf16Le(value.data, 0);
      break;
    }
    default:
      return;
  }
  platform::RegistryWrite(root, subkey, value, view);
}

int64_t KeyLastWriteTime(const Text& key_path, int view) {
  const int64_t ticks = KeyLastWriteTicks(key_path, view);
  if (ticks == 0) return 0;
  return platform::UtcToLocal(platform::RegistryTicksToUtcSeconds(ticks));
}

int64_t KeyLastWriteTicks(const Text& key_path, int view) {
  Text root, subkey;
  if (!SplitKeyPath(key_path, root, subkey)) return 0;
  return platform::RegistryKeyLastWriteTicks(root, subkey, view);
}

platform::RegistryKeyState KeyState(const Text& key_path, int view) {
  Text root, subkey;
  if (!SplitKeyPath(key_path, root, subkey)) return platform::RegistryKeyState::kMissing;
  return platform::RegistryKeyCheck(root, subkey, view);
}

}  // namespace zefa
