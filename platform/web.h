// The platform layer: HTTPS requests. One implementation per platform
// (platform/posix, platform/windows) is chosen at build time. Unless a
// function says otherwise it is safe to call from any thread, never throws,
// and reports failure only through its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace zefa::platform {

// One HTTPS GET that runs in the background and is polled (OpenSSL-backed
// libcurl on POSIX, WinHTTP on Windows). Only https URLs are fetched.

struct HttpsRequest;  // opaque

enum class HttpsState {
  kRunning,     // not finished yet
  kCompleted,   // a response arrived: HttpsStatus and HttpsBody hold it
  kFailed,      // the transfer failed (connection, protocol, non-https URL)
  kAborted,     // the transfer was cut off (body larger than allowed)
  kTlsFailure,  // the TLS connection could not be set up or verified
};

// Starts the request with the given User-Agent. `ca_file` (PEM, may be
// empty) replaces the system's trusted certificates. A body longer than
// `max_body_bytes` aborts the transfer. nullptr when the request cannot be
// created.
HttpsRequest* HttpsGetStart(const std::string& url, const std::string& user_agent,
                            const std::string& ca_file, size_t max_body_bytes);

// Lets the request progress for at most `wait_ms` milliseconds (0: only
// look) and returns its state; returns as soon as it has finished.
HttpsState HttpsPoll(HttpsRequest* request, int wait_ms);

// The HTTP status and the body of a completed request.
long HttpsStatus(const HttpsRequest* request);
const std::string& HttpsBody(const HttpsRequest* request);

// Aborts the request if it is still running and frees it.
void HttpsClose(HttpsRequest* request);

}  // namespace zefa::platform
