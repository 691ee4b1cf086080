// Facts about this installation: the NetBIOS domain of the machine and where
// the installation puts the filter library.

#include "platform/windows/win_util.h"

#include <lm.h>

#include "platform/system.h"

namespace zefa::platform {

Text NetbiosDomainName() {
  WKSTA_INFO_100* info = nullptr;
  if (NetWkstaGetInfo(nullptr, 100, reinterpret_cast<LPBYTE*>(&info)) != NERR_Success ||
      info == nullptr) {
    return Text();
  }
  Text domain = info->wki100_langroup != nullptr ? Text(info->wki100_langroup) : Text();
  NetApiBufferFree(info);
  if (!domain.empty()) CharUpperBuffW(domain.data(), static_cast<DWORD>(domain.size()));
  return domain;
}

// The security authority loads notification packages from the system folder.
Text InstalledFilterLibrary() {
  wchar_t folder[MAX_PATH + 1] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return L"zefa.dll";
  return Text(folder, length) + L"\\zefa.dll";
}

}  // namespace zefa::platform
