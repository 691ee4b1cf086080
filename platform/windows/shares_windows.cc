// The shares of this server, from the server service.

#include "platform/windows/win_util.h"

#include <lm.h>

#include "platform/platform.h"

namespace zefa::platform {

std::vector<ShareInfo> EnumerateShares() {
  std::vector<ShareInfo> shares;
  DWORD resume = 0;
  NET_API_STATUS status = ERROR_MORE_DATA;
  while (status == ERROR_MORE_DATA) {
    SHARE_INFO_2* batch = nullptr;
    DWORD read = 0, total = 0;
    status = NetShareEnum(nullptr, 2, reinterpret_cast<LPBYTE*>(&batch), MAX_PREFERRED_LENGTH,
                          &read, &total, &resume);
    if (status != NERR_Success && status != ERROR_MORE_DATA) {
      if (batch != nullptr) NetApiBufferFree(batch);
      return {};
    }
    for (DWORD i = 0; batch != nullptr && i < read; ++i) {
      ShareInfo share;
      if (batch[i].shi2_netname != nullptr) share.name = batch[i].shi2_netname;
      share.type = batch[i].shi2_type;
      if (batch[i].shi2_path != nullptr) share.path = batch[i].shi2_path;
      shares.push_back(std::move(share));
    }
    if (batch != nullptr) NetApiBufferFree(batch);
  }
  return shares;
}

}  // namespace zefa::platform
