#include "samba/secure_buffer.h"

#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <utility>

namespace zefa::host {

SecureBuffer::SecureBuffer(SecureBuffer&& other) noexcept
    : data(std::exchange(other.data, nullptr)),
      capacity(std::exchange(other.capacity, 0)),
      locked(std::exchange(other.locked, false)) {}

SecureBuffer& SecureBuffer::operator=(SecureBuffer&& other) noexcept {
  if (this != &other) {
    FreeSecureBuffer(*this);
    data = std::exchange(other.data, nullptr);
    capacity = std::exchange(other.capacity, 0);
    locked = std::exchange(other.locked, false);
  }
  return *this;
}

SecureBuffer::~SecureBuffer() { FreeSecureBuffer(*this); }

bool AllocateSecureBuffer(SecureBuffer& buffer, size_t size) {
  FreeSecureBuffer(buffer);
  const long page_size = sysconf(_SC_PAGESIZE);
  const size_t page = page_size > 0 ? static_cast<size_t>(page_size) : 4096;
  const size_t capacity = size == 0 ? page : (size + page - 1) / page * page;
  void* pages = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED) return false;
  madvise(pages, capacity, MADV_DONTDUMP);
  madvise(pages, capacity, MADV_WIPEONFORK);
  buffer.data = static_cast<uint8_t*>(pages);
  buffer.capacity = capacity;
  buffer.locked = mlock(pages, capacity) == 0;
  return true;
}

void WipeSecureBuffer(SecureBuffer& buffer, size_t size) {
  if (buffer.data == nullptr) return;
  explicit_bzero(buffer.data, size < buffer.capacity ? size : buffer.capacity);
}

void FreeSecureBuffer(SecureBuffer& buffer) {
  if (buffer.data == nullptr) return;
  explicit_bzero(buffer.data, buffer.capacity);
  if (buffer.locked) munlock(buffer.data, buffer.capacity);
  munmap(buffer.data, buffer.capacity);
  buffer.data = nullptr;
  buffer.capacity = 0;
  buffer.locked = false;
}

void WipeBytes(void* data, size_t size) {
  if (data != nullptr) explicit_bzero(data, size);
}

}  // namespace zefa::host
