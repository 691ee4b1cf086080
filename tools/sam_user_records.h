// The filter's view of an account (its OU path and transitive security
// groups, as the directory's token would give them) computed from the user
// and group objects read out of sam.ldb. The audit chooses each account's
// policy set through this record, as the filter does for a password change.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "directory/user_record.h"
#include "tools/sam_database.h"

namespace zefa::audit {

struct AccountFacts {
  UserRecord record;        // AccountName, DistinguishedName, Sid, Container, GroupNames, GroupSids
  bool privileged = false;  // in Domain/Enterprise/Schema Admins or Administrators, at any depth
};

// The groups of a database by SID, with the SIDs that make a member
// privileged. Points into `contents`, which must outlive it.
struct GroupGraph {
  std::unordered_map<std::string, const SamObject*> by_sid;
  std::unordered_set<std::string> privileged_sids;
  std::string domain_sid;
};
GroupGraph IndexGroups(const SamContents& contents);

// The record of one user. Groups are followed through memberOf at any depth,
// starting from the account's own memberOf and its primary group; only
// security groups count (a distribution group is no part of a token), and a
// cycle is followed once.
AccountFacts FactsOfUser(const GroupGraph& graph, const SamObject& user);

// FactsOfUser for every user of `contents`, in the same order.
std::vector<AccountFacts> BuildAccountFacts(const SamContents& contents);

}  // namespace zefa::audit
