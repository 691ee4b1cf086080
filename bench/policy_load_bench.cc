// Loading the policy sets when a set carries a forbidden-word value of
// 300,000 words (typed or pasted into the Forbidden multi-string) beside its
// other values: the normalisation of the list and the reading of the key.
// Run: zefa_bench --benchmark_filter=Policy
#include <benchmark/benchmark.h>

#include <string>

#include "policy/normalise_list.h"
#include "policy/policies.h"
#include "testing/test_domain.h"
#include "platform/registry.h"

namespace zefa {
namespace {

std::string ManyWords(size_t count) {
  std::string words;
  for (size_t i = 0; i < count; ++i) {
    words += "Word" + std::to_string(i * 7919 % 1000003);
    words += "\r\n";
  }
  return words;
}

void BM_PolicyNormaliseForbiddenValue(benchmark::State& state) {
  const Text value = Utf8ToText(ManyWords(static_cast<size_t>(state.range(0))));
  for (auto _ : state) {
    std::vector<Text> words = SplitForbiddenWords(value);
    benchmark::DoNotOptimize(words.data());
  }
}
BENCHMARK(BM_PolicyNormaliseForbiddenValue)
    ->ArgNames({"words"})
    ->Arg(300000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// LoadPolicies with every value of set 1 present and a Forbidden value of
// `words` lines.
void BM_PolicyLoadWithLargeForbiddenValue(benchmark::State& state) {
  testing::TestDomain domain;
  domain.SetPolicy(0, "SkipUsers", "svc");
  const char* const numbers[] = {"Enabled",
                                 "MinLength",
                                 "MaxLength",
                                 "LowerCase",
                                 "UpperCase",
                                 "Number",
                                 "Special",
                                 "MaxRepeating",
                                 "MaxSequential",
                                 "NoName",
                                 "NoObfuscation",
                                 "NoSpace",
                                 "MinWords",
                                 "PwnedEnabled",
                                 "ForbiddenThreshold",
                                 "LockoutThreshold",
                                 "LockoutDurationMin",
                                 "LockoutObservationWindowMin",
                                 "MaxPasswordAgeDays",
                                 "MinPasswordAgeDays",
                                 "PasswordHistory"};
  for (const char* name : numbers) domain.SetPolicy(1, name, "1", platform::kRegDword);
  domain.SetPolicy(1, "UserGroups", "Staff\r\nAdmins", platform::kRegMultiSz);
  domain.SetPolicy(1, "RulesText", "Long passwords, please.");
  domain.SetPolicy(1, "RegEx", "[0-9]");
  domain.SetPolicy(1, "Forbidden", ManyWords(static_cast<size_t>(state.range(0))),
                   platform::kRegMultiSz);
  for (auto _ : state) {
    testing::TestDomain::ForgetPolicyStamp();
    benchmark::DoNotOptimize(LoadPolicies());
  }
}
BENCHMARK(BM_PolicyLoadWithLargeForbiddenValue)
    ->ArgNames({"words"})
    ->Arg(300000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace
}  // namespace zefa
