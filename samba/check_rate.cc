#include "samba/check_rate.h"

#include <algorithm>

namespace zefa::host {

bool TakeCheck(CheckRate& rate, uid_t uid, int64_t now_ms) {
  std::lock_guard<std::mutex> guard(rate.lock);
  const double burst = rate.per_second;
  auto [at, added] = rate.buckets.try_emplace(uid, CheckRate::Bucket{burst, now_ms});
  CheckRate::Bucket& bucket = at->second;
  if (!added && now_ms > bucket.refilled_ms) {
    bucket.tokens =
        std::min(burst, bucket.tokens + (now_ms - bucket.refilled_ms) * rate.per_second / 1000.0);
    bucket.refilled_ms = now_ms;
  }
  if (bucket.tokens < 1) return false;
  bucket.tokens -= 1;
  return true;
}

}  // namespace zefa::host
