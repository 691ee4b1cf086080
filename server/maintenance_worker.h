// The background thread: initialises the server at its first tick and then
// at each minute step until it can, reloads the policy sets once a minute and applies a change to
// the directory, keeps the mirror groups' members following the directory
// view, and runs the inactive-account pass once a day.
#pragma once

#include <chrono>
#include <cstdint>

namespace zefa {

// Ticks between the minute steps (initialisation, policy reload, a retry
// of a failed mirror pass), the most between two mirror passes, and between
// the daily inactive-account passes.
constexpr uint64_t kTicksPerMinuteStep = 60;
constexpr uint64_t kTicksPerHourlyMirror = 3600;
constexpr uint64_t kTicksPerDailyPass = 86400;
// The least number of ticks between two member passes (SyncPolicyMembership),
// which run once the server is initialised whenever the directory view has
// changed since the last member pass that got through; one that failed is
// tried again a minute step later.
constexpr uint64_t kTicksPerMemberPass = 15;

// Starts the worker unless it runs already.
void StartMaintenanceWorker();

// Tells the worker to stop and waits until its current pass has ended; a
// sleeping worker ends at once.
void StopMaintenanceWorker();

bool MaintenanceWorkerRunning();

// Length of one tick (one second in service); tests shorten it, down to 0.
// Takes effect for workers started afterwards.
void SetMaintenanceTickForTesting(std::chrono::milliseconds tick);

// After the policy sets were reloaded: mirrors them into the directory, then
// disables the accounts inactive for longer than DisableInactiveAccounts.
void ApplyChangedPolicies();

// Whether the last mirror pass failed (the worker then retries it at each
// minute step).
bool LastMirrorPassFailed();

// DisableInactiveAccounts of the loaded global settings (0 until read).
int64_t ConfiguredInactiveDays();

}  // namespace zefa
