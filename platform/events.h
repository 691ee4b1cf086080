// The platform layer: the system event log. One implementation per platform
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

enum EventType : uint16_t {
  kEventError = 1,
  kEventWarning = 2,
  kEventInformation = 4,
};

// Writes one event with a single insertion string under `source` in the
// Application log (syslog on POSIX, with the event ID and type in the
// record). Nonzero on success, 0 on failure.
int ReportEvent(const Text& source, const Text& text, uint32_t event_id, uint16_t event_type);

}  // namespace zefa::platform
