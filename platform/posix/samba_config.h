// The Samba configuration file as this layer reads it: the computer name and
// the shares of this server are defined there on POSIX systems.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zefa::platform {

struct SambaSection {
  std::string name;  // as written, without the brackets
  // Keys in canonical form: lower case, without blanks and underscores
  // ("NetBIOS Name" -> "netbiosname"); values trimmed. Later lines come last.
  std::vector<std::pair<std::string, std::string>> parameters;
};

// Sections of $CLAVORA_SMB_CONF (default /etc/samba/smb.conf) in file order,
// with "include = file" lines followed. Lines before the first section belong
// to "global". A section that appears twice is merged into its first place.
// Empty when the file cannot be read.
std::vector<SambaSection> ReadSambaConfig();

// The last value of `key` (canonical form) in the section; nullptr if unset.
const std::string* SambaParameter(const SambaSection& section, std::string_view key);

bool SambaBoolean(const std::string& value);  // yes, true, on, 1

bool SambaNameEquals(std::string_view a, std::string_view b);  // ASCII case-insensitive

}  // namespace zefa::platform
