#include "breach/pwned_lookup.h"

#include <chrono>

#include "breach/pwned_user_agent.h"
#include "platform/characters.h"
#include "platform/system.h"
#include "platform/digests.h"
#include "platform/web.h"
#include "util/server_paths.h"

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

std::string EnvironmentUtf8(const WChar* name) {
  return TextToUtf8(platform::EnvironmentVariable(name));
}

Text EndedOutcome(platform::HttpsState state, const platform::HttpsRequest* request,
                  std::string_view suffix) {
  switch (state) {
    case platform::HttpsState::kCompleted:
      return PwnedStatusOutcome(platform::HttpsStatus(request), platform::HttpsBody(request),
                                suffix);
    case platform::HttpsState::kTlsFailure:
      return kPwnedSslSupportError;
    case platform::HttpsState::kAborted:
      return kPwnedHttpAborted;
    default:
      return kPwnedHttpFailed;
  }
}

// Six polls 70 ms apart; a transfer still running at the sixth is abandoned
// (the caller closes it, which aborts it).
Text AwaitOutcome(platform::HttpsRequest* request, std::string_view suffix) {
  const Clock::time_point start = Clock::now();
  platform::HttpsState state = platform::HttpsPoll(request, 0);
  for (int poll = 1; state == platform::HttpsState::kRunning; ++poll) {
    if (poll >= kPolls) return kPwnedMaxRetries;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        start + poll * kPollInterval - Clock::now());
    state = platform::HttpsPoll(request, left.count() > 0 ? static_cast<int>(left.count()) : 0);
  }
  return EndedOutcome(state, request, suffix);
}

Text RequestRange(std::string_view prefix, std::string_view suffix) {
  const std::string url = PwnedRangeUrl(EnvironmentUtf8(ZT("CLAVORA_PWNED_URL")), prefix);
  const std::string ca_file = EnvironmentUtf8(ZT("CLAVORA_PWNED_CA_FILE"));
  platform::HttpsRequest* request =
      platform::HttpsGetStart(url, kPwnedUserAgent, ca_file, kMaxBodyBytes);
  if (request == nullptr) return kPwnedNoConnection;
  Text outcome = AwaitOutcome(request, suffix);
  platform::HttpsClose(request);  // also aborts a transfer still running
  return outcome;
}

}  // namespace

std::string PwnedPasswordDigest(const Text& password) {
  // The UTF-8 form goes into one buffer sized up front (a unit takes at most
  // 3 bytes, a surrogate pair 4), so no growing copy of the password is left
  // behind in freed memory; each piece is wiped once appended.
  std::string bytes;
  bytes.reserve(password.size() * 3);
  for (size_t i = 0; i < password.size();) {
    const bool pair = password[i] >= 0xD800 && password[i] <= 0xDBFF && i + 1 < password.size() &&
                      password[i + 1] >= 0xDC00 && password[i + 1] <= 0xDFFF;
    const size_t units = pair ? 2 : 1;
    std::string piece = TextToUtf8(TextView(password).substr(i, units));
    bytes += piece;
    platform::SecureWipe(piece.data(), piece.size());
    i += units;
  }
  const std::string_view parts[] = {bytes};
  std::string digest = platform::Digest(platform::kDigestSha1, parts, 1);
  platform::SecureWipe(bytes.data(), bytes.size());

  std::string hex;
  if (digest.size() * 2 == kDigestLength) {
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    hex.assign(kDigestLength, '0');
    for (size_t i = 0; i < digest.size(); ++i) {
      const auto byte = static_cast<unsigned char>(digest[i]);
      hex[2 * i] = kHexDigits[byte >> 4];
      hex[2 * i + 1] = kHexDigits[byte & 0x0F];
    }
  }
  platform::SecureWipe(digest.data(), digest.size());
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
