#include "testing/freed_memory_watch.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(_WIN32)
#include <malloc.h>
#define CLAVORA_BLOCK_SIZE(p) _msize(p)
#else
#include <malloc.h>
#define CLAVORA_BLOCK_SIZE(p) malloc_usable_size(p)
#endif

namespace zefa::testing {

namespace {

constexpr size_t kMaxPatterns = 16;
constexpr size_t kMaxPatternBytes = 512;

// Plain static storage: the hooks below must not allocate.
struct Pattern {
  unsigned char bytes[kMaxPatternBytes];
  size_t size;
};
Pattern g_patterns[kMaxPatterns];
size_t g_pattern_count = 0;
std::atomic<bool> g_watching{false};
std::atomic<size_t> g_found{0};

bool HoldsPattern(const unsigned char* block, size_t size, const Pattern& pattern) {
  if (pattern.size > size) return false;
  const size_t last = size - pattern.size;
  for (size_t at = 0; at <= last; ++at) {
    const void* hit = std::memchr(block + at, pattern.bytes[0], last - at + 1);
    if (hit == nullptr) return false;
    at = static_cast<size_t>(static_cast<const unsigned char*>(hit) - block);
    if (std::memcmp(block + at, pattern.bytes, pattern.size) == 0) return true;
  }
  return false;
}

void Inspect(void* p, size_t size) {
  if (p == nullptr || !g_watching.load(std::memory_order_acquire)) return;
  const auto* block = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < g_pattern_count; ++i) {
    if (HoldsPattern(block, size, g_patterns[i])) {
      g_found.fetch_add(1);
      return;
    }
  }
}

// Blocks start out zeroed, so whatever a freed block holds was written while
// it was in use, never left over from an earlier owner of the memory.
void* AllocateZeroed(size_t size) noexcept {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p != nullptr) std::memset(p, 0, CLAVORA_BLOCK_SIZE(p));
  return p;
}

void* Allocate(size_t size) {
  void* p = AllocateZeroed(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void Release(void* p) {
  if (p == nullptr) return;
  Inspect(p, CLAVORA_BLOCK_SIZE(p));
  std::free(p);
}

}  // namespace

void WatchFreedMemory(const std::vector<std::string>& patterns) {
  g_watching.store(false);
  g_pattern_count = 0;
  for (const std::string& pattern : patterns) {
    if (g_pattern_count == kMaxPatterns) break;
    if (pattern.size() < 4 || pattern.size() > kMaxPatternBytes) continue;
    std::memcpy(g_patterns[g_pattern_count].bytes, pattern.data(), pattern.size());
    g_patterns[g_pattern_count].size = pattern.size();
    ++g_pattern_count;
  }
  g_found.store(0);
  g_watching.store(true, std::memory_order_release);
}

size_t StopWatchingFreedMemory() {
  g_watching.store(false);
  std::memset(g_patterns, 0, sizeof g_patterns);
  g_pattern_count = 0;
  return g_found.exchange(0);
}

std::vector<std::string> InMemoryForms(const Text& text) {
  return {std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(WChar)),
          TextToUtf8(text)};
}

}  // namespace zefa::testing

// The replaceable global allocation functions (the aligned forms keep the
// library's own, which pair with each other).
void* operator new(size_t size) { return zefa::testing::Allocate(size); }
void* operator new[](size_t size) { return zefa::testing::Allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  return zefa::testing::AllocateZeroed(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  return zefa::testing::AllocateZeroed(size);
}
void operator delete(void* p) noexcept { zefa::testing::Release(p); }
void operator delete[](void* p) noexcept { zefa::testing::Release(p); }
void operator delete(void* p, size_t) noexcept { zefa::testing::Release(p); }
void operator delete[](void* p, size_t) noexcept { zefa::testing::Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { zefa::testing::Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { zefa::testing::Release(p); }
