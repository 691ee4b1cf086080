// Process-wide state of the filter library: whether the server has been
// initialised, and the start and stop of the library.
#pragma once

namespace zefa {

bool Initialised();
void SetInitialised(bool value);

// Library load: log defaults (path, level, test mode).
void OnProcessAttach();

// Library unload: stops the maintenance worker (waiting for its current
// pass), closes the log and clears Initialised.
void OnProcessDetach();

// The notification package's start: in test mode initialises the server on
// the calling thread, otherwise starts the maintenance worker once.
void StartFilter();

}  // namespace zefa
