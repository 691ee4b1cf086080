// Local time as "date values": the local wall-clock time read as if it were
// UTC. Conversions follow the machine's current time-zone rules.

#include "platform/windows/win_util.h"

#include "platform/time.h"

namespace zefa::platform {

namespace {

bool ToSystemTime(int64_t seconds, SYSTEMTIME& out) {
  FILETIME file_time;
  return SecondsToFileTime(seconds, file_time) && FileTimeToSystemTime(&file_time, &out) != FALSE;
}

bool FromSystemTime(const SYSTEMTIME& in, int64_t& seconds) {
  FILETIME file_time;
  if (SystemTimeToFileTime(&in, &file_time) == FALSE) return false;
  seconds = FileTimeToSeconds(file_time);
  return true;
}

}  // namespace

int64_t UtcToLocal(int64_t utc_seconds) {
  SYSTEMTIME utc, local;
  if (!ToSystemTime(utc_seconds, utc) ||
      SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) == FALSE) {
    return utc_seconds;
  }
  int64_t result = utc_seconds;
  return FromSystemTime(local, result) ? result : utc_seconds;
}

int64_t LocalToUtc(int64_t local_seconds) {
  SYSTEMTIME local, utc;
  if (!ToSystemTime(local_seconds, local) ||
      TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) == FALSE) {
    return local_seconds;
  }
  int64_t result = local_seconds;
  return FromSystemTime(utc, result) ? result : local_seconds;
}

int64_t LocalNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return UtcToLocal(FileTimeToSeconds(now));
}

}  // namespace zefa::platform
