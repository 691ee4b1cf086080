// The directory client on the system's LDAP library (wldap32): a serverless
// connection to a domain controller of this machine's domain, authenticated
// with Negotiate as the process's own identity, and the synchronous search,
// add and modify requests.
//
// For diagnostics from outside the domain (and for the tests, which run
// where no domain identity exists) the same variables as on POSIX name a
// server and an account instead:
//   CLAVORA_LDAP_URI            ldap://host[:port] or ldaps://host[:port]
//   CLAVORA_LDAP_BIND_DN        "DOMAIN\account" or "account@domain": a
//                               Negotiate bind with these credentials; a
//                               distinguished name: a simple bind, only
//                               over ldaps (no clear-text password)
//   CLAVORA_LDAP_PASSWORD_FILE  the password (UTF-8; one trailing line
//                               break is not part of it)
// Without CLAVORA_LDAP_URI nothing of this applies.

#define SECURITY_WIN32
#include "platform/windows/win_util.h"

#include <winldap.h>
// winber.h needs the types of winldap.h.
#include <winber.h>
#include <sspi.h>

#include <optional>

#include "platform/directory_deadline.h"
#include "platform/characters.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/directory.h"

namespace zefa::platform {

struct DirectoryHandle {
  LDAP* ld = nullptr;
  // Non-zero once the connection is given up: the code every later request
  // returns.
  ULONG lost_code = 0;
};

namespace {

constexpr wchar_t kLazyCommitOid[] = L"1.2.840.113556.1.4.619";

// A domain controller that accepts the connection but never answers must not
// hold the caller (the security authority) for long: the open as a whole and
// every request end at their deadline (platform/directory_deadline.h). The
// connect takes the open's time left; the synchronous bind is bounded by the
// library's bind timeout (LDAP_OPT_TIMELIMIT, whole seconds); every other
// request is sent asynchronously and its answer awaited until the deadline.

// The wide-character calls take non-const pointers; the texts are not
// changed by them.
PWCHAR Mutable(const Text& text) { return const_cast<PWCHAR>(text.c_str()); }

l_timeval TimeLeft(int64_t deadline) {
  const int64_t ms = MillisecondsUntil(deadline);
  return l_timeval{static_cast<LONG>(ms / 1000), static_cast<LONG>(ms % 1000 * 1000)};
}

// Whole seconds left, rounded up, at least 1 (0 would mean no limit).
ULONG SecondsLeft(int64_t deadline) {
  const int64_t ms = MillisecondsUntil(deadline);
  return static_cast<ULONG>(ms <= 0 ? 1 : (ms + 999) / 1000);
}

bool SetConnectionOptions(LDAP* ld, int64_t deadline) {
  ULONG version = LDAP_VERSION3;
  ULONG time_limit = SecondsLeft(deadline);
  l_timeval send_timeout = TimeLeft(deadline);
  if (ldap_set_optionW(ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_SUCCESS ||
      ldap_set_optionW(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_SUCCESS ||
      ldap_set_optionW(ld, LDAP_OPT_TIMELIMIT, &time_limit) != LDAP_SUCCESS) {
    return false;
  }
  // Best effort (not every implementation of the library knows them): sends
  // keep the deadline too, and a broken connection is not silently
  // reconnected, which would wait for the server again, request after
  // request.
  ldap_set_optionW(ld, LDAP_OPT_SEND_TIMEOUT, &send_timeout);
  ldap_set_optionW(ld, LDAP_OPT_AUTO_RECONNECT, LDAP_OPT_OFF);
  return true;
}

void MarkLost(DirectoryHandle* handle, ULONG code) {
  if (handle->lost_code == 0) handle->lost_code = code;
}

// Waits for the whole answer to request `id` until `deadline` and returns
// its result code; the answer stays in `answer` for the caller to free. A
// request that runs out of time is abandoned and the connection given up.
ULONG AwaitAnswer(DirectoryHandle* handle, ULONG id, int64_t deadline, LDAPMessage** answer) {
  *answer = nullptr;
  l_timeval left = TimeLeft(deadline);
  const ULONG type = left.tv_sec == 0 && left.tv_usec == 0
                         ? 0
                         : ldap_result(handle->ld, id, LDAP_MSG_ALL, &left, answer);
  if (type == 0) {
    if (*answer != nullptr) ldap_msgfree(*answer);
    *answer = nullptr;
    ldap_abandon(handle->ld, id);
    MarkLost(handle, LDAP_TIMEOUT);
    return LDAP_TIMEOUT;
  }
  if (type == static_cast<ULONG>(-1) || *answer == nullptr) {
    ULONG code = LdapGetLastError();
    if (code == LDAP_SUCCESS) code = LDAP_SERVER_DOWN;
    MarkLost(handle, code);
    return code;
  }
  ULONG code = LDAP_OTHER;
  if (ldap_parse_resultW(handle->ld, *answer, &code, nullptr, nullptr, nullptr, nullptr, FALSE) !=
      LDAP_SUCCESS) {
    return LDAP_DECODING_ERROR;
  }
  return code;
}

// A request that could not even be sent: the connection is gone.
ULONG SendFailed(DirectoryHandle* handle, ULONG rc) {
  if (rc == LDAP_SERVER_DOWN || rc == LDAP_TIMEOUT || rc == LDAP_CONNECT_ERROR) {
    MarkLost(handle, rc);
  }
  return rc;
}

// The deadline of a request starting now; 0 (and the code in `rc`) when the
// connection is lost or no time is left.
int64_t BeginRequest(DirectoryHandle* handle, ULONG& rc) {
  if (handle->lost_code != 0) {
    rc = handle->lost_code;
    return 0;
  }
  const int64_t deadline = DirectoryRequestDeadline();
  if (MillisecondsUntil(deadline) == 0) {
    MarkLost(handle, LDAP_TIMEOUT);
    rc = LDAP_TIMEOUT;
    return 0;
  }
  return deadline;
}

// The pieces of one add or modify request, kept alive for the call.
struct ModificationRequest {
  std::vector<Text> names;
  std::vector<std::vector<berval>> values;
  std::vector<std::vector<berval*>> value_pointers;  // each ends with nullptr
  std::vector<LDAPModW> mods;
  std::vector<LDAPModW*> mod_pointers;  // ends with nullptr
};

// False when an operation code is unknown, a name holds a NUL or a value is
// too large for the library.
bool BuildModifications(const std::vector<DirectoryModification>& input, bool is_add,
                        ModificationRequest& request) {
  const size_t count = input.size();
  request.names.reserve(count);
  request.values.resize(count);
  request.value_pointers.resize(count);
  request.mods.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const DirectoryModification& in = input[i];
    ULONG op = LDAP_MOD_ADD;
    if (!is_add) {
      switch (in.op) {
        case kDirectoryAdd:
          op = LDAP_MOD_ADD;
          break;
        case kDirectoryDelete:
          op = LDAP_MOD_DELETE;
          break;
        case kDirectoryReplace:
          op = LDAP_MOD_REPLACE;
          break;
        default:
          return false;
      }
    }
    if (HasNul(in.attribute)) return false;
    request.names.push_back(in.attribute);
    for (const std::string& value : in.values) {
      if (value.size() > 0x7FFFFFFF) return false;
      request.values[i].push_back(
          berval{static_cast<ULONG>(value.size()), const_cast<PCHAR>(value.data())});
    }
    for (berval& value : request.values[i]) request.value_pointers[i].push_back(&value);
    request.value_pointers[i].push_back(nullptr);

    LDAPModW& mod = request.mods[i];
    mod.mod_op = op | LDAP_MOD_BVALUES;
    mod.mod_type = request.names.back().data();
    // No values: a delete of the whole attribute, or a replace that removes
    // it. The list is then empty rather than absent: the same request on the
    // wire, and some implementations of the library free an absent list.
    mod.mod_vals.modv_bvals = request.value_pointers[i].data();
  }
  for (LDAPModW& mod : request.mods) request.mod_pointers.push_back(&mod);
  request.mod_pointers.push_back(nullptr);
  return true;
}

// The server controls of a write: the lazy-commit control alone, or none.
struct WriteControls {
  LDAPControlW lazy_commit{const_cast<PWCHAR>(kLazyCommitOid), berval{0, nullptr}, FALSE};
  LDAPControlW* list[2] = {&lazy_commit, nullptr};

  PLDAPControlW* For(bool lazy) { return lazy ? list : nullptr; }
};

// Copies one entry; false when the entry cannot be decoded.
bool CopyEntry(LDAP* ld, LDAPMessage* message, DirectoryEntry& entry) {
  PWCHAR dn = ldap_get_dnW(ld, message);
  if (dn == nullptr) return false;
  entry.dn = dn;
  ldap_memfreeW(dn);

  BerElement* position = nullptr;
  for (PWCHAR name = ldap_first_attributeW(ld, message, &position); name != nullptr;
       name = ldap_next_attributeW(ld, message, position)) {
    DirectoryAttribute attribute;
    attribute.name = name;
    if (berval** values = ldap_get_values_lenW(ld, message, name)) {
      for (berval** v = values; *v != nullptr; ++v) {
        attribute.values.emplace_back((*v)->bv_val, (*v)->bv_len);
      }
      ldap_value_free_len(values);
    }
    ldap_memfreeW(name);
    entry.attributes.push_back(std::move(attribute));
  }
  if (position != nullptr) ber_free(position, 0);
  return true;
}

// A server named by CLAVORA_LDAP_URI.
struct NamedServer {
  Text host;
  ULONG port = LDAP_PORT;
  bool tls = false;
};

// "ldap://host[:port]" or "ldaps://host[:port]", one optional trailing "/";
// false for anything else.
bool ParseServerUri(const Text& uri, NamedServer& server) {
  Text rest;
  if (uri.rfind(L"ldap://", 0) == 0) {
    rest = uri.substr(7);
  } else if (uri.rfind(L"ldaps://", 0) == 0) {
    rest = uri.substr(8);
    server.tls = true;
    server.port = LDAP_SSL_PORT;
  } else {
    return false;
  }
  if (!rest.empty() && rest.back() == L'/') rest.pop_back();
  const size_t colon = rest.find(L':');
  server.host = rest.substr(0, colon);
  if (server.host.empty() || server.host.find_first_of(L"/?@ ") != Text::npos) return false;
  if (colon != Text::npos) {
    const Text digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of(L"0123456789") != Text::npos) {
      return false;
    }
    server.port = static_cast<ULONG>(std::stoul(digits));
    if (server.port == 0 || server.port > 65535) return false;
  }
  return true;
}

// Wipes a password held in a string before the string goes.
template <typename String>
void Wipe(String& text) {
  SecureWipe(text.data(), text.capacity() * sizeof(text[0]));
  text.clear();
}

// The password of the password file without one trailing line break ("\n"
// or "\r\n"); nullopt when the file cannot be read or the password is
// empty (an empty password would turn a simple bind into an anonymous one).
std::optional<Text> ReadPassword(const Text& path) {
  std::optional<std::string> bytes = ReadWholeFile(path);
  if (!bytes) return std::nullopt;
  if (!bytes->empty() && bytes->back() == '\n') {
    bytes->pop_back();
    if (!bytes->empty() && bytes->back() == '\r') bytes->pop_back();
  }
  Text password = Utf8ToText(*bytes);
  Wipe(*bytes);
  if (password.empty()) return std::nullopt;
  return password;
}

// Binds with the named account: Negotiate for "DOMAIN\account" and
// "account@domain", a simple bind for a distinguished name (ldaps only).
ULONG BindAs(LDAP* ld, const Text& account, Text& password, bool tls) {
  if (account.find(L'=') != Text::npos) {
    if (!tls) return LDAP_CONFIDENTIALITY_REQUIRED;
    return ldap_bind_sW(ld, Mutable(account), password.data(), LDAP_AUTH_SIMPLE);
  }
  Text user = account;
  Text domain;
  const size_t backslash = account.find(L'\\');
  if (backslash != Text::npos) {
    domain = account.substr(0, backslash);
    user = account.substr(backslash + 1);
  }
  SEC_WINNT_AUTH_IDENTITY_W identity{};
  identity.User = reinterpret_cast<unsigned short*>(user.data());
  identity.UserLength = static_cast<ULONG>(user.size());
  identity.Domain = domain.empty() ? nullptr : reinterpret_cast<unsigned short*>(domain.data());
  identity.DomainLength = static_cast<ULONG>(domain.size());
  identity.Password = reinterpret_cast<unsigned short*>(password.data());
  identity.PasswordLength = static_cast<ULONG>(password.size());
  identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
  return ldap_bind_sW(ld, nullptr, reinterpret_cast<PWCHAR>(&identity), LDAP_AUTH_NEGOTIATE);
}

// Opens and binds the connection to a named server by `deadline`; nullptr
// on failure.
LDAP* OpenNamedServer(const Text& uri, int64_t deadline) {
  NamedServer server;
  if (!ParseServerUri(uri, server)) return nullptr;
  const Text account = EnvironmentVariable(L"CLAVORA_LDAP_BIND_DN");
  const Text password_file = EnvironmentVariable(L"CLAVORA_LDAP_PASSWORD_FILE");
  std::optional<Text> password;
  if (!account.empty()) {
    if (password_file.empty() || !(password = ReadPassword(password_file))) return nullptr;
  }
  LDAP* ld = server.tls ? ldap_sslinitW(server.host.data(), server.port, 1)
                        : ldap_initW(server.host.data(), server.port);
  ULONG rc = LDAP_CONNECT_ERROR;
  if (ld != nullptr) {
    l_timeval connect_timeout = TimeLeft(deadline);
    if (SetConnectionOptions(ld, deadline) && ldap_connect(ld, &connect_timeout) == LDAP_SUCCESS &&
        MillisecondsUntil(deadline) > 0) {
      rc = account.empty() ? ldap_bind_sW(ld, nullptr, nullptr, LDAP_AUTH_NEGOTIATE)
                           : BindAs(ld, account, *password, server.tls);
    }
  }
  if (password) Wipe(*password);
  if (rc == LDAP_SUCCESS && MillisecondsUntil(deadline) == 0) rc = LDAP_TIMEOUT;
  if (rc != LDAP_SUCCESS && ld != nullptr) {
    ldap_unbind(ld);
    ld = nullptr;
  }
  return ld;
}

// Opens and binds the serverless connection by `deadline`; nullptr on
// failure.
LDAP* OpenServerless(int64_t deadline) {
  // No host: the library finds a domain controller of this machine's domain.
  LDAP* ld = ldap_initW(nullptr, LDAP_PORT);
  if (ld == nullptr) return nullptr;
  l_timeval connect_timeout = TimeLeft(deadline);
  // The bind is only tried on a connection that exists.
  if (!SetConnectionOptions(ld, deadline) || ldap_connect(ld, &connect_timeout) != LDAP_SUCCESS ||
      MillisecondsUntil(deadline) == 0 ||
      ldap_bind_sW(ld, nullptr, nullptr, LDAP_AUTH_NEGOTIATE) != LDAP_SUCCESS ||
      MillisecondsUntil(deadline) == 0) {
    ldap_unbind(ld);
    return nullptr;
  }
  return ld;
}

}  // namespace

DirectoryHandle* DirectoryOpen() {
  const int64_t deadline = DirectoryOpenDeadline();  // for the whole open
  if (MillisecondsUntil(deadline) == 0) return nullptr;
  const Text uri = EnvironmentVariable(L"CLAVORA_LDAP_URI");
  LDAP* ld = uri.empty() ? OpenServerless(deadline) : OpenNamedServer(uri, deadline);
  return ld != nullptr ? new DirectoryHandle{ld} : nullptr;
}

void DirectoryClose(DirectoryHandle* handle) {
  if (handle == nullptr) return;
  if (handle->ld != nullptr) ldap_unbind(handle->ld);
  delete handle;
}

bool DirectoryConnectionLost(const DirectoryHandle* handle) {
  return handle == nullptr || handle->ld == nullptr || handle->lost_code != 0;
}

int DirectorySearch(DirectoryHandle* handle, const Text& base, int scope, const Text& filter,
                    const std::vector<Text>& attributes, int size_limit,
                    std::vector<DirectoryEntry>& entries) {
  entries.clear();
  if (handle == nullptr || handle->ld == nullptr || HasNul(base) || HasNul(filter) ||
      size_limit < 0) {
    return LDAP_PARAM_ERROR;
  }
  std::vector<PWCHAR> name_list;
  for (const Text& name : attributes) {
    if (HasNul(name)) return LDAP_PARAM_ERROR;
    name_list.push_back(Mutable(name));
  }
  name_list.push_back(nullptr);

  ULONG rc = LDAP_SUCCESS;
  const int64_t deadline = BeginRequest(handle, rc);
  if (deadline == 0) return static_cast<int>(rc);
  const Text effective_filter = filter.empty() ? Text(L"(objectClass=*)") : filter;
  ULONG id = 0;
  rc = ldap_search_extW(handle->ld, Mutable(base), static_cast<ULONG>(scope),
                        Mutable(effective_filter), attributes.empty() ? nullptr : name_list.data(),
                        0, nullptr, nullptr, SecondsLeft(deadline), static_cast<ULONG>(size_limit),
                        &id);
  if (rc != LDAP_SUCCESS) return static_cast<int>(SendFailed(handle, rc));
  LDAPMessage* result = nullptr;
  rc = AwaitAnswer(handle, id, deadline, &result);
  int code = static_cast<int>(rc);
  std::vector<DirectoryEntry> found;
  if (rc == LDAP_SUCCESS) {
    for (LDAPMessage* message = ldap_first_entry(handle->ld, result); message != nullptr;
         message = ldap_next_entry(handle->ld, message)) {
      DirectoryEntry entry;
      if (!CopyEntry(handle->ld, message, entry)) {
        code = LDAP_DECODING_ERROR;
        break;
      }
      found.push_back(std::move(entry));
    }
  }
  if (result != nullptr) ldap_msgfree(result);
  if (code == LDAP_SUCCESS) entries = std::move(found);
  return code;
}

int DirectoryPagedSearch(DirectoryHandle* handle, const Text& base, int scope, const Text& filter,
                         const std::vector<Text>& attributes, int page_size, bool show_deleted,
                         const DirectoryPageSink& on_page) {
  if (handle == nullptr || handle->ld == nullptr || HasNul(base) || HasNul(filter) ||
      page_size <= 0) {
    return LDAP_PARAM_ERROR;
  }
  std::vector<PWCHAR> name_list;
  for (const Text& name : attributes) {
    if (HasNul(name)) return LDAP_PARAM_ERROR;
    name_list.push_back(Mutable(name));
  }
  name_list.push_back(nullptr);
  const Text effective_filter = filter.empty() ? Text(L"(objectClass=*)") : filter;
  wchar_t show_deleted_oid[] = L"1.2.840.113556.1.4.417";
  LDAPControlW show_deleted_control{show_deleted_oid, berval{0, nullptr}, TRUE};
  berval* cookie = nullptr;
  for (;;) {
    ULONG rc = LDAP_SUCCESS;
    const int64_t deadline = BeginRequest(handle, rc);
    if (deadline == 0) {
      if (cookie != nullptr) ber_bvfree(cookie);
      return static_cast<int>(rc);
    }
    berval empty{0, nullptr};
    LDAPControlW* page_control = nullptr;
    rc = ldap_create_page_controlW(handle->ld, static_cast<ULONG>(page_size),
                                   cookie != nullptr ? cookie : &empty, TRUE, &page_control);
    if (cookie != nullptr) ber_bvfree(cookie);
    cookie = nullptr;
    if (rc != LDAP_SUCCESS) return static_cast<int>(rc);
    LDAPControlW* controls[3] = {page_control, show_deleted ? &show_deleted_control : nullptr,
                                 nullptr};
    ULONG id = 0;
    rc =
        ldap_search_extW(handle->ld, Mutable(base), static_cast<ULONG>(scope),
                         Mutable(effective_filter), attributes.empty() ? nullptr : name_list.data(),
                         0, controls, nullptr, SecondsLeft(deadline), 0, &id);
    ldap_control_freeW(page_control);
    if (rc != LDAP_SUCCESS) return static_cast<int>(SendFailed(handle, rc));
    LDAPMessage* result = nullptr;
    rc = AwaitAnswer(handle, id, deadline, &result);
    if (rc != LDAP_SUCCESS) {
      if (result != nullptr) ldap_msgfree(result);
      return static_cast<int>(rc);
    }
    std::vector<DirectoryEntry> page;
    for (LDAPMessage* message = ldap_first_entry(handle->ld, result); message != nullptr;
         message = ldap_next_entry(handle->ld, message)) {
      DirectoryEntry entry;
      if (!CopyEntry(handle->ld, message, entry)) {
        ldap_msgfree(result);
        return LDAP_DECODING_ERROR;
      }
      page.push_back(std::move(entry));
    }
    ULONG code = LDAP_OTHER;
    LDAPControlW** returned = nullptr;
    if (ldap_parse_resultW(handle->ld, result, &code, nullptr, nullptr, nullptr, &returned,
                           FALSE) != LDAP_SUCCESS) {
      ldap_msgfree(result);
      return LDAP_DECODING_ERROR;
    }
    ldap_msgfree(result);
    ULONG estimate = 0;
    if (returned != nullptr) {
      ldap_parse_page_controlW(handle->ld, returned, &estimate, &cookie);
      ldap_controls_freeW(returned);
    }
    on_page(page);
    if (cookie == nullptr || cookie->bv_len == 0) {
      if (cookie != nullptr) ber_bvfree(cookie);
      return LDAP_SUCCESS;
    }
  }
}

namespace {

// Sends one add or modify request and waits for its answer.
int Write(DirectoryHandle* handle, const Text& dn, ModificationRequest& request, bool is_add,
          bool lazy_commit) {
  ULONG rc = LDAP_SUCCESS;
  const int64_t deadline = BeginRequest(handle, rc);
  if (deadline == 0) return static_cast<int>(rc);
  WriteControls controls;
  ULONG id = 0;
  rc = is_add ? ldap_add_extW(handle->ld, Mutable(dn), request.mod_pointers.data(),
                              controls.For(lazy_commit), nullptr, &id)
              : ldap_modify_extW(handle->ld, Mutable(dn), request.mod_pointers.data(),
                                 controls.For(lazy_commit), nullptr, &id);
  if (rc != LDAP_SUCCESS) return static_cast<int>(SendFailed(handle, rc));
  LDAPMessage* answer = nullptr;
  rc = AwaitAnswer(handle, id, deadline, &answer);
  if (answer != nullptr) ldap_msgfree(answer);
  return static_cast<int>(rc);
}

}  // namespace

int DirectoryAdd(DirectoryHandle* handle, const Text& dn,
                 const std::vector<DirectoryModification>& attributes, bool lazy_commit) {
  ModificationRequest request;
  if (handle == nullptr || handle->ld == nullptr || HasNul(dn) ||
      !BuildModifications(attributes, true, request)) {
    return LDAP_PARAM_ERROR;
  }
  return Write(handle, dn, request, true, lazy_commit);
}

int DirectoryModify(DirectoryHandle* handle, const Text& dn,
                    const std::vector<DirectoryModification>& modifications, bool lazy_commit) {
  ModificationRequest request;
  if (handle == nullptr || handle->ld == nullptr || HasNul(dn) ||
      !BuildModifications(modifications, false, request)) {
    return LDAP_PARAM_ERROR;
  }
  return Write(handle, dn, request, false, lazy_commit);
}

}  // namespace zefa::platform
