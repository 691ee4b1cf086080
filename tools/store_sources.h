// The text forms of the breached-password corpus that `zefastore create`
// reads, turned into store keys:
//   - one big file of "HASH:COUNT" lines (40 hex digits for SHA-1, 32 for NTLM;
//     ":COUNT" may be missing, which counts as 1),
//   - a folder of one file per five-digit prefix (named by the prefix, with
//     or without ".txt") holding "SUFFIX:COUNT" lines,
//   - plain passwords, one per line in UTF-8 (empty lines skipped), hashed
//     as the store's kind says; these are kept whatever --min-count says.
// A file is a hash file when its first non-empty line is a hash with an
// optional count; otherwise it is read as passwords.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "breach/store_format.h"

namespace zefa::store {

struct SourceOptions {
  HashKind kind = HashKind::kSha1;
  uint64_t min_count = 0;  // hash lines with a smaller count are dropped
  bool force_passwords = false;
};

struct SourceTally {
  uint64_t lines = 0;
  uint64_t keys = 0;
  uint64_t dropped = 0;  // under the minimum count
  uint64_t bytes = 0;
};

using KeySink = std::function<void(uint64_t key)>;
// Called about once a second while reading, and once at the end.
using SourceProgress = std::function<void(const SourceTally& tally, bool final)>;

// Reads one --from argument (file or folder). False with a message naming
// the file and line when a hash file holds a line that is not a hash of the
// store's kind, or a file cannot be read.
bool ReadSource(const std::filesystem::path& source, const SourceOptions& options,
                const KeySink& sink, SourceTally& tally, const SourceProgress& progress,
                std::string& error);

// Parses "HEX" or "HEX:COUNT" of exactly `digits` hexadecimal digits (either
// case; a count that is missing is 1); the key is the value of the first 16
// digits. False when the line does not have that form.
bool ParseHashLine(std::string_view line, size_t digits, uint64_t& key, uint64_t& count);

// Parses a range-interface answer or a prefix file: "SUFFIX:COUNT" lines
// whose suffix has `suffix_digits` digits, after the five-digit `prefix`.
// Lines with count 0 (padding) are skipped. False on a malformed line.
bool ParseRangeBody(std::string_view body, uint32_t prefix, size_t suffix_digits,
                    uint64_t min_count, const KeySink& sink, uint64_t& kept, uint64_t& dropped);

}  // namespace zefa::store
