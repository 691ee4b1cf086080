#include "tools/sam_database.h"

// Samba's ldb and talloc headers declare C functions without C++ guards.
extern "C" {
#include <ldb.h>
#include <talloc.h>
}
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/stat.h>

#include "platform/posix/samba_config.h"

namespace zefa::audit {

namespace {

// The encrypted-secret blob: NDR of { DATA_BLOB iv; header; remaining
// encrypted bytes }, all little-endian; the 16-byte header is the
// authenticated data of AES-128-GCM and the last 16 encrypted bytes are the
// tag. The plain text is an NDR blob itself: a 32-bit length and the value.
constexpr uint32_t kSecretMagic = 0xCA5CADEDu;
constexpr uint32_t kSecretAlgorithmAes128Gcm = 1;
constexpr size_t kGcmTagBytes = 16;
constexpr size_t kHeaderBytes = 16;

uint32_t ReadLe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct TallocDeleter {
  void operator()(void* memory) const { talloc_free(memory); }
};

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string ValueText(const ldb_val& value) {
  return std::string(reinterpret_cast<const char*>(value.data), value.length);
}

const ldb_message_element* Element(const ldb_message* message, const char* name) {
  return ldb_msg_find_element(message, name);
}

std::string FirstText(const ldb_message* message, const char* name) {
  const ldb_message_element* element = Element(message, name);
  if (element == nullptr || element->num_values == 0) return std::string();
  return ValueText(element->values[0]);
}

uint32_t FirstNumber(const ldb_message* message, const char* name) {
  const std::string text = FirstText(message, name);
  if (text.empty()) return 0;
  // Stored as signed decimal text (groupType is negative for security groups).
  return static_cast<uint32_t>(std::strtoll(text.c_str(), nullptr, 10));
}

bool ConnectReadOnly(ldb_context* ldb, const std::string& url, std::string& error) {
  const char* options[] = {"modules:", nullptr};  // the stored values, no module stack
  const int rc = ldb_connect(ldb, url.c_str(), LDB_FLG_RDONLY | LDB_FLG_NOMMAP, options);
  if (rc != LDB_SUCCESS) {
    const char* text = ldb_errstring(ldb);
    error = "cannot open " + url + " read-only (" +
            (text != nullptr ? std::string(text) : "ldb error " + std::to_string(rc)) +
            "): is it missing, locked or damaged?";
    return false;
  }
  return true;
}

bool SearchBase(ldb_context* ldb, TALLOC_CTX* memory, const char* dn, ldb_message*& found,
                std::string& error) {
  ldb_result* result = nullptr;
  const int rc = ldb_search(ldb, memory, &result, ldb_dn_new(memory, ldb, dn), LDB_SCOPE_BASE,
                            nullptr, nullptr);
  if (rc != LDB_SUCCESS || result == nullptr || result->count != 1) {
    error = std::string("sam.ldb has no readable ") + dn + " record";
    return false;
  }
  found = result->msgs[0];
  return true;
}

// The file and the backend of the partition that holds `naming_context`.
bool FindPartitionUrl(ldb_context* ldb, TALLOC_CTX* memory, const std::string& sam_path,
                      std::string& domain_dn, std::string& url, std::string& error) {
  ldb_message* root = nullptr;
  ldb_message* partitions = nullptr;
  if (!SearchBase(ldb, memory, "@ROOTDSE", root, error)) return false;
  if (!SearchBase(ldb, memory, "@PARTITION", partitions, error)) return false;
  domain_dn = FirstText(root, "defaultNamingContext");
  if (domain_dn.empty()) {
    error = "sam.ldb names no default naming context";
    return false;
  }
  const std::string backend = FirstText(partitions, "backendStore");
  const ldb_message_element* list = Element(partitions, "partition");
  for (unsigned i = 0; list != nullptr && i < list->num_values; ++i) {
    const std::string entry = ValueText(list->values[i]);
    // "DN:relative file"; a DN holds no ":" before the file name here.
    const size_t colon = entry.rfind(':');
    if (colon == std::string::npos) continue;
    if (!EqualsIgnoringCase(entry.substr(0, colon), domain_dn)) continue;
    std::string file = entry.substr(colon + 1);
    if (file.empty() || file[0] != '/') file = FolderOf(sam_path) + "/" + file;
    url = (backend == "mdb" ? "mdb://" : "tdb://") + file;
    return true;
  }
  error = "sam.ldb lists no partition for " + domain_dn;
  return false;
}

std::string ReadKeyFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string();
  std::string key(16, '\0');
  in.read(key.data(), static_cast<std::streamsize>(key.size()));
  key.resize(static_cast<size_t>(in.gcount()));
  return key;
}

void ReadSecretAttribute(const ldb_message* message, const char* name, const std::string& key,
                         bool& present, NtHash* hash, std::string& error) {
  present = false;
  const ldb_message_element* element = Element(message, name);
  if (element == nullptr || element->num_values == 0) return;
  std::string plain;
  const std::string stored = ValueText(element->values[0]);
  if (!DecodeSecretValue(stored, key, plain)) {
    error = std::string("cannot decrypt ") + name + " of " + ldb_dn_get_linearized(message->dn) +
            ": the encrypted-secrets key file beside sam.ldb is missing or does not fit";
    return;
  }
  if (plain.size() == 16) {
    present = true;
    if (hash != nullptr) std::memcpy(hash->data(), plain.data(), 16);
  }
  OPENSSL_cleanse(plain.data(), plain.size());
}

std::vector<std::string> ParentsOf(ldb_dn* dn) {
  std::vector<std::string> parents;
  const int count = ldb_dn_get_comp_num(dn);
  for (int i = count - 1; i >= 1; --i) {
    const char* name = ldb_dn_get_component_name(dn, i);
    const ldb_val* value = ldb_dn_get_component_val(dn, i);
    if (name == nullptr || value == nullptr || strcasecmp(name, "DC") == 0) continue;
    parents.push_back(ValueText(*value));
  }
  return parents;
}

struct SearchState {
  std::string key;
  SamContents& contents;
  std::string& error;
};

// Adds one found entry to the contents (users with their secrets decoded).
void AddEntry(const ldb_message* message, SearchState& state) {
  if (EqualsIgnoringCase(FirstText(message, "isDeleted"), "TRUE")) return;
  SamObject object;
  object.dn = ldb_dn_get_linearized(message->dn);
  object.name = FirstText(message, "sAMAccountName");
  const ldb_message_element* sid = Element(message, "objectSid");
  if (sid != nullptr && sid->num_values > 0)
    object.sid = SidText(sid->values[0].data, sid->values[0].length);
  object.parents = ParentsOf(message->dn);
  const ldb_message_element* member_of = Element(message, "memberOf");
  for (unsigned v = 0; member_of != nullptr && v < member_of->num_values; ++v) {
    const std::string group_sid = SidOfExtendedDn(ValueText(member_of->values[v]));
    if (!group_sid.empty()) object.member_of.push_back(group_sid);
  }
  object.user_account_control = FirstNumber(message, "userAccountControl");
  object.primary_group_rid = FirstNumber(message, "primaryGroupID");
  object.group_type = FirstNumber(message, "groupType");
  if (FirstText(message, "sAMAccountType") == "805306368") {
    ReadSecretAttribute(message, "unicodePwd", state.key, object.has_nt_hash, &object.nt_hash,
                        state.error);
    ReadSecretAttribute(message, "dBCSPwd", state.key, object.has_lm_hash, nullptr, state.error);
    state.contents.users.push_back(std::move(object));
  } else if (ldb_msg_check_string_attribute(message, "objectClass", "group") != 0) {
    state.contents.groups.push_back(std::move(object));
  }
}

int TakeEntry(struct ldb_request* request, struct ldb_reply* reply) {
  auto& state = *static_cast<SearchState*>(request->context);
  if (reply == nullptr) return ldb_request_done(request, LDB_ERR_OPERATIONS_ERROR);
  if (reply->error != LDB_SUCCESS) {
    const int error = reply->error;
    talloc_free(reply);
    return ldb_request_done(request, error);
  }
  switch (reply->type) {
    case LDB_REPLY_ENTRY:
      if (state.error.empty()) AddEntry(reply->message, state);
      break;
    case LDB_REPLY_DONE:
      talloc_free(reply);
      return ldb_request_done(request, LDB_SUCCESS);
    default:
      break;
  }
  talloc_free(reply);
  return LDB_SUCCESS;
}

}  // namespace

