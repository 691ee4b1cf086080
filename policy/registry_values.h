// Registry values as text. Key paths are full paths whose first component
// names the root key ("hklm" or "hkey_local_machine", "hkcu", "hkcr", "hku",
// "hkcc" and their long forms, any letter case), then "\" and the subkey.
// View is 0 (default), 32 or 64.
#pragma once

#include <cstdint>
#include <map>

#include "platform/registry.h"
#include "platform/text.h"

namespace zefa {

// Reads one value as text: REG_SZ as stored, REG_EXPAND_SZ with environment
// references expanded, REG_DWORD / REG_QWORD as signed decimal, REG_BINARY as
// upper-case hexadecimal pairs, REG_MULTI_SZ joined with "\r\n". Any failure
// (unknown root, no backslash, missing key or value, size 0, other types)
// gives the empty text.
Text ReadRegistryValue(const Text& key_path, const Text& value_name, int view);

// Every value of one key as ReadRegistryValue gives it, read with one access
// to the key: value names in lower case. Empty when the key cannot be read.
std::map<Text, Text> ReadRegistryKeyValues(const Text& key_path, int view);

// Stores a value given as text, converted to the registry type (1, 2, 3, 4,
// 7 or 11); creates the key when missing. Any other type creates the key and
// writes nothing. Failures are silent.
void WriteRegistryValue(const Text& key_path, const Text& value_name, const Text& text,
                        uint32_t type, int view);

// The key's last-write time as a local date value (whole seconds); 0 when
// it cannot be read.
int64_t KeyLastWriteTime(const Text& key_path, int view);

// The key's last-write time at the full precision the registry keeps
// (100-nanosecond ticks since 1601 UTC); 0 when the key is missing. Two
// changes of a key's values never give the same ticks (on Windows: unless
// they fall within one tick of the system clock).
int64_t KeyLastWriteTicks(const Text& key_path, int view);

// Whether the key is missing, readable, or there but unreadable (a damaged
// record). An unknown root or a path without a backslash is missing.
platform::RegistryKeyState KeyState(const Text& key_path, int view);

// Splits a key path into the platform's root name and the subkey path.
// False for an unknown root or a path without a backslash.
bool SplitKeyPath(const Text& key_path, Text& root, Text& subkey);

}  // namespace zefa
