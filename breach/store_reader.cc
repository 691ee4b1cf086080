#include "breach/store_reader.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "breach/store_digest.h"
#include "platform/files.h"

namespace zefa::store {

namespace {

uint64_t Get64(const unsigned char* in) {
  uint64_t value;
  std::memcpy(&value, in, 8);
  return value;
}

// Bounded reader of a block's code area: bits past the end read as zeros and
// every step checks the position, so no byte outside the block is touched.
struct CodeReader {
  const unsigned char* code;
  size_t bit = 0;

  uint64_t Peek() const {
    constexpr size_t kBytes = kStoreBlockSize - kBlockCodeOffset;
    const size_t byte = bit / 8;
    const unsigned shift = bit % 8;
    uint64_t low;
    unsigned char high;
    if (byte + 9 <= kBytes) {
      std::memcpy(&low, code + byte, 8);
      high = code[byte + 8];
    } else {
      unsigned char window[9] = {};
      if (byte < kBytes) std::memcpy(window, code + byte, kBytes - byte);
      std::memcpy(&low, window, 8);
      high = window[8];
    }
    if (shift == 0) return low;
    return (low >> shift) | (static_cast<uint64_t>(high) << (64 - shift));
  }

  // The next gap minus one; false when the code runs past the block.
  bool Next(uint32_t rice_bits, uint64_t& value) {
    const uint64_t bits = Peek();
    const unsigned ones = static_cast<unsigned>(std::countr_one(bits));
    if (ones >= kRiceEscapeOnes) {
      bit += kRiceEscapeOnes;
      value = Peek();
      bit += 64;
      return bit <= kBlockCodeBits;
    }
    bit += ones + 1;
    uint64_t remainder = 0;
    if (rice_bits > 0) {
      // The remainder usually lies in the word already read.
      remainder = ones + 1 + rice_bits <= 64 ? bits >> (ones + 1) : Peek();
      if (rice_bits < 64) remainder &= (uint64_t{1} << rice_bits) - 1;
      bit += rice_bits;
    }
    value = (static_cast<uint64_t>(ones) << rice_bits) | remainder;
    return bit <= kBlockCodeBits;
  }
};

// Checks a block's checksum (only the first time for this open store when
// `once`), count and first value.
bool BlockIntact(const PasswordStore& store, uint64_t block, const unsigned char*& data,
                 uint32_t& count, bool once) {
  data = platform::MappedFileData(store.file) + store.header.data_offset + block * kStoreBlockSize;
  std::atomic<uint64_t>& checked = store.checked_blocks[block / 64];
  const uint64_t bit = uint64_t{1} << (block % 64);
  if (!once || !(checked.load(std::memory_order_relaxed) & bit)) {
    if (Get64(data + kBlockChecksumOffset) !=
        StoreChecksum(data + kBlockCountOffset, kStoreBlockSize - kBlockCountOffset)) {
      return false;
    }
    checked.fetch_or(bit, std::memory_order_relaxed);
  }
  std::memcpy(&count, data + kBlockCountOffset, 4);
  return count >= 1 && count <= kBlockCodeBits + 1 &&
         Get64(data + kBlockFirstOffset) == store.index[block];
}

uint64_t LimitAfter(const PasswordStore& store, uint64_t block) {
  if (block + 1 < store.index.size()) return store.index[block + 1];
  return store.header.prefix_bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << store.header.prefix_bits);
}

}  // namespace

PasswordStore::~PasswordStore() { platform::UnmapFile(file); }

StoreHandle OpenStore(const Text& path, std::string& error) {
  auto store = std::make_shared<PasswordStore>();
  store->path = path;
  std::string why;
  store->file = platform::MapFileReadOnly(path, &why);
  if (store->file == nullptr) {
    error = why;
    return nullptr;
  }
  const unsigned char* data = platform::MappedFileData(store->file);
  const uint64_t size = platform::MappedFileSize(store->file);
  if (!DecodeHeader(data, static_cast<size_t>(std::min<uint64_t>(size, SIZE_MAX)), store->header,
                    error)) {
    return nullptr;
  }
  const StoreHeader& header = store->header;
  if (size != header.file_size) {
    error = size < header.file_size
                ? "truncated: " + std::to_string(size) + " of " + std::to_string(header.file_size) +
                      " bytes"
                : "longer than its header says (" + std::to_string(size) + " instead of " +
                      std::to_string(header.file_size) + " bytes)";
    return nullptr;
  }
  const unsigned char* index = data + header.index_offset;
  if (StoreChecksum(index, header.block_count * 8) != header.index_checksum) {
    error = "block index checksum mismatch (the index is damaged)";
    return nullptr;
  }
  store->index.resize(header.block_count);
  store->checked_blocks.reset(new std::atomic<uint64_t>[header.block_count / 64 + 1]());
  const uint64_t limit =
      header.prefix_bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << header.prefix_bits);
  for (uint64_t i = 0; i < header.block_count; ++i) {
    store->index[i] = Get64(index + 8 * i);
    if ((i > 0 && store->index[i] <= store->index[i - 1]) ||
        (header.prefix_bits < 64 && store->index[i] >= limit)) {
      error = "block index out of order";
      return nullptr;
    }
  }
  return store;
}

