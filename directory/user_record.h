// The account as the filter and the change notification see it.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace zefa {

struct UserRecord {
  int64_t LookupTime = 0;
  Text AccountName;  // empty when the account was not found
  // The directory could not be asked (no connection, a failed search): an
  // empty AccountName then says nothing about the account.
  bool LookupFailed = false;
  Text QualifiedName;
  Text DistinguishedName;
  Text PrincipalName;
  Text Container;  // OU path below the domain, levels separated by "/"
  int64_t AccountExpires = -1;
  int64_t PasswordAge = 0;
  Text HomeDirectory;
  Text Description;
  Text ScriptPath;
  Text DisplayName;
  int64_t LastLogon = -1;
  Text Sid;
  Text Guid;
  Text ProfilePath;
  Text GroupNames;  // each followed by ";"
  Text GroupSids;   // each followed by ";"
};

}  // namespace zefa
