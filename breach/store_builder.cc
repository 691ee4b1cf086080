#include "breach/store_builder.h"
#include "platform/files.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace zefa::store {

namespace {

constexpr size_t kBufferKeys = 8192;

void Put64(unsigned char* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Codes sorted distinct prefixes into blocks of one page each.
struct BlockCoder {
  std::FILE* out = nullptr;
  uint32_t rice_bits = 0;
  unsigned char block[kStoreBlockSize + 16] = {};
  size_t bit = 0;  // next free bit of the code area
  uint32_t count = 0;
  uint64_t last = 0;
  std::vector<uint64_t> values;  // of the current block
  std::vector<uint32_t> ends;    // code bit after each of its entries
  std::vector<uint64_t> index;
  bool failed = false;

  // LSB first; `bits` at most 64. The buffer has spare bytes behind the
  // block, so whole words can be merged in; only the block is written.
  void PutBits(uint64_t value, unsigned bits) {
    if (bits == 0) return;
    if (bits < 64) value &= (uint64_t{1} << bits) - 1;
    const size_t position = kBlockCodeOffset * 8 + bit;
    unsigned char* at = block + position / 8;
    const unsigned shift = position % 8;
    uint64_t word;
    std::memcpy(&word, at, 8);
    word |= value << shift;
    std::memcpy(at, &word, 8);
    if (shift + bits > 64) at[8] |= static_cast<unsigned char>(value >> (64 - shift));
    bit += bits;
  }

  static size_t CodeLength(uint64_t gap_minus_one, uint32_t rice_bits) {
    const uint64_t quotient = gap_minus_one >> rice_bits;
    if (quotient >= kRiceEscapeOnes) return kRiceEscapeOnes + 64;
    return static_cast<size_t>(quotient) + 1 + rice_bits;
  }

  void Flush() {
    if (count == 0) return;
    uint32_t n = count;
    for (int i = 0; i < 4; ++i)
      block[kBlockCountOffset + i] = static_cast<unsigned char>(n >> (8 * i));
    for (size_t i = 1; i <= kBlockSkips; ++i) {
      const size_t entry = static_cast<size_t>(uint64_t{count} * i / (kBlockSkips + 1));
      unsigned char* skip = block + kBlockSkipOffset + (i - 1) * kBlockSkipBytes;
      Put64(skip, values[entry]);
      for (int b = 0; b < 4; ++b) skip[8 + b] = static_cast<unsigned char>(ends[entry] >> (8 * b));
    }
    values.clear();
    ends.clear();
    Put64(block + kBlockChecksumOffset,
          StoreChecksum(block + kBlockCountOffset, kStoreBlockSize - kBlockCountOffset));
    if (std::fwrite(block, 1, kStoreBlockSize, out) != kStoreBlockSize) failed = true;
    std::memset(block, 0, sizeof block);
    bit = 0;
    count = 0;
  }

  void Add(uint64_t prefix) {
    if (count > 0) {
      const uint64_t x = prefix - last - 1;
      const size_t length = CodeLength(x, rice_bits);
      if (bit + length <= kBlockCodeBits) {
        const uint64_t quotient = x >> rice_bits;
        if (quotient >= kRiceEscapeOnes) {
          PutBits(~uint64_t{0}, kRiceEscapeOnes);
          PutBits(x, 64);
        } else {
          for (uint64_t q = quotient; q > 0;) {
            const unsigned chunk = q > 64 ? 64 : static_cast<unsigned>(q);
            PutBits(~uint64_t{0}, chunk);
            q -= chunk;
          }
          PutBits(0, 1);
          if (rice_bits > 0) PutBits(x, rice_bits);
        }
        ++count;
        last = prefix;
        values.push_back(prefix);
        ends.push_back(static_cast<uint32_t>(bit));
        return;
      }
      Flush();
    }
    Put64(block + kBlockFirstOffset, prefix);
    index.push_back(prefix);
    count = 1;
    last = prefix;
    values.push_back(prefix);
    ends.push_back(0);
  }
};

std::string PathText(const std::filesystem::path& path) {
  return reinterpret_cast<const char*>(path.u8string().c_str());
}

}  // namespace

bool WriteKeyFile(const std::filesystem::path& path, const std::vector<uint64_t>& keys) {
  std::FILE* file = platform::OpenStream(path, "wb");
  if (file == nullptr) return false;
  std::vector<unsigned char> bytes(keys.size() * 8);
  for (size_t i = 0; i < keys.size(); ++i) Put64(bytes.data() + 8 * i, keys[i]);
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  ok = std::fclose(file) == 0 && ok;
  return ok;
}

bool ReadKeyFile(const std::filesystem::path& path, std::vector<uint64_t>& keys) {
  keys.clear();
  std::error_code code;
  if (!std::filesystem::exists(path, code)) return true;
  const uintmax_t size = std::filesystem::file_size(path, code);
  if (code || size % 8 != 0) return false;
  std::FILE* file = platform::OpenStream(path, "rb");
  if (file == nullptr) return false;
  keys.resize(static_cast<size_t>(size / 8));
  const bool ok = std::fread(keys.data(), 8, keys.size(), file) == keys.size();
  std::fclose(file);
  if (!ok) return false;
  for (uint64_t& key : keys) {  // stored little-endian
    unsigned char bytes[8];
    std::memcpy(bytes, &key, 8);
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    key = value;
  }
  return true;
}

bool OpenPartitions(PartitionWriter& writer, const std::filesystem::path& folder,
                    std::string& error) {
  std::error_code code;
  std::filesystem::create_directories(folder, code);
  writer.folder = folder;
  writer.buffers.assign(kStorePartitions, {});
  for (int i = 0; i < kStorePartitions; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "part-%02X", i);
    writer.files.push_back(folder / name);
    std::FILE* stream = platform::OpenStream(writer.files.back(), "wb");
    if (stream == nullptr) {
      error = "cannot create the temporary file " + PathText(writer.files.back());
      RemovePartitions(writer);
      return false;
    }
    writer.streams.push_back(stream);
    writer.buffers[i].reserve(kBufferKeys);
  }
  return true;
}

