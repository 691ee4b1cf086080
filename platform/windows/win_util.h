// Small helpers shared by the Windows implementation of the platform layer.
#pragma once

#include <windows.h>

// The platform layer has functions of the same names as these Win32
// macros; without the macros the names stay our own.
#undef CharLower
#undef CopyFile
#undef DeleteFile
#undef ExpandEnvironmentStrings
#undef IsCharLower
#undef IsCharUpper
#undef ReportEvent

#include <cstdint>
#include <string>

#include "platform/text.h"
#include "platform/characters.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/events.h"

namespace zefa::platform {

// Seconds between 1601-01-01 (FILETIME) and 1970-01-01.
inline constexpr int64_t kFileTimeEpochOffset = 11644473600LL;
inline constexpr int64_t kFileTimeTicksPerSecond = 10000000LL;

inline int64_t FileTimeToSeconds(const FILETIME& file_time) {
  const uint64_t ticks =
      (static_cast<uint64_t>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime;
  return static_cast<int64_t>(ticks / kFileTimeTicksPerSecond) - kFileTimeEpochOffset;
}

// False for instants before 1601 or beyond what a FILETIME holds.
inline bool SecondsToFileTime(int64_t seconds, FILETIME& out) {
  if (seconds < -kFileTimeEpochOffset ||
      seconds > (INT64_MAX / kFileTimeTicksPerSecond) - kFileTimeEpochOffset) {
    return false;
  }
  const uint64_t ticks =
      static_cast<uint64_t>(seconds + kFileTimeEpochOffset) * kFileTimeTicksPerSecond;
  out.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  out.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return true;
}

// A text handed to a Win32 call must not hold a NUL inside.
inline bool HasNul(const Text& text) { return text.find(WChar{0}) != Text::npos; }

// Closes a kernel handle when it goes out of scope.
struct ScopedHandle {
  HANDLE handle = nullptr;
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE h) : handle(h) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  bool valid() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
};

}  // namespace zefa::platform
