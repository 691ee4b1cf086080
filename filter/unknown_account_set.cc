#include "filter/unknown_account_set.h"

#include <mutex>

#include "policy/policies.h"
#include "util/text_util.h"

namespace zefa {

namespace {

bool IsSkipUsersEntry(const Text& skip_users, const Text& account_name) {
  const Text name = ToLower(account_name);
  std::vector<Text> entries = SplitFields(skip_users, ZT(';'));
  entries.pop_back();  // the text after the last ";" is no entry
  for (const Text& entry : entries)
    if (!entry.empty() && entry == name) return true;
  return false;
}

}  // namespace

UnknownAccountChoice UnknownAccountSelection(PolicySet& chosen, const Text& account_name) {
  std::lock_guard<std::mutex> guard(PolicyLock());
  const PolicyState& state = Policies();
  UnknownAccountChoice choice;
  choice.Configured = state.Globals.UnknownAccountSet;
  if (choice.Configured == 0) return choice;
  if (IsSkipUsersEntry(state.Globals.SkipUsers, account_name)) {
    choice.Skipped = true;
    return choice;
  }
  for (const PolicySet& set : state.Sets) {
    if (set.Index == choice.Configured && set.Enabled != 0) {
      chosen = set;
      choice.Chosen = true;
      break;
    }
  }
  return choice;
}

}  // namespace zefa
