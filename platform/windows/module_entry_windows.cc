// The library's entry point: process attach and detach reach the filter's
// start and stop.

#include "platform/windows/win_util.h"

#include "platform/module_entry.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // The library has no use for per-thread notifications.
      DisableThreadLibraryCalls(instance);
      zefa::OnProcessAttach();
      break;
    case DLL_PROCESS_DETACH:
      // When the whole process is ending, every other thread (the
      // maintenance worker among them) is already gone and the log file is
      // closed after each line: there is nothing to stop, and waiting for a
      // vanished thread's lock could hang the end of the process. Only an
      // unload (FreeLibrary) stops the filter.
      if (reserved == nullptr) zefa::OnProcessDetach();
      break;
    default:
      break;
  }
  return TRUE;
}
