// The password check from the security authority's call to a verdict.
#pragma once

#include "directory/user_record.h"
#include "platform/text.h"

namespace zefa {

// The pieces of one filter call. A missing argument (null pointer or null
// buffer) is given as nullptr.
struct FilterRequest {
  const Text* AccountName = nullptr;
  const Text* FullName = nullptr;
  const Text* Password = nullptr;
  bool SetOperation = false;
};

// What one filter call decided. AuditDenied: the governing set is in audit
// mode and the password failed it; the password is accepted.
enum class FilterVerdict { Accepted, Denied, AuditDenied };

// The verdict of one call. Rejects everything until the server has been
// initialised; every later difficulty accepts with a log line.
FilterVerdict CheckPassword(const FilterRequest& request);

// Whether a change of `account` (looked up as `user`) is left alone as a
// computer's: an empty name, an account the directory says is a machine,
// trust or krbtgt account, or an unknown name ending in "$" (a computer
// being joined). A person's account named "fake$" or "krbtgtfan" is checked.
bool SkippedAsComputerAccount(const Text& account, const UserRecord& user);

// true = accept (also a password that only an audit-mode set would deny),
// false = reject.
bool RunPasswordFilter(const FilterRequest& request);

}  // namespace zefa
