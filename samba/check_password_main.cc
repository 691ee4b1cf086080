// zefa-check-password: the program to name in a Samba DC's
// "check password script". Samba runs it for every password change or reset
// of an account whose password complexity is on, with the new password on
// standard input (UTF-8, no line end) and the account in the environment:
//   SAMBA_CPS_ACCOUNT_NAME          sAMAccountName
//   SAMBA_CPS_USER_PRINCIPAL_NAME   userPrincipalName (may be empty)
//   SAMBA_CPS_FULL_NAME             displayName (may be empty)
// It asks zefa-host and exits 0 to accept; any other exit rejects:
//   1  the password policy rejected the password; standard error (which
//      Samba shows the administrator) says why, one requirement a line
//   2  the host could not be asked (not running, still starting, no answer
//      in time, refused)
//   3  the input was unusable (password too long)
// Samba waits at most 10 seconds; connecting, sending and the whole answer
// take at most --timeout-ms (default 8000) in all, one deadline from the
// start of the program. Samba does not say whether a change or a reset is
// meant, so every call is checked as a change (all rules). The password goes
// only to a host that cannot be an impostor: the socket's folder belongs to
// root (or the host's user, --host-user or ZEFA_HOST_USER) and no one else
// may write into it, and the listening process runs as root or that user;
// otherwise it exits 2 and says why. The password
// stays in locked pages (a failed lock is reported, the check goes on).
#include <errno.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "logging/escape_controls.h"
#include "samba/frame_io.h"
#include "samba/host_client.h"
#include "samba/host_options.h"
#include "samba/harden_process.h"
#include "samba/peer_credentials.h"
#include "samba/secure_buffer.h"
#include "samba/wire_text.h"

