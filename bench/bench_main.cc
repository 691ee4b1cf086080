// zefa_bench's main: runs the selected benchmarks as usual, then prints a
// short table of the figures that matter for a password change, each beside
// its baseline from the same run (CPU time of the process; wall-clock time
// is noisy on a shared machine). Rows whose benchmarks were filtered out are
// left out.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) captured_.push_back(run);
    }
  }

  const Run* Find(const std::string& prefix) const {
    for (const Run& run : captured_) {
      if (run.benchmark_name().rfind(prefix, 0) == 0) return &run;
    }
    return nullptr;
  }

 private:
  std::vector<Run> captured_;
};

double CpuMicroseconds(const benchmark::BenchmarkReporter::Run& run) {
  return run.GetAdjustedCPUTime() * 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
}

double Counter(const benchmark::BenchmarkReporter::Run& run, const char* name) {
  const auto found = run.counters.find(name);
  return found == run.counters.end() ? 0 : found->second.value;
}

void PrintTable(const TableReporter& runs) {
  std::printf("\n| figure | measured | baseline (same run) | ratio |\n|---|---|---|---|\n");
  const char* const lists[][2] = {{"0", "1M random words"},
                                  {"3", "5M random words"},
                                  {"4", "5M entries, 1,000 distinct words"},
                                  {"1", "1M dictionary-like words"},
                                  {"2", "1M entries of 1-4 letters"}};
  for (const auto& [arg, what] : lists) {
    const auto* index = runs.Find(std::string("BM_ForbiddenLoadAndBuild/list:") + arg + "/");
    const auto* plain = runs.Find(std::string("BM_ForbiddenBaselineLoad/list:") + arg + "/");
    if (index == nullptr) continue;
    const double file = Counter(*index, "FileBytes");
    const double plain_bytes = plain ? Counter(*plain, "SteadyAdded") : 0;
    std::printf(
        "| word index memory, %s (file %.1f MB) | %.1f MB = %.2f x the file | "
        "vector<string>: %.1f MB = %.2f x the file | %.2f |\n",
        what, file / 1e6, Counter(*index, "ListBytes") / 1e6, Counter(*index, "ListBytes") / file,
        plain_bytes / 1e6, plain_bytes / file,
        plain_bytes > 0 ? Counter(*index, "ListBytes") / plain_bytes : 0.0);
    std::printf("| load and build, %s | %.0f ms | vector<string> load: %.0f ms | %.2f |\n", what,
                CpuMicroseconds(*index) / 1e3, plain ? CpuMicroseconds(*plain) / 1e3 : 0.0,
                plain ? CpuMicroseconds(*index) / CpuMicroseconds(*plain) : 0.0);
  }
  for (const char* threshold : {"0", "50"}) {
    const std::string args = std::string("list:0/length:16/threshold:") + threshold;
    const auto* cold = runs.Find("BM_ForbiddenWordSearchCold/" + args);
    const auto* warm = runs.Find("BM_ForbiddenWordSearch/" + args);
    const auto* walk = runs.Find("BM_ForbiddenWordPlainWalk/" + args);
    if (cold == nullptr && warm == nullptr) continue;
    const double baseline = walk ? CpuMicroseconds(*walk) : 0;
    if (cold) {
      const auto* harness = runs.Find("BM_ForbiddenColdHarness");
      std::printf(
          "| forbidden-word check, cold cache, 1M words, 16 characters, threshold %s%% | "
          "%.2f us (harness alone: %.2f us) | plain walk: %.0f us | %.4f |\n",
          threshold, CpuMicroseconds(*cold), harness ? CpuMicroseconds(*harness) : 0.0, baseline,
          baseline > 0 ? CpuMicroseconds(*cold) / baseline : 0.0);
    }
    if (warm) {
      std::printf(
          "| forbidden-word check, warm, 1M words, 16 characters, threshold %s%% | "
          "%.2f us | plain walk: %.0f us | %.4f |\n",
          threshold, CpuMicroseconds(*warm), baseline,
          baseline > 0 ? CpuMicroseconds(*warm) / baseline : 0.0);
    }
  }
  const auto* hash = runs.Find("BM_HashPassword/sha256");
  const auto* floor = runs.Find("BM_Sha256Floor");
  if (hash && floor) {
    std::printf(
        "| history hash (1,001 SHA-256 rounds) | %.1f us | SHA-256 floor: %.1f us | %.2f |\n",
        CpuMicroseconds(*hash), CpuMicroseconds(*floor),
        CpuMicroseconds(*hash) / CpuMicroseconds(*floor));
  }
  std::printf(
      "(CPU time of the process; the store's and the host's figures come from "
      "store_bench and zefa_host_load)\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintTable(reporter);
  benchmark::Shutdown();
  return 0;
}
