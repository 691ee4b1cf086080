// The library's entry point: process attach and detach reach the filter's
// start and stop.

#include "platform/windows/win_util.h"

#include "filter/filter_state.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // The library has no use for per-thread notifications.
      DisableThreadLibraryCalls(instance);
      zefa::OnProcessAttach();
      break;
    case DLL_PROCESS_DETACH:
      zefa::OnProcessDetach();
      break;
    default:
      break;
  }
  return TRUE;
}
