// The platform layer: the local clock and date values. One implementation per platform
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

// Seconds since 1970-01-01 00:00:00 on the local clock ("date value"):
// the local wall-clock time read as if it were UTC. Uses the process's time
// zone (TZ on POSIX).
int64_t LocalNow();

// Converts a UTC instant (seconds since the epoch) to a local date value.
int64_t UtcToLocal(int64_t utc_seconds);

// Converts a local date value back to UTC seconds; ambiguous local times
// resolve as the C library's mktime does.
int64_t LocalToUtc(int64_t local_seconds);

}  // namespace zefa::platform
