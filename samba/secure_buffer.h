// Memory for passwords: whole pages of their own, locked into memory (never
// swapped, when the process may lock memory), left out of core dumps and not
// inherited by a forked child. Freeing wipes it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zefa::host {

struct SecureBuffer {
  uint8_t* data = nullptr;
  size_t capacity = 0;  // usable bytes (whole pages)
  bool locked = false;  // mlock succeeded

  SecureBuffer() = default;
  SecureBuffer(const SecureBuffer&) = delete;
  SecureBuffer& operator=(const SecureBuffer&) = delete;
  SecureBuffer(SecureBuffer&& other) noexcept;
  SecureBuffer& operator=(SecureBuffer&& other) noexcept;
  ~SecureBuffer();
};

// At least `size` bytes, zero-filled. False when no memory could be mapped
// (a failed lock is not a failure: `locked` tells).
bool AllocateSecureBuffer(SecureBuffer& buffer, size_t size);

// Overwrites the first `size` bytes (capped at the capacity) with zeros.
void WipeSecureBuffer(SecureBuffer& buffer, size_t size);

// Wipes the whole buffer and returns its pages.
void FreeSecureBuffer(SecureBuffer& buffer);

// Zeros that the compiler cannot drop, for memory that is not a SecureBuffer.
void WipeBytes(void* data, size_t size);

}  // namespace zefa::host
