// One password through the rule evaluation of a realistic policy set.
#include <benchmark/benchmark.h>

#include "policy/policies.h"
#include "rules/evaluate_rules.h"

namespace zefa {
namespace {

PolicySet RealisticSet() {
  PolicySet set;
  set.Index = 1;
  set.Enabled = 1;
  set.MinLength = 12;
  set.MaxLength = 64;
  set.UpperCase = 1;
  set.LowerCase = 1;
  set.Number = 1;
  set.Special = 1;
  set.MaxRepeating = 3;
  set.MaxSequential = 4;
  set.NoName = 1;
  set.NoObfuscation = 1;
  set.ForbiddenChars = ZT("<>");
  set.ForbiddenStartChars = ZT("!");
  set.ForbiddenActive = 1;
  set.ForbiddenWords = {ZT("password"), ZT("winter"), ZT("summer"), ZT("spring"), ZT("autumn"),
                        ZT("company"), ZT("welcome"), ZT("letmein"), ZT("qwerty"), ZT("dragon")};
  set.RegEx = ZT("[A-Z].*[0-9]");
  return set;
}

void BM_EvaluateRules(benchmark::State& state) {
  const PolicySet set = RealisticSet();
  const RuleSubject subject{ZT("jdoe"), ZT("John-Paul Doe"), ZT("john.doe@example.test"),
                            ZT("John Doe")};
  const Text passwords[] = {ZT("Tr0ub4dor&3xyz"), ZT("short"), ZT("W1nter-is-coming!"),
                            ZT("CorrectHorse#42Battery")};
  size_t i = 0;
  for (auto _ : state) {
    RuleVerdict verdict = EvaluateRules(passwords[i++ % 4], subject, set);
    benchmark::DoNotOptimize(verdict);
  }
}
BENCHMARK(BM_EvaluateRules);

}  // namespace
}  // namespace zefa
