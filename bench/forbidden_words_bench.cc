// Forbidden-word lists of a million entries and more: loading a word file
// and building its index (time, peak and steady memory, the index's bytes
// against the file's), and the per-password search, on generated lists:
//   random      distinct random 8-20-character words of [a-z0-9] (1M)
//   dictionary  dictionary- and password-like words (4-14 units, some repeats)
//   duplicates  1-4 letters: a list of a million entries with few distinct
//               words, so every password holds hundreds of listed entries
//   random5m    as random, 5 million entries (load only)
//   few5m       5 million entries of only 1,000 distinct words (load only)
// Every file is written with CR LF line ends.
//
// What each benchmark measures:
//   BM_ForbiddenLoadAndBuild    LoadWordFile + FinishWordList, wall time;
//                               ListBytes / FileBytes = ListToFile
//   BM_ForbiddenBaselineLoad    the baseline: the same file read line by line
//                               into a plain std::vector<std::string>
//   BM_ForbiddenWordSearchCold  one check per iteration with the caches
//                               emptied before it (64 MiB walked outside the
//                               timing), as a password change finds them
//   BM_ForbiddenColdHarness     the cold benchmark's harness alone (caches
//                               emptied, nothing searched)
//   BM_ForbiddenWordSearch      warm: the same 500 passwords in turn, the
//                               index as cached as it gets
//   BM_ForbiddenWordPlainWalk   the baseline of the search: the plain walk
//                               over the whole list (std::vector of words)
// Run: zefa_bench --benchmark_filter=Forbidden
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/text.h"
#include "words/word_file.h"
#include "words/forbidden_words.h"

