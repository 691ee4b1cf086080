// Reading the accounts of a Samba AD DC's own database (sam.ldb) locally and
// read-only through Samba's ldb library: the domain partition's user and
// group objects with the facts the password audit needs. Secret attributes
// that the DC keeps encrypted (its "encrypted secrets" key file beside
// sam.ldb) are decrypted with that key, so the values are those the DC's own
// tools read. POSIX only (a Samba DC).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zefa::audit {

using NtHash = std::array<unsigned char, 16>;

// userAccountControl bits the audit reads.
inline constexpr uint32_t kUfAccountDisable = 0x0002;
inline constexpr uint32_t kUfPasswdNotReqd = 0x0020;
inline constexpr uint32_t kUfEncryptedTextPasswordAllowed = 0x0080;
inline constexpr uint32_t kUfDontExpirePasswd = 0x10000;
inline constexpr uint32_t kGroupTypeSecurityEnabled = 0x80000000u;

// One user or group object of the domain partition.
struct SamObject {
  std::string dn;
  std::string name;  // sAMAccountName
  std::string sid;   // "S-1-5-21-...", empty when the object has none
  // RDN values of the parent containers below the domain, top first
  // ("CN=a,OU=Engineering,OU=Staff,DC=x" -> Staff, Engineering).
  std::vector<std::string> parents;
  std::vector<std::string> member_of;  // SIDs of the groups memberOf names
  uint32_t user_account_control = 0;
  uint32_t primary_group_rid = 0;
  uint32_t group_type = 0;
  bool has_nt_hash = false;
  NtHash nt_hash{};
  bool has_lm_hash = false;
};

struct SamContents {
  std::string domain_dn;
  std::string domain_sid;
  std::vector<SamObject> users;   // normal user accounts (no computers, trusts, tombstones)
  std::vector<SamObject> groups;  // groups, builtin ones included
};

// The private directory of the DC that $CLAVORA_SMB_CONF (default
// /etc/samba/smb.conf) describes: its "private dir", else /var/lib/samba/private.
std::string SamPrivateDirectory();

// Reads `sam_path` (sam.ldb; its partitions are found through it). False
// with a message in `error` when the file is missing or cannot be opened
// read-only, a search fails, or an encrypted secret cannot be decrypted (key
// file missing or damaged, value altered).
bool ReadSamDatabase(const std::string& sam_path, SamContents& contents, std::string& error);

// Decodes one stored secret value: an encrypted-secret blob is decrypted
// with `key` (16 bytes; empty when the DC has no key file), any other value
// is returned as it is. False when the blob is encrypted and cannot be
// decrypted. Exposed for tests.
bool DecodeSecretValue(const std::string& stored, const std::string& key, std::string& plain);

// The SID text of a binary SID; empty when malformed.
std::string SidText(const unsigned char* data, size_t size);

// The SID of an extended DN value ("<GUID=..>;<SID=S-1-..>;CN=.."); empty when none.
std::string SidOfExtendedDn(const std::string& value);

}  // namespace zefa::audit
