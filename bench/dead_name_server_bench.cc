// How long a password change waits for the breached-password lookup when the
// service's name cannot be resolved: the program moves itself into private
// mount and network namespaces (testing/private_resolver.h; root only) whose
// only name server is a local socket that never answers, then measures
// PwnedLookup alone and a whole PasswordFilter call with PwnedEnabled.
// Target: the filter call returns within 0.6 s.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "breach/pwned_lookup.h"
#include "directory/lookup_user.h"
#include "filter/exports.h"
#include "server/server_initialisation.h"
#include "testing/private_resolver.h"
#include "testing/test_domain.h"

namespace zefa {
namespace {

void BM_PwnedLookupSilentNameServer(benchmark::State& state) {
  ServerPaths paths;
  paths.NetworkReady = 1;
  StoreServerPaths(paths);
  const Text password = ZT("Dead name server 1");
  for (auto _ : state) {
    const Text outcome = PwnedLookup(password);
    if (outcome != kPwnedMaxRetries) state.SkipWithError("unexpected outcome");
  }
  ClearServerPaths();
}
BENCHMARK(BM_PwnedLookupSilentNameServer)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

void BM_PasswordFilterPwnedSilentNameServer(benchmark::State& state) {
  testing::TestDomain domain;
  domain.SetPolicy(1, "Enabled", "1");
  domain.SetPolicy(1, "UserGroups", "Staff");
  domain.SetPolicy(1, "MinLength", "8");
  domain.SetPolicy(1, "PwnedEnabled", "1");
  SetUserLookupForTesting([](const Text& name, UserRecord& user) {
    user.AccountName = name;
    user.GroupNames = ZT("Staff;");
  });
  if (ServerInitialisation() != 1) {
    state.SkipWithError("initialisation failed");
    return;
  }
  Text account = ZT("jdoe"), full, password = ZT("Completely new 2026!");
  ZEFA_UNICODE_STRING a{8, 8, account.data()}, f{0, 0, full.data()},
      p{static_cast<uint16_t>(password.size() * 2), static_cast<uint16_t>(password.size() * 2),
        password.data()};
  for (auto _ : state) {
    if (PasswordFilter(&a, &f, &p, 0) == 0) state.SkipWithError("password refused");
  }
  SetUserLookupForTesting(nullptr);
}
BENCHMARK(BM_PasswordFilterPwnedSilentNameServer)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);

}  // namespace
}  // namespace zefa

int main(int argc, char** argv) {
  const std::string why = zefa::testing::PrivateResolverUnavailable();
  if (!why.empty()) {
    std::printf("skipped: %s\n", why.c_str());
    return 0;
  }
  const std::string folder = zefa::testing::NewTempFolder("resolver");
  zefa::testing::WritePrivateResolverFiles(folder);
  const std::string resolv = folder + "/resolv.conf", hosts = folder + "/hosts",
                    nsswitch = folder + "/nsswitch.conf";
  if (!zefa::testing::EnterPrivateResolver(resolv.c_str(), hosts.c_str(), nsswitch.c_str())) {
    std::printf("could not enter the private namespaces\n");
    return 1;
  }
  setenv("CLAVORA_PWNED_URL", "https://range.breach.test", 1);
  zefa::testing::LocalNameServer silent;
  if (!silent.bound()) {
    std::printf("could not bind the silent name server\n");
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(folder);
  return 0;
}
