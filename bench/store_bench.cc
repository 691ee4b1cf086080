// Benchmark of the offline breached-password store. For each size given on
// the command line (default 10000000 100000000) it generates a corpus of
// random SHA-1 "HASH:COUNT" lines plus known passwords, builds the store
// with the zefastore program (wall time and peak memory of that process),
// and then measures on the store:
//   - bytes per stored entry,
//   - the false-positive rate over 10 million absent hashes, beside the
//     rate the header states,
//   - page reads per lookup on a cold cache (the file dropped from the page
//     cache, residency counted with mincore before and after each lookup),
//   - warm lookup time of a password (hashing included) and of a key, the
//     latter beside its baseline in the same run: a binary search over the
//     same keys in a sorted file of 8-byte keys, mapped (CPU time per
//     lookup, warm caches, the same 1 million random keys);
//   - `zefastore lookup` over 1 million passwords on standard input with its
//     output to a pipe (wall and CPU time of the process), beside the same
//     lookups in this process (StoreLookupPassword, CPU time).
//   store_bench [--work FOLDER] [--tool PATH] [SIZE...]
// Wall-clock figures are noisy on a shared machine; the CPU times are the ones
// to compare.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "breach/store_digest.h"
#include "breach/store_reader.h"
#include "platform/files.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace zefa;
using namespace zefa::store;
using Clock = std::chrono::steady_clock;

struct Row {
  uint64_t entries = 0;
  double build_seconds = 0;
  double build_peak_mb = 0;
  double build_cpu_seconds = 0;
  double bytes_per_entry = 0;
  double header_rate = 0;
  uint64_t absent_tested = 0;
  uint64_t false_positives = 0;
  double cold_pages_mean = 0;
  int64_t cold_pages_max = 0;
  int64_t open_pages = 0;
  int64_t cold_lookups = 0;
  double warm_us = 0;
  double warm_key_us = 0;
  double warm_cpu_us = 0;
  double warm_key_cpu_us = 0;
  double binary_search_cpu_us = 0;
  double tool_seconds = 0;
  double tool_cpu_seconds = 0;
  double in_process_seconds = 0;
};

constexpr int kToolLookups = 1000000;

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

std::string KnownPassword(int i) { return "Known-Bench-" + std::to_string(i); }

uint64_t KeyOfHexLine(const char* line) {
  uint64_t key = 0;
  for (int d = 0; d < 16; ++d) {
    const char c = line[d];
    key = (key << 4) | static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'A' + 10);
  }
  return key;
}

// Writes the corpus and, beside it, the sorted file of its 8-byte keys that
// the binary-search baseline reads.
void WriteCorpus(const fs::path& path, uint64_t entries, const fs::path& sorted_keys) {
  std::vector<uint64_t> keys;
  keys.reserve(entries);
  std::FILE* out = std::fopen(path.c_str(), "wb");
  std::mt19937_64 random(entries);
  static const char* digits = "0123456789ABCDEF";
  std::vector<char> buffer;
  buffer.reserve(1 << 22);
  char line[64];
  const int known = 500;
  for (uint64_t i = 0; i < entries; ++i) {
    if (i < static_cast<uint64_t>(known)) {
      const std::string digest = PasswordDigest(HashKind::kSha1, Utf8ToText(KnownPassword(i)));
      for (int b = 0; b < 20; ++b) {
        line[2 * b] = digits[static_cast<unsigned char>(digest[b]) >> 4];
        line[2 * b + 1] = digits[static_cast<unsigned char>(digest[b]) & 15];
      }
    } else {
      for (int w = 0; w < 3; ++w) {
        uint64_t value = random();
        for (int d = 0; d < 16 && w * 16 + d < 40; ++d, value >>= 4)
          line[w * 16 + d] = digits[value & 15];
      }
    }
    keys.push_back(KeyOfHexLine(line));
    const int count = static_cast<int>(random() % 1000) + 1;
    const int tail = std::snprintf(line + 40, sizeof line - 40, ":%d\r\n", count);
    buffer.insert(buffer.end(), line, line + 40 + tail);
    if (buffer.size() > (1 << 22) - 64) {
      std::fwrite(buffer.data(), 1, buffer.size(), out);
      buffer.clear();
    }
  }
  std::fwrite(buffer.data(), 1, buffer.size(), out);
  std::fclose(out);
  std::sort(keys.begin(), keys.end());
  std::FILE* sorted = std::fopen(sorted_keys.c_str(), "wb");
  std::fwrite(keys.data(), sizeof(uint64_t), keys.size(), sorted);
  std::fclose(sorted);
}

// `zefastore lookup STORE` with `input` on standard input and its output
// read from a pipe; wall and CPU seconds of the process.
bool RunToolLookup(const std::string& tool, const fs::path& store, const fs::path& input,
                   Row& row) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return false;
  std::vector<std::string> args = {tool, "lookup", store.string()};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  const Clock::time_point start = Clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  if (spawned != 0) {
    close(pipe_fds[0]);
    return false;
  }
  char buffer[65536];
  uint64_t lines = 0;
  for (;;) {
    const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) lines += buffer[i] == '\n';
  }
  close(pipe_fds[0]);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  row.tool_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  row.tool_cpu_seconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                         usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  if (lines != static_cast<uint64_t>(kToolLookups)) {
    std::fprintf(stderr, "zefastore lookup answered %llu of %d lines\n",
                 static_cast<unsigned long long>(lines), kToolLookups);
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) <= 1;
}

