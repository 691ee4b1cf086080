// The user of this desktop session and the screen where the password is
// changed.

#define SECURITY_WIN32
#include "platform/windows/win_util.h"

#include <security.h>

#include "platform/session.h"

namespace zefa::platform {

namespace {

constexpr wchar_t kWindowsSecurityFolder[] = L"shell:::{2559a1f2-21d7-11d4-bdaf-00c04f60b9f0}";

Text UserName(EXTENDED_NAME_FORMAT format) {
  wchar_t buffer[512] = {};
  ULONG size = 512;
  if (GetUserNameExW(format, buffer, &size) == FALSE) return Text();
  return Text(buffer);
}

}  // namespace

SessionUser LoggedOnUser() {
  SessionUser user;
  user.distinguished_name = UserName(NameFullyQualifiedDN);
  // "DOMAIN\account" without its domain.
  const Text sam = UserName(NameSamCompatible);
  user.account_name = sam.substr(sam.find(L'\\') == Text::npos ? 0 : sam.find(L'\\') + 1);
  return user;
}

bool StartPasswordChangeScreen() {
  // A normal window, not waited for.
  Text command_line = Text(L"explorer.exe ") + kWindowsSecurityFolder;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                     &startup, &process) == FALSE) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace zefa::platform
