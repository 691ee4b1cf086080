#include "server/library_state.h"

#include <atomic>

#include "breach/pwned_store.h"
#include "directory/attribute_decoding.h"
#include "directory/directory_writes.h"
#include "directory/lookup_user.h"
#include "directory/view_keeper.h"
#include "logging/log.h"
#include "policy/policies.h"
#include "rules/evaluate_rules.h"
#include "server/maintenance_worker.h"
#include "server/server_initialisation.h"
#include "util/server_paths.h"

namespace zefa {

namespace {
std::atomic<bool> initialised{false};
}

bool Initialised() { return initialised.load(); }
void SetInitialised(bool value) { initialised.store(value); }

void OnProcessAttach() { ResetLogDefaults(); }

void OnProcessDetach() {
  LogDebug(ZT("DetachProcess"));
  StopMaintenanceWorker();
  SetInitialised(false);
  ClosePwnedStores();  // unmaps the offline stores
}

void ResetLibraryState() {
  StopMaintenanceWorker();
  StopViewKeeper();
  SetInitialised(false);
  ResetDirectoryView();
  ResetPolicies();
  ClearServerPaths();
  ClearDecodingCaches();
  ClearDirectoryWriteCaches();
  ClosePwnedStores();
  ResetLogDefaults();
}

void StartFilter() {
  if (TestMode()) {
    // One read of the directory on the calling thread: the test console
    // checks one password and ends.
    if (!UserLookupReady()) RefreshDirectoryView();
    ServerInitialisation();
    return;
  }
  StartMaintenanceWorker();
}

}  // namespace zefa
