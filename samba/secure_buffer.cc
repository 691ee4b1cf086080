#include "samba/secure_buffer.h"

#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <utility>
#include <vector>

namespace zefa::host {

SecureBuffer::SecureBuffer(SecureBuffer&& other) noexcept
    : data(std::exchange(other.data, nullptr)),
      capacity(std::exchange(other.capacity, 0)),
      locked(std::exchange(other.locked, false)),
      lock_error(std::exchange(other.lock_error, 0)),
      slot(std::exchange(other.slot, -1)) {}

SecureBuffer& SecureBuffer::operator=(SecureBuffer&& other) noexcept {
  if (this != &other) {
    FreeSecureBuffer(*this);
    data = std::exchange(other.data, nullptr);
    capacity = std::exchange(other.capacity, 0);
    locked = std::exchange(other.locked, false);
    lock_error = std::exchange(other.lock_error, 0);
    slot = std::exchange(other.slot, -1);
  }
  return *this;
}

SecureBuffer::~SecureBuffer() { FreeSecureBuffer(*this); }

namespace {

// The shared region of small slots: mapped, advised and locked on first use,
// kept for the life of the process.
struct SlotRegion {
  std::mutex lock;  // guards free_slots
  uint8_t* data = nullptr;
  bool mapped = false;
  bool locked = false;
  int lock_error = 0;
  std::vector<int> free_slots;
};

SlotRegion& Slots() {
  static SlotRegion* region = [] {
    auto* r = new SlotRegion;  // never freed: buffers may outlive static destruction
    const size_t bytes = kSecureSlots * kSecureSlotBytes;
    void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return r;
    madvise(pages, bytes, MADV_DONTDUMP);
    madvise(pages, bytes, MADV_WIPEONFORK);
    r->data = static_cast<uint8_t*>(pages);
    r->mapped = true;
    r->locked = mlock(pages, bytes) == 0;
    r->lock_error = r->locked ? 0 : errno;
    r->free_slots.reserve(kSecureSlots);
    for (int i = static_cast<int>(kSecureSlots) - 1; i >= 0; --i) r->free_slots.push_back(i);
    return r;
  }();
  return *region;
}

// A free slot into `buffer`; false when there is none.
bool TakeSlot(SecureBuffer& buffer) {
  SlotRegion& region = Slots();
  if (!region.mapped) return false;
  int slot = -1;
  {
    std::lock_guard<std::mutex> guard(region.lock);
    if (region.free_slots.empty()) return false;
    slot = region.free_slots.back();
    region.free_slots.pop_back();
  }
  buffer.data = region.data + static_cast<size_t>(slot) * kSecureSlotBytes;
  buffer.capacity = kSecureSlotBytes;
  buffer.locked = region.locked;
  buffer.lock_error = region.lock_error;
  buffer.slot = slot;
  return true;  // slots are wiped when they are given back
}

void GiveSlotBack(int slot) {
  SlotRegion& region = Slots();
  std::lock_guard<std::mutex> guard(region.lock);
  region.free_slots.push_back(slot);
}

}  // namespace

bool AllocateSecureBuffer(SecureBuffer& buffer, size_t size) {
  FreeSecureBuffer(buffer);
  if (size <= kSecureSlotBytes && TakeSlot(buffer)) return true;
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
  buffer.lock_error = buffer.locked ? 0 : errno;
  return true;
}

void WipeSecureBuffer(SecureBuffer& buffer, size_t size) {
  if (buffer.data == nullptr) return;
  explicit_bzero(buffer.data, size < buffer.capacity ? size : buffer.capacity);
}

void FreeSecureBuffer(SecureBuffer& buffer) {
  if (buffer.data == nullptr) return;
  explicit_bzero(buffer.data, buffer.capacity);
  if (buffer.slot >= 0) {
    GiveSlotBack(buffer.slot);
  } else {
    if (buffer.locked) munlock(buffer.data, buffer.capacity);
    munmap(buffer.data, buffer.capacity);
  }
  buffer.data = nullptr;
  buffer.capacity = 0;
  buffer.locked = false;
  buffer.lock_error = 0;
  buffer.slot = -1;
}

void WipeBytes(void* data, size_t size) {
  if (data != nullptr) explicit_bzero(data, size);
}

}  // namespace zefa::host
