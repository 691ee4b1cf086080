// The command line of the registry tool: the syntax of the Windows "reg"
// command (add, query, delete, import, export) and the way "reg query" prints
// keys and values. Parsing and formatting are free functions; RunCommand
// carries a whole command out against the platform registry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace zefa::reg {

// A key as a command line names it: the root by its long name and the subkey
// as typed (no leading or trailing backslash; empty for the root itself).
struct KeyPath {
  Text root;
  Text subkey;
};

// "HKLM\Software\X" or "HKEY_LOCAL_MACHINE\Software\X"; the root compares
// case-insensitively and may be short (HKLM, HKCU, HKCR, HKU, HKCC) or long.
// nullopt for an unknown root, a remote "\\machine\..." key or empty text.
std::optional<KeyPath> ParseKeyPath(TextView text);

// Long root name, then "\" and the subkey when there is one.
Text KeyPathText(const KeyPath& key);

KeyPath ChildKey(const KeyPath& key, const Text& name);

// The six types that can be added: REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ,
// REG_DWORD, REG_QWORD, REG_BINARY (case-insensitive).
std::optional<uint32_t> ParseTypeName(TextView name);

// Display name of any type ("REG_SZ", ..., "REG_NONE"; "0x1F" for types that
// have no name).
Text TypeName(uint32_t type);

struct EncodedData {
  bool ok = false;
  std::string data;  // raw registry bytes
  Text error;        // why the data was refused
};

// Converts /d text as "reg add" does: strings in UTF-16LE with their NUL;
// REG_DWORD and REG_QWORD from decimal or 0x-prefixed hexadecimal (empty is
// 0); REG_BINARY from an even number of hexadecimal digits; REG_MULTI_SZ
// split at `separator`, or at the two characters "\0" when none is given.
EncodedData EncodeAddData(uint32_t type, TextView data, std::optional<WChar> separator);

// The data column of "reg query": strings as they are, numbers as 0x...,
// multi-strings joined by "\0", anything else as upper-case hex pairs.
Text FormatQueryData(uint32_t type, const std::string& data);

// One value line: four spaces, name or "(Default)", type and data, each
// separated by four spaces.
Text FormatQueryValue(const platform::RegistryValue& value);

enum class Operation { kAdd, kQuery, kDelete, kImport, kExport };

struct Command {
  Operation operation = Operation::kQuery;
  KeyPath key;
  std::optional<Text> value_name;  // /v NAME, or empty for /ve
  bool all_values = false;         // /va
  std::optional<uint32_t> type;    // /t
  std::optional<WChar> separator;  // /s on add
  std::optional<Text> data;        // /d
  bool force = false;              // /f
  bool recurse = false;            // /s on query
  bool overwrite_file = false;     // /y
  Text file;                       // import and export
  int view = 0;                    // /reg:32, /reg:64
};

struct ParsedCommand {
  std::optional<Command> command;  // set when the line is valid
  bool help = false;               // "/?" was asked for; `message` holds the usage
  Text message;                    // usage or error text
};

// `args` are the arguments after the program name.
ParsedCommand ParseCommandLine(const std::vector<Text>& args);

struct CommandOutcome {
  int exit_code = 0;
  Text output;  // for standard output, lines ending in "\n"
  Text errors;  // for standard error
};

// Parses and carries out one command line. An add, delete or import that
// changed anything at or below HKLM\Software\Policies\Clavora ends by
// touching that key, after all its values are written, so that the filter's
// next reload sees the whole change. A key that exists but cannot be read
// makes query, export and value edits fail with its path in the error.
CommandOutcome RunCommand(const std::vector<Text>& args);

}  // namespace zefa::reg
