// The hash a store is keyed by, from a password: SHA-1 of its UTF-8 bytes
// (as the public corpus publishes it) or the NT hash (MD4 of its UTF-16LE
// bytes).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "breach/store_format.h"
#include "platform/text.h"

namespace zefa::store {

// The full digest (20 or 16 raw bytes); empty when it cannot be computed.
// The caller wipes the result.
std::string PasswordDigest(HashKind kind, TextView password);

// The first 8 bytes of PasswordDigest as a big-endian key; nullopt when the
// digest cannot be computed.
std::optional<uint64_t> PasswordKey(HashKind kind, TextView password);

}  // namespace zefa::store
