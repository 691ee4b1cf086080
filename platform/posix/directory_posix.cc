// The directory client on OpenLDAP's libldap: opening and authenticating a
// connection, and the synchronous search, add and modify requests.
//
// Where the connection goes and how it authenticates comes from the
// environment:
//   CLAVORA_LDAP_URI            one URI or a list of URIs of one scheme;
//                               default: Samba's privileged ldapi socket
//   CLAVORA_LDAP_BIND_DN        together with the password file: a simple
//   CLAVORA_LDAP_PASSWORD_FILE  bind, only over TLS (ldaps://, or StartTLS
//                               on ldap://) or the local ldapi socket
//   CLAVORA_LDAP_CA_FILE        the CA certificates that the server's
//                               certificate must chain to
// Without a bind name and password file an ldapi:// connection sends no bind
// at all (Samba's privileged socket then serves the connection as the
// system), and any other connection binds with SASL GSSAPI under the
// process's Kerberos credentials.

#include <errno.h>
#include <fcntl.h>
#include <ldap.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/platform.h"

namespace zefa::platform {

struct DirectoryHandle {
  LDAP* ld = nullptr;
};

namespace {

constexpr char kPrivilegedSocketUri[] = "ldapi://%2Fvar%2Flib%2Fsamba%2Fprivate%2Fldap_priv%2Fldapi";
constexpr char kLazyCommitOid[] = "1.2.840.113556.1.4.619";

// A server that accepts the connection but never answers must not hold the
// caller (the password filter runs inside the security authority) for long:
// connecting and the TLS handshake get kNetworkTimeout, every synchronous
// request including its whole result kOperationTimeout.
constexpr time_t kNetworkTimeoutSeconds = 5;
constexpr time_t kOperationTimeoutSeconds = 30;

// A password file larger than this is not a password file.
constexpr off_t kMaxPasswordFileSize = 4096;

enum class UriScheme { kLdap, kLdaps, kLdapi, kUnusable };

// The scheme shared by every URI of a blank- or comma-separated list. A list
// that mixes schemes is unusable: whether the password may be sent, or a
// bind may be left out, must not depend on which server happened to answer.
UriScheme SchemeOf(std::string_view uris) {
  UriScheme common = UriScheme::kUnusable;
  bool first = true;
  size_t i = 0;
  while (i < uris.size()) {
    const size_t end = uris.find_first_of(" \t,", i);
    const std::string_view uri = uris.substr(i, end == std::string_view::npos ? end : end - i);
    i = end == std::string_view::npos ? uris.size() : end + 1;
    if (uri.empty()) continue;
    const size_t colon = uri.find("://");
    std::string scheme(uri.substr(0, colon == std::string_view::npos ? 0 : colon));
    for (char& c : scheme) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
    UriScheme this_one = UriScheme::kUnusable;
    if (scheme == "ldap") this_one = UriScheme::kLdap;
    if (scheme == "ldaps") this_one = UriScheme::kLdaps;
    if (scheme == "ldapi") this_one = UriScheme::kLdapi;
    if (this_one == UriScheme::kUnusable || (!first && this_one != common)) {
      return UriScheme::kUnusable;
    }
    common = this_one;
    first = false;
  }
  return common;
}

const char* NonEmptyVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

// The password file's contents without one trailing line break. The buffer
// is sized once, so no partial copy of the password is left behind in freed
// memory; the caller wipes it. False when the file cannot be read.
bool ReadPasswordFile(const char* path, std::string& password) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxPasswordFileSize) {
    close(fd);
    return false;
  }
  password.assign(static_cast<size_t>(info.st_size), '\0');
  size_t got = 0;
  bool ok = true;
  while (got < password.size()) {
    const ssize_t n = read(fd, password.data() + got, password.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  password.resize(got);  // shrinking keeps the buffer
  if (!password.empty() && password.back() == '\n') {
    password.pop_back();
    if (!password.empty() && password.back() == '\r') password.pop_back();
  }
  return ok;
}

void WipePassword(std::string& password) {
  SecureWipe(password.data(), password.capacity());
  password.clear();
}

// libldap reads its configuration files and environment once per process;
// doing that before the first connection keeps concurrent first opens from
// racing on it.
void InitialiseLibraryOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    int version = 0;
    ldap_get_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version);
  });
}

