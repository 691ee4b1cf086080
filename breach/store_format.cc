#include "breach/store_format.h"

#include <cmath>
#include <cstring>

namespace zefa::store {

namespace {

void Put32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

void Put64(unsigned char* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t Get32(const unsigned char* in) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

uint64_t Get64(const unsigned char* in) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

// Field offsets in the header.
enum : size_t {
  kMagicAt = 0,
  kVersionAt = 8,
  kKindAt = 12,
  kHashCountAt = 16,
  kPrefixCountAt = 24,
  kPrefixBitsAt = 32,
  kRiceBitsAt = 36,
  kBlockSizeAt = 40,
  kMinCountAt = 44,
  kBlockCountAt = 48,
  kDataOffsetAt = 56,
  kIndexOffsetAt = 64,
  kFileSizeAt = 72,
  kRateAt = 80,
  kIndexChecksumAt = 88,
  kHeaderChecksumAt = 120,
};

}  // namespace

const char* HashKindName(HashKind kind) { return kind == HashKind::kNtlm ? "NTLM" : "SHA-1"; }

size_t HashKindDigestBytes(HashKind kind) { return kind == HashKind::kNtlm ? 16 : 20; }

uint64_t StoreChecksum(const unsigned char* data, size_t size) {
  // Four independent lanes over consecutive words, folded at the end: each
  // lane step is a bijection, so any change of one word changes the result.
  uint64_t lane[4] = {0x243F6A8885A308D3ULL ^ size, 0x13198A2E03707344ULL, 0xA4093822299F31D0ULL,
                      0x082EFA98EC4E6C89ULL};
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    for (int j = 0; j < 4; ++j) {
      uint64_t word;
      std::memcpy(&word, data + i + 8 * j, 8);
      lane[j] = (lane[j] ^ word) * 0x9E3779B97F4A7C15ULL;
      lane[j] ^= lane[j] >> 32;
    }
  }
  uint64_t h = lane[0];
  for (int j = 1; j < 4; ++j) {
    h = (h ^ lane[j]) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 32;
  }
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    h = (h ^ word) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 32;
  }
  uint64_t tail = 0;
  for (size_t shift = 0; i < size; ++i, shift += 8) tail |= static_cast<uint64_t>(data[i]) << shift;
  h = (h ^ tail) * 0x9E3779B97F4A7C15ULL;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 32;
  return h;
}

uint32_t PrefixBitsFor(uint64_t hash_count) {
  uint32_t log2_ceiling = 0;
  while (log2_ceiling < 64 && (uint64_t{1} << log2_ceiling) < hash_count) ++log2_ceiling;
  const uint32_t bits = log2_ceiling + kStoreExtraPrefixBits;
  return bits > 64 ? 64 : bits;
}

uint32_t RiceBitsFor(uint64_t prefix_count, uint32_t prefix_bits) {
  if (prefix_count < 2) return 0;
  const double mean_gap = std::ldexp(1.0, static_cast<int>(prefix_bits)) / prefix_count;
  uint32_t best = 0;
  double best_bits = 1e300;
  for (uint32_t r = 0; r < 63; ++r) {
    const double a = std::exp(-std::ldexp(1.0, static_cast<int>(r)) / mean_gap);
    const double bits = r + 1 + a / (1 - a);
    if (bits < best_bits) {
      best_bits = bits;
      best = r;
    }
  }
  return best;
}

double FalsePositiveRate(uint64_t prefix_count, uint32_t prefix_bits) {
  return std::ldexp(static_cast<double>(prefix_count), -static_cast<int>(prefix_bits));
}

uint64_t KeyOfDigest(const unsigned char* digest) {
  uint64_t key = 0;
  for (int i = 0; i < 8; ++i) key = (key << 8) | digest[i];
  return key;
}

