// Local time as "date values": the local wall-clock time read as if it were
// UTC, so that the date and time fields can be taken apart with UTC rules.

#include <errno.h>
#include <time.h>

#include "platform/time.h"

namespace zefa::platform {

int64_t UtcToLocal(int64_t utc_seconds) {
  const time_t utc = static_cast<time_t>(utc_seconds);
  struct tm local_fields {};
  if (localtime_r(&utc, &local_fields) == nullptr) return utc_seconds;
  return static_cast<int64_t>(timegm(&local_fields));
}

int64_t LocalToUtc(int64_t local_seconds) {
  const time_t local = static_cast<time_t>(local_seconds);
  struct tm fields {};
  if (gmtime_r(&local, &fields) == nullptr) return local_seconds;
  fields.tm_isdst = -1;  // let the time zone rules decide
  errno = 0;
  const time_t utc = mktime(&fields);
  if (utc == static_cast<time_t>(-1) && errno != 0) return local_seconds;
  return static_cast<int64_t>(utc);
}

int64_t LocalNow() { return UtcToLocal(static_cast<int64_t>(time(nullptr))); }

}  // namespace zefa::platform
