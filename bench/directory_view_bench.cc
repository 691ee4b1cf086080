// The directory view at the size of a large domain: 100,000 accounts in 50
// OUs, 1,000 security groups (every account in three of them, groups
// nested in chains), built from synthetic directory entries. Figures: the
// build's time, the view's bytes per account, a lookup (container and the
// transitive groups included), a lookup of an account in 500 nested groups,
// and one poll of the test DC with nothing changed (CLAVORA_TEST_DC_DIR).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "directory/directory_view.h"
#include "directory/view_keeper.h"

namespace zefa {
namespace {

constexpr int kAccounts = 100000;
constexpr int kGroups = 1000;
constexpr int kOus = 50;
constexpr int kNested = 500;

std::string Sid(uint32_t rid) {
  std::string sid = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  for (uint32_t part : {1111u, 2222u, 3333u, rid})
    sid.append(reinterpret_cast<const char*>(&part), 4);
  return sid;
}

ObjectGuid Guid(uint32_t n) {
  ObjectGuid guid{};
  std::memcpy(guid.data(), &n, 4);
  guid[15] = 0x5a;
  return guid;
}

// The entries of the synthetic domain, as a full read hands them over.
std::vector<ViewChange> SyntheticDomain() {
  std::vector<ViewChange> changes;
  std::mt19937 random(42);
  uint32_t n = 1;
  std::vector<std::string> ous;
  for (int o = 0; o < kOus; ++o) {
    ViewChange ou;
    ou.Guid = Guid(n++);
    ou.Dn = "OU=Team " + std::to_string(o) + ",OU=Staff,DC=example,DC=test";
    ous.push_back(ou.Dn);
    changes.push_back(ou);
  }
  std::vector<std::string> group_dns;
  for (int g = 0; g < kGroups + kNested; ++g) {
    ViewChange group;
    group.Guid = Guid(n++);
    group.AccountName = "Group " + std::to_string(g);
    group.Dn = "CN=" + group.AccountName + ",OU=Groups,DC=example,DC=test";
    group.Sid = Sid(10000 + g);
    group.AccountType = 0x10000000;
    group.GroupType = 0x80000002;
    group_dns.push_back(group.Dn);
    changes.push_back(group);
  }
  ViewChange domain_users;
  domain_users.Guid = Guid(n++);
  domain_users.AccountName = "Domain Users";
  domain_users.Dn = "CN=Domain Users,CN=Users,DC=example,DC=test";
  domain_users.Sid = Sid(513);
  domain_users.AccountType = 0x10000000;
  domain_users.GroupType = 0x80000002;
  changes.push_back(domain_users);
  for (int a = 0; a < kAccounts; ++a) {
    ViewChange user;
    user.Guid = Guid(n++);
    user.AccountName = "user" + std::to_string(a);
    user.PrincipalName = user.AccountName + "@example.test";
    user.DisplayName = "User Number " + std::to_string(a);
    user.Dn = "CN=" + user.AccountName + "," + ous[a % kOus];
    user.Sid = Sid(100000 + a);
    user.AccountType = 0x30000000;
    user.PrimaryGroupId = 513;
    for (int k = 0; k < 3; ++k) changes[kOus + random() % kGroups].Members.push_back(user.Dn);
    changes.push_back(user);
  }
  // Chains of ten among the ordinary groups, and one chain of 500 holding
  // the last account.
  for (int g = 0; g < kGroups; ++g)
    if (g % 10 != 9) changes[kOus + g + 1].Members.push_back(group_dns[g]);
  changes[kOus + kGroups].Members.push_back("CN=user" + std::to_string(kAccounts - 1) + "," +
                                            ous[(kAccounts - 1) % kOus]);
  for (int g = kGroups; g + 1 < kGroups + kNested; ++g)
    changes[kOus + g + 1].Members.push_back(group_dns[g]);
  return changes;
}

std::unique_ptr<DirectoryView> BuiltView() {
  auto view = std::make_unique<DirectoryView>();
  view->SetDomain("DC=example,DC=test");
  std::vector<ViewChange> changes = SyntheticDomain();
  view->Apply(changes);
  return view;
}

void BM_ViewBuild100k(benchmark::State& state) {
  size_t bytes = 0, accounts = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<ViewChange> changes = SyntheticDomain();
    state.ResumeTiming();
    DirectoryView view;
    view.SetDomain("DC=example,DC=test");
    view.Apply(changes);
    view.Trim();
    const ViewStatistics statistics = view.Statistics();
    bytes = statistics.Bytes;
    accounts = statistics.Accounts;
  }
  state.counters["accounts"] = static_cast<double>(accounts);
  state.counters["bytes_per_account"] = static_cast<double>(bytes) / static_cast<double>(accounts);
}
BENCHMARK(BM_ViewBuild100k)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ViewLookup(benchmark::State& state) {
  static const std::unique_ptr<DirectoryView> view = BuiltView();
  std::vector<Text> names;
  for (int i = 0; i < 1024; ++i)
    names.push_back(Utf8ToText("user" + std::to_string((i * 7919) % kAccounts)));
  size_t i = 0;
  for (auto _ : state) {
    UserRecord record;
    AccountKind kind;
    benchmark::DoNotOptimize(view->Lookup(names[i++ % names.size()], ZT("EXAMPLE"), record, kind));
  }
}
BENCHMARK(BM_ViewLookup)->Unit(benchmark::kMicrosecond);

void BM_ViewLookupIn500NestedGroups(benchmark::State& state) {
  static const std::unique_ptr<DirectoryView> view = BuiltView();
  const Text name = Utf8ToText("user" + std::to_string(kAccounts - 1));
  size_t groups = 0;
  for (auto _ : state) {
    UserRecord record;
    AccountKind kind;
    view->Lookup(name, ZT("EXAMPLE"), record, kind);
    groups = std::count(record.GroupNames.begin(), record.GroupNames.end(), ZT(';'));
  }
  state.counters["groups"] = static_cast<double>(groups);
}
BENCHMARK(BM_ViewLookupIn500NestedGroups)->Unit(benchmark::kMicrosecond);

// One poll of the test DC after the view was built: the RootDSE read that
// finds nothing new.
void BM_ViewPollNothingChanged(benchmark::State& state) {
  const char* dc = std::getenv("CLAVORA_TEST_DC_DIR");
  if (dc == nullptr) {
    state.SkipWithError("no test DC (CLAVORA_TEST_DC_DIR)");
    return;
  }
  std::string uri = "ldapi://";
  for (char c : std::string(dc) + "/private/ldap_priv/ldapi")
    uri += c == '/' ? std::string("%2F") : std::string(1, c);
  setenv("CLAVORA_LDAP_URI", uri.c_str(), 1);
  ResetDirectoryView();
  if (!RefreshDirectoryView()) {
    state.SkipWithError("the test DC does not answer");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(RefreshDirectoryView());
}
BENCHMARK(BM_ViewPollNothingChanged)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zefa
