// How often one user of the host's group may ask a check: a token bucket per
// uid (a burst of `per_second`, refilled at `per_second` a second), so a
// group member cannot probe one account's earlier passwords in bulk through
// the verdicts. Root and the host's own user are not limited.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>

namespace zefa::host {

struct CheckRate {
  int per_second = 10;
  std::mutex lock;  // guards `buckets`
  struct Bucket {
    double tokens = 0;
    int64_t refilled_ms = 0;
  };
  std::map<uid_t, Bucket> buckets;
};

// True when `uid` may ask one more check at `now_ms` (a monotonic clock),
// which then takes one token; false when it has used up its rate.
bool TakeCheck(CheckRate& rate, uid_t uid, int64_t now_ms);

}  // namespace zefa::host
