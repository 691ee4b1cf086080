// The platform layer: the registry (a file-backed store on POSIX). One implementation per platform
// (platform/posix, platform/windows) is chosen at build time. Unless a
// function says otherwise it is safe to call from any thread, never throws,
// and reports failure only through its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace zefa::platform {

enum RegistryType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

struct RegistryValue {
  Text name;
  uint32_t type = kRegNone;
  std::string data;  // raw bytes exactly as the registry stores them
};

// Root keys are named as in the registry ("HKEY_LOCAL_MACHINE", ...);
// `subkey` uses "\\" between levels; names compare case-insensitively.
// `view` is 0, 32 or 64 (accepted everywhere; meaningful on 64-bit Windows).

// Reads one value. nullopt when the key or the value does not exist, or the
// key cannot be read.
std::optional<RegistryValue> RegistryRead(const Text& root, const Text& subkey, const Text& name,
                                          int view);

// Last-write time of the key in 100-nanosecond ticks since 1601-01-01 UTC
// (a FILETIME), at the full precision the registry keeps; 0 when the key
// does not exist. It changes whenever a value of the key is set or deleted
// and when the key is touched (RegistryTouchKey); creating or deleting a
// subkey leaves it alone. Here every change moves it by at least one tick;
// Windows takes it from the system clock, whose tick may be coarser.
int64_t RegistryKeyLastWriteTicks(const Text& root, const Text& subkey, int view);

// UTC seconds since 1970 of a last-write time in ticks.
inline int64_t RegistryTicksToUtcSeconds(int64_t ticks) {
  return ticks / 10000000LL - 11644473600LL;
}

// Moves the key's last-write time on without changing its values or
// subkeys, as a rewrite of the key would. False when the key does not exist
// or cannot be written.
bool RegistryTouchKey(const Text& root, const Text& subkey, int view);

enum class RegistryKeyState {
  kMissing,
  kReadable,
  // The key exists but its values cannot be read: here a stored record that
  // is damaged or unreadable, on Windows a key that cannot be opened or
  // queried for another reason than its absence.
  kUnreadable,
};

RegistryKeyState RegistryKeyCheck(const Text& root, const Text& subkey, int view);

// Creates the key and its missing parents. False on failure.
bool RegistryCreateKey(const Text& root, const Text& subkey, int view);

// Creates the key when missing and sets one value. The stored value is
// either the old or the new one, never a mixture. False on failure.
bool RegistryWrite(const Text& root, const Text& subkey, const RegistryValue& value, int view);

// Creates the key when missing and sets every value of `values` in order (a
// later value of the same name wins), as one write of the key where the
// platform allows it (POSIX: one record write, so all or none; Windows: one
// RegSetValueExW per value, stopping at the first failure). The time taken
// grows with the number of values, not with its square. False on failure.
bool RegistryWriteValues(const Text& root, const Text& subkey,
                         const std::vector<RegistryValue>& values, int view);

// Deletes one value. False when it did not exist or could not be deleted.
bool RegistryDeleteValue(const Text& root, const Text& subkey, const Text& name, int view);

// Deletes a key with all its subkeys. False when it did not exist.
bool RegistryDeleteKey(const Text& root, const Text& subkey, int view);

bool RegistryKeyExists(const Text& root, const Text& subkey, int view);

// Names of the direct subkeys and all values of a key (empty when missing
// or unreadable). Subkeys that cannot be read are listed too, so that a walk
// over a tree meets them (RegistryKeyCheck tells them apart).
std::vector<Text> RegistrySubkeys(const Text& root, const Text& subkey, int view);
std::vector<RegistryValue> RegistryValues(const Text& root, const Text& subkey, int view);

}  // namespace zefa::platform
