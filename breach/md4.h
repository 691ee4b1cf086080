// MD4 (RFC 1320), the digest of the NT password hash: MD4 of the password's
// UTF-16LE bytes. Computed here because not every crypto provider still
// offers MD4.
#pragma once

#include <cstddef>

namespace zefa::store {

// Writes the 16-byte digest of `size` bytes at `data` to `digest`. The
// working state is wiped before return.
void Md4(const unsigned char* data, size_t size, unsigned char digest[16]);

}  // namespace zefa::store
