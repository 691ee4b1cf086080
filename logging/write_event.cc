#include "logging/log.h"
#include "platform/events.h"

namespace zefa {

int WriteEvent(const Text& source, const Text& text, uint32_t event_id, uint16_t event_type) {
  return platform::ReportEvent(source, text, event_id, event_type);
}

}  // namespace zefa