// A layer between the socket and the TLS or LDAP code above it that waits
// for the socket at most kNetworkTimeout and then fails the transfer for
// good. libldap waits for answers with its own timed poll, but the reads and
// writes it issues directly are unguarded: libldap 2.5 runs the TLS handshake
// on a non-blocking socket and simply retries, so a server that accepts the
// connection and never answers would keep the caller spinning forever.
bool WaitForSocket(Sockbuf_IO_Desc* layer, short events) {
  ber_socket_t fd = -1;
  ber_sockbuf_ctrl(layer->sbiod_sb, LBER_SB_OPT_GET_FD, &fd);
  if (fd < 0) return true;
  pollfd wait{fd, events, 0};
  for (;;) {
    const int ready = poll(&wait, 1, static_cast<int>(kNetworkTimeoutSeconds * 1000));
    if (ready > 0) return true;  // ready, or an error the next layer reports
    if (ready < 0 && errno == EINTR) continue;
    errno = ETIMEDOUT;
    return false;
  }
}

ber_slen_t TimedRead(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) {
  if (!WaitForSocket(layer, POLLIN)) return -1;
  return LBER_SBIOD_READ_NEXT(layer, buffer, length);
}

ber_slen_t TimedWrite(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) {
  if (!WaitForSocket(layer, POLLOUT)) return -1;
  return LBER_SBIOD_WRITE_NEXT(layer, buffer, length);
}

int PassControl(Sockbuf_IO_Desc* layer, int option, void* argument) {
  return LBER_SBIOD_CTRL_NEXT(layer, option, argument);
}

Sockbuf_IO timed_io{nullptr, nullptr, PassControl, TimedRead, TimedWrite, nullptr};

// Called by libldap right after each socket connects, before the socket
// provider and any TLS layer are stacked on it: at the transport level the
// timed layer ends up between the two.
int AddTimedLayer(LDAP*, Sockbuf* socket, LDAPURLDesc*, sockaddr*, ldap_conncb*) {
  return ber_sockbuf_add_io(socket, &timed_io, LBER_SBIOD_LEVEL_TRANSPORT, nullptr) == 0 ? 0
                                                                                      : -1;
}

void RemoveNothing(LDAP*, Sockbuf*, ldap_conncb*) {}  // the layer goes with the socket

ldap_conncb timed_layer_callback{AddTimedLayer, RemoveNothing, nullptr};

bool SetConnectionOptions(LDAP* ld, const char* ca_file) {
  const int version = LDAP_VERSION3;
  const timeval network_timeout{kNetworkTimeoutSeconds, 0};
  const timeval operation_timeout{kOperationTimeoutSeconds, 0};
  if (ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &network_timeout) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_TIMEOUT, &operation_timeout) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_CONNECT_CB, &timed_layer_callback) != LDAP_OPT_SUCCESS) {
    return false;
  }
  if (ca_file == nullptr) return true;
  // The TLS context of the handle is built from its options when it is
  // created, so the CA file goes first; a CA file that cannot be loaded
  // fails here rather than at the handshake.
  const int client_context = 0;
  return ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, ca_file) == LDAP_OPT_SUCCESS &&
         ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client_context) == LDAP_OPT_SUCCESS;
}

bool SimpleBind(LDAP* ld, UriScheme scheme, const char* bind_dn, const char* password_file) {
  if (scheme == UriScheme::kLdap) {
    if (ldap_start_tls_s(ld, nullptr, nullptr) != LDAP_SUCCESS) return false;
  } else if (ldap_connect(ld) != LDAP_SUCCESS) {
    return false;
  }
  // The password never leaves the machine unencrypted.
  if (scheme != UriScheme::kLdapi && ldap_tls_inplace(ld) == 0) return false;

  std::string password;
  if (!ReadPasswordFile(password_file, password) || password.empty()) {
    // An empty password would make the bind anonymous instead of failing.
    WipePassword(password);
    return false;
  }
  berval credentials{password.size(), password.data()};
  const int rc =
      ldap_sasl_bind_s(ld, bind_dn, LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, nullptr);
  WipePassword(password);
  return rc == LDAP_SUCCESS;
}

// GSSAPI needs no prompts: the credentials come from the Kerberos cache or
// keytab of the process.
int NoInteraction(LDAP*, unsigned, void*, void*) { return LDAP_SUCCESS; }