namespace {

using zefa::Text;
using zefa::WordList;

constexpr size_t kEntries = 1000000;

// Deterministic generator, independent of the standard library's
// distributions so every build sees the same words.
struct Generator {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t Below(size_t n) { return static_cast<size_t>(Next() % n); }
};

const char* const kSyllables[] = {"ka",   "ter", "lo",   "mi",   "san", "dra",  "gon",  "be",
                                  "ri",   "ton", "ma",   "ster", "qu",  "een",  "ph",   "oe",
                                  "nix",  "sum", "mer",  "win",  "al",  "ex",   "an",   "der",
                                  "chel", "sea", "foot", "ball", "ly",  "pass", "word", "mon",
                                  "key",  "sha", "dow",  "star", "lig", "ht",   "ch",   "ar"};
const char* const kKeyboard[] = {"qwerty", "asdf", "zxcv", "qazwsx", "1q2w3e", "abc", "iloveyou"};

std::string DictionaryWord(Generator& g, size_t min_length, size_t max_length) {
  const size_t target = min_length + g.Below(max_length - min_length + 1);
  std::string w;
  while (w.size() < target) w += kSyllables[g.Below(std::size(kSyllables))];
  return w.substr(0, target);
}

std::string Digits(Generator& g, size_t count) {
  std::string d;
  for (size_t i = 0; i < count; ++i) d += static_cast<char>('0' + g.Below(10));
  return d;
}

std::string RandomChars(Generator& g, const std::string& alphabet, size_t count) {
  std::string w;
  for (size_t i = 0; i < count; ++i) w += alphabet[g.Below(alphabet.size())];
  return w;
}

const std::string kLettersDigits = "abcdefghijklmnopqrstuvwxyz0123456789";

// Lower-case dictionary-like and password-like strings of 4 to 14 units.
std::string DictionaryLikeWord(Generator& g) {
  switch (g.Below(6)) {
    case 0:
    case 1:
      return DictionaryWord(g, 4, 12);
    case 2:  // word and a year
      return DictionaryWord(g, 4, 10) + std::to_string(1950 + g.Below(76));
    case 3:  // word and a few digits
      return DictionaryWord(g, 4, 10) + Digits(g, 1 + g.Below(4));
    case 4:  // keyboard walk with digits
      return (kKeyboard[g.Below(std::size(kKeyboard))] + Digits(g, 1 + g.Below(6))).substr(0, 14);
    default:
      return RandomChars(g, kLettersDigits, 4 + g.Below(11));
  }
}

enum ListKind { kRandom = 0, kDictionary = 1, kDuplicates = 2, kRandom5M = 3, kFew5M = 4 };
const char* const kKindNames[] = {"random", "dictionary", "duplicates", "random5m", "few5m"};

size_t EntriesOf(ListKind kind) { return kind >= kRandom5M ? 5 * kEntries : kEntries; }

std::string MakeWord(ListKind kind, Generator& g) {
  switch (kind) {
    case kRandom:
      return RandomChars(g, kLettersDigits, 8 + g.Below(13));
    case kDictionary:
      return DictionaryLikeWord(g);
    case kDuplicates:
      return RandomChars(g, "abcdefghijklmnopqrstuvwxyz", 1 + g.Below(4));
    case kRandom5M:
      return RandomChars(g, kLettersDigits, 8 + g.Below(13));
    case kFew5M: {
      // One of 1,000 fixed words.
      Generator fixed{1000 + g.Below(1000)};
      return RandomChars(fixed, kLettersDigits, 8 + fixed.Below(13));
    }
  }
  return {};
}

// Lower-cased test copies as the rule engine passes them, `length` units
// long: half are listed words glued with noise, half are random.
std::vector<Text> MakePasswords(Generator& g, const std::vector<std::string>& words,
                                size_t length) {
  std::vector<Text> passwords;
  for (size_t i = 0; i < 500; ++i) {
    std::string p;
    while (p.size() < length) {
      if (i % 2 == 0 && g.Below(2) == 0) {
        p += words[g.Below(words.size())];
      } else {
        p += RandomChars(g, kLettersDigits + "!#$%&*+-.?@_", 1 + g.Below(3));
      }
    }
    p.resize(length);
    passwords.push_back(zefa::Utf8ToText(p));
  }
  return passwords;
}

struct Fixture {
  std::filesystem::path file;
  size_t file_bytes = 0;
  std::vector<std::string> words;                 // 1M lists only
  std::map<size_t, std::vector<Text>> passwords;  // by length; 1M lists only
  std::unique_ptr<WordList> list;                 // see LoadedList
};

// One word file per list, written once and removed at exit.
struct Fixtures {
  std::map<int, std::unique_ptr<Fixture>> by_kind;
  ~Fixtures() {
    for (auto& [kind, f] : by_kind) {
      std::error_code ignored;
      std::filesystem::remove(f->file, ignored);
    }
  }
};

Fixture& GetFixture(ListKind kind) {
  static Fixtures fixtures;
  std::unique_ptr<Fixture>& slot = fixtures.by_kind[kind];
  if (slot) return *slot;
  slot = std::make_unique<Fixture>();
  Generator g{static_cast<uint64_t>(kind) * 7919 + 1};
  std::string bytes;
  const size_t entries = EntriesOf(kind);
  const bool keep_words = entries == kEntries;  // the search benchmarks' lists
  if (keep_words) slot->words.reserve(entries);
  for (size_t i = 0; i < entries; ++i) {
    std::string word = MakeWord(kind, g);
    bytes += word;
    bytes += "\r\n";
    if (keep_words) slot->words.push_back(std::move(word));
  }
  slot->file_bytes = bytes.size();
  slot->file = std::filesystem::temp_directory_path() /
               (std::string("forbidden_words_bench_") + kKindNames[kind] + ".txt");
  std::ofstream(slot->file, std::ios::binary) << bytes;
  if (keep_words) {
    for (const size_t length : {16, 64, 256})
      slot->passwords[length] = MakePasswords(g, slot->words, length);
  }
  return *slot;
}

Text PathOf(const Fixture& f) { return zefa::Utf8ToText(f.file.string()); }

// The fixture's list, loaded and finished on first use.
const WordList& LoadedList(Fixture& f) {
  if (!f.list) {
    f.list = std::make_unique<WordList>();
    zefa::LoadWordFile(*f.list, PathOf(f), true, true);
    zefa::FinishWordList(*f.list);
  }
  return *f.list;
}

// Resident-set figures of this process from /proc (0 where there is none).
double StatusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(field.size())) * 1024.0;
  }
  return 0;
}

// Starts a new peak-RSS measurement (Linux: resets VmHWM to the current RSS).
void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// Returns freed memory to the system, so resident figures show what is held.
void TrimHeap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

