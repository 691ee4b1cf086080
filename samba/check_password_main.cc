// zefa-check-password: the program to name in a Samba DC's
// "check password script". Samba runs it for every password change or reset
// of an account whose password complexity is on, with the new password on
// standard input (UTF-8, no line end) and the account in the environment:
//   SAMBA_CPS_ACCOUNT_NAME          sAMAccountName
//   SAMBA_CPS_USER_PRINCIPAL_NAME   userPrincipalName (may be empty)
//   SAMBA_CPS_FULL_NAME             displayName (may be empty)
// It asks zefa-host and exits 0 to accept; any other exit rejects:
//   1  the password policy rejected the password
//   2  the host could not be asked (not running, no answer in time, refused)
//   3  the input was unusable (password too long)
// Samba waits at most 10 seconds; the host's answer is awaited for at most
// --timeout-ms (default 8000). Samba does not say whether a change or a
// reset is meant, so every call is checked as a change (all rules).
#include <errno.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "samba/host_client.h"
#include "samba/host_options.h"
#include "samba/host_server.h"
#include "samba/secure_buffer.h"
#include "samba/wire_text.h"

namespace {

using namespace zefa::host;

constexpr size_t kMaxPasswordBytes = kMaxTextBytes / 2;  // UTF-8 bytes read at most
constexpr int kDefaultTimeoutMs = 8000;

enum Exit { kExitAccepted = 0, kExitRejected = 1, kExitNoHost = 2, kExitBadInput = 3 };

void Say(const std::string& text) { std::fprintf(stderr, "zefa-check-password: %s\n", text.c_str()); }

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
};

bool ParseOptions(int argc, char** argv, Options& options) {
  const std::string from_environment = Environment("ZEFA_HOST_SOCKET");
  if (!from_environment.empty()) options.socket_path = from_environment;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (option == "--socket") {
      options.socket_path = value;
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

}  // namespace

int main(int argc, char** argv) {
  HardenProcess();
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    Say("usage: zefa-check-password [--socket PATH] [--timeout-ms MS] < password");
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
  const bool asked =
      CheckPasswordWithHost(options.socket_path, texts, options.timeout_ms, answer, error);
  FreeSecureBuffer(utf16);
  if (!asked) {
    Say("password of " + account_utf8 + " rejected: zefa-host could not be asked (" + error +
        ")");
    return kExitNoHost;
  }
  switch (answer.kind) {
    case kAccepted:
      return kExitAccepted;
    case kRejected:
      Say("password of " + account_utf8 + " rejected: " + answer.message);
      return kExitRejected;
    default:
      Say("password of " + account_utf8 + " rejected: zefa-host answered " +
          KindName(answer.kind) + (answer.message.empty() ? "" : " (" + answer.message + ")"));
      return kExitNoHost;
  }
}
