// The offline breached-password store: one file that holds the corpus's
// hashes as a sorted set of k-bit hash prefixes, Rice-coded in blocks of one
// page each. docs/password-store.md describes the layout byte by byte.
//
//   header page | block 0 | block 1 | ... | block index (first value of each block)
//
// A lookup finds the block by the index (kept in memory while the store is
// open), checks the block's checksum and decodes it up to the prefix: one
// page read on a cold cache. With k = ceil(log2 n) + 30 an absent hash
// matches a stored prefix with probability m / 2^k <= 2^-30; a stored hash
// is always found.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zefa::store {

static_assert(std::endian::native == std::endian::little, "the coder merges whole words");

inline constexpr char kStoreMagic[8] = {'C', 'L', 'V', 'S', 'T', 'O', 'R', 'E'};
inline constexpr uint32_t kStoreFormatVersion = 1;
inline constexpr uint32_t kStoreBlockSize = 4096;
inline constexpr uint32_t kStoreHeaderBytes = 128;  // checked part of the header page
inline constexpr uint32_t kStoreExtraPrefixBits = 30;

// Block layout: checksum of the rest of the block, entry count, first value,
// seven skip points (value and code bit offset of entries count*i/8), then
// the Rice-coded gaps (LSB-first bit order).
inline constexpr size_t kBlockChecksumOffset = 0;
inline constexpr size_t kBlockCountOffset = 8;
inline constexpr size_t kBlockFirstOffset = 12;
inline constexpr size_t kBlockSkips = 7;
inline constexpr size_t kBlockSkipOffset = 20;  // kBlockSkips x {u64 value, u32 bit}
inline constexpr size_t kBlockSkipBytes = 12;
inline constexpr size_t kBlockCodeOffset = kBlockSkipOffset + kBlockSkips * kBlockSkipBytes;
inline constexpr size_t kBlockCodeBits = (kStoreBlockSize - kBlockCodeOffset) * 8;
// A gap whose quotient reaches this many one-bits is written raw (64 bits).
inline constexpr uint32_t kRiceEscapeOnes = 48;

enum class HashKind : uint32_t { kSha1 = 1, kNtlm = 2 };

const char* HashKindName(HashKind kind);    // "SHA-1", "NTLM"
size_t HashKindDigestBytes(HashKind kind);  // 20, 16

struct StoreHeader {
  HashKind kind = HashKind::kSha1;
  uint32_t version = kStoreFormatVersion;
  uint64_t hash_count = 0;    // hashes taken from the sources
  uint64_t prefix_count = 0;  // distinct prefixes stored (m)
  uint32_t prefix_bits = 0;   // k
  uint32_t rice_bits = 0;     // r
  uint32_t block_size = kStoreBlockSize;
  uint32_t min_count = 0;  // sources' occurrence threshold (0: none)
  uint64_t block_count = 0;
  uint64_t data_offset = kStoreBlockSize;
  uint64_t index_offset = 0;
  uint64_t file_size = 0;
  double false_positive_rate = 0;  // m / 2^k
  uint64_t index_checksum = 0;
};

// 64-bit checksum of a byte range (not cryptographic: it finds damage).
uint64_t StoreChecksum(const unsigned char* data, size_t size);

// Prefix width for n hashes: ceil(log2 n) + 30, at most 64.
uint32_t PrefixBitsFor(uint64_t hash_count);

// The Rice parameter that codes gaps of a uniform set of m values below 2^k
// in the fewest bits.
uint32_t RiceBitsFor(uint64_t prefix_count, uint32_t prefix_bits);

// m / 2^k: the chance that an absent hash matches a stored prefix.
double FalsePositiveRate(uint64_t prefix_count, uint32_t prefix_bits);

// The k-bit prefix of a 64-bit key (the first 8 digest bytes, big-endian).
inline uint64_t PrefixOf(uint64_t key, uint32_t prefix_bits) {
  return prefix_bits >= 64 ? key : key >> (64 - prefix_bits);
}

// The first 8 bytes of a digest as a big-endian number.
uint64_t KeyOfDigest(const unsigned char* digest);

// The header page's first kStoreHeaderBytes bytes, checksum included.
void EncodeHeader(const StoreHeader& header, unsigned char* out);

// Reads and checks a header (magic, version, checksum, parameters and their
// consistency). False with a reason in `error` when it is not acceptable.
bool DecodeHeader(const unsigned char* data, size_t size, StoreHeader& header, std::string& error);

}  // namespace zefa::store
