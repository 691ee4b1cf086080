#include "tools/store_sync.h"

#include <chrono>
#include <cinttypes>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "breach/store_builder.h"
#include "tools/store_sources.h"

namespace zefa::store {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kPrefixesPerPartition = kRangePrefixes / kStorePartitions;

std::string PathText(const fs::path& path) {
  return reinterpret_cast<const char*>(path.u8string().c_str());
}

fs::path PartitionFile(const fs::path& work, int partition) {
  char name[16];
  std::snprintf(name, sizeof name, "part-%02X", partition);
  return work / name;
}

std::string StateText(const SyncOptions& options) {
  std::ostringstream text;
  text << "url=" << options.fetch.base_url << options.fetch.query << "\n"
       << "kind=" << HashKindName(options.kind) << "\n"
       << "min-count=" << options.min_count << "\n";
  return text.str();
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Duration(double seconds) {
  const long total = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ldh%02ldm", total / 3600, total / 60 % 60);
  } else {
    std::snprintf(text, sizeof text, "%ldm%02lds", total / 60, total % 60);
  }
  return text;
}

struct ProgressBar {
  std::FILE* out = nullptr;
  uint64_t done = 0;     // prefixes answered, earlier runs included
  uint64_t fetched = 0;  // answered in this run
  Clock::time_point start = Clock::now();
  Clock::time_point last{};

  void Show(bool force) {
    if (out == nullptr) return;
    const Clock::time_point now = Clock::now();
    if (!force && now - last < std::chrono::milliseconds(250)) return;
    last = now;
    const double seconds = std::chrono::duration<double>(now - start).count();
    const double rate = seconds > 0 ? fetched / seconds : 0;
    const double fraction = static_cast<double>(done) / kRangePrefixes;
    char bar[31];
    const int filled = static_cast<int>(fraction * 30);
    for (int i = 0; i < 30; ++i) bar[i] = i < filled ? '#' : '-';
    bar[30] = '\0';
    const std::string left =
        rate > 0 ? Duration((kRangePrefixes - done) / rate) + " left" : "time left unknown";
    std::fprintf(out, "\r[%s] %5.1f%%  %7" PRIu64 "/%u prefixes  %6.0f/s  %s   ", bar,
                 fraction * 100, done, kRangePrefixes, rate, left.c_str());
    std::fflush(out);
  }
};

// Fetches one partition's prefixes into `keys`; false with `error` when a
// prefix failed in every attempt.
bool FetchPartition(int partition, const SyncOptions& options, ProgressBar& bar,
                    std::vector<uint64_t>& keys, std::string& error) {
  const size_t suffix_digits = HashKindDigestBytes(options.kind) * 2 - 5;
  std::vector<uint32_t> todo;
  for (uint32_t i = 0; i < kPrefixesPerPartition; ++i)
    todo.push_back(static_cast<uint32_t>(partition) * kPrefixesPerPartition + i);
  std::string last_failure;
  for (int attempt = 1; !todo.empty(); ++attempt) {
    if (attempt > options.attempts) {
      error = "prefix " + RangeUrl(options.fetch, todo.front()) + " failed " +
              std::to_string(options.attempts) + " times (" + last_failure +
              "); run sync again to resume";
      return false;
    }
    if (attempt > 1) std::this_thread::sleep_for(std::chrono::seconds(attempt - 1));
    std::vector<uint32_t> failed;
    std::vector<uint64_t> reply_keys;
    const bool fetched = FetchRanges(
        options.fetch, todo,
        [&](RangeReply& reply) {
          uint64_t kept = 0, dropped = 0;
          reply_keys.clear();
          if (!reply.transferred) {
            last_failure = reply.error;
          } else if (reply.status != 200) {
            last_failure = "HTTP status " + std::to_string(reply.status);
          } else if (!ParseRangeBody(
                         reply.body, reply.prefix, suffix_digits, options.min_count,
                         [&](uint64_t key) { reply_keys.push_back(key); }, kept, dropped)) {
            last_failure = "an answer that is not SUFFIX:COUNT lines";
          } else {
            keys.insert(keys.end(), reply_keys.begin(), reply_keys.end());
            ++bar.done;
            ++bar.fetched;
            bar.Show(false);
            return;
          }
          failed.push_back(reply.prefix);
        },
        error);
    if (!fetched) return false;
    todo.swap(failed);
  }
  return true;
}

}  // namespace

bool SyncStore(const fs::path& store, const SyncOptions& options, std::FILE* progress,
               std::string& error) {
  fs::path work = store;
  work += ".sync";
  std::error_code code;
  const fs::path state = work / "sync.state";
  const std::string wanted = StateText(options);
  if (fs::exists(work, code) && ReadText(state) != wanted) {
    fs::remove_all(work, code);  // another source or kind: start over
  }
  fs::create_directories(work, code);
  if (!fs::exists(state, code)) {
    std::ofstream(state, std::ios::binary) << wanted;
  }
  if (ReadText(state) != wanted) {
    error = "cannot write the work folder " + PathText(work);
    return false;
  }

  ProgressBar bar;
  bar.out = progress;
  std::vector<fs::path> files;
  for (int p = 0; p < kStorePartitions; ++p) {
    files.push_back(PartitionFile(work, p));
    if (fs::exists(files.back(), code)) bar.done += kPrefixesPerPartition;
  }
  if (bar.done > 0 && progress != nullptr) {
    std::fprintf(progress, "resuming: %" PRIu64 " of %u prefixes already fetched\n", bar.done,
                 kRangePrefixes);
  }
  bar.Show(true);
  std::vector<uint64_t> keys;
  for (int p = 0; p < kStorePartitions; ++p) {
    if (fs::exists(files[p], code)) continue;
    keys.clear();
    if (!FetchPartition(p, options, bar, keys, error)) {
      if (progress != nullptr) std::fprintf(progress, "\n");
      return false;
    }
    fs::path temporary = files[p];
    temporary += ".tmp";
    if (!WriteKeyFile(temporary, keys)) {
      error = "cannot write " + PathText(temporary);
      return false;
    }
    fs::rename(temporary, files[p], code);
    if (code) {
      error = "cannot write " + PathText(files[p]) + ": " + code.message();
      return false;
    }
  }
  bar.Show(true);
  if (progress != nullptr) std::fprintf(progress, "\nwriting the store\n");
  StoreHeader header;
  if (!WriteStoreFromPartitions(files, options.kind, static_cast<uint32_t>(options.min_count),
                                store, {}, header, error)) {
    return false;
  }
  fs::remove_all(work, code);
  return true;
}

}  // namespace zefa::store