std::string SidText(const unsigned char* data, size_t size) {
  if (size < 8) return std::string();
  const unsigned count = data[1];
  if (data[0] != 1 || size != 8 + 4 * static_cast<size_t>(count)) return std::string();
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | data[i];
  std::string text = "S-1-" + std::to_string(authority);
  for (unsigned i = 0; i < count; ++i) text += "-" + std::to_string(ReadLe32(data + 8 + 4 * i));
  return text;
}

std::string SidOfExtendedDn(const std::string& value) {
  const size_t start = value.find("<SID=");
  if (start == std::string::npos) return std::string();
  const size_t end = value.find('>', start);
  if (end == std::string::npos) return std::string();
  return value.substr(start + 5, end - start - 5);
}

bool DecodeSecretValue(const std::string& stored, const std::string& key, std::string& plain) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(stored.data());
  const size_t size = stored.size();
  // A plain value: not an encrypted-secret blob.
  if (size < 4) {
    plain = stored;
    return true;
  }
  const size_t iv_size = ReadLe32(bytes);
  const bool blob = iv_size > 0 && iv_size <= 64 && size >= 4 + iv_size + kHeaderBytes &&
                    ReadLe32(bytes + 4 + iv_size) == kSecretMagic;
  if (!blob) {
    plain = stored;
    return true;
  }
  const unsigned char* header = bytes + 4 + iv_size;
  const unsigned char* encrypted = header + kHeaderBytes;
  const size_t encrypted_size = size - 4 - iv_size - kHeaderBytes;
  if (key.size() != 16 || ReadLe32(header + 8) != kSecretAlgorithmAes128Gcm ||
      encrypted_size < kGcmTagBytes)
    return false;
  const size_t cipher_size = encrypted_size - kGcmTagBytes;
  std::string out(cipher_size, '\0');
  std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> context(EVP_CIPHER_CTX_new(),
                                                                     EVP_CIPHER_CTX_free);
  int length = 0;
  int final_length = 0;
  const bool ok =
      context != nullptr &&
      EVP_DecryptInit_ex(context.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(iv_size),
                          nullptr) == 1 &&
      EVP_DecryptInit_ex(context.get(), nullptr, nullptr,
                         reinterpret_cast<const unsigned char*>(key.data()), bytes + 4) == 1 &&
      EVP_DecryptUpdate(context.get(), nullptr, &length, header, kHeaderBytes) == 1 &&
      EVP_DecryptUpdate(context.get(), reinterpret_cast<unsigned char*>(out.data()), &length,
                        encrypted, static_cast<int>(cipher_size)) == 1 &&
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, kGcmTagBytes,
                          const_cast<unsigned char*>(encrypted + cipher_size)) == 1 &&
      EVP_DecryptFinal_ex(context.get(), reinterpret_cast<unsigned char*>(out.data()) + length,
                          &final_length) == 1;
  bool decoded = false;
  if (ok && out.size() >= 4) {
    const size_t value_size = ReadLe32(reinterpret_cast<const unsigned char*>(out.data()));
    if (value_size <= out.size() - 4) {
      plain.assign(out, 4, value_size);
      decoded = true;
    }
  }
  OPENSSL_cleanse(out.data(), out.size());
  return decoded;
}

