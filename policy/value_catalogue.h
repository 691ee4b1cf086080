// Every registry value the filter reads under the policy key: its name,
// where it lives, its type, default, range and meaning. The configuration
// check, zefareg's warnings and the registry reference (docs/registry-values.md)
// all come from this one table; a test holds it against the administrative
// template in admx/.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/text.h"

namespace zefa {

// Where a value lives: the policy root key, or a set's subkey "1" to "8".
enum class ValueScope { kRoot, kSet };

enum class ValueKind {
  kNumber,  // REG_DWORD, REG_QWORD, or a number written as text
  kSwitch,  // a number, 0 (off) or 1 (on)
  kText,    // REG_SZ or REG_EXPAND_SZ
  kList,    // REG_MULTI_SZ, or REG_SZ with ";" or line breaks between entries
};

// What the configuration check does with a text beyond its type.
enum class ValueContent {
  kPlain,
  kPattern,   // a regular expression that must compile
  kWordFile,  // a file in the words folder that must be readable
  kStore,     // a breached-password store that must open
};

struct PolicyValue {
  const WChar* Name;
  ValueScope Scope;
  ValueKind Kind;
  int64_t Minimum;  // numbers and switches only
  int64_t Maximum;
  const char* Default;  // as the filter takes a missing value
  const char* Meaning;  // the template's display name of the value
  ValueContent Content = ValueContent::kPlain;
};

// The whole table, root values first, then the values of a set, each in the
// template's order.
const std::vector<PolicyValue>& PolicyValueCatalogue();

// The entry of `name` (any letter case) in `scope`; nullptr when unknown.
const PolicyValue* FindPolicyValue(ValueScope scope, TextView name);

// The known name of `scope` closest to `name` (fewest single-letter edits,
// letter case ignored).
Text ClosestPolicyValueName(ValueScope scope, TextView name);

// Whether a value of registry type `type` (platform::RegistryType) with the
// text `text` (as ReadRegistryValue gives it) suits the kind: numbers as
// REG_DWORD, REG_QWORD or a text that is a whole number in one of the forms
// TextToInteger reads; texts as REG_SZ or REG_EXPAND_SZ; lists also as
// REG_MULTI_SZ.
bool TypeSuitsKind(ValueKind kind, uint32_t type, TextView text);

// The registry type names a kind accepts, for messages ("REG_DWORD or a
// number as REG_SZ").
const char* KindTypeNames(ValueKind kind);

// The registry reference in Markdown: one table row per value with its key,
// type, default, range and meaning.
std::string RegistryReferenceMarkdown();

}  // namespace zefa
