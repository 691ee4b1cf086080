#include "policy/unknown_account_set.h"

#include <mutex>

#include "policy/policy_selection.h"
#include "policy/policies.h"
#include "util/text_util.h"

namespace zefa {

UnknownAccountChoice UnknownAccountSelection(PolicySet& chosen, const Text& account_name) {
  std::lock_guard<std::mutex> guard(PolicyLock());
  const PolicyState& state = Policies();
  UnknownAccountChoice choice;
  choice.Configured = state.Globals.UnknownAccountSet;
  if (choice.Configured == 0) return choice;
  if (IsSkippedUser(state.Globals.SkipUsers, account_name)) {
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
