#include "policy/policy_selection.h"

#include "policy/policies.h"
#include "util/text_util.h"

namespace zefa {

namespace {

// The entries of a normalised list: the fields before each ";".
std::vector<Text> ListEntries(const Text& list) {
  std::vector<Text> entries = SplitFields(list, ZT(';'));
  entries.pop_back();  // the text after the last ";"
  return entries;
}

}  // namespace

bool IsSkippedUser(const Text& skip_users, const Text& account_name) {
  const Text account = ToLower(account_name);
  for (const Text& entry : ListEntries(skip_users))
    if (entry == account) return true;
  return false;
}

const PolicySet* PolicySelection(const PolicyState& state, const Text& account_name,
                                 const Text& group_names, const Text& container) {
  // A skip entry names one account, whole; groups and OUs below match as
  // parts of longer texts.
  if (IsSkippedUser(state.Globals.SkipUsers, account_name)) return nullptr;

  Text groups = ToLower(group_names);
  if (groups.empty() || groups.back() != ZT(';')) groups.push_back(ZT(';'));
  const Text place = ToLower(container);

  for (const Text& entry : ListEntries(state.Globals.SkipGroups)) {
    if (Contains(groups, entry + ZT(";"))) return nullptr;
  }
  for (const PolicySet& set : state.Sets) {
    if (set.Enabled == 0) continue;
    for (const Text& entry : ListEntries(set.UserGroups)) {
      if (Contains(groups, entry + ZT(";"))) return &set;
    }
    if (place.empty()) continue;
    for (const Text& entry : ListEntries(set.UserOus)) {
      if (StartsWith(place, entry)) return &set;
    }
  }
  return nullptr;
}

}  // namespace zefa
