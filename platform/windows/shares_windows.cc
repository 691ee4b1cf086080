// The shares of this server: from the server service (NetShareEnum), or,
// while that service does not answer (it starts after the security
// authority loads the filter at boot), from the share definitions it keeps
// in the registry.

#include "platform/windows/win_util.h"

#include <lm.h>

#include "platform/shares.h"
#include "platform/registry.h"

namespace zefa::platform {

namespace {

constexpr wchar_t kShareDefinitions[] =
    L"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares";

bool FromServerService(std::vector<ShareInfo>& shares) {
  DWORD resume = 0;
  NET_API_STATUS status = ERROR_MORE_DATA;
  while (status == ERROR_MORE_DATA) {
    SHARE_INFO_2* batch = nullptr;
    DWORD read = 0, total = 0;
    status = NetShareEnum(nullptr, 2, reinterpret_cast<LPBYTE*>(&batch), MAX_PREFERRED_LENGTH,
                          &read, &total, &resume);
    if (status != NERR_Success && status != ERROR_MORE_DATA) {
      if (batch != nullptr) NetApiBufferFree(batch);
      shares.clear();
      return false;
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
  return true;
}

// One definition: a multi-string of "Key=Value" lines ("Path=...",
// "Type=0", ...).
ShareInfo FromDefinition(const RegistryValue& value) {
  ShareInfo share;
  share.name = value.name;
  const size_t units = value.data.size() / sizeof(WChar);
  Text all(units, L'\0');
  if (units > 0) memcpy(all.data(), value.data.data(), units * sizeof(WChar));
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find(L'\0', start);
    if (end == Text::npos) end = all.size();
    const Text line = all.substr(start, end - start);
    if (line.compare(0, 5, L"Path=") == 0) share.path = line.substr(5);
    if (line.compare(0, 5, L"Type=") == 0) {
      share.type = static_cast<uint32_t>(wcstoul(line.c_str() + 5, nullptr, 10));
    }
    start = end + 1;
  }
  return share;
}

}  // namespace

std::vector<ShareInfo> EnumerateShares() {
  std::vector<ShareInfo> shares;
  if (FromServerService(shares)) return shares;
  for (const RegistryValue& value : RegistryValues(L"HKEY_LOCAL_MACHINE", kShareDefinitions, 0)) {
    if (value.type == kRegMultiSz && !value.name.empty()) shares.push_back(FromDefinition(value));
  }
  return shares;
}

}  // namespace zefa::platform
