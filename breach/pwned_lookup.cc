#include "breach/pwned_lookup.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <chrono>
#include <mutex>

#include "platform/platform.h"
#include "server/paths.h"

namespace zefa {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPolls = 6;
constexpr auto kPollInterval = std::chrono::milliseconds(70);
constexpr size_t kDigestLength = 40;
constexpr size_t kPrefixLength = 5;
constexpr size_t kSuffixLength = kDigestLength - kPrefixLength;
// A real range answer is a few tens of kilobytes (at most about 2,000 lines of
// 40 bytes); anything far beyond that is not the service and is refused
// rather than buffered.
constexpr size_t kMaxBodyBytes = 256 * 1024;

struct RangeBody {
  std::string bytes;
  bool refused = false;
};

size_t ReceiveBody(char* data, size_t size, size_t count, void* user) {
  RangeBody& body = *static_cast<RangeBody*>(user);
  const size_t n = size * count;
  if (body.bytes.size() + n > kMaxBodyBytes) {
    body.refused = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  body.bytes.append(data, n);
  return n;
}

// curl_global_init is not thread-safe; lookups run on several threads at once.
// The library stays initialised for the life of the process.
bool HttpLibraryReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
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

std::string EnvironmentUtf8(const WChar* name) {
  return TextToUtf8(platform::EnvironmentVariable(name));
}

bool ConfigureRequest(CURL* easy, const std::string& url, const std::string& ca_file,
                      RangeBody& body) {
  bool ok = curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_USERAGENT, "ZEFA-PWNED") == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, ReceiveBody) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body) == CURLE_OK;
  if (ok && !ca_file.empty())
    ok = curl_easy_setopt(easy, CURLOPT_CAINFO, ca_file.c_str()) == CURLE_OK;
  return ok;
}

enum class TransferState { Running, Done, Failed };

// One poll: lets the transfer progress and reports whether it has ended.
TransferState PollTransfer(CURLM* multi, CURLcode& result) {
  int running = 0;
  if (curl_multi_perform(multi, &running) != CURLM_OK) return TransferState::Failed;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
    if (message->msg == CURLMSG_DONE) {
      result = message->data.result;
      return TransferState::Done;
    }
  }
  return TransferState::Running;
}

// Keeps the transfer moving until the next poll is due; an end seen on the
// way is reported at once instead of at the next poll.
TransferState DriveUntil(CURLM* multi, Clock::time_point due, CURLcode& result) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
    if (left.count() <= 0) return PollTransfer(multi, result);
    if (curl_multi_poll(multi, nullptr, 0, static_cast<int>(left.count()), nullptr) != CURLM_OK) {
      return TransferState::Failed;
    }
    const TransferState state = PollTransfer(multi, result);
    if (state != TransferState::Running) return state;
  }
}

Text EndedOutcome(CURL* easy, CURLcode result, const RangeBody& body, std::string_view suffix) {
  if (result == CURLE_OK) {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    return PwnedStatusOutcome(status, body.bytes, suffix);
  }
  if (IsTlsFailure(result)) return kPwnedSslSupportError;
  if (result == CURLE_ABORTED_BY_CALLBACK || body.refused) return kPwnedHttpAborted;
  return kPwnedHttpFailed;
}

// Six polls 70 ms apart; a transfer still running at the sixth is abandoned
// (the caller removes and frees it).
Text AwaitOutcome(CURLM* multi, CURL* easy, const RangeBody& body, std::string_view suffix) {
  const Clock::time_point start = Clock::now();
  CURLcode result = CURLE_OK;
  TransferState state = PollTransfer(multi, result);
  for (int poll = 1; state == TransferState::Running; ++poll) {
    if (poll >= kPolls) return kPwnedMaxRetries;
    state = DriveUntil(multi, start + poll * kPollInterval, result);
  }
  if (state == TransferState::Failed) return kPwnedHttpFailed;
  return EndedOutcome(easy, result, body, suffix);
}

