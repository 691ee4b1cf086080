// A digest context for many digests of one algorithm in a row (an iterated
// hash): set up once, reused by every DigestWith without allocating.
// Implemented beside Digest (platform.h) in crypto_posix.cc / crypto_windows.cc.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/digests.h"

namespace zefa::platform {

struct DigestContext;  // opaque
inline constexpr size_t kMaxDigestBytes = 64;

// nullptr when the algorithm is not available or no memory is left.
DigestContext* OpenDigestContext(DigestAlgorithm algorithm);

// Writes the digest (raw bytes) of the concatenation of `count` parts to
// `out`, which has room for kMaxDigestBytes; returns its length, 0 when it
// could not be computed. One thread at a time per context.
size_t DigestWith(DigestContext* context, const std::string_view* parts, size_t count,
                  unsigned char* out);

// Clears the working state that saw the input and frees the context
// (nullptr is ignored).
void CloseDigestContext(DigestContext* context);

}  // namespace zefa::platform
