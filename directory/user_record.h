// The account as the filter and the change notification see it.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace zefa {

struct UserRecord {
  Text AccountName;  // empty when the account was not found
  // No directory view was ready (the directory has not been read yet): an
  // empty AccountName then says nothing about the account.
  bool LookupFailed = false;
  // The directory says this is no person's account: a machine or trust
  // account (sAMAccountType), the domain's krbtgt account or a read-only
  // domain controller's krbtgt_NNNNN account.
  bool ComputerAccount = false;
  Text QualifiedName;
  Text DistinguishedName;
  Text PrincipalName;
  Text Container;  // OU path below the domain, levels separated by "/"
  Text DisplayName;
  Text Sid;
  Text Guid;
  Text GroupNames;  // each followed by ";"
  Text GroupSids;   // each followed by ";"
};

// Whether a change of `account` (looked up as `user`) is left alone as a
// computer's: an empty name, an account the directory says is a machine,
// trust or krbtgt account, or a name the directory does not know (`user`
// without AccountName, as a caller without the directory passes it) that
// ends in "$" (a computer being joined). A person's account named "fake$" or
// "krbtgtfan" is checked.
bool IsComputerAccount(const Text& account, const UserRecord& user);

}  // namespace zefa
