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
//   - warm lookup time of a password (hashing included).
//   store_bench [--work FOLDER] [--tool PATH] [SIZE...]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
};

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

std::string KnownPassword(int i) { return "Known-Bench-" + std::to_string(i); }

void WriteCorpus(const fs::path& path, uint64_t entries) {
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
        for (int d = 0; d < 16 && w * 16 + d < 40; ++d, value >>= 4) line[w * 16 + d] = digits[value & 15];
      }
    }
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

void Measure(const fs::path& path, Row& row) {
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
  for (uint64_t b = 0; b < store->header.block_count; ++b) sum += StoreLookupKey(*store, store->index[b] << (64 - store->header.prefix_bits)) == StoreAnswer::kFound;
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
    for (const Text& password : passwords) found += StoreLookupPassword(*store, password) == StoreAnswer::kFound;
  row.warm_us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() /
                (rounds * passwords.size());
  row.warm_cpu_us = (CpuSeconds() - cpu_start) * 1e6 / (rounds * passwords.size());
  std::vector<uint64_t> keys(1000000);
  for (uint64_t& key : keys) key = random();
  start = Clock::now();
  for (uint64_t key : keys) found += StoreLookupKey(*store, key) == StoreAnswer::kFound;
  row.warm_key_us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / keys.size();
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
    std::fprintf(stderr, "%llu: generating the corpus\n", static_cast<unsigned long long>(size));
    WriteCorpus(corpus, size);
    std::fprintf(stderr, "%llu: building\n", static_cast<unsigned long long>(size));
    Row row;
    const bool built = Build(tool, corpus, store, row);
    fs::remove(corpus);
    if (!built) {
      std::fprintf(stderr, "zefastore create failed\n");
      return 1;
    }
    std::fprintf(stderr, "%llu: measuring\n", static_cast<unsigned long long>(size));
    Measure(store, row);
    fs::remove(store);
    rows.push_back(row);
  }
  getloadavg(load, 3);
  std::printf("| entries | bytes/entry | FP rate (header) | FP measured (absent tested) | "
              "cold page reads/lookup (mean, max over cold lookups; at open) | warm lookup password: wall (CPU) / key: wall | "
              "build time wall (CPU) | build peak memory |\n|---|---|---|---|---|---|---|---|\n");
  for (const Row& row : rows) {
    std::printf("| %llu | %.3f | %.3g | %llu of %llu (expected %.3f) | %.3f, %lld over %lld; %lld pages at open | "
                "%.2f us (%.2f us) / %.2f us | %.1f s (%.1f s) | %.1f MB |\n",
                static_cast<unsigned long long>(row.entries), row.bytes_per_entry, row.header_rate,
                static_cast<unsigned long long>(row.false_positives),
                static_cast<unsigned long long>(row.absent_tested),
                row.header_rate * row.absent_tested, row.cold_pages_mean,
                static_cast<long long>(row.cold_pages_max), static_cast<long long>(row.cold_lookups),
                static_cast<long long>(row.open_pages),
                row.warm_us, row.warm_cpu_us, row.warm_key_us, row.build_seconds, row.build_cpu_seconds, row.build_peak_mb);
  }
  std::printf("load average at the end: %.2f %.2f %.2f on %ld cores\n", load[0], load[1], load[2],
              sysconf(_SC_NPROCESSORS_ONLN));
  return 0;
}
