#include "policy/policy_selection.h"

#include <mutex>

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

namespace {

// The position in `state.Sets` of the set that governs the account; -1 when
// none does.
int ChosenPosition(const PolicyState& state, const Text& account_name, const Text& group_names,
                   const Text& container) {
  // A skip entry names one account, whole; groups and OUs below match as
  // parts of longer texts.
  if (IsSkippedUser(state.Globals.SkipUsers, account_name)) return -1;

  Text groups = ToLower(group_names);
  if (groups.empty() || groups.back() != ZT(';')) groups.push_back(ZT(';'));
  const Text place = ToLower(container);

  for (const Text& entry : ListEntries(state.Globals.SkipGroups)) {
    if (Contains(groups, entry + ZT(";"))) return -1;
  }
  for (size_t i = 0; i < state.Sets.size(); ++i) {
    const PolicySet& set = state.Sets[i];
    if (set.Enabled == 0) continue;
    for (const Text& entry : ListEntries(set.UserGroups)) {
      if (Contains(groups, entry + ZT(";"))) return static_cast<int>(i);
    }
    if (place.empty()) continue;
    for (const Text& entry : ListEntries(set.UserOus)) {
      if (StartsWith(place, entry)) return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace

int PolicySelection(PolicySet& chosen, const Text& account_name, const Text& group_names,
                    const Text& container) {
  std::lock_guard<std::mutex> guard(PolicyLock());
  const PolicyState& state = Policies();
  const int position = ChosenPosition(state, account_name, group_names, container);
  if (position < 0) return 0;
  chosen = state.Sets[position];
  return 1;
}

int64_t SelectedSetIndex(const Text& account_name, const Text& group_names, const Text& container) {
  std::lock_guard<std::mutex> guard(PolicyLock());
  const PolicyState& state = Policies();
  const int position = ChosenPosition(state, account_name, group_names, container);
  return position < 0 ? 0 : state.Sets[position].Index;
}

}  // namespace zefa