bool Build(const std::string& tool, const fs::path& corpus, const fs::path& store, Row& row) {
  std::vector<std::string> args = {tool, "create", store.string(), "--from", corpus.string()};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const Clock::time_point start = Clock::now();
  pid_t pid = -1;
  if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) != 0) return false;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  row.build_seconds = std::chrono::duration<double>(Clock::now() - start).count();
  row.build_peak_mb = usage.ru_maxrss / 1024.0;
  row.build_cpu_seconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                          usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Measure(const fs::path& path, const fs::path& sorted_keys, const std::string& tool,
             const fs::path& work, Row& row) {
  std::string error;
  const Text name = Utf8ToText(path.string());
  std::mt19937_64 random(99);

  // Cold: nothing of the file cached, then the store opened (header and
  // index read) and looked up at random places.
  platform::DropFileFromCache(name);
  {
    StoreHandle store = OpenStore(name, error);
    if (!store) {
      std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), error.c_str());
      return;
    }
    const uint64_t size = store->header.file_size;
    row.open_pages = platform::MappedFileResidentPages(store->file, 0, size);
    // Only lookups whose block was not in memory yet count as cold.
    int64_t total = 0, cold = 0;
    for (int i = 0; i < 2000; ++i) {
      const uint64_t key = random();
      const int64_t block = StoreBlockOfKey(*store, key);
      if (block < 0) continue;
      const uint64_t block_offset = store->header.data_offset + block * kStoreBlockSize;
      if (platform::MappedFileResidentPages(store->file, block_offset, kStoreBlockSize) != 0)
        continue;
      const int64_t before = platform::MappedFileResidentPages(store->file, 0, size);
      StoreLookupKey(*store, key);
      const int64_t read = platform::MappedFileResidentPages(store->file, 0, size) - before;
      total += read;
      ++cold;
      if (read > row.cold_pages_max) row.cold_pages_max = read;
    }
    row.cold_lookups = cold;
    row.cold_pages_mean = cold ? static_cast<double>(total) / cold : 0;
  }

  StoreHandle store = OpenStore(name, error);
  row.entries = store->header.prefix_count;
  row.bytes_per_entry = static_cast<double>(store->header.file_size) / store->header.prefix_count;
  row.header_rate = store->header.false_positive_rate;
  // Warm the whole file, then time lookups.
  uint64_t sum = 0;
  for (uint64_t b = 0; b < store->header.block_count; ++b)
    sum += StoreLookupKey(*store, store->index[b] << (64 - store->header.prefix_bits)) ==
           StoreAnswer::kFound;
  row.absent_tested = 10000000;
  for (uint64_t i = 0; i < row.absent_tested; ++i)
    row.false_positives += StoreLookupKey(*store, random()) == StoreAnswer::kFound;

  std::vector<Text> passwords;
  for (int i = 0; i < 1000; ++i) {
    passwords.push_back(Utf8ToText(i % 2 ? KnownPassword(i % 500) : "absent-" + std::to_string(i)));
  }
  const int rounds = 300;
  uint64_t found = 0;
  Clock::time_point start = Clock::now();
  const double cpu_start = CpuSeconds();
  for (int r = 0; r < rounds; ++r)
    for (const Text& password : passwords)
      found += StoreLookupPassword(*store, password) == StoreAnswer::kFound;
  row.warm_us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
                (rounds * passwords.size());
  row.warm_cpu_us = (CpuSeconds() - cpu_start) * 1e6 / (rounds * passwords.size());
  std::vector<uint64_t> keys(1000000);
  for (uint64_t& key : keys) key = random();
  start = Clock::now();
  double cpu = CpuSeconds();
  for (uint64_t key : keys) found += StoreLookupKey(*store, key) == StoreAnswer::kFound;
  row.warm_key_cpu_us = (CpuSeconds() - cpu) * 1e6 / keys.size();
  row.warm_key_us =
      std::chrono::duration<double, std::micro>(Clock::now() - start).count() / keys.size();

  // The baseline: the same keys by binary search over the mapped sorted
  // file of every stored key, warmed the same way.
  {
    platform::MappedFile* sorted =
        platform::MapFileReadOnly(Utf8ToText(sorted_keys.string()), nullptr);
    if (sorted != nullptr) {
      const auto* begin = reinterpret_cast<const uint64_t*>(platform::MappedFileData(sorted));
      const uint64_t* end = begin + platform::MappedFileSize(sorted) / sizeof(uint64_t);
      uint64_t touched = 0;
      for (const uint64_t* k = begin; k < end; k += 512) touched += *k;
      uint64_t hits = touched == 1;
      for (uint64_t key : keys) hits += std::binary_search(begin, end, key);
      cpu = CpuSeconds();
      for (uint64_t key : keys) hits += std::binary_search(begin, end, key);
      row.binary_search_cpu_us = (CpuSeconds() - cpu) * 1e6 / keys.size();
      found += hits;
      platform::UnmapFile(sorted);
    }
  }

  // The tool over a million passwords, half of them stored, and the same
  // lookups in this process.
  const fs::path input = work / "lookup-input.txt";
  {
    std::string text;
    std::vector<Text> lookups;
    lookups.reserve(kToolLookups);
    for (int i = 0; i < kToolLookups; ++i) {
      const std::string password = i % 2 ? KnownPassword(i % 500) : "absent-" + std::to_string(i);
      text += password;
      text += '\n';
      lookups.push_back(Utf8ToText(password));
    }
    std::FILE* out = std::fopen(input.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
    cpu = CpuSeconds();
    for (const Text& password : lookups)
      found += StoreLookupPassword(*store, password) == StoreAnswer::kFound;
    row.in_process_seconds = CpuSeconds() - cpu;
  }
  if (!RunToolLookup(tool, path, input, row)) std::fprintf(stderr, "zefastore lookup failed\n");
  fs::remove(input);
  if (found + sum == 0) std::fprintf(stderr, "(nothing found)\n");
  if (found < rounds * 500) std::fprintf(stderr, "known passwords missing!\n");
}

}  // namespace

