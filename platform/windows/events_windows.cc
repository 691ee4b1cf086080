// Events go to the Application event log under the given source.

#include "platform/windows/win_util.h"

#include "platform/events.h"

namespace zefa::platform {

int ReportEvent(const Text& source, const Text& text, uint32_t event_id, uint16_t event_type) {
  if (source.empty() || HasNul(source)) return 0;
  HANDLE log = RegisterEventSourceW(nullptr, source.c_str());
  if (log == nullptr) return 0;
  // The insertion string ends at its first NUL, as every text the log keeps.
  const Text insertion = text.substr(0, text.find(L'\0'));
  LPCWSTR strings[1] = {insertion.c_str()};
  const BOOL written = ReportEventW(log, event_type, 0, event_id, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(log);
  return written != FALSE ? 1 : 0;
}

void ForwardLogWarning(const Text& /*text*/) {}

}  // namespace zefa::platform
