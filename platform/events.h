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
// On POSIX the records go to the facility auth, where sites keep security
// messages: information (rejections, audits, changes) at level notice,
// warnings at warning, errors at err.
int ReportEvent(const Text& source, const Text& text, uint32_t event_id, uint16_t event_type);

// Passes a Warning line of the filter's log on to the system log, where an
// administrator watching the machine sees it (POSIX: facility auth, level
// warning, tag "Clavora", the text as "[warning] <text>"). Windows keeps
// warnings in the filter's own log: nothing is written there.
void ForwardLogWarning(const Text& text);

}  // namespace zefa::platform