int main(int argc, char** argv) {
  fs::path work = fs::temp_directory_path() / "zefa-store-bench";
  std::string tool = (fs::path(argv[0]).parent_path() / "zefastore").string();
  std::vector<uint64_t> sizes;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--work") == 0 && i + 1 < argc) {
      work = argv[++i];
    } else if (std::strcmp(argv[i], "--tool") == 0 && i + 1 < argc) {
      tool = argv[++i];
    } else {
      sizes.push_back(std::stoull(argv[i]));
    }
  }
  if (sizes.empty()) sizes = {10000000, 100000000};
  fs::create_directories(work);
  double load[3] = {};
  std::vector<Row> rows;
  for (uint64_t size : sizes) {
    const fs::path corpus = work / ("corpus-" + std::to_string(size) + ".txt");
    const fs::path store = work / ("store-" + std::to_string(size) + ".bin");
    const fs::path sorted_keys = work / ("keys-" + std::to_string(size) + ".bin");
    std::fprintf(stderr, "%llu: generating the corpus\n", static_cast<unsigned long long>(size));
    WriteCorpus(corpus, size, sorted_keys);
    std::fprintf(stderr, "%llu: building\n", static_cast<unsigned long long>(size));
    Row row;
    const bool built = Build(tool, corpus, store, row);
    fs::remove(corpus);
    if (!built) {
      std::fprintf(stderr, "zefastore create failed\n");
      return 1;
    }
    std::fprintf(stderr, "%llu: measuring\n", static_cast<unsigned long long>(size));
    Measure(store, sorted_keys, tool, work, row);
    fs::remove(store);
    fs::remove(sorted_keys);
    rows.push_back(row);
  }
  getloadavg(load, 3);
  std::printf(
      "| entries | bytes/entry | FP rate (header) | FP measured (absent tested) | "
      "cold page reads/lookup (mean, max over cold lookups; at open) | warm lookup password: wall "
      "(CPU) / key: wall | "
      "build time wall (CPU) | build peak memory |\n|---|---|---|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    std::printf(
        "| %llu | %.3f | %.3g | %llu of %llu (expected %.3f) | %.3f, %lld over %lld; %lld pages at "
        "open | "
        "%.2f us (%.2f us) / %.2f us | %.1f s (%.1f s) | %.1f MB |\n",
        static_cast<unsigned long long>(row.entries), row.bytes_per_entry, row.header_rate,
        static_cast<unsigned long long>(row.false_positives),
        static_cast<unsigned long long>(row.absent_tested), row.header_rate * row.absent_tested,
        row.cold_pages_mean, static_cast<long long>(row.cold_pages_max),
        static_cast<long long>(row.cold_lookups), static_cast<long long>(row.open_pages),
        row.warm_us, row.warm_cpu_us, row.warm_key_us, row.build_seconds, row.build_cpu_seconds,
        row.build_peak_mb);
  }
  std::printf(
      "\n| entries | warm key lookup, CPU | baseline: binary search over the sorted key file, CPU "
      "| ratio | "
      "zefastore lookup, 1M passwords to a pipe: wall (CPU) | baseline: the same lookups in "
      "process, CPU |\n"
      "|---|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    std::printf("| %llu | %.3f us | %.3f us | %.2f | %.2f s (%.2f s) | %.2f s |\n",
                static_cast<unsigned long long>(row.entries), row.warm_key_cpu_us,
                row.binary_search_cpu_us,
                row.binary_search_cpu_us > 0 ? row.warm_key_cpu_us / row.binary_search_cpu_us : 0.0,
                row.tool_seconds, row.tool_cpu_seconds, row.in_process_seconds);
  }
  std::printf("load average at the end: %.2f %.2f %.2f on %ld cores\n", load[0], load[1], load[2],
              sysconf(_SC_NPROCESSORS_ONLN));
  return 0;
}
