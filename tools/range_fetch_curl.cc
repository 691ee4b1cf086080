#include <curl/curl.h>

#include <cstdio>
#include <deque>
#include <memory>

#include "breach/pwned_user_agent.h"
#include "tools/range_fetch.h"

namespace zefa::store {

namespace {

constexpr size_t kMaxBodyBytes = 8 << 20;

struct Transfer {
  CURL* easy = nullptr;
  RangeReply reply;
  char error[CURL_ERROR_SIZE] = {};
  std::string url;
};

size_t Receive(char* data, size_t size, size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (transfer->reply.body.size() + n > kMaxBodyBytes) return 0;
  transfer->reply.body.append(data, n);
  return n;
}

bool Prepare(Transfer& transfer, const RangeFetchOptions& options, uint32_t prefix) {
  transfer.reply = RangeReply{};
  transfer.reply.prefix = prefix;
  transfer.error[0] = '\0';
  transfer.url = RangeUrl(options, prefix);
  CURL* easy = transfer.easy;
  bool ok = curl_easy_setopt(easy, CURLOPT_URL, transfer.url.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_USERAGENT, kPwnedUserAgent) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "") == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, 20L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_TIMEOUT, 120L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.error) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Receive) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer) == CURLE_OK;
  if (ok && !options.ca_file.empty())
    ok = curl_easy_setopt(easy, CURLOPT_CAINFO, options.ca_file.c_str()) == CURLE_OK;
  return ok;
}

}  // namespace

std::string RangeUrl(const RangeFetchOptions& options, uint32_t prefix) {
  std::string base = options.base_url;
  while (!base.empty() && base.back() == '/') base.pop_back();
  char digits[8];
  std::snprintf(digits, sizeof digits, "%05X", prefix & 0xFFFFF);
  return base + "/range/" + digits + options.query;
}

bool FetchRanges(const RangeFetchOptions& options, const std::vector<uint32_t>& prefixes,
                 const std::function<void(RangeReply&)>& on_reply, std::string& error) {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  if (!ready) {
    error = "libcurl could not be initialised";
    return false;
  }
  CURLM* multi = curl_multi_init();
  if (multi == nullptr) {
    error = "libcurl could not create a transfer set";
    return false;
  }
  const int parallel = options.parallel < 1 ? 1 : options.parallel;
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(parallel));
  curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
  std::vector<std::unique_ptr<Transfer>> transfers;
  std::deque<Transfer*> idle;
  for (int i = 0; i < parallel && static_cast<size_t>(i) < prefixes.size(); ++i) {
    auto transfer = std::make_unique<Transfer>();
    transfer->easy = curl_easy_init();
    if (transfer->easy == nullptr) break;
    idle.push_back(transfer.get());
    transfers.push_back(std::move(transfer));
  }
  if (transfers.empty() && !prefixes.empty()) {
    curl_multi_cleanup(multi);
    error = "libcurl could not create a transfer";
    return false;
  }
  size_t next = 0;
  int running = 0;
  bool ok = true;
  auto start_idle = [&] {
    while (!idle.empty() && next < prefixes.size()) {
      Transfer* transfer = idle.front();
      idle.pop_front();
      const uint32_t prefix = prefixes[next++];
      if (!Prepare(*transfer, options, prefix) ||
          curl_multi_add_handle(multi, transfer->easy) != CURLM_OK) {
        transfer->reply.error = "the request could not be set up";
        on_reply(transfer->reply);
        idle.push_back(transfer);
      } else {
        ++running;
      }
    }
  };
  start_idle();
  while (running > 0 && ok) {
    int still = 0;
    if (curl_multi_perform(multi, &still) != CURLM_OK) {
      error = "libcurl failed";
      ok = false;
      break;
    }
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      Transfer* transfer = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE,
                        reinterpret_cast<char**>(&transfer));
      const CURLcode result = message->data.result;
      curl_multi_remove_handle(multi, transfer->easy);
      --running;
      if (result == CURLE_OK) {
        transfer->reply.transferred = true;
        curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &transfer->reply.status);
      } else {
        transfer->reply.error =
            transfer->error[0] != '\0' ? transfer->error : curl_easy_strerror(result);
      }
      on_reply(transfer->reply);
      idle.push_back(transfer);
    }
    start_idle();
    if (running > 0) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
  }
  for (auto& transfer : transfers) {
    curl_multi_remove_handle(multi, transfer->easy);
    curl_easy_cleanup(transfer->easy);
  }
  curl_multi_cleanup(multi);
  return ok;
}

}  // namespace zefa::store