bool GssapiBind(LDAP* ld) {
  // Loading the SASL plug-ins is process-wide; do it once, not in a race.
  static std::once_flag once;
  std::call_once(once, [] {
    char** mechanisms = nullptr;
    ldap_get_option(nullptr, LDAP_OPT_X_SASL_MECHLIST, &mechanisms);
  });
  // The service name is built from the host as written in the URI, so an IP
  // address or an alias is not resolved into some other name first.
  if (ldap_set_option(ld, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON) != LDAP_OPT_SUCCESS) return false;
  return ldap_sasl_interactive_bind_s(ld, nullptr, "GSSAPI", nullptr, nullptr, LDAP_SASL_QUIET,
                                      NoInteraction, nullptr) == LDAP_SUCCESS;
}

bool HasNul(const Text& text) { return text.find(WChar{0}) != Text::npos; }

// The pieces of one add or modify request, kept alive for the call.
struct ModificationRequest {
  std::vector<std::string> names;
  std::vector<std::vector<berval>> values;  // each ends with {0, nullptr}
  std::vector<std::vector<berval*>> value_pointers;  // each ends with nullptr
  std::vector<LDAPMod> mods;
  std::vector<LDAPMod*> mod_pointers;  // ends with nullptr
};

// False when an operation code is unknown or a name holds a NUL.
bool BuildModifications(const std::vector<DirectoryModification>& input, bool is_add,
                        ModificationRequest& request) {
  const size_t count = input.size();
  request.names.reserve(count);
  request.values.resize(count);
  request.value_pointers.resize(count);
  request.mods.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const DirectoryModification& in = input[i];
    int op = LDAP_MOD_ADD;
    if (!is_add) {
      switch (in.op) {
        case kDirectoryAdd: op = LDAP_MOD_ADD; break;
        case kDirectoryDelete: op = LDAP_MOD_DELETE; break;
        case kDirectoryReplace: op = LDAP_MOD_REPLACE; break;
        default: return false;
      }
    }
    if (HasNul(in.attribute)) return false;
    request.names.push_back(TextToUtf8(in.attribute));
    for (const std::string& value : in.values) {
      request.values[i].push_back(berval{value.size(), const_cast<char*>(value.data())});
    }
    request.values[i].push_back(berval{0, nullptr});
    for (size_t v = 0; v + 1 < request.values[i].size(); ++v) {
      request.value_pointers[i].push_back(&request.values[i][v]);
    }
    request.value_pointers[i].push_back(nullptr);

    LDAPMod& mod = request.mods[i];
    mod.mod_op = op | LDAP_MOD_BVALUES;
    mod.mod_type = request.names.back().data();
    // No values: a delete of the whole attribute, or a replace that removes it.
    mod.mod_bvalues = in.values.empty() ? nullptr : request.value_pointers[i].data();
  }
  for (LDAPMod& mod : request.mods) request.mod_pointers.push_back(&mod);
  request.mod_pointers.push_back(nullptr);
  return true;
}

// The server controls of a write: the lazy-commit control alone, or none.
struct WriteControls {
  LDAPControl lazy_commit{const_cast<char*>(kLazyCommitOid), berval{0, nullptr}, 0};
  LDAPControl* list[2] = {&lazy_commit, nullptr};

  LDAPControl** For(bool lazy) { return lazy ? list : nullptr; }
};

struct MessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using MessagePtr = std::unique_ptr<LDAPMessage, MessageFree>;

// Copies one entry; false when the entry cannot be decoded.
bool CopyEntry(LDAP* ld, LDAPMessage* message, DirectoryEntry& entry) {
  char* dn = ldap_get_dn(ld, message);
  if (dn == nullptr) return false;
  entry.dn = Utf8ToText(dn);
  ldap_memfree(dn);

  BerElement* position = nullptr;
  for (char* name = ldap_first_attribute(ld, message, &position); name != nullptr;
       name = ldap_next_attribute(ld, message, position)) {
    DirectoryAttribute attribute;
    attribute.name = Utf8ToText(name);
    if (berval** values = ldap_get_values_len(ld, message, name)) {
      for (berval** v = values; *v != nullptr; ++v) {
        attribute.values.emplace_back((*v)->bv_val, (*v)->bv_len);
      }
      ldap_value_free_len(values);
    }
    ldap_memfree(name);
    entry.attributes.push_back(std::move(attribute));
  }
  if (position != nullptr) ber_free(position, 0);
  return true;
}

}  // namespace

