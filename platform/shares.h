// The platform layer: the machine's file shares. One implementation per platform
// (platform/posix, platform/windows) is chosen at build time. Unless a
// function says otherwise it is safe to call from any thread, never throws,
// and reports failure only through its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace zefa::platform {

struct ShareInfo {
  Text name;
  uint32_t type = 0;  // 0 = ordinary disk share; anything else is skipped
  Text path;
};

// Every share of this server, in the server's order. Empty on failure.
std::vector<ShareInfo> EnumerateShares();

}  // namespace zefa::platform
