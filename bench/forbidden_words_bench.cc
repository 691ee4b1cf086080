// Forbidden-word lists of dictionary size: loading a word file, building the
// automaton, and the per-password search, with the memory the list holds.
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

#include "platform/text.h"
#include "policy/word_file.h"
#include "rules/forbidden_words.h"

namespace {

using zefa::Text;
using zefa::WordList;

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

// Lower-case dictionary-like and password-like strings of 4 to 14 units.
std::string RealisticWord(Generator& g) {
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
    default: {  // random letters and digits
      std::string w;
      const size_t length = 4 + g.Below(11);
      for (size_t i = 0; i < length; ++i) {
        w += g.Below(3) == 0 ? static_cast<char>('0' + g.Below(10))
                             : static_cast<char>('a' + g.Below(26));
      }
      return w;
    }
  }
}

// Lower-cased test copies as the rule engine passes them: half of them hold a
// listed word, the rest are random.
std::vector<Text> MakePasswords(Generator& g, const std::vector<std::string>& words) {
  std::vector<Text> passwords;
  for (size_t i = 0; i < 1000; ++i) {
    std::string p;
    if (i % 2 == 0) {
      p = Digits(g, g.Below(3)) + words[g.Below(words.size())] + "!" + Digits(g, g.Below(4));
    } else {
      const size_t length = 8 + g.Below(9);
      for (size_t k = 0; k < length; ++k) p += static_cast<char>('!' + g.Below(94));
      for (char& c : p) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
    }
    passwords.push_back(zefa::Utf8ToText(p));
  }
  return passwords;
}

struct Fixture {
  std::filesystem::path file;
  std::vector<Text> passwords;
  std::vector<Text> short_list;  // the first words as a plain list
  WordList list;                 // see LoadedList
};

// One word file per size, written once and removed at exit.
struct Fixtures {
  std::map<size_t, std::unique_ptr<Fixture>> by_size;
  ~Fixtures() {
    for (auto& [size, f] : by_size) {
      std::error_code ignored;
      std::filesystem::remove(f->file, ignored);
    }
  }
};

Fixture& GetFixture(size_t word_count) {
  static Fixtures fixtures;
  std::unique_ptr<Fixture>& slot = fixtures.by_size[word_count];
  if (slot) return *slot;
  slot = std::make_unique<Fixture>();
  Generator g{word_count};
  std::vector<std::string> words;
  words.reserve(word_count);
  std::string bytes;
  for (size_t i = 0; i < word_count; ++i) {
    words.push_back(RealisticWord(g));
    bytes += words.back();
    bytes += "\r\n";
  }
  slot->file = std::filesystem::temp_directory_path() /
               ("forbidden_words_bench_" + std::to_string(word_count) + ".txt");
  std::ofstream(slot->file, std::ios::binary) << bytes;
  slot->passwords = MakePasswords(g, words);
  for (size_t i = 0; i < std::min<size_t>(word_count, 10000); ++i) {
    slot->short_list.push_back(zefa::Utf8ToText(words[i]));
  }
  return *slot;
}

// The fixture's list, loaded and finished on first use.
const WordList& LoadedList(Fixture& f) {
  if (!f.list.automaton) {
    zefa::LoadWordFile(f.list, zefa::Utf8ToText(f.file.string()), true, true);
    zefa::FinishWordList(f.list);
  }
  return f.list;
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

benchmark::Counter Bytes(double bytes) {
  return benchmark::Counter(bytes, benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
}

void ReportMemory(benchmark::State& state, const WordList& list) {
  state.counters["WordListMemory"] = Bytes(static_cast<double>(zefa::WordListMemory(list)));
  state.counters["PeakRSS"] = Bytes(StatusBytes("VmHWM:"));
}

// Reading and decoding the file alone.
void BM_LoadWordFile(benchmark::State& state) {
  Fixture& f = GetFixture(static_cast<size_t>(state.range(0)));
  const Text path = zefa::Utf8ToText(f.file.string());
  WordList list;
  for (auto _ : state) {
    zefa::LoadWordFile(list, path, true, true);
    benchmark::DoNotOptimize(list.pool.data());
  }
  ReportMemory(state, list);
}
BENCHMARK(BM_LoadWordFile)
    ->ArgNames({"words"})
    ->Arg(10000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

// Loading the file and building the automaton, as a policy reload does.
void BM_LoadAndFinishWordList(benchmark::State& state) {
  Fixture& f = GetFixture(static_cast<size_t>(state.range(0)));
  const Text path = zefa::Utf8ToText(f.file.string());
  WordList list;
  // These run before the search benchmarks keep lists alive, so the peak
  // shows what one load and build needs on top of the process.
  ResetPeakRss();
  state.counters["RSSBefore"] = Bytes(StatusBytes("VmRSS:"));
  for (auto _ : state) {
    zefa::LoadWordFile(list, path, true, true);
    zefa::FinishWordList(list);
    benchmark::DoNotOptimize(list.automaton.get());
  }
  ReportMemory(state, list);
}
BENCHMARK(BM_LoadAndFinishWordList)
    ->ArgNames({"words"})
    ->Arg(10000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

// The forbidden-word step for one password: args are the list size and the
// threshold in percent (0 = first listed word decides).
void BM_ForbiddenWordSearch(benchmark::State& state) {
  Fixture& f = GetFixture(static_cast<size_t>(state.range(0)));
  const WordList& list = LoadedList(f);
  const float threshold = static_cast<float>(state.range(1)) / 100.0f;
  size_t i = 0;
  size_t found = 0;
  for (auto _ : state) {
    const Text word = zefa::ForbiddenWordSearch(list, f.passwords[i], threshold);
    found += word.empty() ? 0 : 1;
    benchmark::DoNotOptimize(word.data());
    i = (i + 1) % f.passwords.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["FoundRate"] =
      static_cast<double>(found) / static_cast<double>(state.iterations());
  ReportMemory(state, list);
}
BENCHMARK(BM_ForbiddenWordSearch)
    ->ArgsProduct({{10000, 1000000}, {0, 50}})
    ->ArgNames({"words", "threshold"})
    ->Unit(benchmark::kMicrosecond);

// The plain walk that short policy lists use, for comparison.
void BM_ForbiddenWordPlainWalk(benchmark::State& state) {
  Fixture& f = GetFixture(10000);
  size_t i = 0;
  for (auto _ : state) {
    const Text word = zefa::ForbiddenWordSearch(f.short_list, f.passwords[i], 0.5f);
    benchmark::DoNotOptimize(word.data());
    i = (i + 1) % f.passwords.size();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ForbiddenWordPlainWalk)
    ->ArgNames({"words"})
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