DirectoryHandle* DirectoryOpen() {
  const char* uri = NonEmptyVariable("CLAVORA_LDAP_URI");
  if (uri == nullptr) uri = kPrivilegedSocketUri;
  const char* bind_dn = NonEmptyVariable("CLAVORA_LDAP_BIND_DN");
  const char* password_file = NonEmptyVariable("CLAVORA_LDAP_PASSWORD_FILE");
  const char* ca_file = NonEmptyVariable("CLAVORA_LDAP_CA_FILE");

  // Half a simple-bind configuration is a mistake, not a request for some
  // other identity.
  if ((bind_dn == nullptr) != (password_file == nullptr)) return nullptr;
  const UriScheme scheme = SchemeOf(uri);
  if (scheme == UriScheme::kUnusable) return nullptr;

  InitialiseLibraryOnce();
  auto* handle = new DirectoryHandle;
  if (ldap_initialize(&handle->ld, uri) != LDAP_SUCCESS || handle->ld == nullptr) {
    DirectoryClose(handle);
    return nullptr;
  }
  bool ok = SetConnectionOptions(handle->ld, ca_file);
  if (ok && bind_dn != nullptr) {
    ok = SimpleBind(handle->ld, scheme, bind_dn, password_file);
  } else if (ok && scheme == UriScheme::kLdapi) {
    // Any bind, even an anonymous one, would give up the identity the
    // privileged socket grants; only check that the server is there.
    ok = ldap_connect(handle->ld) == LDAP_SUCCESS;
  } else if (ok) {
    ok = GssapiBind(handle->ld);
  }
  if (!ok) {
    DirectoryClose(handle);
    return nullptr;
  }
  return handle;
}

void DirectoryClose(DirectoryHandle* handle) {
  if (handle == nullptr) return;
  if (handle->ld != nullptr) ldap_unbind_ext_s(handle->ld, nullptr, nullptr);
  delete handle;
}

int DirectorySearch(DirectoryHandle* handle, const Text& base, int scope, const Text& filter,
                    const std::vector<Text>& attributes, int size_limit,
                    std::vector<DirectoryEntry>& entries) {
  entries.clear();
  if (handle == nullptr || handle->ld == nullptr || HasNul(base) || HasNul(filter)) {
    return LDAP_PARAM_ERROR;
  }
  std::vector<std::string> names;
  names.reserve(attributes.size());
  for (const Text& name : attributes) {
    if (HasNul(name)) return LDAP_PARAM_ERROR;
    names.push_back(TextToUtf8(name));
  }
  std::vector<char*> name_list;
  for (std::string& name : names) name_list.push_back(name.data());
  name_list.push_back(nullptr);

  const std::string base_utf8 = TextToUtf8(base);
  const std::string filter_utf8 = filter.empty() ? "(objectClass=*)" : TextToUtf8(filter);
  LDAPMessage* raw = nullptr;
  const int rc = ldap_search_ext_s(handle->ld, base_utf8.c_str(), scope, filter_utf8.c_str(),
                                   attributes.empty() ? nullptr : name_list.data(), 0, nullptr,
                                   nullptr, nullptr, size_limit, &raw);
  const MessagePtr result(raw);
  if (rc != LDAP_SUCCESS) return rc;

  std::vector<DirectoryEntry> found;
  for (LDAPMessage* message = ldap_first_entry(handle->ld, result.get()); message != nullptr;
       message = ldap_next_entry(handle->ld, message)) {
    DirectoryEntry entry;
    if (!CopyEntry(handle->ld, message, entry)) return LDAP_DECODING_ERROR;
    found.push_back(std::move(entry));
  }
  entries = std::move(found);
  return LDAP_SUCCESS;
}

int DirectoryAdd(DirectoryHandle* handle, const Text& dn,
                 const std::vector<DirectoryModification>& attributes, bool lazy_commit) {
  ModificationRequest request;
  if (handle == nullptr || handle->ld == nullptr || HasNul(dn) ||
      !BuildModifications(attributes, true, request)) {
    return LDAP_PARAM_ERROR;
  }
  WriteControls controls;
  return ldap_add_ext_s(handle->ld, TextToUtf8(dn).c_str(), request.mod_pointers.data(),
                        controls.For(lazy_commit), nullptr);
}

int DirectoryModify(DirectoryHandle* handle, const Text& dn,
                    const std::vector<DirectoryModification>& modifications, bool lazy_commit) {
  ModificationRequest request;
  if (handle == nullptr || handle->ld == nullptr || HasNul(dn) ||
      !BuildModifications(modifications, false, request)) {
    return LDAP_PARAM_ERROR;
  }
  WriteControls controls;
  return ldap_modify_ext_s(handle->ld, TextToUtf8(dn).c_str(), request.mod_pointers.data(),
                           controls.For(lazy_commit), nullptr);
}

}  // namespace zefa::platform
