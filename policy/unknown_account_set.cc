#include "policy/unknown_account_set.h"

#include "policy/policy_selection.h"
#include "policy/policies.h"
#include "util/text_util.h"

namespace zefa {

UnknownAccountChoice UnknownAccountSelection(const PolicyState& state, const Text& account_name) {
  UnknownAccountChoice choice;
  choice.Configured = state.Globals.UnknownAccountSet;
  if (choice.Configured == 0) return choice;
  if (IsSkippedUser(state.Globals.SkipUsers, account_name)) {
    choice.Skipped = true;
    return choice;
  }
  for (const PolicySet& set : state.Sets) {
    if (set.Index == choice.Configured && set.Enabled != 0) {
      choice.Chosen = &set;
      break;
    }
  }
  return choice;
}

}  // namespace zefa
