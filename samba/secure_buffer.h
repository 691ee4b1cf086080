// Memory for passwords: locked into memory (never swapped, when the process
// may lock memory), left out of core dumps and not inherited by a forked
// child. Freeing wipes it. A small buffer is a slot of a region of such
// pages that is mapped and locked once for the process, so holding a
// password costs no system call; a larger one has whole pages of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zefa::host {

inline constexpr size_t kSecureSlotBytes = 512;  // 256 UTF-16 code units
inline constexpr size_t kSecureSlots = 1024;

struct SecureBuffer {
  uint8_t* data = nullptr;
  size_t capacity = 0;  // usable bytes (whole pages)
  bool locked = false;  // mlock succeeded
  int lock_error = 0;   // errno of a failed mlock
  int slot = -1;        // the slot of the shared region, or -1: pages of its own

  SecureBuffer() = default;
  SecureBuffer(const SecureBuffer&) = delete;
  SecureBuffer& operator=(const SecureBuffer&) = delete;
  SecureBuffer(SecureBuffer&& other) noexcept;
  SecureBuffer& operator=(SecureBuffer&& other) noexcept;
  ~SecureBuffer();
};

// At least `size` bytes, zero-filled: a free slot of the shared region when
// `size` fits one (kSecureSlotBytes) and one is free, else pages of its own.
// False when no memory could be mapped (a failed lock is not a failure:
// `locked` tells).
bool AllocateSecureBuffer(SecureBuffer& buffer, size_t size);

// Overwrites the first `size` bytes (capped at the capacity) with zeros.
void WipeSecureBuffer(SecureBuffer& buffer, size_t size);

// Wipes the whole buffer and returns its pages.
void FreeSecureBuffer(SecureBuffer& buffer);

// Zeros that the compiler cannot drop, for memory that is not a SecureBuffer.
void WipeBytes(void* data, size_t size);

}  // namespace zefa::host