void EncodeHeader(const StoreHeader& header, unsigned char* out) {
  std::memset(out, 0, kStoreHeaderBytes);
  std::memcpy(out + kMagicAt, kStoreMagic, sizeof kStoreMagic);
  Put32(out + kVersionAt, header.version);
  Put32(out + kKindAt, static_cast<uint32_t>(header.kind));
  Put64(out + kHashCountAt, header.hash_count);
  Put64(out + kPrefixCountAt, header.prefix_count);
  Put32(out + kPrefixBitsAt, header.prefix_bits);
  Put32(out + kRiceBitsAt, header.rice_bits);
  Put32(out + kBlockSizeAt, header.block_size);
  Put32(out + kMinCountAt, header.min_count);
  Put64(out + kBlockCountAt, header.block_count);
  Put64(out + kDataOffsetAt, header.data_offset);
  Put64(out + kIndexOffsetAt, header.index_offset);
  Put64(out + kFileSizeAt, header.file_size);
  uint64_t rate_bits;
  std::memcpy(&rate_bits, &header.false_positive_rate, 8);
  Put64(out + kRateAt, rate_bits);
  Put64(out + kIndexChecksumAt, header.index_checksum);
  Put64(out + kHeaderChecksumAt, StoreChecksum(out, kHeaderChecksumAt));
}

bool DecodeHeader(const unsigned char* data, size_t size, StoreHeader& header, std::string& error) {
  if (size < kStoreBlockSize) {
    error = "too short for a store header (" + std::to_string(size) + " bytes)";
    return false;
  }
  if (std::memcmp(data + kMagicAt, kStoreMagic, sizeof kStoreMagic) != 0) {
    error = "not a password store (wrong magic)";
    return false;
  }
  header.version = Get32(data + kVersionAt);
  if (header.version != kStoreFormatVersion) {
    error = "format version " + std::to_string(header.version) + " is not supported (this " +
            "program reads version " + std::to_string(kStoreFormatVersion) + ")";
    return false;
  }
  if (Get64(data + kHeaderChecksumAt) != StoreChecksum(data, kHeaderChecksumAt)) {
    error = "header checksum mismatch (the header is damaged)";
    return false;
  }
  const uint32_t kind = Get32(data + kKindAt);
  if (kind != static_cast<uint32_t>(HashKind::kSha1) &&
      kind != static_cast<uint32_t>(HashKind::kNtlm)) {
    error = "unknown hash kind " + std::to_string(kind);
    return false;
  }
  header.kind = static_cast<HashKind>(kind);
  header.hash_count = Get64(data + kHashCountAt);
  header.prefix_count = Get64(data + kPrefixCountAt);
  header.prefix_bits = Get32(data + kPrefixBitsAt);
  header.rice_bits = Get32(data + kRiceBitsAt);
  header.block_size = Get32(data + kBlockSizeAt);
  header.min_count = Get32(data + kMinCountAt);
  header.block_count = Get64(data + kBlockCountAt);
  header.data_offset = Get64(data + kDataOffsetAt);
  header.index_offset = Get64(data + kIndexOffsetAt);
  header.file_size = Get64(data + kFileSizeAt);
  const uint64_t rate_bits = Get64(data + kRateAt);
  std::memcpy(&header.false_positive_rate, &rate_bits, 8);
  header.index_checksum = Get64(data + kIndexChecksumAt);

  const uint64_t max_blocks = (uint64_t{1} << 40);
  const bool consistent =
      header.block_size == kStoreBlockSize && header.prefix_bits >= 1 && header.prefix_bits <= 64 &&
      header.rice_bits < 64 && header.prefix_count <= header.hash_count &&
      header.block_count < max_blocks && header.block_count <= header.prefix_count &&
      (header.prefix_count == 0) == (header.block_count == 0) &&
      header.data_offset == kStoreBlockSize &&
      header.index_offset == header.data_offset + header.block_count * kStoreBlockSize &&
      header.file_size == header.index_offset + header.block_count * 8 &&
      header.false_positive_rate == FalsePositiveRate(header.prefix_count, header.prefix_bits);
  if (!consistent) {
    error = "header parameters are inconsistent";
    return false;
  }
  return true;
}

}  // namespace zefa::store
