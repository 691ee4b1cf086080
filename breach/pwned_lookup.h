// Breached-password lookup through the public range interface (k-anonymity):
// only the first five hexadecimal characters of the password's SHA-1 digest
// leave the machine; the returned digest suffixes are matched here.
//
// The lookup is bounded: six polls 70 ms apart, then the request is aborted,
// so a slow or unreachable service delays a password change by well under
// half a second. Every failure lets the password pass; the caller logs the
// warning that belongs to the outcome word.
//
// Configuration (environment):
//   CLAVORA_PWNED_URL      scheme, host and optional port of the service
//                          (default https://api.pwnedpasswords.com); only
//                          HTTPS is used
//   CLAVORA_PWNED_CA_FILE  optional CA bundle used to verify the service
#pragma once

#include <string>
#include <string_view>

#include "platform/text.h"

namespace zefa {

// Outcome words of PwnedLookup.
inline constexpr const WChar* kPwnedFound = ZT("FOUND");
inline constexpr const WChar* kPwnedNotFound = ZT("NOT FOUND");
inline constexpr const WChar* kPwnedNoConnection = ZT("!! NO CONNECTION");
inline constexpr const WChar* kPwnedHttpFailed = ZT("!! HTTP FAILED");
inline constexpr const WChar* kPwnedHttpAborted = ZT("!! HTTP ABORTED");
inline constexpr const WChar* kPwnedMaxRetries = ZT("!! MAX RETRIES");
inline constexpr const WChar* kPwnedSslSupportError = ZT("!! SSL SUPPORT ERROR");
inline constexpr const WChar* kPwnedTooManyRequests = ZT("!! TOO MANY REQUESTS");
inline constexpr const WChar* kPwnedServiceUnavailable = ZT("!! SERVICE UNAVAILABLE");

inline constexpr std::string_view kPwnedDefaultUrl = "https://api.pwnedpasswords.com";

// Looks the password up. Returns one of the outcome words above; "FOUND" is
// the only one that should block the password. Without network support
// (ServerPaths::NetworkReady zero) no request is made. Thread-safe.
Text PwnedLookup(const Text& password);

// SHA-1 of the password's UTF-8 encoding as 40 upper-case hexadecimal digits;
// empty if the digest could not be computed. The caller wipes the result.
std::string PwnedPasswordDigest(const Text& password);

// Base URL (empty = default; trailing "/" ignored) + "/range/" + prefix.
std::string PwnedRangeUrl(std::string_view base_url, std::string_view prefix);

// True when a line of the range response (lines separated by CR LF) begins
// with exactly the 35-character suffix. Case-sensitive.
bool PwnedRangeMatches(std::string_view body, std::string_view suffix);

// The outcome of a transfer that completed with an HTTP status: 200 consults
// the body, 429 and 503 report the service's state, anything else is
// "NOT FOUND".
Text PwnedStatusOutcome(long status, std::string_view body, std::string_view suffix);

}  // namespace zefa
