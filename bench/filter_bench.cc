// One password through the rule evaluation of a realistic policy set, warm:
// four passwords in turn, the rules' data in the caches.
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
  set.ForbiddenWords = {ZT("password"), ZT("winter"),  ZT("summer"),  ZT("spring"), ZT("autumn"),
                        ZT("company"),  ZT("welcome"), ZT("letmein"), ZT("qwerty"), ZT("dragon")};
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
    RuleVerdict verdict = EvaluateRules(passwords[i++ % 4], subject, set, nullptr);
    benchmark::DoNotOptimize(verdict);
  }
}
BENCHMARK(BM_EvaluateRules);

}  // namespace
}  // namespace zefa

// ---------------------------------------------------------------------------
// A whole PasswordFilter call through the exported entry point, warm (the
// same password every time), with the similarity check reading an
// eight-line history file: one salted hash of 1001 SHA-256 rounds per call
// (of the reduced password) is the dominant cost.
#include "directory/lookup_user.h"
#include "filter/exports.h"
#include "filter/change_notify.h"
#include "server/server_initialisation.h"
#include "testing/test_domain.h"

namespace zefa {
namespace {

void BM_PasswordFilterWithHistory(benchmark::State& state) {
  testing::TestDomain domain;
  domain.SetPolicy(1, "Enabled", "1");
  domain.SetPolicy(1, "UserGroups", "Staff");
  domain.SetPolicy(1, "MinLength", "8");
  domain.SetPolicy(1, "NoSimilarity", "1");
  SetUserLookupForTesting([](const Text& name, UserRecord& user) {
    user.AccountName = name;
    user.GroupNames = ZT("Staff;");
  });
  if (ServerInitialisation() != 1) {
    state.SkipWithError("initialisation failed");
    return;
  }
  Text account = ZT("jdoe");
  for (int i = 0; i < 8; ++i) {
    Text old = ZT("Earlier password ") + IntegerToText(i);
    RunPasswordChangeNotify(&account, &old);
  }
  Text full, password = ZT("Completely new 2026!");
  ZEFA_UNICODE_STRING a{8, 8, account.data()}, f{0, 0, full.data()},
      p{static_cast<uint16_t>(password.size() * 2), static_cast<uint16_t>(password.size() * 2),
        password.data()};
  for (auto _ : state) benchmark::DoNotOptimize(PasswordFilter(&a, &f, &p, 0));
}
BENCHMARK(BM_PasswordFilterWithHistory)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zefa
