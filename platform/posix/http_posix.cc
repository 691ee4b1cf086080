// The background HTTPS GET on libcurl's multi interface: the request is
// driven forward inside HttpsPoll, so no thread of its own is needed.
//
// Name resolution runs on a thread of libcurl's threaded resolver, which sits
// in getaddrinfo for as long as the name server takes (a silent one: ten
// seconds and more). Closing a request normally joins that thread; with
// CURLOPT_QUICK_EXIT the thread is detached instead and frees its own state
// once getaddrinfo returns, so closing never waits for the resolver. Such a
// thread may outlive the library that started it, so libcurl is kept loaded
// for the life of the process.

#include <curl/curl.h>
#include <dlfcn.h>

#include <chrono>
#include <mutex>

#include "platform/web.h"

namespace zefa::platform {

struct HttpsRequest {
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  bool added = false;
  size_t max_body = 0;
  bool refused = false;  // the body outgrew max_body
  std::string body;
  long status = 0;
  HttpsState state = HttpsState::kRunning;
};

namespace {

using Clock = std::chrono::steady_clock;

size_t ReceiveBody(char* data, size_t size, size_t count, void* user) {
  HttpsRequest& request = *static_cast<HttpsRequest*>(user);
  const size_t n = size * count;
  if (request.body.size() + n > request.max_body) {
    request.refused = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  request.body.append(data, n);
  return n;
}

// curl_global_init is not thread-safe; requests start on several threads at
// once. The library stays initialised for the life of the process.
bool LibraryReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] {
    ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Dl_info where{};
    if (dladdr(reinterpret_cast<void*>(&curl_easy_init), &where) != 0 && where.dli_fname != nullptr)
      dlopen(where.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  });
  return ready;
}

bool IsTlsFailure(CURLcode code) {
  switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
      return true;
    default:
      return false;
  }
}

bool Configure(HttpsRequest& request, const std::string& url, const std::string& user_agent,
               const std::string& ca_file) {
  CURL* easy = request.easy;
  bool ok = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_USERAGENT, user_agent.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, ReceiveBody) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEDATA, &request) == CURLE_OK;
  if (ok && !ca_file.empty())
    ok = curl_easy_setopt(easy, CURLOPT_CAINFO, ca_file.c_str()) == CURLE_OK;
  return ok;
}

HttpsState EndedState(HttpsRequest& request, CURLcode result) {
  if (result == CURLE_OK) {
    curl_easy_getinfo(request.easy, CURLINFO_RESPONSE_CODE, &request.status);
    return HttpsState::kCompleted;
  }
  if (IsTlsFailure(result)) return HttpsState::kTlsFailure;
  if (result == CURLE_ABORTED_BY_CALLBACK || request.refused) return HttpsState::kAborted;
  return HttpsState::kFailed;
}

// One look: lets the transfer progress and records whether it has ended.
void Step(HttpsRequest& request) {
  int running = 0;
  if (curl_multi_perform(request.multi, &running) != CURLM_OK) {
    request.state = HttpsState::kFailed;
    return;
  }
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(request.multi, &queued)) {
    if (message->msg == CURLMSG_DONE) {
      request.state = EndedState(request, message->data.result);
      return;
    }
  }
}

}  // namespace

HttpsRequest* HttpsGetStart(const std::string& url, const std::string& user_agent,
                            const std::string& ca_file, size_t max_body_bytes) {
  if (!LibraryReady()) return nullptr;
  auto* request = new HttpsRequest;
  request->max_body = max_body_bytes;
  request->easy = curl_easy_init();
  request->multi = curl_multi_init();
  if (request->easy == nullptr || request->multi == nullptr ||
      !Configure(*request, url, user_agent, ca_file) ||
      curl_multi_add_handle(request->multi, request->easy) != CURLM_OK) {
    HttpsClose(request);
    return nullptr;
  }
  request->added = true;
  return request;
}

HttpsState HttpsPoll(HttpsRequest* request, int wait_ms) {
  if (request == nullptr) return HttpsState::kFailed;
  if (request->state != HttpsState::kRunning) return request->state;
  Step(*request);
  // Keeps the transfer moving until the time is up; an end seen on the way
  // is reported at once.
  const Clock::time_point due = Clock::now() + std::chrono::milliseconds(wait_ms);
  while (request->state == HttpsState::kRunning) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
    if (left.count() <= 0) break;
    if (curl_multi_poll(request->multi, nullptr, 0, static_cast<int>(left.count()), nullptr) !=
        CURLM_OK) {
      request->state = HttpsState::kFailed;
      break;
    }
    Step(*request);
  }
  return request->state;
}

long HttpsStatus(const HttpsRequest* request) { return request != nullptr ? request->status : 0; }

const std::string& HttpsBody(const HttpsRequest* request) {
  static const std::string empty;
  return request != nullptr ? request->body : empty;
}

void HttpsClose(HttpsRequest* request) {
  if (request == nullptr) return;
  // Removing the handle also aborts a transfer still running.
  if (request->added) curl_multi_remove_handle(request->multi, request->easy);
  if (request->easy != nullptr) curl_easy_cleanup(request->easy);
  if (request->multi != nullptr) curl_multi_cleanup(request->multi);
  delete request;
}

}  // namespace zefa::platform
