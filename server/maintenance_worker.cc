#include "server/maintenance_worker.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "directory/lookup_user.h"
#include "directory/policy_objects.h"
#include "directory/view_keeper.h"
#include "server/library_state.h"
#include "logging/log.h"
#include "platform/system.h"
#include "policy/policies.h"
#include "server/reload_policies.h"
#include "server/inactive_accounts.h"
#include "server/server_initialisation.h"

namespace zefa {

namespace {

struct WorkerState {
  std::mutex lock;  // guards the fields below
  std::condition_variable wake;
  std::thread thread;
  // Each worker runs for one generation; a stop moves the generation on, so
  // a worker that is still finishing its pass never picks up a later start.
  uint64_t generation = 0;
  std::chrono::milliseconds tick{1000};
};

// The tick length in milliseconds from CLAVORA_MAINTENANCE_TICK_MS (digits
// only, at most one day), so that a test or demonstration host initialises
// within seconds; one second otherwise.
std::chrono::milliseconds TickFromEnvironment() {
  const Text value = platform::EnvironmentVariable(ZT("CLAVORA_MAINTENANCE_TICK_MS"));
  int64_t ms = 0;
  for (WChar c : value) {
    if (c < ZT('0') || c > ZT('9')) return std::chrono::milliseconds(1000);
    ms = ms * 10 + (c - ZT('0'));
    if (ms > 86400000) return std::chrono::milliseconds(1000);
  }
  return value.empty() ? std::chrono::milliseconds(1000) : std::chrono::milliseconds(ms);
}

// Never destroyed: the library's unload routine may still need it after the
// C++ run-time has begun tearing down static objects.
WorkerState& State() {
  static WorkerState* state = [] {
    auto* created = new WorkerState;
    created->tick = TickFromEnvironment();
    return created;
  }();
  return *state;
}

// How the directory mirror went: the number of passes so far and whether
// the last one failed. Written by whoever runs a pass (the worker, or the
// server initialisation on the worker's or a test caller's thread).
struct MirrorRecord {
  std::atomic<uint64_t> passes{0};
  std::atomic<bool> last_failed{false};
};

MirrorRecord& Mirror() {
  static MirrorRecord* record = new MirrorRecord;
  return *record;
}

// One mirror pass. A failure is logged once when it begins; the worker
// retries at every minute step until a pass gets through.
void RunMirrorPass() {
  const bool completed = SyncDirectoryPolicies();
  MirrorRecord& record = Mirror();
  const bool failed_before = record.last_failed.exchange(!completed);
  record.passes.fetch_add(1);
  if (!completed && !failed_before) {
    LogWarning(
        ZT("The policy sets could not be mirrored into the directory (no connection, or no "
           "answer in time); retried every minute"));
  } else if (completed && failed_before) {
    LogInfo(ZT("The policy sets are mirrored into the directory again"));
  }
}

// When the member pass is due: the view changed since the last one that got
// through (or that one failed), and enough ticks went by.
struct MemberPassRecord {
  uint64_t synced_generation = 0;  // view generation the last good pass worked from
  uint64_t last_tick = 0;
  bool failed = false;
};

void MaybeRunMemberPass(MemberPassRecord& record, uint64_t ticks) {
  if (!Initialised()) return;
  const uint64_t interval = record.failed ? kTicksPerMinuteStep : kTicksPerMemberPass;
  if (ticks - record.last_tick < interval) return;
  const uint64_t generation = DirectoryViewGeneration();
  if (generation == 0 || (generation == record.synced_generation && !record.failed)) return;
  record.last_tick = ticks;
  record.failed = !SyncPolicyMembership();
  if (!record.failed) record.synced_generation = generation;
}

// `hour_passed`: no mirror pass ran for kTicksPerHourlyMirror ticks.
void MinuteStep(bool hour_passed) {
  // Checks start only once the directory has been read: before, every
  // password is refused (the host answers "starting").
  if (!Initialised() && UserLookupReady()) ServerInitialisation();
  if (!Initialised()) return;
  if (ReloadPolicies() == 1) {
    ApplyChangedPolicies();
  } else if (hour_passed || Mirror().last_failed.load()) {
    // Catching up: a pass that failed (a directory not up yet), and the
    // hourly pass that picks up what changed in the directory itself
    // (users moved into a set's OU, groups created later).
    RunMirrorPass();
  }
}

// The work of one cycle comes first, then the sleep; a stop request wakes
// the sleep and ends the loop. Work in progress is always finished.
void WorkerLoop(std::chrono::milliseconds tick, uint64_t generation) {
  WorkerState& state = State();
  uint64_t passes_seen = Mirror().passes.load();
  uint64_t last_pass_tick = 0;
  bool early_start_tried = false;
  MemberPassRecord members;
  for (uint64_t ticks = 1;; ++ticks) {
    // The view is built at once (its own thread). The server initialises on
    // the first tick at which the view is ready, so that a host restarted on
    // a running domain controller checks passwords within seconds; when that
    // attempt fails (a share that is not there yet), later attempts and the
    // policy reloads follow the minute steps.
    const bool first_start = !Initialised() && !early_start_tried && UserLookupReady();
    if (first_start) early_start_tried = true;
    if (ticks % kTicksPerMinuteStep == 0 || first_start) {
      MinuteStep(ticks - last_pass_tick >= kTicksPerHourlyMirror);
      const uint64_t passes = Mirror().passes.load();
      if (passes != passes_seen) {
        passes_seen = passes;
        last_pass_tick = ticks;
      }
    }
    MaybeRunMemberPass(members, ticks);
    if (ticks % kTicksPerDailyPass == 0) DisableInactiveAccountsPass(ConfiguredInactiveDays());
    std::unique_lock<std::mutex> guard(state.lock);
    if (state.wake.wait_for(guard, tick, [&] { return state.generation != generation; })) return;
  }
}

}  // namespace

void ApplyChangedPolicies() {
  RunMirrorPass();
  DisableInactiveAccountsPass(ConfiguredInactiveDays());
}

bool LastMirrorPassFailed() { return Mirror().last_failed.load(); }

int64_t ConfiguredInactiveDays() { return CurrentPolicies()->Globals.DisableInactiveAccounts; }

void StartMaintenanceWorker() {
  WorkerState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.thread.joinable()) return;
  StartViewKeeper();
  state.thread = std::thread(WorkerLoop, state.tick, state.generation);
}

void StopMaintenanceWorker() {
  WorkerState& state = State();
  std::thread finishing;
  {
    std::lock_guard<std::mutex> guard(state.lock);
    if (!state.thread.joinable()) return;
    ++state.generation;
    finishing = std::move(state.thread);
  }
  state.wake.notify_all();
  finishing.join();
  StopViewKeeper();
}

bool MaintenanceWorkerRunning() {
  WorkerState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  return state.thread.joinable();
}

void SetMaintenanceTickForTesting(std::chrono::milliseconds tick) {
  WorkerState& state = State();
  std::lock_guard<std::mutex> guard(state.lock);
  state.tick = tick < std::chrono::milliseconds(0) ? std::chrono::milliseconds(0) : tick;
}

}  // namespace zefa
