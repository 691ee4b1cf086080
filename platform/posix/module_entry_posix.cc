// Library load and unload on POSIX: the loader runs these as the Windows
// loader runs DllMain's process attach and detach.
#include "platform/module_entry.h"

namespace {

__attribute__((constructor)) void ProcessAttach() { zefa::OnProcessAttach(); }

__attribute__((destructor)) void ProcessDetach() { zefa::OnProcessDetach(); }

}  // namespace
