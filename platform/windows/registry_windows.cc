// The system registry. Root keys are named in full ("HKEY_LOCAL_MACHINE"),
// the subkey path uses "\" between levels (empty levels are ignored), and
// the view 32 or 64 selects the WOW64 view on 64-bit Windows.

#include "platform/windows/win_util.h"

#include <algorithm>
#include <atomic>
#include <string>

#include "platform/registry.h"

namespace zefa::platform {

namespace {

struct RootKey {
  const wchar_t* name;
  HKEY key;
};

const RootKey kRoots[] = {
    {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},   {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},     {L"HKEY_USERS", HKEY_USERS},
    {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

// Values larger than this are not configuration and are not read.
constexpr DWORD kMaxValueBytes = 64u << 20;

HKEY RootOf(const Text& root) {
  if (HasNul(root)) return nullptr;
  for (const RootKey& candidate : kRoots) {
    if (CompareStringOrdinal(root.c_str(), static_cast<int>(root.size()), candidate.name, -1,
                             TRUE) == CSTR_EQUAL) {
      return candidate.key;
    }
  }
  return nullptr;
}

REGSAM ViewFlag(int view) {
  if (view == 32) return KEY_WOW64_32KEY;
  if (view == 64) return KEY_WOW64_64KEY;
  return 0;
}

// The subkey path without empty levels; nullopt when it holds a NUL.
std::optional<Text> CleanSubkey(const Text& subkey) {
  if (HasNul(subkey)) return std::nullopt;
  Text out;
  size_t start = 0;
  while (start <= subkey.size()) {
    size_t end = subkey.find(L'\\', start);
    if (end == Text::npos) end = subkey.size();
    if (end > start) {
      if (!out.empty()) out.push_back(L'\\');
      out.append(subkey, start, end - start);
    }
    start = end + 1;
  }
  return out;
}

// An open key, closed when it goes out of scope.
struct OpenKey {
  HKEY key = nullptr;
  OpenKey() = default;
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  ~OpenKey() {
    if (key != nullptr) RegCloseKey(key);
  }
};

bool Open(const Text& root, const Text& subkey, int view, REGSAM access, OpenKey& out) {
  const HKEY root_key = RootOf(root);
  const auto path = CleanSubkey(subkey);
  if (root_key == nullptr || !path) return false;
  return RegOpenKeyExW(root_key, path->c_str(), 0, access | ViewFlag(view), &out.key) ==
         ERROR_SUCCESS;
}

bool Create(const Text& root, const Text& subkey, int view, REGSAM access, OpenKey& out) {
  const HKEY root_key = RootOf(root);
  const auto path = CleanSubkey(subkey);
  if (root_key == nullptr || !path) return false;
  return RegCreateKeyExW(root_key, path->c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                         access | ViewFlag(view), nullptr, &out.key, nullptr) == ERROR_SUCCESS;
}

// One value by name; the data grows until it fits (another writer may
// enlarge the value between the size query and the read).
std::optional<RegistryValue> QueryValue(HKEY key, const Text& name) {
  RegistryValue value;
  value.name = name;
  DWORD size = 0;
  DWORD type = 0;
  LSTATUS status = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
  for (int attempt = 0; status == ERROR_SUCCESS || status == ERROR_MORE_DATA; ++attempt) {
    if (size > kMaxValueBytes || attempt == 8) return std::nullopt;
    value.data.assign(size, '\0');
    DWORD got = size;
    status = RegQueryValueExW(key, name.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(value.data.data()), &got);
    if (status == ERROR_SUCCESS) {
      value.data.resize(got);
      value.type = type;
      return value;
    }
    size = got;
  }
  return std::nullopt;
}

}  // namespace

std::optional<RegistryValue> RegistryRead(const Text& root, const Text& subkey, const Text& name,
                                          int view) {
  OpenKey key;
  if (HasNul(name) || !Open(root, subkey, view, KEY_QUERY_VALUE, key)) return std::nullopt;
  return QueryValue(key.key, name);
}

int64_t RegistryKeyLastWriteTicks(const Text& root, const Text& subkey, int view) {
  OpenKey key;
  if (!Open(root, subkey, view, KEY_QUERY_VALUE, key)) return 0;
  FILETIME last_write{};
  if (RegQueryInfoKeyW(key.key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr, &last_write) != ERROR_SUCCESS) {
    return 0;
  }
  return static_cast<int64_t>((static_cast<uint64_t>(last_write.dwHighDateTime) << 32) |
                              last_write.dwLowDateTime);
}

// Setting and deleting a value of a name of its own is what moves the time
// through the documented calls; no other value is read or rewritten, so a
// concurrent writer's change is never undone.
bool RegistryTouchKey(const Text& root, const Text& subkey, int view) {
  static std::atomic<unsigned long> counter{0};
  OpenKey key;
  if (!Open(root, subkey, view, KEY_SET_VALUE, key)) return false;
  const Text name = L"ZefaTouch." + std::to_wstring(GetCurrentProcessId()) + L"." +
                    std::to_wstring(counter.fetch_add(1));
  const DWORD marker = 1;
  if (RegSetValueExW(key.key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&marker),
                     sizeof marker) != ERROR_SUCCESS) {
    return false;
  }
  return RegDeleteValueW(key.key, name.c_str()) == ERROR_SUCCESS;
}

RegistryKeyState RegistryKeyCheck(const Text& root, const Text& subkey, int view) {
  const HKEY root_key = RootOf(root);
  const auto path = CleanSubkey(subkey);
  if (root_key == nullptr || !path) return RegistryKeyState::kMissing;
  OpenKey key;
  const LSTATUS status =
      RegOpenKeyExW(root_key, path->c_str(), 0,
                    KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | ViewFlag(view), &key.key);
  if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) {
    return RegistryKeyState::kMissing;
  }
  if (status != ERROR_SUCCESS) return RegistryKeyState::kUnreadable;
  if (RegQueryInfoKeyW(key.key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return RegistryKeyState::kUnreadable;
  }
  return RegistryKeyState::kReadable;
}

bool RegistryCreateKey(const Text& root, const Text& subkey, int view) {
  OpenKey key;
  return Create(root, subkey, view, KEY_QUERY_VALUE, key);
}

bool RegistryWrite(const Text& root, const Text& subkey, const RegistryValue& value, int view) {
  OpenKey key;
  if (HasNul(value.name) || value.data.size() > kMaxValueBytes ||
      !Create(root, subkey, view, KEY_SET_VALUE, key)) {
    return false;
  }
  return RegSetValueExW(key.key, value.name.c_str(), 0, value.type,
                        reinterpret_cast<const BYTE*>(value.data.data()),
                        static_cast<DWORD>(value.data.size())) == ERROR_SUCCESS;
}

bool RegistryWriteValues(const Text& root, const Text& subkey,
                         const std::vector<RegistryValue>& values, int view) {
  OpenKey key;
  if (!Create(root, subkey, view, KEY_SET_VALUE, key)) return false;
  for (const RegistryValue& value : values) {
    if (HasNul(value.name) || value.data.size() > kMaxValueBytes ||
        RegSetValueExW(key.key, value.name.c_str(), 0, value.type,
                       reinterpret_cast<const BYTE*>(value.data.data()),
                       static_cast<DWORD>(value.data.size())) != ERROR_SUCCESS) {
      return false;
    }
  }
  return true;
}

bool RegistryDeleteValue(const Text& root, const Text& subkey, const Text& name, int view) {
  OpenKey key;
  if (HasNul(name) || !Open(root, subkey, view, KEY_SET_VALUE, key)) return false;
  return RegDeleteValueW(key.key, name.c_str()) == ERROR_SUCCESS;
}

bool RegistryDeleteKey(const Text& root, const Text& subkey, int view) {
  const auto path = CleanSubkey(subkey);
  const HKEY root_key = RootOf(root);
  if (!path || path->empty() || root_key == nullptr) return false;  // never a root key
  {
    // First everything below the key, then the key itself in its view.
    OpenKey key;
    if (!Open(root, *path, view, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE,
              key)) {
      return false;
    }
    if (RegDeleteTreeW(key.key, nullptr) != ERROR_SUCCESS) return false;
  }
  return RegDeleteKeyExW(root_key, path->c_str(), ViewFlag(view), 0) == ERROR_SUCCESS;
}

bool RegistryKeyExists(const Text& root, const Text& subkey, int view) {
  OpenKey key;
  return Open(root, subkey, view, KEY_QUERY_VALUE, key);
}

std::vector<Text> RegistrySubkeys(const Text& root, const Text& subkey, int view) {
  std::vector<Text> names;
  OpenKey key;
  if (!Open(root, subkey, view, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, key)) return names;
  DWORD longest = 0;
  if (RegQueryInfoKeyW(key.key, nullptr, nullptr, nullptr, nullptr, &longest, nullptr, nullptr,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return names;
  }
  Text buffer(static_cast<size_t>(longest) + 1, L'\0');
  for (DWORD index = 0;; ++index) {
    DWORD length = static_cast<DWORD>(buffer.size());
    const LSTATUS status =
        RegEnumKeyExW(key.key, index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) {  // a longer name arrived meanwhile
      buffer.assign(buffer.size() * 2 + 256, L'\0');
      --index;
      continue;
    }
    if (status != ERROR_SUCCESS) break;
    names.emplace_back(buffer.data(), length);
  }
  return names;
}

std::vector<RegistryValue> RegistryValues(const Text& root, const Text& subkey, int view) {
  std::vector<RegistryValue> values;
  OpenKey key;
  if (!Open(root, subkey, view, KEY_QUERY_VALUE, key)) return values;
  DWORD longest_name = 0, largest_data = 0;
  if (RegQueryInfoKeyW(key.key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                       &longest_name, &largest_data, nullptr, nullptr) != ERROR_SUCCESS) {
    return values;
  }
  Text name(static_cast<size_t>(longest_name) + 1, L'\0');
  std::string data(largest_data, '\0');
  int retries = 0;
  for (DWORD index = 0;; ++index) {
    DWORD name_length = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    const LSTATUS status =
        RegEnumValueW(key.key, index, name.data(), &name_length, nullptr, &type,
                      data.empty() ? nullptr : reinterpret_cast<BYTE*>(data.data()), &data_size);
    if (status == ERROR_MORE_DATA && ++retries < 8) {  // the value grew meanwhile
      name.assign(name.size() * 2 + 256, L'\0');
      if (data_size > kMaxValueBytes) break;
      data.assign(std::max<size_t>(data_size, data.size() * 2 + 256), '\0');
      --index;
      continue;
    }
    if (status != ERROR_SUCCESS) break;
    RegistryValue value;
    value.name.assign(name.data(), name_length);
    value.type = type;
    value.data.assign(data.data(), data_size);
    values.push_back(std::move(value));
  }
  return values;
}

}  // namespace zefa::platform