benchmark::Counter Bytes(double bytes) {
  return benchmark::Counter(bytes, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
}

// Loading the file and building the index, as a policy reload does for a
// changed file. Memory is measured on a first load outside the timing:
// PeakAdded is the most the load and build held on top of the process,
// SteadyAdded what the finished list keeps.
void BM_ForbiddenLoadAndBuild(benchmark::State& state) {
  const auto kind = static_cast<ListKind>(state.range(0));
  Fixture& f = GetFixture(kind);
  const Text path = PathOf(f);
  {
    TrimHeap();
    const double before = StatusBytes("VmRSS:");
    ResetPeakRss();
    auto list = std::make_unique<WordList>();
    zefa::LoadWordFile(*list, path, true, true);
    zefa::FinishWordList(*list);
    const double peak = StatusBytes("VmHWM:");
    TrimHeap();
    state.counters["PeakAdded"] = Bytes(peak - before);
    state.counters["SteadyAdded"] = Bytes(StatusBytes("VmRSS:") - before);
    state.counters["ListBytes"] = Bytes(static_cast<double>(zefa::WordListMemory(*list)));
    state.counters["FileBytes"] = Bytes(static_cast<double>(f.file_bytes));
    state.counters["ListToFile"] =
        static_cast<double>(zefa::WordListMemory(*list)) / static_cast<double>(f.file_bytes);
    state.counters["Entries"] = static_cast<double>(zefa::WordCount(*list));
  }
  for (auto _ : state) {
    WordList list;
    zefa::LoadWordFile(list, path, true, true);
    zefa::FinishWordList(list);
    benchmark::DoNotOptimize(list.index.get());
  }
  state.SetLabel(kKindNames[kind]);
}
BENCHMARK(BM_ForbiddenLoadAndBuild)
    ->ArgNames({"list"})
    ->DenseRange(0, 4)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// The baseline of the load: the file's lines in a std::vector<std::string>
// (UTF-8 as in the file, nothing normalised), read with std::getline.
void BM_ForbiddenBaselineLoad(benchmark::State& state) {
  const auto kind = static_cast<ListKind>(state.range(0));
  Fixture& f = GetFixture(kind);
  const auto load = [&f] {
    std::vector<std::string> words;
    std::ifstream in(f.file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      words.push_back(line);
    }
    return words;
  };
  {
    TrimHeap();
    const double before = StatusBytes("VmRSS:");
    auto words = std::make_unique<std::vector<std::string>>(load());
    state.counters["SteadyAdded"] = Bytes(StatusBytes("VmRSS:") - before);
    state.counters["FileBytes"] = Bytes(static_cast<double>(f.file_bytes));
    state.counters["Entries"] = static_cast<double>(words->size());
  }
  for (auto _ : state) {
    std::vector<std::string> words = load();
    benchmark::DoNotOptimize(words.data());
  }
  state.SetLabel(kKindNames[kind]);
}
BENCHMARK(BM_ForbiddenBaselineLoad)
    ->ArgNames({"list"})
    ->DenseRange(0, 4)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// Evicts every cache: walks a buffer twice the size of the last-level cache
// (32 MiB on the build machines), writing each line.
void EvictCaches() {
  static std::vector<uint64_t> buffer(64 * 1024 * 1024 / sizeof(uint64_t), 1);
  for (size_t i = 0; i < buffer.size(); i += 8) buffer[i] += 1;
  benchmark::ClobberMemory();
}

// One check on a cold cache, as a real password change sees it: before each
// check (outside the timing) the caches are emptied, then one password of a
// stream of 500 is searched.
void BM_ForbiddenWordSearchCold(benchmark::State& state) {
  const auto kind = static_cast<ListKind>(state.range(0));
  Fixture& f = GetFixture(kind);
  const WordList& list = LoadedList(f);
  const std::vector<Text>& passwords = f.passwords.at(static_cast<size_t>(state.range(1)));
  const float threshold = static_cast<float>(state.range(2)) / 100.0f;
  size_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    EvictCaches();
    state.ResumeTiming();
    const Text word = zefa::ForbiddenWordSearch(list, passwords[i], passwords[i], threshold);
    benchmark::DoNotOptimize(word.data());
    i = (i + 1) % passwords.size();
  }
  state.SetLabel(kKindNames[kind]);
}
// The harness of the cold benchmark alone: the caches emptied the same way,
// then nothing searched (what the cold figures hold beside the search).
void BM_ForbiddenColdHarness(benchmark::State& state) {
  Fixture& f = GetFixture(kRandom);
  const std::vector<Text>& passwords = f.passwords.at(16);
  size_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    EvictCaches();
    state.ResumeTiming();
    benchmark::DoNotOptimize(passwords[i].data());
    i = (i + 1) % passwords.size();
  }
}
BENCHMARK(BM_ForbiddenColdHarness)->Unit(benchmark::kMicrosecond)->Iterations(300);

