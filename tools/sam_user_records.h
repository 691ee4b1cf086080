// The filter's view of an account (its OU path and transitive security
// groups, as the directory's token would give them) computed from the user
// and group objects read out of sam.ldb. The audit chooses each account's
// policy set through this record, as the filter does for a password change.
#pragma once

#include "directory/user_record.h"
#include "tools/sam_database.h"

namespace zefa::audit {

struct AccountFacts {
  UserRecord record;       // AccountName, DistinguishedName, Sid, Container, GroupNames, GroupSids
  bool privileged = false;  // in Domain/Enterprise/Schema Admins or Administrators, at any depth
};

// One entry per user of `contents`, in the same order. Groups are followed
// through memberOf at any depth, starting from the account's own memberOf and
// its primary group; only security groups count (a distribution group is no
// part of a token), and a cycle is followed once.
std::vector<AccountFacts> BuildAccountFacts(const SamContents& contents);

}  // namespace zefa::audit
