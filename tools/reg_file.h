// Registry files ("Windows Registry Editor Version 5.00"): reading them into
// a list of operations, applying that list, and writing a key tree in the
// form "reg export" writes (UTF-16LE with a byte-order mark, CR LF lines).
#pragma once

#include <string>
#include <vector>

#include "platform/registry.h"
#include "tools/reg_command.h"

namespace zefa::reg {

enum class RegFileAction { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };

struct RegFileOperation {
  RegFileAction action = RegFileAction::kCreateKey;
  KeyPath key;
  platform::RegistryValue value;  // name (and type and data for kSetValue)
  size_t line = 0;                // line of the file it came from
};

struct RegFileParse {
  bool ok = false;
  std::vector<RegFileOperation> operations;
  Text error;  // "line N: ..." when !ok
};

// File bytes to text: UTF-16 (LE or BE) after its mark, UTF-8 with or without
// its mark, and a file that is not valid UTF-8 (an 8-bit file such as a
// REGEDIT4 export) as Windows-1252, which `read_as_windows_1252` reports.
Text DecodeRegFileBytes(const std::string& bytes, bool* read_as_windows_1252 = nullptr);

// Reads the whole text; on any error returns no operations at all.
RegFileParse ParseRegFile(TextView text);

// Carries the operations out in order; values that follow one another in
// one key are written together (platform::RegistryWriteValues), so the time
// grows with the number of values. Empty on success, otherwise what failed.
// Deleting a key or value that does not exist is not a failure.
Text ApplyRegFile(const std::vector<RegFileOperation>& operations, int view);

struct ExportedKey {
  KeyPath key;
  std::vector<platform::RegistryValue> values;
};

// The key and all keys below it, parents before children, subkeys in the
// store's order. Empty when the key does not exist. Keys that exist but
// cannot be read are left out and added to `unreadable`.
std::vector<ExportedKey> CollectKeyTree(const KeyPath& key, int view,
                                        std::vector<KeyPath>* unreadable);

// One value line without its line end: "name"=... or @=...; long hex data is
// continued with "\" on lines indented by two spaces.
Text FormatRegFileValue(const platform::RegistryValue& value);

// The whole file text: header, then one block per key.
Text FormatRegFile(const std::vector<ExportedKey>& keys);

std::string EncodeUtf16LeWithBom(TextView text);

// The value of a hexadecimal digit (either case); -1 for anything else.
int HexDigitValue(WChar c);

}  // namespace zefa::reg