BENCHMARK(BM_ForbiddenWordSearchCold)
    ->ArgsProduct({{0, 1, 2}, {16}, {0, 50}})
    ->ArgNames({"list", "length", "threshold"})
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(300);

// Warm: the forbidden-word step for one password, the same 500 passwords in
// turn, so the index stays in the caches as far as it fits: the list, the
// password length and the threshold in percent (0 = the first listed word
// decides). Both copies of the password are searched, as with NoObfuscation.
void BM_ForbiddenWordSearch(benchmark::State& state) {
  const auto kind = static_cast<ListKind>(state.range(0));
  Fixture& f = GetFixture(kind);
  const WordList& list = LoadedList(f);
  const std::vector<Text>& passwords = f.passwords.at(static_cast<size_t>(state.range(1)));
  std::vector<Text> deobfuscated = passwords;
  for (Text& p : deobfuscated) {
    for (auto& c : p) {
      if (c == '0') c = 'o';
      if (c == '1') c = 'i';
      if (c == '@') c = 'a';
    }
  }
  const float threshold = static_cast<float>(state.range(2)) / 100.0f;
  size_t i = 0;
  size_t found = 0;
  for (auto _ : state) {
    const Text word = zefa::ForbiddenWordSearch(list, passwords[i], deobfuscated[i], threshold);
    found += word.empty() ? 0 : 1;
    benchmark::DoNotOptimize(word.data());
    i = (i + 1) % passwords.size();
  }
  state.SetLabel(kKindNames[kind]);
  state.counters["FoundRate"] =
      static_cast<double>(found) / static_cast<double>(state.iterations());
  state.counters["ListBytes"] = Bytes(static_cast<double>(zefa::WordListMemory(list)));
}
BENCHMARK(BM_ForbiddenWordSearch)
    ->ArgsProduct({{0, 1, 2}, {16, 64, 256}, {0, 50}})
    ->ArgNames({"list", "length", "threshold"})
    ->Unit(benchmark::kMicrosecond);

// The baseline of the search: the plain walk that short policy lists use,
// over a whole list (a std::vector of the words), warm.
void BM_ForbiddenWordPlainWalk(benchmark::State& state) {
  const auto kind = static_cast<ListKind>(state.range(0));
  Fixture& f = GetFixture(kind);
  static std::map<int, std::vector<Text>> lists;
  std::vector<Text>& words = lists[kind];
  if (words.empty()) {
    for (const std::string& w : f.words) words.push_back(zefa::Utf8ToText(w));
  }
  const std::vector<Text>& passwords = f.passwords.at(static_cast<size_t>(state.range(1)));
  const float threshold = static_cast<float>(state.range(2)) / 100.0f;
  size_t i = 0;
  for (auto _ : state) {
    const Text word = zefa::ForbiddenWordSearch(words, passwords[i], threshold);
    benchmark::DoNotOptimize(word.data());
    i = (i + 1) % passwords.size();
  }
  state.SetLabel(kKindNames[kind]);
}
BENCHMARK(BM_ForbiddenWordPlainWalk)
    ->Args({0, 16, 0})
    ->Args({0, 16, 50})
    ->ArgNames({"list", "length", "threshold"})
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(20);

#if defined(__GLIBC__)
// A fixed threshold for mapped allocations, so that freed large blocks go
// back to the system and every load is measured from the same start.
const bool kFixedMmapThreshold = [] { return mallopt(M_MMAP_THRESHOLD, 256 * 1024) == 1; }();
#endif

}  // namespace
