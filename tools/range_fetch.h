// Many GETs of the range interface at once, for `zefastore sync`: libcurl's
// multi interface with reused connections on POSIX, the platform layer's
// background requests (WinHTTP) on Windows.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zefa::store {

struct RangeReply {
  uint32_t prefix = 0;
  bool transferred = false;  // false: the transfer failed (error says why)
  long status = 0;
  std::string body;
  std::string error;
};

struct RangeFetchOptions {
  std::string base_url;  // scheme, host, port ("https://host:port")
  std::string query;     // appended after the prefix ("" or "?mode=ntlm")
  std::string ca_file;   // PEM bundle that replaces the system's; may be empty
  int parallel = 32;
};

// "<base>/range/<PREFIX>" with the prefix as five upper-case hex digits.
std::string RangeUrl(const RangeFetchOptions& options, uint32_t prefix);

// Fetches every prefix, at most `parallel` at a time; `on_reply` gets each
// answer (in any order) on the calling thread. False (with `error`) only
// when the transfers could not be set up at all.
bool FetchRanges(const RangeFetchOptions& options, const std::vector<uint32_t>& prefixes,
                 const std::function<void(RangeReply&)>& on_reply, std::string& error);

}  // namespace zefa::store
