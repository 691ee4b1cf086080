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
  // The account's principal name as the caller knows it (the Samba hook is
  // given it); it stands in for the directory's when the directory does not
  // know the account (one being created).
  const Text* PrincipalName = nullptr;
};

// What one filter call decided. AuditDenied: the governing set is in audit
// mode and the password failed it; the password is accepted.
enum class FilterVerdict { Accepted, Denied, AuditDenied };

struct FilterOutcome {
  FilterVerdict Verdict = FilterVerdict::Accepted;
  // Denied or AuditDenied: why, as the log says it (the header naming the
  // account, one line per requirement the password missed); never the
  // password. Empty when accepted.
  Text Reason;
};

// The verdict of one call. Rejects everything until the server has been
// initialised; every later difficulty accepts with a log line. The check
// takes the published policy configuration once and uses only that one.
FilterOutcome CheckPassword(const FilterRequest& request);

// true = accept (also a password that only an audit-mode set would deny),
// false = reject.
bool RunPasswordFilter(const FilterRequest& request);

}  // namespace zefa
