#include "policy/value_catalogue.h"

#include <algorithm>

#include "platform/registry.h"
#include "util/text_util.h"

namespace zefa {

namespace {

constexpr ValueScope R = ValueScope::kRoot;
constexpr ValueScope S = ValueScope::kSet;
constexpr ValueKind N = ValueKind::kNumber;
constexpr ValueKind B = ValueKind::kSwitch;
constexpr ValueKind T = ValueKind::kText;
constexpr ValueKind L = ValueKind::kList;

// Word files and stores are also texts: the check reads what they name.
const std::vector<PolicyValue> kCatalogue = {
    {ZT("SkipUsers"), R, L, 0, 0, "empty", "Accounts that are never checked"},
    {ZT("SkipGroups"), R, L, 0, 0, "empty", "Groups whose members are never checked"},
    {ZT("DisableInactiveAccounts"), R, N, 0, 3650, "0 (nobody is disabled)",
     "Disable accounts inactive for this many days"},
    {ZT("UnknownAccountSet"), R, N, 0, 8, "0 (unknown accounts are not checked)",
     "Policy set for accounts the directory does not know"},
    {ZT("LogLevel"), R, N, 0, 2, "0 (information and warnings)", "Log level"},
    {ZT("Enabled"), S, B, 0, 1, "0 (the set is ignored)", "Enable this policy set"},
    {ZT("UserGroups"), S, L, 0, 0, "empty", "Groups the set applies to"},
    {ZT("UserOus"), S, L, 0, 0, "empty", "Organisational units the set applies to"},
    {ZT("CreateIDP"), S, B, 0, 1, "0", "Write a hand-off file (.idp) on each change"},
    {ZT("NotifyProgram"), S, T, 0, 0, "empty", "Program to start after each change"},
    {ZT("NotifyProgramBase64"), S, B, 0, 1, "0", "Pass the notify program its arguments in Base64"},
    {ZT("UpperCase"), S, N, 0, 256, "0 (rule off)", "Minimum number of upper-case letters"},
    {ZT("LowerCase"), S, N, 0, 256, "0 (rule off)", "Minimum number of lower-case letters"},
    {ZT("Number"), S, N, 0, 256, "0 (rule off)", "Minimum number of digits"},
    {ZT("Special"), S, N, 0, 256, "0 (rule off)", "Minimum number of special characters"},
    {ZT("CharCategories"), S, N, 0, 4, "0 (rule off)", "Number of character categories required"},
    {ZT("MinLength"), S, N, 0, 256, "0 (rule off)", "Minimum length"},
    {ZT("MaxLength"), S, N, 0, 256, "0 (rule off)", "Maximum length"},
    {ZT("MaxRepeating"), S, N, 0, 256, "0 (rule off)", "Maximum run of repeated characters"},
    {ZT("MaxSequential"), S, N, 0, 256, "0 (rule off)", "Maximum run of sequential characters"},
    {ZT("NoSimilarity"), S, B, 0, 1, "0", "Reject passwords similar to earlier ones"},
    {ZT("NoName"), S, B, 0, 1, "0", "Reject passwords that contain the user's names"},
    {ZT("NoSpace"), S, B, 0, 1, "0", "Reject spaces"},
    {ZT("NoVowel"), S, B, 0, 1, "0", "Reject vowels"},
    {ZT("AllowedChars"), S, T, 0, 0, "empty (no restriction)", "Allowed characters"},
    {ZT("ForbiddenChars"), S, T, 0, 0, "empty", "Forbidden characters"},
    {ZT("ForbiddenStartChars"), S, T, 0, 0, "empty", "Forbidden first characters"},
    {ZT("MinWords"), S, N, 0, 64, "0 (rule off)", "Minimum number of words"},
    {ZT("NoObfuscation"), S, B, 0, 1, "0", "See through digit and symbol substitutions"},
    {ZT("RegEx"), S, T, 0, 0, "empty (rule off)", "Regular expression the password must match",
     ValueContent::kPattern},
    {ZT("NoValidateOnReset"), S, B, 0, 1, "0", "Do not check passwords set by an administrator"},
    {ZT("AuditOnly"), S, B, 0, 1, "0 (enforced)",
     "Audit only: log what this set would deny, accept every password"},
    {ZT("ForbiddenFile"), S, T, 0, 0, "empty", "Forbidden-word file", ValueContent::kWordFile},
    {ZT("ForbiddenThreshold"), S, N, 0, 100, "0 (any listed word rejects)",
     "Forbidden-word coverage threshold in percent"},
    {ZT("Forbidden"), S, L, 0, 0, "empty", "Forbidden words"},
    {ZT("PwnedEnabled"), S, B, 0, 1, "0", "Reject passwords listed as compromised"},
    {ZT("PwnedStore"), S, T, 0, 0, "empty (the online range service)",
     "Offline breached-password store", ValueContent::kStore},
    {ZT("RulesText"), S, L, 0, 0, "empty (a built-in message)", "Rules text shown to users"},
    {ZT("LockoutThreshold"), S, N, 0, 999, "0 (no lockout)", "Account lockout threshold"},
    {ZT("LockoutDurationMin"), S, N, 0, 99999, "0", "Account lockout duration in minutes"},
    {ZT("LockoutObservationWindowMin"), S, N, 0, 99999, "0",
     "Lockout observation window in minutes"},
    {ZT("MaxPasswordAgeDays"), S, N, 0, 999, "0 (never expires)", "Maximum password age in days"},
    {ZT("MinPasswordAgeDays"), S, N, 0, 998, "0", "Minimum password age in days"},
    {ZT("PasswordHistory"), S, N, 0, 24, "0", "Passwords remembered"},
};

size_t EditDistance(const Text& a, const Text& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// A whole number as TextToInteger reads it, with nothing else around it but
// blanks.
bool IsWholeNumber(TextView text) {
  const Text trimmed = TrimBlanks(text);
  size_t i = 0;
  if (i < trimmed.size() && (trimmed[i] == '+' || trimmed[i] == '-')) ++i;
  auto digit = [](WChar c, int base) {
    if (base == 16)
      return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (base == 2) return c == '0' || c == '1';
    return c >= '0' && c <= '9';
  };
  int base = 10;
  if (i < trimmed.size() && trimmed[i] == '$')
    base = 16, ++i;
  else if (i < trimmed.size() && trimmed[i] == '%')
    base = 2, ++i;
  if (i == trimmed.size()) return false;
  for (; i < trimmed.size(); ++i)
    if (!digit(trimmed[i], base)) return false;
  return true;
}

const char* TypeName(ValueKind kind) {
  switch (kind) {
    case ValueKind::kNumber:
      return "REG_DWORD";
    case ValueKind::kSwitch:
      return "REG_DWORD";
    case ValueKind::kText:
      return "REG_SZ";
    case ValueKind::kList:
      return "REG_MULTI_SZ";
  }
  return "";
}

}  // namespace

const std::vector<PolicyValue>& PolicyValueCatalogue() { return kCatalogue; }

const PolicyValue* FindPolicyValue(ValueScope scope, TextView name) {
  const Text lower = ToLower(name);
  for (const PolicyValue& value : kCatalogue)
    if (value.Scope == scope && ToLower(value.Name) == lower) return &value;
  return nullptr;
}

Text ClosestPolicyValueName(ValueScope scope, TextView name) {
  const Text lower = ToLower(name);
  Text best;
  size_t best_distance = SIZE_MAX;
  for (const PolicyValue& value : kCatalogue) {
    if (value.Scope != scope) continue;
    const size_t distance = EditDistance(lower, ToLower(value.Name));
    if (distance < best_distance) best_distance = distance, best = value.Name;
  }
  return best;
}

bool TypeSuitsKind(ValueKind kind, uint32_t type, TextView text) {
  switch (kind) {
    case ValueKind::kNumber:
    case ValueKind::kSwitch:
      if (type == platform::kRegDword || type == platform::kRegQword) return true;
      return (type == platform::kRegSz || type == platform::kRegExpandSz) && IsWholeNumber(text);
    case ValueKind::kText:
      return type == platform::kRegSz || type == platform::kRegExpandSz;
    case ValueKind::kList:
      return type == platform::kRegSz || type == platform::kRegExpandSz ||
             type == platform::kRegMultiSz;
  }
  return false;
}

const char* KindTypeNames(ValueKind kind) {
  switch (kind) {
    case ValueKind::kNumber:
      return "REG_DWORD, REG_QWORD or a number as REG_SZ";
    case ValueKind::kSwitch:
      return "REG_DWORD 0 or 1";
    case ValueKind::kText:
      return "REG_SZ or REG_EXPAND_SZ";
    case ValueKind::kList:
      return "REG_MULTI_SZ, or REG_SZ with \";\" between entries";
  }
  return "";
}

std::string RegistryReferenceMarkdown() {
  std::string out =
      "# Registry values\n\n"
      "<!-- Generated from policy/value_catalogue.cc by `zefa_registry_reference`; do not edit. "
      "-->\n\n"
      "Every value the filter reads under `HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora` "
      "(the root key) and its set keys `1` to `8`. A missing value takes its default. Numbers "
      "may also be written as REG_SZ text (`12`, `$1F` hexadecimal, `%101` binary); lists take "
      "one entry per line of a REG_MULTI_SZ or entries separated by `;`. `zefatest /v` reports "
      "every value that is unknown, of another type or out of its range.\n";
  for (ValueScope scope : {ValueScope::kRoot, ValueScope::kSet}) {
    out += scope == ValueScope::kRoot ? "\n## The root key\n\n"
                                      : "\n## A policy set (keys `1` to `8`)\n\n";
    out += "| Value | Type | Default | Range | Meaning |\n|---|---|---|---|---|\n";
    for (const PolicyValue& value : kCatalogue) {
      if (value.Scope != scope) continue;
      std::string range = "-";
      if (value.Kind == ValueKind::kNumber || value.Kind == ValueKind::kSwitch)
        range = std::to_string(value.Minimum) + " to " + std::to_string(value.Maximum);
      if (value.Content == ValueContent::kPattern) range = "a pattern that compiles";
      if (value.Content == ValueContent::kWordFile)
        range = "a readable file in `zefa/system/words`";
      if (value.Content == ValueContent::kStore)
        range = "a store file in `zefa/system/words`, or an absolute path";
      out += "| `" + TextToUtf8(value.Name) + "` | " + TypeName(value.Kind) + " | " +
             value.Default + " | " + range + " | " + value.Meaning + " |\n";
    }
  }
  return out;
}

}  // namespace zefa
