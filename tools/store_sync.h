// `zefastore sync`: fills or refreshes a store from the range interface, all
// 1,048,576 five-digit prefixes. The answers are kept per partition (4,096
// prefixes, a 256th of the key space) in a work folder beside the store,
// "<store>.sync"; a partition is written there only when all its prefixes
// have answered, so an interrupted sync resumes at the first missing
// partition and loses at most the partitions in flight. The store is
// replaced only at the end, by a rename, and the work folder removed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "breach/store_format.h"
#include "tools/range_fetch.h"

namespace zefa::store {

inline constexpr uint32_t kRangePrefixes = 1u << 20;

struct SyncOptions {
  RangeFetchOptions fetch;
  HashKind kind = HashKind::kSha1;
  uint64_t min_count = 0;
  int attempts = 6;  // per prefix, with a growing pause between rounds
};

// Runs the sync; progress goes to `progress` (a bar with rate and time
// left). False with `error` when a prefix could not be fetched in all its
// attempts or the store could not be written; running it again resumes.
bool SyncStore(const std::filesystem::path& store, const SyncOptions& options, std::FILE* progress,
               std::string& error);

}  // namespace zefa::store