namespace {

using namespace zefa::host;

constexpr size_t kMaxPasswordBytes = kMaxTextBytes / 2;  // UTF-8 bytes read at most
constexpr int kDefaultTimeoutMs = 8000;

enum Exit { kExitAccepted = 0, kExitRejected = 1, kExitNoHost = 2, kExitBadInput = 3 };

void Say(const std::string& text) {
  std::fprintf(stderr, "zefa-check-password: %s\n", text.c_str());
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Reads standard input to its end into `buffer`. -1 when it is longer than
// kMaxPasswordBytes or cannot be read.
ssize_t ReadPassword(SecureBuffer& buffer) {
  size_t used = 0;
  for (;;) {
    const size_t room = kMaxPasswordBytes + 1 - used;  // the buffer holds one byte more
    if (room == 0) return -1;
    const ssize_t n = read(STDIN_FILENO, buffer.data + used, room);
    if (n == 0) return static_cast<ssize_t>(used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    used += static_cast<size_t>(n);
  }
}

struct Options {
  std::string socket_path = kDefaultSocketPath;
  int timeout_ms = kDefaultTimeoutMs;
  uid_t host_uid = 0;  // besides root, the user the host may run as
};

bool ParseOptions(int argc, char** argv, Options& options) {
  const std::string from_environment = Environment("ZEFA_HOST_SOCKET");
  if (!from_environment.empty()) options.socket_path = from_environment;
  const std::string host_user = Environment("ZEFA_HOST_USER");
  if (!host_user.empty() && !LookupUser(host_user, options.host_uid)) return false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (option == "--socket") {
      options.socket_path = value;
    } else if (option == "--host-user") {
      if (!LookupUser(value, options.host_uid)) return false;
    } else if (option == "--timeout-ms") {
      int ms = 0;
      const auto result = std::from_chars(value.data(), value.data() + value.size(), ms);
      if (result.ec != std::errc() || result.ptr != value.data() + value.size() || ms < 100 ||
          ms > 60000)
        return false;
      options.timeout_ms = ms;
    } else {
      return false;
    }
  }
  return true;
}

// The host's reason for the administrator: its "\r\n" line breaks as the
// terminal's, any other control character escaped.
std::string ReasonLines(const std::string& reason) {
  std::string lines;
  size_t start = 0;
  while (start <= reason.size()) {
    size_t end = reason.find('\n', start);
    if (end == std::string::npos) end = reason.size();
    std::string_view line(reason.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (start > 0) lines += '\n';
    lines += zefa::EscapeControlCharacters(line);
    start = end + 1;
  }
  return lines;
}

// Says once that the password's memory could not be locked.
void ReportUnlocked(const SecureBuffer& buffer, bool& reported) {
  if (buffer.locked || reported) return;
  reported = true;
  Say(std::string("the password's memory could not be locked (mlock: ") +
      std::strerror(buffer.lock_error) + "); it may be written to swap space");
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t started_ms = MonotonicMs();
  HardenProcess();
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    Say("usage: zefa-check-password [--socket PATH] [--host-user NAME|UID] [--timeout-ms MS] "
        "< password");
    return kExitBadInput;
  }
  // The password in locked pages: its UTF-8 form as read, then UTF-16.
  SecureBuffer utf8;
  SecureBuffer utf16;
  if (!AllocateSecureBuffer(utf8, kMaxPasswordBytes + 1) ||
      !AllocateSecureBuffer(utf16, kMaxTextBytes)) {
    Say("out of memory; password rejected");
    return kExitNoHost;
  }
  bool unlocked_reported = false;
  ReportUnlocked(utf8, unlocked_reported);
  ReportUnlocked(utf16, unlocked_reported);
  const ssize_t bytes = ReadPassword(utf8);
  if (bytes < 0) {
    Say("the password could not be read or is longer than " + std::to_string(kMaxPasswordBytes) +
        " bytes; password rejected");
    return kExitBadInput;
  }
  auto* units = reinterpret_cast<char16_t*>(utf16.data);
  const size_t length =
      Utf8ToUtf16(utf8.data, static_cast<size_t>(bytes), units, kMaxTextBytes / 2);
  FreeSecureBuffer(utf8);
  if (length == kUtf16Overflow) {
    Say("the password is too long; password rejected");
    return kExitBadInput;
  }

  // Samba always names the account; a call without it is no call of Samba's.
  if (std::getenv("SAMBA_CPS_ACCOUNT_NAME") == nullptr) {
    Say("SAMBA_CPS_ACCOUNT_NAME is not set; password rejected");
    return kExitBadInput;
  }
  const std::string account_utf8 = Environment("SAMBA_CPS_ACCOUNT_NAME");
  const std::string logged_account = zefa::EscapeControlCharacters(account_utf8);
  const std::u16string account = Utf8ToUtf16(account_utf8);
  const std::u16string principal = Utf8ToUtf16(Environment("SAMBA_CPS_USER_PRINCIPAL_NAME"));
  const std::u16string full_name = Utf8ToUtf16(Environment("SAMBA_CPS_FULL_NAME"));
  CheckTexts texts;
  texts.account = account;
  texts.full_name = full_name;
  texts.principal = principal;
  texts.password = std::u16string_view(units, length);
  texts.set_operation = false;  // Samba does not tell a reset from a change: check everything

  HostAnswer answer;
  std::string error;
  bool frame_locked = true;
  const int64_t left_ms = started_ms + options.timeout_ms - MonotonicMs();
  const bool asked =
      left_ms > 0 && CheckPasswordWithHost(options.socket_path, texts, static_cast<int>(left_ms),
                                           answer, error, &frame_locked, options.host_uid);
  if (left_ms <= 0) error = "no time left";
  FreeSecureBuffer(utf16);
  if (!frame_locked && !unlocked_reported)
    Say("the request's memory could not be locked; it may be written to swap space");
  if (!asked) {
    Say("password of " + logged_account + " rejected: zefa-host could not be asked (" + error +
        ")");
    return kExitNoHost;
  }
  switch (answer.kind) {
    case kAccepted:
      return kExitAccepted;
    case kRejected:
      Say("password of " + logged_account + " rejected: " + ReasonLines(answer.message));
      return kExitRejected;
    case kStarting:
      // Nothing was checked: the host is up, its library not yet.
      Say("password of " + logged_account +
          " rejected: zefa-host is starting (the filter library has not finished its "
          "initialisation); try again shortly");
      return kExitNoHost;
    default:
      Say("password of " + logged_account + " rejected: zefa-host answered " +
          KindName(answer.kind) + (answer.message.empty() ? "" : " (" + answer.message + ")"));
      return kExitNoHost;
  }
}
