#include "platform/directory_deadline.h"

#include <algorithm>
#include <chrono>
#include <limits>

#include "platform/directory.h"

namespace zefa::platform {

namespace {

constexpr int64_t kNoBudget = std::numeric_limits<int64_t>::max();

// The end of the innermost budget of this thread.
thread_local int64_t budget_end = kNoBudget;
// How long one request of this thread may take.
thread_local int64_t request_allowance = kDirectoryRequestMilliseconds;

}  // namespace

int64_t MonotonicMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t DirectoryOpenDeadline() {
  return std::min(MonotonicMilliseconds() + kDirectoryRequestMilliseconds, budget_end);
}

int64_t DirectoryRequestDeadline() {
  return std::min(MonotonicMilliseconds() + request_allowance, budget_end);
}

int64_t MillisecondsUntil(int64_t deadline) {
  return std::max<int64_t>(0, deadline - MonotonicMilliseconds());
}

DirectoryTimeBudget::DirectoryTimeBudget(int64_t milliseconds) : outer_end_(budget_end) {
  const int64_t now = MonotonicMilliseconds();
  const int64_t end =
      milliseconds >= kNoBudget - now ? kNoBudget : now + std::max<int64_t>(0, milliseconds);
  budget_end = std::min(outer_end_, end);
}

DirectoryTimeBudget::~DirectoryTimeBudget() { budget_end = outer_end_; }

DirectoryRequestAllowance::DirectoryRequestAllowance(int64_t milliseconds)
    : outer_(request_allowance) {
  request_allowance = std::max<int64_t>(0, milliseconds);
}

DirectoryRequestAllowance::~DirectoryRequestAllowance() { request_allowance = outer_; }

}  // namespace zefa::platform
