#include "server/reload_policies.h"

#include <vector>

#include "breach/pwned_store.h"
#include "policy/policies.h"

namespace zefa {

namespace {

// Opens the stores before the new sets are published; checks keep using the
// stores they hold.
void PrepareCompanions(const std::vector<PolicySet>& sets, const Text& words_folder) {
  std::vector<Text> stores;
  for (const PolicySet& set : sets)
    if (set.PwnedEnabled != 0) stores.push_back(set.PwnedStore);
  OpenPwnedStores(stores, words_folder);
}

}  // namespace

int ReloadPolicies() { return LoadPolicies(PrepareCompanions); }

}  // namespace zefa
