// The platform layer: the directory client (LDAP). One implementation per platform
// (platform/posix, platform/windows) is chosen at build time. Unless a
// function says otherwise it is safe to call from any thread, never throws,
// and reports failure only through its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace zefa::platform {

// The LDAP client of the platform (wldap32 on Windows, OpenLDAP elsewhere).
// A connection belongs to the one operation that opened it; never share it
// between threads. Result codes are LDAP result codes (0 = success).

struct DirectoryHandle;  // opaque

// Opens a connection to a domain controller of this machine's domain and
// authenticates as the process's own identity; protocol version 3, referral
// chasing off. nullptr when no connection or bind succeeded.
// Windows: serverless ldap_init on port 389, Negotiate bind; with
// CLAVORA_LDAP_URI set (diagnostics outside the domain, tests) that server,
// and with CLAVORA_LDAP_BIND_DN and CLAVORA_LDAP_PASSWORD_FILE a Negotiate
// bind as "DOMAIN\account" or "account@domain" (a DN: simple bind, ldaps
// only).
// POSIX: $CLAVORA_LDAP_URI (default: Samba's privileged ldapi socket, no
// bind); a simple bind over TLS when CLAVORA_LDAP_BIND_DN and
// CLAVORA_LDAP_PASSWORD_FILE are set; otherwise SASL GSSAPI on non-ldapi
// URIs.
//
// Time bounds, the same on both platforms: the open as a whole (connect, TLS
// handshake, bind) and every later request each end within
// kDirectoryRequestMilliseconds, and never after the end of the calling
// thread's DirectoryTimeBudget. A connection on which a request ran out of
// time, or whose server went away, is lost: every later request on it fails
// at once, so a server that stopped answering costs one wait, not one per
// request.
DirectoryHandle* DirectoryOpen();

// Why this process cannot reach the directory at all, for the console, or
// empty when nothing is known to stand in the way. POSIX: the local ldapi
// socket that CLAVORA_LDAP_URI (or the default) names is missing ("... does
// not exist: is the domain controller running?") or may not be opened by
// this account ("permission denied on ...: run as root"); otherwise why the
// last DirectoryOpen failed (a configuration mistake, or the LDAP client's
// text such as "Can't contact LDAP server" or "Invalid credentials").
// Windows: empty.
Text DirectoryAccessProblem();
void DirectoryClose(DirectoryHandle* handle);

constexpr int kDirectoryRequestMilliseconds = 3000;

// True once a request on the connection ran out of time or the connection
// broke (also for nullptr).
bool DirectoryConnectionLost(const DirectoryHandle* handle);

// While it exists, every directory open and request of the calling thread
// ends by `milliseconds` from its creation at the latest. An inner budget
// never reaches past an outer one.
class DirectoryTimeBudget {
 public:
  explicit DirectoryTimeBudget(int64_t milliseconds);
  ~DirectoryTimeBudget();
  DirectoryTimeBudget(const DirectoryTimeBudget&) = delete;
  DirectoryTimeBudget& operator=(const DirectoryTimeBudget&) = delete;

 private:
  int64_t outer_end_;
};

// While it exists, each request of the calling thread may take up to
// `milliseconds` instead of kDirectoryRequestMilliseconds: for the
// background passes' subtree searches, whose whole answer may be large. The
// open keeps its own bound; a DirectoryTimeBudget still ends requests early.
class DirectoryRequestAllowance {
 public:
  explicit DirectoryRequestAllowance(int64_t milliseconds);
  ~DirectoryRequestAllowance();
  DirectoryRequestAllowance(const DirectoryRequestAllowance&) = delete;
  DirectoryRequestAllowance& operator=(const DirectoryRequestAllowance&) = delete;

 private:
  int64_t outer_;
};

struct DirectoryAttribute {
  Text name;                        // as the server spelled it
  std::vector<std::string> values;  // raw bytes of each value, server order
};

struct DirectoryEntry {
  Text dn;
  std::vector<DirectoryAttribute> attributes;
};

// One synchronous search. `filter` empty = no filter ("(objectClass=*)");
// `attributes` empty = all attributes; names are sent as given (no
// trimming). `size_limit` 0 = none. Entries arrive in server order;
// continuation references are ignored. A search cut short (size, time or
// administrative limit) returns its non-zero code and no entries.
int DirectorySearch(DirectoryHandle* handle, const Text& base, int scope, const Text& filter,
                    const std::vector<Text>& attributes, int size_limit,
                    std::vector<DirectoryEntry>& entries);

// Receives one page of a paged search; it may take the entries out.
using DirectoryPageSink = std::function<void(std::vector<DirectoryEntry>& page)>;

// A search whose answer comes in pages of at most `page_size` entries (the
// paged-results control), each handed to `on_page` as it arrives, so that
// no server limit on the size of one answer cuts it short. With
// `show_deleted` the requests also carry the show-deleted control
// (1.2.840.113556.1.4.417): deleted objects come too, with isDeleted TRUE.
// Each page is one request with the usual time bound. Returns the first
// non-zero code (the pages handed over until then stay handed over).
int DirectoryPagedSearch(DirectoryHandle* handle, const Text& base, int scope, const Text& filter,
                         const std::vector<Text>& attributes, int page_size, bool show_deleted,
                         const DirectoryPageSink& on_page);

enum DirectoryModOp { kDirectoryAdd = 0, kDirectoryDelete = 1, kDirectoryReplace = 2 };

struct DirectoryModification {
  int op = kDirectoryReplace;
  Text attribute;
  std::vector<std::string> values;  // raw bytes (UTF-8 for text values)
};

// Add and modify requests. With `lazy_commit` the request carries the
// non-critical control 1.2.840.113556.1.4.619 as its only server control.
int DirectoryAdd(DirectoryHandle* handle, const Text& dn,
                 const std::vector<DirectoryModification>& attributes, bool lazy_commit);
int DirectoryModify(DirectoryHandle* handle, const Text& dn,
                    const std::vector<DirectoryModification>& modifications, bool lazy_commit);

// Name translation of a distinguished name to canonical form
// ("example.test/Staff/Engineering"; the domain itself gives
// "example.test/"), and back. Empty text on failure.
// Windows: TranslateNameW, the directory when it has no answer. POSIX: the
// directory's constructed canonicalName, and a one-level walk by "name" for
// the way back.
Text TranslateDnToCanonical(const Text& dn);
Text TranslateCanonicalToDn(const Text& canonical);

// The account name (without domain) of a SID given in string form, well-known
// and builtin SIDs included; empty when it does not resolve.
// Windows: LookupAccountSidW, the directory when it has no answer. POSIX: an
// objectSid search in the directory.
Text LookupAccountNameOfSid(const Text& sid_text);

// The msDS-PasswordComplexityEnabled value ("TRUE" or "FALSE") of the
// Password Settings Objects that the filter writes for its policy sets.
// Windows: "FALSE" (the filter checks composition itself). POSIX (a Samba
// DC): "TRUE", because Samba runs its check-password hook, and so the
// filter, only for accounts whose complexity is on, and then skips its own
// complexity check.
Text PasswordSettingsComplexityValue();

}  // namespace zefa::platform
