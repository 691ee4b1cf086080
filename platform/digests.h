// The platform layer: digests, Base64 and random numbers. One implementation per platform
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

enum DigestAlgorithm { kDigestMd5, kDigestSha1, kDigestSha256, kDigestSha512 };

// The digest (raw bytes) of the concatenation of `count` parts; empty when
// it could not be computed. The working state that saw the input is cleared.
std::string Digest(DigestAlgorithm algorithm, const std::string_view* parts, size_t count);

// Fills `size` bytes from the system's cryptographically strong random
// source. False when the source failed (the buffer is then undefined).
bool RandomBytes(void* buffer, size_t size);

}  // namespace zefa::platform