Text RequestRange(std::string_view prefix, std::string_view suffix) {
  if (!HttpLibraryReady()) return kPwnedNoConnection;
  const std::string url = PwnedRangeUrl(EnvironmentUtf8(ZT("CLAVORA_PWNED_URL")), prefix);
  const std::string ca_file = EnvironmentUtf8(ZT("CLAVORA_PWNED_CA_FILE"));

  RangeBody body;
  CURL* easy = curl_easy_init();
  CURLM* multi = curl_multi_init();
  Text outcome = kPwnedNoConnection;
  if (easy != nullptr && multi != nullptr && ConfigureRequest(easy, url, ca_file, body) &&
      curl_multi_add_handle(multi, easy) == CURLM_OK) {
    outcome = AwaitOutcome(multi, easy, body, suffix);
    curl_multi_remove_handle(multi, easy);  // also aborts a transfer still running
  }
  curl_easy_cleanup(easy);
  if (multi != nullptr) curl_multi_cleanup(multi);
  return outcome;
}

}  // namespace

std::string PwnedPasswordDigest(const Text& password) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha1(), nullptr) == 1;
  // Encoded one character at a time so that no growing UTF-8 copy of the
  // whole password is ever left behind in freed memory.
  for (size_t i = 0; ok && i < password.size();) {
    const bool pair = password[i] >= 0xD800 && password[i] <= 0xDBFF && i + 1 < password.size() &&
                      password[i + 1] >= 0xDC00 && password[i + 1] <= 0xDFFF;
    const size_t units = pair ? 2 : 1;
    std::string bytes = TextToUtf8(TextView(password).substr(i, units));
    ok = EVP_DigestUpdate(context, bytes.data(), bytes.size()) == 1;
    platform::SecureWipe(bytes.data(), bytes.size());
    i += units;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  ok = ok && EVP_DigestFinal_ex(context, digest, &length) == 1 && length * 2 == kDigestLength;
  EVP_MD_CTX_free(context);  // clears the context's state

  std::string hex;
  if (ok) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    hex.assign(kDigestLength, '0');
    for (unsigned int i = 0; i < length; ++i) {
      hex[2 * i] = kHexDigits[digest[i] >> 4];
      hex[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
    }
  }
  platform::SecureWipe(digest, sizeof digest);
  return hex;
}

std::string PwnedRangeUrl(std::string_view base_url, std::string_view prefix) {
  std::string url(base_url.empty() ? kPwnedDefaultUrl : base_url);
  while (!url.empty() && url.back() == '/') url.pop_back();
  url += "/range/";
  url += prefix;
  return url;
}

bool PwnedRangeMatches(std::string_view body, std::string_view suffix) {
  if (suffix.size() != kSuffixLength) return false;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find("\r\n", start);
    if (end == std::string_view::npos) end = body.size();
    // Each line is "<35 hex digits>:<count>"; the count does not matter.
    if (body.substr(start, end - start).substr(0, kSuffixLength) == suffix) return true;
    start = end + 2;
  }
  return false;
}

Text PwnedStatusOutcome(long status, std::string_view body, std::string_view suffix) {
  switch (status) {
    case 200:
      return PwnedRangeMatches(body, suffix) ? kPwnedFound : kPwnedNotFound;
    case 429:
      return kPwnedTooManyRequests;
    case 503:
      return kPwnedServiceUnavailable;
    default:
      return kPwnedNotFound;
  }
}

Text PwnedLookup(const Text& password) {
  if (CurrentServerPaths().NetworkReady == 0) return kPwnedNoConnection;
  std::string digest = PwnedPasswordDigest(password);
  if (digest.size() != kDigestLength) return kPwnedNoConnection;
  // Only the prefix is sent; the suffix never leaves this function.
  const std::string prefix = digest.substr(0, kPrefixLength);
  std::string suffix = digest.substr(kPrefixLength);
  platform::SecureWipe(digest.data(), digest.size());
  Text outcome = RequestRange(prefix, suffix);
  platform::SecureWipe(suffix.data(), suffix.size());
  return outcome;
}

}  // namespace zefa
