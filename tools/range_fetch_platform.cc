// The Windows side: the platform layer's background HTTPS requests, a window
// of `parallel` of them polled in turn.
#include <chrono>
#include <cstdio>
#include <thread>

#include "breach/pwned_user_agent.h"
#include "platform/web.h"
#include "tools/range_fetch.h"

namespace zefa::store {

namespace {

constexpr size_t kMaxBodyBytes = 8 << 20;

struct Pending {
  uint32_t prefix = 0;
  platform::HttpsRequest* request = nullptr;
};

}  // namespace

std::string RangeUrl(const RangeFetchOptions& options, uint32_t prefix) {
  std::string base = options.base_url;
  while (!base.empty() && base.back() == '/') base.pop_back();
  char digits[8];
  std::snprintf(digits, sizeof digits, "%05X", prefix & 0xFFFFF);
  return base + "/range/" + digits + options.query;
}

bool FetchRanges(const RangeFetchOptions& options, const std::vector<uint32_t>& prefixes,
                 const std::function<void(RangeReply&)>& on_reply, std::string&) {
  const size_t parallel = options.parallel < 1 ? 1 : static_cast<size_t>(options.parallel);
  std::vector<Pending> pending;
  size_t next = 0;
  while (next < prefixes.size() || !pending.empty()) {
    while (pending.size() < parallel && next < prefixes.size()) {
      const uint32_t prefix = prefixes[next++];
      platform::HttpsRequest* request = platform::HttpsGetStart(
          RangeUrl(options, prefix), kPwnedUserAgent, options.ca_file, kMaxBodyBytes);
      if (request == nullptr) {
        RangeReply reply;
        reply.prefix = prefix;
        reply.error = "the request could not be created";
        on_reply(reply);
        continue;
      }
      pending.push_back({prefix, request});
    }
    bool progressed = false;
    for (size_t i = 0; i < pending.size();) {
      const platform::HttpsState state = platform::HttpsPoll(pending[i].request, 0);
      if (state == platform::HttpsState::kRunning) {
        ++i;
        continue;
      }
      RangeReply reply;
      reply.prefix = pending[i].prefix;
      if (state == platform::HttpsState::kCompleted) {
        reply.transferred = true;
        reply.status = platform::HttpsStatus(pending[i].request);
        reply.body = platform::HttpsBody(pending[i].request);
      } else {
        reply.error = state == platform::HttpsState::kTlsFailure ? "TLS failure"
                      : state == platform::HttpsState::kAborted  ? "transfer aborted"
                                                                 : "transfer failed";
      }
      platform::HttpsClose(pending[i].request);
      pending[i] = pending.back();
      pending.pop_back();
      on_reply(reply);
      progressed = true;
    }
    if (!progressed && !pending.empty()) {
      platform::HttpsPoll(pending.front().request, 5);
    }
  }
  return true;
}

}  // namespace zefa::store
