// The platform layer: the interactive user's session. One implementation per platform
// (platform/posix, platform/windows) is chosen at build time. Unless a
// function says otherwise it is safe to call from any thread, never throws,
// and reports failure only through its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace zefa::platform {

// The user logged on to this session, as far as the platform knows it
// without asking the directory.
// Windows: GetUserNameExW(NameFullyQualifiedDN) gives `distinguished_name`.
// POSIX: `account_name` is the principal of the user's default Kerberos
// credentials cache without its realm, or the login name when there are no
// credentials; `distinguished_name` stays empty.
struct SessionUser {
  Text distinguished_name;
  Text account_name;
};
SessionUser LoggedOnUser();

// Opens the screen where the user can change the password; does not wait.
// Windows: the Windows Security screen (explorer.exe with its shell folder).
// POSIX: the shell command in $CLAVORA_PASSWORD_CHANGE_COMMAND, by default a
// terminal running passwd. False when nothing could be started.
bool StartPasswordChangeScreen();

}  // namespace zefa::platform
