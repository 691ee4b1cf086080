// The background thread: initialises the server as soon as it can, then
// reloads the policy sets once a minute.
#pragma once

#include <chrono>

namespace zefa {

// Starts the worker unless it runs already.
void StartMaintenanceWorker();

// Tells the worker to stop and waits until its current pass has ended.
void StopMaintenanceWorker();

bool MaintenanceWorkerRunning();

// Length of one tick (one second in service); tests shorten it. Takes
// effect for workers started afterwards.
void SetMaintenanceTickForTesting(std::chrono::milliseconds tick);

}  // namespace zefa
