// `zefareg import` of one .reg file with many values under a policy set's
// key, through the tool's own command (parse, write, touch of the policy
// key), into a fresh registry store each time. The time should grow with
// the number of values, not with its square.
// Run: zefa_bench --benchmark_filter=RegImport
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "testing/test_domain.h"
#include "tools/reg_command.h"

namespace zefa {
namespace {

std::string RegFileWithValues(size_t count) {
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora\\1]\r\n";
  for (size_t i = 0; i < count; ++i)
    text += "\"Value" + std::to_string(i) + "\"=\"text of value " + std::to_string(i) + "\"\r\n";
  return text;
}

void BM_RegImportValues(benchmark::State& state) {
  const std::string folder = testing::NewTempFolder("reg-import-bench");
  const std::string file = folder + "/values.reg";
  std::ofstream(file, std::ios::binary) << RegFileWithValues(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    const std::string root = folder + "/root";
    std::filesystem::remove_all(root);
    setenv("CLAVORA_ROOT", root.c_str(), 1);
    state.ResumeTiming();
    const reg::CommandOutcome outcome = reg::RunCommand({ZT("import"), Utf8ToText(file)});
    if (outcome.exit_code != 0) state.SkipWithError("import failed");
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_RegImportValues)
    ->ArgNames({"values"})
    ->Arg(1000)
    ->Arg(4000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace
}  // namespace zefa
