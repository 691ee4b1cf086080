// Why the last directory open of this process failed, shared by the POSIX
// directory client and its access check.
#pragma once

#include <string>

namespace zefa::platform {

// The reason the last DirectoryOpen failed: a configuration mistake, a
// password file that cannot be read, or the LDAP client's text for the
// failure ("Can't contact LDAP server", "Invalid credentials"). Empty when
// the last open succeeded or none was tried.
std::string LastDirectoryOpenProblem();

}  // namespace zefa::platform