std::string SamPrivateDirectory() {
  for (const platform::SambaSection& section : platform::ReadSambaConfig()) {
    if (!platform::SambaNameEquals(section.name, "global")) continue;
    const std::string* value = platform::SambaParameter(section, "privatedir");
    if (value != nullptr && !value->empty()) return *value;
  }
  return "/var/lib/samba/private";
}

bool ReadSamDatabase(const std::string& sam_path, SamContents& contents, std::string& error) {
  struct stat info {};
  if (::stat(sam_path.c_str(), &info) != 0) {
    error = "no database at " + sam_path + " (--samdb names another)";
    return false;
  }
  std::unique_ptr<void, TallocDeleter> memory(talloc_new(nullptr));
  ldb_context* top = ldb_init(memory.get(), nullptr);
  if (top == nullptr || !ConnectReadOnly(top, "tdb://" + sam_path, error)) return false;
  std::string url;
  if (!FindPartitionUrl(top, memory.get(), sam_path, contents.domain_dn, url, error)) return false;
  ldb_context* ldb = ldb_init(memory.get(), nullptr);
  if (ldb == nullptr || !ConnectReadOnly(ldb, url, error)) return false;

  SearchState state{ReadKeyFile(FolderOf(sam_path) + "/encrypted_secrets.key"), contents, error};
  const char* attributes[] = {"sAMAccountName",     "sAMAccountType", "objectSid", "objectClass",
                              "userAccountControl", "primaryGroupID", "groupType", "memberOf",
                              "unicodePwd",         "dBCSPwd",        "isDeleted", nullptr};
  // Searched by objectClass: without the DC's module stack the index keys of
  // some attributes (sAMAccountType among them) are not those this library
  // would compute, while objectClass matches as stored. Entries are taken
  // one at a time as the search finds them, so memory holds one entry, not
  // the whole result.
  struct ldb_request* request = nullptr;
  int rc = ldb_build_search_req(&request, ldb, memory.get(), nullptr, LDB_SCOPE_SUBTREE,
                                "(|(objectClass=user)(objectClass=group))", attributes, nullptr,
                                &state, TakeEntry, nullptr);
  if (rc == LDB_SUCCESS) rc = ldb_request(ldb, request);
  if (rc == LDB_SUCCESS) rc = ldb_wait(request->handle, LDB_WAIT_ALL);
  if (rc != LDB_SUCCESS && error.empty()) {
    const char* text = ldb_errstring(ldb);
    error = "searching " + url +
            " failed: " + (text != nullptr ? std::string(text) : "ldb error " + std::to_string(rc));
  }
  OPENSSL_cleanse(state.key.data(), state.key.size());
  for (const SamObject& user : contents.users) {
    // The domain's SID is every account's SID without its last part.
    const size_t dash = user.sid.rfind('-');
    if (dash != std::string::npos && user.sid.compare(0, 9, "S-1-5-21-") == 0) {
      contents.domain_sid = user.sid.substr(0, dash);
      break;
    }
  }
  if (!error.empty()) {
    for (SamObject& user : contents.users) OPENSSL_cleanse(user.nt_hash.data(), 16);
    return false;
  }
  return true;
}

}  // namespace zefa::audit
