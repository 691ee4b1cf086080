// MD4 (RFC 1320), the digest of the NT password hash: MD4 of the password's
// UTF-16LE bytes. Computed here because not every crypto provider still
// offers MD4.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zefa::store {

// Writes the 16-byte digest of `size` bytes at `data` to `digest`. The
// working state is wiped before return.
void Md4(const unsigned char* data, size_t size, unsigned char digest[16]);

// The digest of a message shorter than 56 bytes that the caller has already
// laid out as MD4's one padded block: the message's bytes as 16 little-endian
// words, the byte 0x80 after it, zeros, and the length in bits in words 14
// and 15. Leaves no copy of the message behind (the caller wipes `words`).
void Md4PaddedBlock(const uint32_t words[16], unsigned char digest[16]);

}  // namespace zefa::store