int64_t StoreBlockOfKey(const PasswordStore& store, uint64_t key) {
  const uint64_t prefix = PrefixOf(key, store.header.prefix_bits);
  auto after = std::upper_bound(store.index.begin(), store.index.end(), prefix);
  if (after == store.index.begin()) return -1;
  return static_cast<int64_t>(after - store.index.begin()) - 1;
}

StoreAnswer StoreLookupKey(const PasswordStore& store, uint64_t key) {
  const int64_t found_block = StoreBlockOfKey(store, key);
  if (found_block < 0) return StoreAnswer::kNotFound;
  const uint64_t block = static_cast<uint64_t>(found_block);
  const uint64_t prefix = PrefixOf(key, store.header.prefix_bits);
  const unsigned char* data = nullptr;
  uint32_t count = 0;
  if (!BlockIntact(store, block, data, count, true)) return StoreAnswer::kDamaged;
  uint64_t value = store.index[block];
  uint32_t entry = 0;
  CodeReader reader{data + kBlockCodeOffset};
  // Start at the last skip point at or below the prefix.
  for (size_t i = kBlockSkips; i >= 1; --i) {
    const unsigned char* skip = data + kBlockSkipOffset + (i - 1) * kBlockSkipBytes;
    const uint64_t skip_value = Get64(skip);
    if (skip_value <= prefix) {
      uint32_t skip_bit;
      std::memcpy(&skip_bit, skip + 8, 4);
      const uint32_t skip_entry = static_cast<uint32_t>(uint64_t{count} * i / (kBlockSkips + 1));
      if (skip_bit > kBlockCodeBits || skip_value < value) return StoreAnswer::kDamaged;
      if (skip_entry > entry) {
        entry = skip_entry;
        value = skip_value;
        reader.bit = skip_bit;
      }
      break;
    }
  }
  if (value == prefix) return StoreAnswer::kFound;
  const uint64_t limit = LimitAfter(store, block);
  if (value >= limit) return StoreAnswer::kDamaged;
  for (uint32_t i = entry + 1; i < count; ++i) {
    uint64_t gap_minus_one = 0;
    if (!reader.Next(store.header.rice_bits, gap_minus_one)) return StoreAnswer::kDamaged;
    if (gap_minus_one >= limit - value - 1) return StoreAnswer::kDamaged;
    value += gap_minus_one + 1;
    if (value >= prefix) return value == prefix ? StoreAnswer::kFound : StoreAnswer::kNotFound;
  }
  return StoreAnswer::kNotFound;
}

StoreAnswer StoreLookupPassword(const PasswordStore& store, TextView password) {
  const std::optional<uint64_t> key = PasswordKey(store.header.kind, password);
  if (!key) return StoreAnswer::kDamaged;
  return StoreLookupKey(store, *key);
}

bool VerifyStoreBlocks(const PasswordStore& store, std::string& error,
                       const std::function<void(uint64_t, uint64_t)>& progress) {
  uint64_t prefixes = 0;
  const uint64_t blocks = store.index.size();
  for (uint64_t block = 0; block < blocks; ++block) {
    const unsigned char* data = nullptr;
    uint32_t count = 0;
    if (!BlockIntact(store, block, data, count, false)) {
      error = "block " + std::to_string(block) + " is damaged (checksum or header)";
      return false;
    }
    const uint64_t limit = LimitAfter(store, block);
    uint64_t value = store.index[block];
    CodeReader reader{data + kBlockCodeOffset};
    size_t next_skip = 1;
    for (uint32_t i = 0; i < count; ++i) {
      if (i > 0) {
        uint64_t gap_minus_one = 0;
        if (!reader.Next(store.header.rice_bits, gap_minus_one) ||
            gap_minus_one >= limit - value - 1) {
          error = "block " + std::to_string(block) + " does not decode";
          return false;
        }
        value += gap_minus_one + 1;
      }
      while (next_skip <= kBlockSkips && uint64_t{count} * next_skip / (kBlockSkips + 1) == i) {
        const unsigned char* skip = data + kBlockSkipOffset + (next_skip - 1) * kBlockSkipBytes;
        uint32_t skip_bit;
        std::memcpy(&skip_bit, skip + 8, 4);
        if (Get64(skip) != value || skip_bit != reader.bit) {
          error = "block " + std::to_string(block) + " has a wrong skip point";
          return false;
        }
        ++next_skip;
      }
    }
    prefixes += count;
    if (progress && (block % 4096 == 0 || block + 1 == blocks)) progress(block + 1, blocks);
  }
  if (prefixes != store.header.prefix_count) {
    error = "the blocks hold " + std::to_string(prefixes) + " prefixes, the header says " +
            std::to_string(store.header.prefix_count);
    return false;
  }
  return true;
}

}  // namespace zefa::store
