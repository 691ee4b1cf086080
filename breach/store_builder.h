// Building a store in bounded memory: keys are spread over 256 partition
// files by their top eight bits (so each partition covers one range of the
// sorted set), then each partition is read, sorted and coded in turn. Memory
// is one partition plus the block index: about 35 MB for a billion hashes,
// plus 16 MB of write buffers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "breach/store_format.h"

namespace zefa::store {

inline constexpr int kStorePartitions = 256;

inline int PartitionOfKey(uint64_t key) { return static_cast<int>(key >> 56); }

// Called now and then while a store is written: the partitions done so far.
using BuildProgress = std::function<void(int partitions_done, int partitions_total)>;

// Writes the store at `store_path` from partition files that hold raw keys
// (little-endian 64-bit, any order, duplicates allowed); partitions[i] must
// hold only keys of partition i (a missing file counts as empty). The store
// is written to a temporary file beside `store_path` and renamed over it,
// so a reader sees either the old or the new store.
bool WriteStoreFromPartitions(const std::vector<std::filesystem::path>& partitions, HashKind kind,
                              uint32_t min_count, const std::filesystem::path& store_path,
                              const BuildProgress& progress, StoreHeader& written,
                              std::string& error);

// Spreads keys over partition files in a temporary folder.
struct PartitionWriter {
  std::filesystem::path folder;
  std::vector<std::filesystem::path> files;
  std::vector<std::FILE*> streams;
  std::vector<std::vector<uint64_t>> buffers;
  uint64_t keys = 0;
  bool failed = false;
};

// Creates `folder` (it must not hold partitions of another build) and opens
// the partition files there.
bool OpenPartitions(PartitionWriter& writer, const std::filesystem::path& folder,
                    std::string& error);
void AddKey(PartitionWriter& writer, uint64_t key);
// Flushes and closes the files; false when a write failed.
bool ClosePartitions(PartitionWriter& writer, std::string& error);
// Closes (if open) and deletes the partition files and the folder.
void RemovePartitions(PartitionWriter& writer);

// Writes raw keys to a file (the partition file form).
bool WriteKeyFile(const std::filesystem::path& path, const std::vector<uint64_t>& keys);
// Reads a partition file; false when it cannot be read or its size is not a
// multiple of 8.
bool ReadKeyFile(const std::filesystem::path& path, std::vector<uint64_t>& keys);

}  // namespace zefa::store
