// When a directory request must end, for the platform's directory clients:
// the per-request bound of platform.h, cut short by the calling thread's
// DirectoryTimeBudget.
#ifndef ZEFA_PLATFORM_DIRECTORY_DEADLINE_H_
#define ZEFA_PLATFORM_DIRECTORY_DEADLINE_H_

#include <cstdint>

namespace zefa::platform {

// Milliseconds on a monotonic clock.
int64_t MonotonicMilliseconds();

// The moment (MonotonicMilliseconds) by which a request started now must
// have ended.
int64_t DirectoryRequestDeadline();

// Milliseconds left until `deadline`, never below 0.
int64_t MillisecondsUntil(int64_t deadline);

}  // namespace zefa::platform

#endif  // ZEFA_PLATFORM_DIRECTORY_DEADLINE_H_
