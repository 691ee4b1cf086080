#include "tools/store_sources.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <vector>

#include "breach/store_builder.h"
#include "breach/store_digest.h"
#include "platform/files.h"

namespace zefa::store {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::array<int8_t, 256> HexTable() {
  std::array<int8_t, 256> table{};
  for (auto& value : table) value = -1;
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<int8_t>(c - '0');
  for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<int8_t>(c - 'A' + 10);
  for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<int8_t>(c - 'a' + 10);
  return table;
}
constexpr std::array<int8_t, 256> kHex = HexTable();

inline int HexDigit(char c) { return kHex[static_cast<unsigned char>(c)]; }

// Digits only, without overflow past 2^63; false for an empty or bad count.
bool ParseCount(std::string_view text, uint64_t& count) {
  if (text.empty() || text.size() > 18) return false;
  count = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    count = count * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

bool AllHex(std::string_view text) {
  for (char c : text)
    if (HexDigit(c) < 0) return false;
  return true;
}

std::string PathText(const fs::path& path) {
  return reinterpret_cast<const char*>(path.u8string().c_str());
}

// A five-digit prefix file name ("0A1B2" or "0A1B2.txt"); -1 otherwise.
int64_t PrefixOfFileName(const fs::path& file) {
  std::string name = PathText(file.filename());
  if (name.size() == 9 && (name.substr(5) == ".txt" || name.substr(5) == ".TXT")) name.resize(5);
  if (name.size() != 5 || !AllHex(name)) return -1;
  return static_cast<int64_t>(std::stoul(name, nullptr, 16));
}

// Calls `line` for each line of a file read in large chunks (CR LF or LF
// ends; a last line without an end counts).
template <typename LineFunction>
bool ForEachLine(const fs::path& path, SourceTally& tally, const SourceProgress& progress,
                 Clock::time_point& last_report, LineFunction line) {
  std::FILE* file = platform::OpenStream(path, "rb");
  if (file == nullptr) return false;
  thread_local std::vector<char> buffer(1 << 22);
  std::string carry;
  uint64_t number = 0;
  bool keep_going = true;
  for (;;) {
    const size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
    if (got == 0) break;
    tally.bytes += got;
    size_t start = 0;
    for (size_t i = 0; i < got && keep_going; ++i) {
      if (buffer[i] != '\n') continue;
      std::string_view text;
      if (!carry.empty()) {
        carry.append(buffer.data() + start, i - start);
        text = carry;
      } else {
        text = std::string_view(buffer.data() + start, i - start);
      }
      if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
      keep_going = line(text, ++number);
      carry.clear();
      start = i + 1;
    }
    if (!keep_going) break;
    carry.append(buffer.data() + start, got - start);
    if (progress && Clock::now() - last_report > std::chrono::seconds(1)) {
      last_report = Clock::now();
      progress(tally, false);
    }
  }
  const bool read_error = std::ferror(file) != 0;
  std::fclose(file);
  if (keep_going && !carry.empty()) {
    std::string_view text = carry;
    if (text.back() == '\r') text.remove_suffix(1);
    keep_going = line(text, ++number);
  }
  return !read_error && keep_going;
}

size_t DigestDigits(HashKind kind) { return HashKindDigestBytes(kind) * 2; }

// What the first non-empty line of a file looks like: 40 or 32 (a hash of
// that many digits), 0 (anything else), -1 (the file cannot be read).
int FirstLineForm(const fs::path& path) {
  std::FILE* file = platform::OpenStream(path, "rb");
  if (file == nullptr) return -1;
  std::string line;
  int c;
  while ((c = std::fgetc(file)) != EOF) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) break;
      continue;
    }
    if (line.size() < 128) line.push_back(static_cast<char>(c));
  }
  std::fclose(file);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  uint64_t key, count;
  if (ParseHashLine(line, 40, key, count)) return 40;
  if (ParseHashLine(line, 32, key, count)) return 32;
  return 0;
}

}  // namespace

bool ParseHashLine(std::string_view line, size_t digits, uint64_t& key, uint64_t& count) {
  if (line.size() < digits) return false;
  if (line.size() == digits) {
    count = 1;
  } else if (line[digits] != ':' || !ParseCount(line.substr(digits + 1), count)) {
    return false;
  }
  uint64_t value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const int digit = HexDigit(line[i]);
    if (digit < 0) return false;
    if (i < 16) value = (value << 4) | static_cast<uint64_t>(digit);
  }
  key = value;
  return true;
}

