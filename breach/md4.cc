#include "breach/md4.h"

#include <cstdint>
#include <cstring>

#include "platform/characters.h"

namespace zefa::store {

namespace {

inline uint32_t Rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (x & z) | (y & z); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }

void TransformWords(uint32_t state[4], const uint32_t x[16]) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  static constexpr int kRound1[4] = {3, 7, 11, 19};
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) {
    const uint32_t t = Rotl(a + F(b, c, d) + x[i], kRound1[i % 4]);
    a = d, d = c, c = b, b = t;
  }
  static constexpr int kRound2[4] = {3, 5, 9, 13};
  static constexpr int kOrder2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) {
    const uint32_t t = Rotl(a + G(b, c, d) + x[kOrder2[i]] + 0x5A827999u, kRound2[i % 4]);
    a = d, d = c, c = b, b = t;
  }
  static constexpr int kRound3[4] = {3, 9, 11, 15};
  static constexpr int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) {
    const uint32_t t = Rotl(a + H(b, c, d) + x[kOrder3[i]] + 0x6ED9EBA1u, kRound3[i % 4]);
    a = d, d = c, c = b, b = t;
  }
  state[0] += a, state[1] += b, state[2] += c, state[3] += d;
}

void Transform(uint32_t state[4], const unsigned char block[64], uint32_t x[16]) {
  for (int i = 0; i < 16; ++i) {
    x[i] = static_cast<uint32_t>(block[4 * i]) | static_cast<uint32_t>(block[4 * i + 1]) << 8 |
           static_cast<uint32_t>(block[4 * i + 2]) << 16 |
           static_cast<uint32_t>(block[4 * i + 3]) << 24;
  }
  TransformWords(state, x);
}

}  // namespace

void Md4PaddedBlock(const uint32_t words[16], unsigned char digest[16]) {
  uint32_t state[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
  TransformWords(state, words);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<unsigned char>(state[i] >> (8 * j));
  }
}

void Md4(const unsigned char* data, size_t size, unsigned char digest[16]) {
  uint32_t state[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
  uint32_t words[16];
  size_t done = 0;
  for (; done + 64 <= size; done += 64) Transform(state, data + done, words);
  unsigned char tail[128] = {};
  const size_t rest = size - done;
  if (rest > 0) std::memcpy(tail, data + done, rest);
  tail[rest] = 0x80;
  const size_t tail_size = rest < 56 ? 64 : 128;
  const uint64_t bits = static_cast<uint64_t>(size) * 8;
  for (int i = 0; i < 8; ++i) tail[tail_size - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
  Transform(state, tail, words);
  if (tail_size == 128) Transform(state, tail + 64, words);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<unsigned char>(state[i] >> (8 * j));
  }
  platform::SecureWipe(tail, sizeof tail);
  platform::SecureWipe(words, sizeof words);
  platform::SecureWipe(state, sizeof state);
}

}  // namespace zefa::store
