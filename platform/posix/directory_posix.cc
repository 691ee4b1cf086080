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
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/directory_deadline.h"
#include "platform/characters.h"
#include "platform/directory.h"
#include "platform/posix/directory_open_problem.h"

namespace zefa::platform {

struct DirectoryHandle {
  LDAP* ld = nullptr;
  // The connect callback that stacks the timed layer; libldap keeps a
  // pointer to it, so it lives as long as the handle.
  ldap_conncb connect_callback{};
  // When the request in progress (or the open) must have ended.
  int64_t deadline = 0;
  // Non-zero once the connection is given up: the code every later request
  // returns.
  int lost_code = 0;
  // Why the open failed, when a step knows better than the LDAP result code.
  std::string open_problem;
};

namespace {

constexpr char kPrivilegedSocketUri[] =
    "ldapi://%2Fvar%2Flib%2Fsamba%2Fprivate%2Fldap_priv%2Fldapi";
constexpr char kLazyCommitOid[] = "1.2.840.113556.1.4.619";

// The password filter runs inside the security authority (on Samba, inside
// a hook that Samba kills after a few seconds): a server that accepts the
// connection and never answers must cost a few seconds at most. Every wait
// of a request, the socket waits of the TLS handshake included, ends at the
// request's deadline (platform/directory_deadline.h).

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

void MarkLost(DirectoryHandle* handle, int code) {
  if (handle->lost_code == 0) handle->lost_code = code;
}

// A layer between the socket and the TLS or LDAP code above it that waits
// for the socket until the handle's deadline and then fails the transfer for
// good. libldap waits for answers with its own timed poll, but the reads and
// writes it issues directly are unguarded: libldap 2.5 runs the TLS handshake
// on a non-blocking socket and simply retries, so a server that accepts the
// connection and never answers would keep the caller spinning forever.
bool WaitForSocket(Sockbuf_IO_Desc* layer, short events) {
  auto* handle = static_cast<DirectoryHandle*>(layer->sbiod_pvt);
  ber_socket_t fd = -1;
  ber_sockbuf_ctrl(layer->sbiod_sb, LBER_SB_OPT_GET_FD, &fd);
  if (fd < 0 || handle == nullptr) return true;
  pollfd wait{fd, events, 0};
  for (;;) {
    const int ready = poll(&wait, 1, static_cast<int>(MillisecondsUntil(handle->deadline)));
    if (ready > 0) return true;  // ready, or an error the next layer reports
    if (ready < 0 && errno == EINTR) continue;
    MarkLost(handle, LDAP_TIMEOUT);
    errno = ETIMEDOUT;
    return false;
  }
}

ber_slen_t TimedRead(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) {
  if (!WaitForSocket(layer, POLLIN)) return -1;
  return LBER_SBIOD_READ_NEXT(layer, buffer, length);
}

// A write to a connection whose server went away fails with EPIPE instead
// of raising SIGPIPE, which would end a host that does not ignore it: the
// signal is blocked for the write and a pending one taken back.
ber_slen_t TimedWrite(Sockbuf_IO_Desc* layer, void* buffer, ber_len_t length) {
  if (!WaitForSocket(layer, POLLOUT)) return -1;
  sigset_t pipe_only, previous;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  const ber_slen_t written = LBER_SBIOD_WRITE_NEXT(layer, buffer, length);
  const int saved = errno;
  if (written < 0 && saved == EPIPE && !was_pending) {
    const timespec none{0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &none) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = saved;
  return written;
}

int PassControl(Sockbuf_IO_Desc* layer, int option, void* argument) {
  return LBER_SBIOD_CTRL_NEXT(layer, option, argument);
}

// The layer's private pointer is the handle whose deadline it keeps.
int SetUpTimedLayer(Sockbuf_IO_Desc* layer, void* handle) {
  layer->sbiod_pvt = handle;
  return 0;
}

Sockbuf_IO timed_io{SetUpTimedLayer, nullptr, PassControl, TimedRead, TimedWrite, nullptr};

// Called by libldap right after each socket connects, before the socket
// provider and any TLS layer are stacked on it: at the transport level the
// timed layer ends up between the two.
int AddTimedLayer(LDAP*, Sockbuf* socket, LDAPURLDesc*, sockaddr*, ldap_conncb* callback) {
  return ber_sockbuf_add_io(socket, &timed_io, LBER_SBIOD_LEVEL_TRANSPORT, callback->lc_arg) == 0
             ? 0
             : -1;
}

void RemoveNothing(LDAP*, Sockbuf*, ldap_conncb*) {}  // the layer goes with the socket

timeval TimeLeft(const DirectoryHandle* handle) {
  const int64_t ms = MillisecondsUntil(handle->deadline);
  return timeval{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
}

// Waits for the whole answer to request `id` until the handle's deadline.
// Returns the LDAP result code of the answer, which stays in `answer` for
// the caller (freed by MessagePtr). A request that runs out of time is
// abandoned and the connection given up.
int AwaitAnswer(DirectoryHandle* handle, int id, LDAPMessage** answer) {
  *answer = nullptr;
  if (handle->lost_code != 0) return handle->lost_code;
  timeval left = TimeLeft(handle);
  // A zero wait would be a poll: nothing arrived, the time is up.
  const int type = left.tv_sec == 0 && left.tv_usec == 0
                       ? 0
                       : ldap_result(handle->ld, id, LDAP_MSG_ALL, &left, answer);
  if (type == 0) {
    if (*answer != nullptr) ldap_msgfree(*answer);
    *answer = nullptr;
    ldap_abandon_ext(handle->ld, id, nullptr, nullptr);
    MarkLost(handle, LDAP_TIMEOUT);
    return LDAP_TIMEOUT;
  }
  if (type < 0 || *answer == nullptr) {
    int code = LDAP_SERVER_DOWN;
    ldap_get_option(handle->ld, LDAP_OPT_RESULT_CODE, &code);
    if (code == LDAP_SUCCESS) code = LDAP_SERVER_DOWN;
    MarkLost(handle, code);
    return code;
  }
  int code = LDAP_OTHER;
  if (ldap_parse_result(handle->ld, *answer, &code, nullptr, nullptr, nullptr, nullptr, 0) !=
      LDAP_SUCCESS) {
    return LDAP_DECODING_ERROR;
  }
  return code;
}

// A request that could not even be sent: the connection is gone.
int SendFailed(DirectoryHandle* handle, int rc) {
  if (rc == LDAP_SERVER_DOWN || rc == LDAP_TIMEOUT || rc == LDAP_CONNECT_ERROR) {
    MarkLost(handle, rc);
  }
  return rc;
}

// Starts the time of one request; false (and the code in `rc`) when the
// connection is lost or no time is left.
bool BeginRequest(DirectoryHandle* handle, int& rc) {
  if (handle->lost_code != 0) {
    rc = handle->lost_code;
    return false;
  }
  handle->deadline = DirectoryRequestDeadline();
  if (MillisecondsUntil(handle->deadline) == 0) {
    MarkLost(handle, LDAP_TIMEOUT);
    rc = LDAP_TIMEOUT;
    return false;
  }
  return true;
}

// The open's time left also bounds the connect (libldap's network
// timeout) and libldap's own waits (its API timeout, used by the one
// synchronous call left, the GSSAPI bind).
bool SetConnectionOptions(DirectoryHandle* handle, const char* ca_file) {
  LDAP* ld = handle->ld;
  const int version = LDAP_VERSION3;
  timeval left = TimeLeft(handle);
  if (left.tv_sec == 0 && left.tv_usec == 0) return false;
  handle->connect_callback = ldap_conncb{AddTimedLayer, RemoveNothing, handle};
  if (ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &left) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_TIMEOUT, &left) != LDAP_OPT_SUCCESS ||
      ldap_set_option(ld, LDAP_OPT_CONNECT_CB, &handle->connect_callback) != LDAP_OPT_SUCCESS) {
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

struct MessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using MessagePtr = std::unique_ptr<LDAPMessage, MessageFree>;

// StartTLS as a request of its own, so that the wait for its answer keeps
// the deadline; then the handshake, whose socket waits keep it too.
bool StartTls(DirectoryHandle* handle) {
  int id = 0;
  if (ldap_extended_operation(handle->ld, LDAP_EXOP_START_TLS, nullptr, nullptr, nullptr, &id) !=
      LDAP_SUCCESS) {
    return false;
  }
  LDAPMessage* raw = nullptr;
  const int rc = AwaitAnswer(handle, id, &raw);
  const MessagePtr answer(raw);
  return rc == LDAP_SUCCESS && ldap_install_tls(handle->ld) == LDAP_SUCCESS;
}

bool SimpleBind(DirectoryHandle* handle, UriScheme scheme, const char* bind_dn,
                const char* password_file) {
  LDAP* ld = handle->ld;
  if (scheme == UriScheme::kLdap) {
    if (!StartTls(handle)) return false;
  } else if (ldap_connect(ld) != LDAP_SUCCESS) {
    return false;
  }
  // The password never leaves the machine unencrypted.
  if (scheme != UriScheme::kLdapi && ldap_tls_inplace(ld) == 0) return false;

  std::string password;
  if (!ReadPasswordFile(password_file, password) || password.empty()) {
    // An empty password would make the bind anonymous instead of failing.
    WipePassword(password);
    handle->open_problem = std::string("cannot read a password from ") + password_file;
    return false;
  }
  berval credentials{password.size(), password.data()};
  int id = 0;
  int rc = ldap_sasl_bind(ld, bind_dn, LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, &id);
  WipePassword(password);
  if (rc != LDAP_SUCCESS) return false;
  LDAPMessage* raw = nullptr;
  rc = AwaitAnswer(handle, id, &raw);
  const MessagePtr answer(raw);
  return rc == LDAP_SUCCESS;
}

// GSSAPI needs no prompts: the credentials come from the Kerberos cache or
// keytab of the process.
int NoInteraction(LDAP*, unsigned, void*, void*) { return LDAP_SUCCESS; }

bool GssapiBind(DirectoryHandle* handle) {
  LDAP* ld = handle->ld;
  // Loading the SASL plug-ins is process-wide; do it once, not in a race.
  static std::once_flag once;
  std::call_once(once, [] {
    char** mechanisms = nullptr;
    ldap_get_option(nullptr, LDAP_OPT_X_SASL_MECHLIST, &mechanisms);
  });
  // The service name is built from the host as written in the URI, so an IP
  // address or an alias is not resolved into some other name first.
  if (ldap_set_option(ld, LDAP_OPT_X_SASL_NOCANON, LDAP_OPT_ON) != LDAP_OPT_SUCCESS) return false;
  // The exchange is libldap's own synchronous loop: its waits end with the
  // API timeout, set to the open's time left.
  timeval left = TimeLeft(handle);
  if ((left.tv_sec == 0 && left.tv_usec == 0) ||
      ldap_set_option(ld, LDAP_OPT_TIMEOUT, &left) != LDAP_OPT_SUCCESS) {
    return false;
  }
  return ldap_sasl_interactive_bind_s(ld, nullptr, "GSSAPI", nullptr, nullptr, LDAP_SASL_QUIET,
                                      NoInteraction, nullptr) == LDAP_SUCCESS;
}

bool HasNul(const Text& text) { return text.find(WChar{0}) != Text::npos; }

// The pieces of one add or modify request, kept alive for the call.
struct ModificationRequest {
  std::vector<std::string> names;
  std::vector<std::vector<berval>> values;           // each ends with {0, nullptr}
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

std::mutex& OpenProblemLock() {
  static std::mutex lock;
  return lock;
}

std::string& OpenProblemText() {
  static std::string text;
  return text;
}

// Keeps why the last open failed (empty after one that succeeded).
void NoteOpenProblem(const std::string& problem) {
  std::lock_guard<std::mutex> guard(OpenProblemLock());
  OpenProblemText() = problem;
}

// The reason of a failed open: the step's own, or the LDAP client's text
// for the code the connection was lost with or the last result carried.
std::string OpenFailure(DirectoryHandle* handle, const char* uri) {
  if (!handle->open_problem.empty()) return handle->open_problem;
  int code = handle->lost_code;
  if (code == 0) ldap_get_option(handle->ld, LDAP_OPT_RESULT_CODE, &code);
  if (code == LDAP_SUCCESS) code = LDAP_SERVER_DOWN;
  return std::string("the directory at ") + uri + ": " + ldap_err2string(code);
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
  if ((bind_dn == nullptr) != (password_file == nullptr)) {
    NoteOpenProblem(
        "CLAVORA_LDAP_BIND_DN and CLAVORA_LDAP_PASSWORD_FILE go together, only one is set");
    return nullptr;
  }
  const UriScheme scheme = SchemeOf(uri);
  if (scheme == UriScheme::kUnusable) {
    NoteOpenProblem(std::string(uri) + " is not an ldap://, ldaps:// or ldapi:// address");
    return nullptr;
  }

  InitialiseLibraryOnce();
  auto* handle = new DirectoryHandle;
  handle->deadline = DirectoryOpenDeadline();  // for the whole open
  if (ldap_initialize(&handle->ld, uri) != LDAP_SUCCESS || handle->ld == nullptr) {
    NoteOpenProblem(std::string(uri) + " is not an address the LDAP client can use");
    DirectoryClose(handle);
    return nullptr;
  }
  bool ok = SetConnectionOptions(handle, ca_file);
  if (ok && bind_dn != nullptr) {
    ok = SimpleBind(handle, scheme, bind_dn, password_file);
  } else if (ok && scheme == UriScheme::kLdapi) {
    // Any bind, even an anonymous one, would give up the identity the
    // privileged socket grants; only check that the server is there.
    ok = ldap_connect(handle->ld) == LDAP_SUCCESS;
  } else if (ok) {
    ok = GssapiBind(handle);
  }
  if (!ok || handle->lost_code != 0) {
    NoteOpenProblem(OpenFailure(handle, uri));
    DirectoryClose(handle);
    return nullptr;
  }
  NoteOpenProblem(std::string());
  return handle;
}

std::string LastDirectoryOpenProblem() {
  std::lock_guard<std::mutex> guard(OpenProblemLock());
  return OpenProblemText();
}

void DirectoryClose(DirectoryHandle* handle) {
  if (handle == nullptr) return;
  // The unbind is sent when the socket takes it at once, never waited for.
  handle->deadline = MonotonicMilliseconds();
  if (handle->ld != nullptr) ldap_unbind_ext_s(handle->ld, nullptr, nullptr);
  delete handle;
}

bool DirectoryConnectionLost(const DirectoryHandle* handle) {
  return handle == nullptr || handle->ld == nullptr || handle->lost_code != 0;
}

// Every entry of a search answer, in order. False when one cannot be decoded.
bool CopyEntries(LDAP* ld, LDAPMessage* result, std::vector<DirectoryEntry>& out) {
  for (LDAPMessage* message = ldap_first_entry(ld, result); message != nullptr;
       message = ldap_next_entry(ld, message)) {
    DirectoryEntry entry;
    if (!CopyEntry(ld, message, entry)) return false;
    out.push_back(std::move(entry));
  }
  return true;
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

  int rc = LDAP_SUCCESS;
  if (!BeginRequest(handle, rc)) return rc;
  const std::string base_utf8 = TextToUtf8(base);
  const std::string filter_utf8 = filter.empty() ? "(objectClass=*)" : TextToUtf8(filter);
  // No time limit goes to the server; the wait for the answer is bounded
  // here.
  int id = 0;
  rc = ldap_search_ext(handle->ld, base_utf8.c_str(), scope, filter_utf8.c_str(),
                       attributes.empty() ? nullptr : name_list.data(), 0, nullptr, nullptr,
                       nullptr, size_limit, &id);
  if (rc != LDAP_SUCCESS) return SendFailed(handle, rc);
  LDAPMessage* raw = nullptr;
  rc = AwaitAnswer(handle, id, &raw);
  const MessagePtr result(raw);
  if (rc != LDAP_SUCCESS) return rc;

  std::vector<DirectoryEntry> found;
  if (!CopyEntries(handle->ld, result.get(), found)) return LDAP_DECODING_ERROR;
  entries = std::move(found);
  return LDAP_SUCCESS;
}

int DirectoryPagedSearch(DirectoryHandle* handle, const Text& base, int scope, const Text& filter,
                         const std::vector<Text>& attributes, int page_size, bool show_deleted,
                         const DirectoryPageSink& on_page) {
  if (handle == nullptr || handle->ld == nullptr || HasNul(base) || HasNul(filter) ||
      page_size <= 0) {
    return LDAP_PARAM_ERROR;
  }
  std::vector<std::string> names;
  for (const Text& name : attributes) {
    if (HasNul(name)) return LDAP_PARAM_ERROR;
    names.push_back(TextToUtf8(name));
  }
  std::vector<char*> name_list;
  for (std::string& name : names) name_list.push_back(name.data());
  name_list.push_back(nullptr);
  const std::string base_utf8 = TextToUtf8(base);
  const std::string filter_utf8 = filter.empty() ? "(objectClass=*)" : TextToUtf8(filter);

  LDAPControl show_deleted_control{const_cast<char*>("1.2.840.113556.1.4.417"), berval{0, nullptr},
                                   1};
  berval cookie{0, nullptr};
  for (;;) {
    int rc = LDAP_SUCCESS;
    if (!BeginRequest(handle, rc)) {
      ber_memfree(cookie.bv_val);
      return rc;
    }
    LDAPControl* page_control = nullptr;
    rc = ldap_create_page_control(handle->ld, static_cast<ber_int_t>(page_size), &cookie, 1,
                                  &page_control);
    ber_memfree(cookie.bv_val);
    cookie = berval{0, nullptr};
    if (rc != LDAP_SUCCESS) return rc;
    LDAPControl* controls[3] = {page_control, show_deleted ? &show_deleted_control : nullptr,
                                nullptr};
    int id = 0;
    rc = ldap_search_ext(handle->ld, base_utf8.c_str(), scope, filter_utf8.c_str(),
                         attributes.empty() ? nullptr : name_list.data(), 0, controls, nullptr,
                         nullptr, 0, &id);
    ldap_control_free(page_control);
    if (rc != LDAP_SUCCESS) return SendFailed(handle, rc);
    LDAPMessage* raw = nullptr;
    rc = AwaitAnswer(handle, id, &raw);
    const MessagePtr result(raw);
    if (rc != LDAP_SUCCESS) return rc;

    std::vector<DirectoryEntry> page;
    if (!CopyEntries(handle->ld, result.get(), page)) return LDAP_DECODING_ERROR;
    // The cookie for the next page comes with the search's final result.
    LDAPControl** returned = nullptr;
    LDAPMessage* done = ldap_first_message(handle->ld, result.get());
    while (done != nullptr && ldap_msgtype(done) != LDAP_RES_SEARCH_RESULT)
      done = ldap_next_message(handle->ld, done);
    if (done == nullptr) return LDAP_DECODING_ERROR;
    int code = LDAP_OTHER;
    if (ldap_parse_result(handle->ld, done, &code, nullptr, nullptr, nullptr, &returned, 0) !=
        LDAP_SUCCESS) {
      return LDAP_DECODING_ERROR;
    }
    ber_int_t estimate = 0;
    LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned, nullptr);
    if (response != nullptr)
      ldap_parse_pageresponse_control(handle->ld, response, &estimate, &cookie);
    ldap_controls_free(returned);
    on_page(page);
    if (cookie.bv_val == nullptr || cookie.bv_len == 0) {
      ber_memfree(cookie.bv_val);
      return LDAP_SUCCESS;
    }
  }
}

namespace {

// Sends one add or modify request and waits for its answer.
int Write(DirectoryHandle* handle, const Text& dn, ModificationRequest& request, bool is_add,
          bool lazy_commit) {
  int rc = LDAP_SUCCESS;
  if (!BeginRequest(handle, rc)) return rc;
  WriteControls controls;
  const std::string dn_utf8 = TextToUtf8(dn);
  int id = 0;
  rc = is_add ? ldap_add_ext(handle->ld, dn_utf8.c_str(), request.mod_pointers.data(),
                             controls.For(lazy_commit), nullptr, &id)
              : ldap_modify_ext(handle->ld, dn_utf8.c_str(), request.mod_pointers.data(),
                                controls.For(lazy_commit), nullptr, &id);
  if (rc != LDAP_SUCCESS) return SendFailed(handle, rc);
  LDAPMessage* raw = nullptr;
  rc = AwaitAnswer(handle, id, &raw);
  const MessagePtr answer(raw);
  return rc;
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
