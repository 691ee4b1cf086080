// Where an account's history and hand-off files live: one file per account
// in a system folder, named after the account.
#pragma once

#include <optional>

#include "platform/text.h"

namespace zefa {

// The file name that stands for `account`: the account itself when every
// character of it can be part of a file name on either platform, which is
// the case for every ordinary account name. Otherwise each unit that cannot
// is written as "=" and two upper-case hex digits: control characters,
// / \ : * ? " < > |, the escape character "=" itself, a "." that follows
// another "." (so the name never holds ".."), and the first letter of a
// Windows device name (CON, NUL, COM1, ...). Account names cannot hold "=",
// so an ordinary name never changes; the escape is reversible
// (AccountOfFileName). Empty for an empty account.
Text AccountFileName(const Text& account);

// The account a file name (without its extension) stands for; nullopt when
// the name is no AccountFileName result.
std::optional<Text> AccountOfFileName(const Text& file_name);

// The path of an account's file in one of the system folders: folder +
// separator + AccountFileName(account) + extension. Empty when the folder or
// the account is empty.
Text AccountFilePath(const Text& folder, const Text& account, const Text& extension);

}  // namespace zefa