namespace {

void FlushPartition(PartitionWriter& writer, int partition) {
  std::vector<uint64_t>& buffer = writer.buffers[partition];
  if (buffer.empty()) return;
  unsigned char bytes[kBufferKeys * 8];
  for (size_t i = 0; i < buffer.size(); ++i) Put64(bytes + 8 * i, buffer[i]);
  if (std::fwrite(bytes, 1, buffer.size() * 8, writer.streams[partition]) != buffer.size() * 8)
    writer.failed = true;
  buffer.clear();
}

}  // namespace

void AddKey(PartitionWriter& writer, uint64_t key) {
  const int partition = PartitionOfKey(key);
  std::vector<uint64_t>& buffer = writer.buffers[partition];
  buffer.push_back(key);
  ++writer.keys;
  if (buffer.size() == kBufferKeys) FlushPartition(writer, partition);
}

bool ClosePartitions(PartitionWriter& writer, std::string& error) {
  for (int i = 0; i < static_cast<int>(writer.streams.size()); ++i) {
    if (writer.streams[i] == nullptr) continue;
    FlushPartition(writer, i);
    if (std::fclose(writer.streams[i]) != 0) writer.failed = true;
    writer.streams[i] = nullptr;
  }
  writer.buffers.clear();
  if (writer.failed) error = "cannot write the temporary files in " + PathText(writer.folder);
  return !writer.failed;
}

void RemovePartitions(PartitionWriter& writer) {
  for (std::FILE*& stream : writer.streams) {
    if (stream != nullptr) std::fclose(stream);
    stream = nullptr;
  }
  std::error_code code;
  for (const auto& file : writer.files) std::filesystem::remove(file, code);
  if (!writer.folder.empty()) std::filesystem::remove(writer.folder, code);
}

bool WriteStoreFromPartitions(const std::vector<std::filesystem::path>& partitions, HashKind kind,
                              uint32_t min_count, const std::filesystem::path& store_path,
                              const BuildProgress& progress, StoreHeader& written,
                              std::string& error) {
  StoreHeader header;
  header.kind = kind;
  header.min_count = min_count;
  std::error_code code;
  for (const auto& partition : partitions) {
    if (!std::filesystem::exists(partition, code)) continue;
    header.hash_count += std::filesystem::file_size(partition, code) / 8;
  }
  header.prefix_bits = PrefixBitsFor(header.hash_count);
  // The Rice parameter is chosen for the hash count; duplicates are rare.
  header.rice_bits = RiceBitsFor(header.hash_count, header.prefix_bits);

  std::filesystem::path temporary = store_path;
  temporary += ".building";
  BlockCoder coder;
  coder.rice_bits = header.rice_bits;
  coder.out = platform::OpenStream(temporary, "wb");
  if (coder.out == nullptr) {
    error = "cannot create " + PathText(temporary);
    return false;
  }
  std::vector<unsigned char> page(kStoreBlockSize, 0);
  coder.failed = std::fwrite(page.data(), 1, page.size(), coder.out) != page.size();

  std::vector<uint64_t> keys;
  bool any = false;
  for (size_t i = 0; i < partitions.size() && !coder.failed; ++i) {
    if (!ReadKeyFile(partitions[i], keys)) {
      error = "cannot read the temporary file " + PathText(partitions[i]);
      std::fclose(coder.out);
      std::filesystem::remove(temporary, code);
      return false;
    }
    std::sort(keys.begin(), keys.end());
    for (uint64_t key : keys) {
      const uint64_t prefix = PrefixOf(key, header.prefix_bits);
      if (any && prefix == coder.last) continue;
      coder.Add(prefix);
      any = true;
      ++header.prefix_count;
    }
    if (progress) progress(static_cast<int>(i + 1), static_cast<int>(partitions.size()));
  }
  coder.Flush();
  keys.clear();
  keys.shrink_to_fit();

  header.block_count = coder.index.size();
  header.index_offset = header.data_offset + header.block_count * kStoreBlockSize;
  header.file_size = header.index_offset + header.block_count * 8;
  header.false_positive_rate = FalsePositiveRate(header.prefix_count, header.prefix_bits);
  std::vector<unsigned char> index_bytes(coder.index.size() * 8);
  for (size_t i = 0; i < coder.index.size(); ++i) Put64(index_bytes.data() + 8 * i, coder.index[i]);
  header.index_checksum = StoreChecksum(index_bytes.data(), index_bytes.size());
  // An empty store has no index; fwrite may not be handed its null pointer.
  bool ok = !coder.failed &&
            (index_bytes.empty() || std::fwrite(index_bytes.data(), 1, index_bytes.size(),
                                                coder.out) == index_bytes.size());
  EncodeHeader(header, page.data());
  ok = ok && std::fseek(coder.out, 0, SEEK_SET) == 0 &&
       std::fwrite(page.data(), 1, page.size(), coder.out) == page.size();
  ok = std::fflush(coder.out) == 0 && ok;
  ok = std::fclose(coder.out) == 0 && ok;
  if (!ok) {
    error = "cannot write " + PathText(temporary) + " (disk full?)";
    std::filesystem::remove(temporary, code);
    return false;
  }
  std::filesystem::rename(temporary, store_path, code);
  if (code) {
    error = "cannot replace " + PathText(store_path) + ": " + code.message();
    std::filesystem::remove(temporary, code);
    return false;
  }
  written = header;
  return true;
}

}  // namespace zefa::store