bool ParseRangeBody(std::string_view body, uint32_t prefix, size_t suffix_digits,
                    uint64_t min_count, const KeySink& sink, uint64_t& kept, uint64_t& dropped) {
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('\n', start);
    if (end == std::string_view::npos) end = body.size();
    std::string_view line = body.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    uint64_t partial = 0, count = 0;
    if (!ParseHashLine(line, suffix_digits, partial, count)) return false;
    if (count == 0) continue;  // padding
    if (count < min_count) {
      ++dropped;
      continue;
    }
    // The key: five prefix digits, then the first eleven of the suffix.
    sink((static_cast<uint64_t>(prefix) << 44) | (partial >> 20));
    ++kept;
  }
  return true;
}

bool ReadSource(const fs::path& source, const SourceOptions& options, const KeySink& sink,
                SourceTally& tally, const SourceProgress& progress, std::string& error) {
  std::error_code code;
  Clock::time_point last_report = Clock::now();
  const size_t digits = DigestDigits(options.kind);
  const char* kind_name = HashKindName(options.kind);

  if (fs::is_directory(source, code)) {
    std::vector<std::pair<int64_t, fs::path>> files;
    for (const auto& entry : fs::directory_iterator(source, code)) {
      if (!entry.is_regular_file(code)) continue;
      const int64_t prefix = PrefixOfFileName(entry.path());
      if (prefix >= 0) files.emplace_back(prefix, entry.path());
    }
    if (code) {
      error = "cannot read the folder " + PathText(source) + ": " + code.message();
      return false;
    }
    if (files.empty()) {
      error = "the folder " + PathText(source) + " holds no prefix files (names like 0A1B2.txt)";
      return false;
    }
    for (const auto& [prefix, file] : files) {
      const bool ok = ForEachLine(
          file, tally, progress, last_report, [&](std::string_view line, uint64_t number) {
            ++tally.lines;
            if (line.empty()) return true;
            uint64_t kept = 0, dropped = 0;
            if (!ParseRangeBody(line, static_cast<uint32_t>(prefix), digits - 5, options.min_count,
                                sink, kept, dropped)) {
              error = PathText(file) + ":" + std::to_string(number) + ": not a " + kind_name +
                      " SUFFIX:COUNT line (" + std::to_string(digits - 5) + " hexadecimal digits)";
              return false;
            }
            tally.keys += kept;
            tally.dropped += dropped;
            return true;
          });
      if (!ok) {
        if (error.empty()) error = "cannot read " + PathText(file);
        return false;
      }
    }
    if (progress) progress(tally, true);
    return true;
  }

  const int form = options.force_passwords ? 0 : FirstLineForm(source);
  if (form < 0) {
    error = "cannot read " + PathText(source);
    return false;
  }
  if (form != 0 && static_cast<size_t>(form) != digits) {
    error = PathText(source) + " holds " + (form == 40 ? "SHA-1" : "NTLM") +
            " hashes, but the store's kind is " + kind_name + " (use --kind " +
            (form == 40 ? "sha1" : "ntlm") + ")";
    return false;
  }
  bool ok;
  if (form != 0) {
    ok = ForEachLine(source, tally, progress, last_report,
                     [&](std::string_view line, uint64_t number) {
                       ++tally.lines;
                       if (line.empty()) return true;
                       uint64_t key = 0, count = 0;
                       if (!ParseHashLine(line, digits, key, count)) {
                         error = PathText(source) + ":" + std::to_string(number) + ": not a " +
                                 kind_name + " HASH:COUNT line";
                         return false;
                       }
                       if (count < options.min_count) {
                         ++tally.dropped;
                         return true;
                       }
                       sink(key);
                       ++tally.keys;
                       return true;
                     });
  } else {
    ok = ForEachLine(
        source, tally, progress, last_report, [&](std::string_view line, uint64_t number) {
          ++tally.lines;
          if (line.empty()) return true;
          const std::optional<uint64_t> key = PasswordKey(options.kind, Utf8ToText(line));
          if (!key) {
            error = PathText(source) + ":" + std::to_string(number) + ": the " + kind_name +
                    " digest could not be computed";
            return false;
          }
          sink(*key);
          ++tally.keys;
          return true;
        });
  }
  if (!ok) {
    if (error.empty()) error = "cannot read " + PathText(source);
    return false;
  }
  if (progress) progress(tally, true);
  return true;
}

}  // namespace zefa::store
