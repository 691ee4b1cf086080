// The library's load and unload. The platform's module entry (DllMain on
// Windows, the loader's constructor and destructor on POSIX) calls these;
// the library defines them above the platform layer.
#pragma once

namespace zefa {

// Library load: log defaults (path, level, test mode).
void OnProcessAttach();

// Library unload: stops the maintenance worker (waiting for its current
// pass), closes the log and clears Initialised.
void OnProcessDetach();

}  // namespace zefa
