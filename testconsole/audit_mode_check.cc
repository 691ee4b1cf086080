#include "testconsole/audit_mode_check.h"

#include "policy/policies.h"
#include "policy/registry_values.h"
#include "policy/text_to_integer.h"

namespace zefa {

std::vector<Text> AuditModeWarningLines() {
  std::vector<Text> lines;
  for (int64_t set = 1; set <= 8; ++set) {
    const Text key = Text(kPolicyRootKey) + ZT("\\") + IntegerToText(set);
    const Text enabled = ReadRegistryValue(key, ZT("Enabled"), 0);
    const Text audit = ReadRegistryValue(key, ZT("AuditOnly"), 0);
    if (enabled.empty() || TextToInteger(enabled) == 0) continue;
    if (audit.empty() || TextToInteger(audit) == 0) continue;
    lines.push_back(ZT("WARNING  Policy set ") + IntegerToText(set) +
                    ZT(" is in audit mode (AuditOnly): passwords that fail it are logged as "
                       "\"Password Audit\" and accepted"));
  }
  return lines;
}

std::vector<Text> UnknownAccountWarningLines() {
  bool any_enabled = false;
  bool unknown_enabled = false;
  const Text unknown = ReadRegistryValue(kPolicyRootKey, ZT("UnknownAccountSet"), 0);
  const int64_t unknown_set = unknown.empty() ? 0 : TextToInteger(unknown);
  for (int64_t set = 1; set <= 8; ++set) {
    const Text key = Text(kPolicyRootKey) + ZT("\\") + IntegerToText(set);
    const Text enabled = ReadRegistryValue(key, ZT("Enabled"), 0);
    if (enabled.empty() || TextToInteger(enabled) == 0) continue;
    any_enabled = true;
    if (set == unknown_set) unknown_enabled = true;
  }
  if (!any_enabled || unknown_enabled) return {};
  return {
      ZT("WARNING  UnknownAccountSet names no enabled policy set: new accounts, and accounts "
         "renamed in the same request as their password reset, are not checked")};
}

}  // namespace zefa
