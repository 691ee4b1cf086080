// Reading a store: opened once (header and block index checked, the index
// copied into memory), then shared read-only by any number of threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "breach/store_format.h"
#include "platform/files.h"
#include "platform/text.h"

namespace zefa::store {

struct PasswordStore {
  Text path;
  StoreHeader header;
  std::vector<uint64_t> index;  // first prefix of each block
  platform::MappedFile* file = nullptr;
  // One bit per block whose checksum was found right since the store was
  // opened: a block's checksum is computed on its first lookup only.
  std::unique_ptr<std::atomic<uint64_t>[]> checked_blocks;
  ~PasswordStore();
};

using StoreHandle = std::shared_ptr<const PasswordStore>;

// Maps and checks a store. nullptr with a reason in `error` when the file is
// missing, truncated, damaged or of another format version.
StoreHandle OpenStore(const Text& path, std::string& error);

enum class StoreAnswer { kFound, kNotFound, kDamaged };

// Looks one key (first 8 digest bytes, big-endian) up. kDamaged when the
// block that would hold it fails its checksum (verified on the block's
// first lookup after opening) or does not decode.
StoreAnswer StoreLookupKey(const PasswordStore& store, uint64_t key);

// Hashes the password as the store's kind says and looks it up; kDamaged
// also when the digest cannot be computed.
StoreAnswer StoreLookupPassword(const PasswordStore& store, TextView password);

// The block a key would be in (for page-read measurements); -1 if before
// the first block or the store is empty.
int64_t StoreBlockOfKey(const PasswordStore& store, uint64_t key);

// Checks every block (checksum, order, count) and that together they hold
// the header's prefix count. `progress` gets (blocks checked, total).
bool VerifyStoreBlocks(const PasswordStore& store, std::string& error,
                       const std::function<void(uint64_t, uint64_t)>& progress = {});

}  // namespace zefa::store
