// When a directory open or request must end, for the platform's directory
// clients: the bounds of platform.h (a request's as the calling thread's
// DirectoryRequestAllowance sets it), cut short by the thread's
// DirectoryTimeBudget.
#ifndef ZEFA_PLATFORM_DIRECTORY_DEADLINE_H_
#define ZEFA_PLATFORM_DIRECTORY_DEADLINE_H_

#include <cstdint>

namespace zefa::platform {

// Milliseconds on a monotonic clock.
int64_t MonotonicMilliseconds();

// The moments (MonotonicMilliseconds) by which an open, or a request,
// started now must have ended.
int64_t DirectoryOpenDeadline();
int64_t DirectoryRequestDeadline();

// Milliseconds left until `deadline`, never below 0.
int64_t MillisecondsUntil(int64_t deadline);

}  // namespace zefa::platform

#endif  // ZEFA_PLATFORM_DIRECTORY_DEADLINE_H_
