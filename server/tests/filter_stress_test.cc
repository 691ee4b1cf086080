// Many threads in the exported entry points while the maintenance worker
// reloads changed policies: every verdict must equal the single-threaded
// one, and nothing may deadlock (run under ThreadSanitizer by the CI).
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <utility>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "filter/exports.h"
#include "filter/password_filter.h"
#include "server/library_state.h"
#include "policy/policies.h"
#include "server/maintenance_worker.h"
#include "server/reload_policies.h"
#include "server/server_initialisation.h"
#include "server/tests/fresh_server.h"
#include "util/text_util.h"

namespace zefa {
namespace {

using namespace std::chrono_literals;
using testing::T;

constexpr int kThreads = 6;

ZEFA_UNICODE_STRING Counted(Text& text) {
  ZEFA_UNICODE_STRING s;
  s.Length = static_cast<uint16_t>(text.size() * sizeof(WChar));
  s.MaximumLength = s.Length;
  s.Buffer = text.data();
  return s;
}

bool Filter(const std::string& account, const std::string& password) {
  Text a = T(account), p = T(password), f;
  ZEFA_UNICODE_STRING ua = Counted(a), up = Counted(p), uf = Counted(f);
  return PasswordFilter(&ua, &uf, &up, 0) != 0;
}

void Notify(const std::string& account, const std::string& password) {
  Text a = T(account), p = T(password);
  ZEFA_UNICODE_STRING ua = Counted(a), up = Counted(p);
  PasswordChangeNotify(&ua, 0, &up);
}

Text LoadedRulesText() {
  const PolicySnapshot policies = CurrentPolicies();
  return policies->Sets.empty() ? Text() : policies->Sets.front().RulesText;
}

struct Case {
  std::string account;
  std::string password;
  bool verdict = false;
};

TEST(FilterStress, VerdictsHoldWhileTheWorkerReloadsPolicies) {
  testing::FreshServer server;
  server.SetPolicy(1, "Enabled", "1");
  server.SetPolicy(1, "UserGroups", "Engineers");
  server.SetPolicy(1, "MinLength", "8");
  server.SetPolicy(1, "Number", "1");
  server.SetPolicy(1, "MaxRepeating", "3");
  server.SetPolicy(1, "RulesText", "round 0");
  server.SetPolicy(0, "SkipUsers", "svc");
  SetUserLookupForTesting([](const Text& name, UserRecord& user) {
    if (name.rfind(ZT("user"), 0) != 0 && name != ZT("svc")) return;
    user.AccountName = name;
    user.PrincipalName = name + ZT("@example.test");
    user.DisplayName = ZT("Stress ") + name;
    user.Container = ZT("Staff/Engineering");
    user.GroupNames = ZT("Engineers;Domain Users;");
  });

  SetMaintenanceTickForTesting(1ms);
  InitializeChangeNotify();  // outside test mode: starts the worker
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!Initialised() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(Initialised());

  std::vector<Case> cases;
  for (const char* password : {"longenough1", "short1", "aaaa-bbbb-1", "noDigitsHere", ""})
    for (const char* account : {"user1", "svc", "nobody", "PC01$"})
      cases.push_back({account, password, false});
  for (Case& c : cases) c.verdict = Filter(c.account, c.password);

  std::atomic<bool> done{false};
  std::atomic<int> wrong{0}, calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string own = "user" + std::to_string(t);
      for (size_t i = t; !done.load(); ++i) {
        const Case& c = cases[i % cases.size()];
        if (Filter(c.account, c.password) != c.verdict) ++wrong;
        if (i % 7 == 0) Notify(own, "Changed-" + std::to_string(i));
        ++calls;
      }
    });
  }
  // Each change must be picked up by the worker, while the filters run.
  int reloads = 0;
  for (int round = 1; round <= 8; ++round) {
    const std::string rules = "round " + std::to_string(round);
    server.SetPolicy(1, "RulesText", rules);
    server.SetPolicy(0, "SkipUsers", round % 2 ? "svc;other" : "svc");
    testing::TestDomain::ForgetPolicyStamp();
    const auto limit = std::chrono::steady_clock::now() + 30s;
    while (LoadedRulesText() != T(rules) && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(1ms);
    reloads += LoadedRulesText() == T(rules) ? 1 : 0;
  }
  done = true;
  for (std::thread& thread : threads) thread.join();
  StopMaintenanceWorker();
  SetMaintenanceTickForTesting(1000ms);

  EXPECT_EQ(reloads, 8);
  EXPECT_EQ(wrong.load(), 0) << "of " << calls.load() << " calls";
  EXPECT_GT(calls.load(), kThreads);
  const std::string log = testing::ReadFileText(server.log_file());
  EXPECT_NE(log.find("\tPassword Changed\t"), std::string::npos);
  EXPECT_EQ(log.find("Changed-"), std::string::npos) << "no password in the log";
}

// A check takes one published configuration and uses only that: while one
// thread edits set 1 and its word file and reloads again and again, every
// check on the other threads sees a set and a word list of the same load.
// Load k sets MinLength to 20 + j and the word file's only word to "zz" and
// j + 3 letters "q" (j = k % 5). The password "zzqqqqqqq" holds every such
// word and is shorter than every MinLength, so each rejection names both
// values, and they must name the same j.
TEST(FilterStress, ConcurrentCallsSeeOneLoadedConfiguration) {
  testing::TestDomain domain;
  const auto load = [&](int j) {
    testing::WriteFileText(domain.words_folder() + "/rotating.txt",
                           "zz" + std::string(static_cast<size_t>(j) + 3, 'q') + "\r\n");
    domain.SetPolicy(1, "MinLength", std::to_string(20 + j));
    testing::TestDomain::ForgetPolicyStamp();
  };
  std::filesystem::create_directories(domain.words_folder());
  domain.SetPolicy(1, "Enabled", "1");
  domain.SetPolicy(1, "UserGroups", "Engineers");
  domain.SetPolicy(1, "ForbiddenFile", "rotating.txt");
  load(0);
  SetUserLookupForTesting([](const Text& name, UserRecord& user) {
    user.AccountName = name;
    user.GroupNames = ZT("Engineers;Domain Users;");
  });
  ASSERT_EQ(ServerInitialisation(), 1);
  ASSERT_EQ(CurrentPolicies()->Sets.front().MinLength, 20);

  // The j that the rejection's MinLength line and its found word each name;
  // -1 when the line or the word is missing.
  const auto named = [](const std::string& reason) {
    const std::string min_line = "-Must be at least ";
    const std::string found = "(found zz";
    const size_t at_min = reason.find(min_line);
    const size_t at_word = reason.find(found);
    if (at_min == std::string::npos || at_word == std::string::npos)
      return std::pair<int, int>(-1, -1);
    const int min_length = std::stoi(reason.substr(at_min + min_line.size()));
    const size_t letters =
        reason.find_first_not_of('q', at_word + found.size()) - (at_word + found.size());
    return std::pair<int, int>(min_length - 20, static_cast<int>(letters) - 3);
  };
  std::atomic<bool> done{false};
  std::atomic<int> checks{0}, torn{0}, unreadable{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const Text account = ZT("user") + IntegerToText(t), full_name, password = ZT("zzqqqqqqq");
      while (!done.load()) {
        const FilterOutcome outcome =
            CheckPassword(FilterRequest{&account, &full_name, &password, false});
        const auto [from_set, from_words] = named(TextToUtf8(outcome.Reason));
        if (outcome.Verdict != FilterVerdict::Denied || from_set < 0 || from_words < 0)
          ++unreadable;
        else if (from_set != from_words)
          ++torn;
        ++checks;
      }
    });
  }
  int loads = 0;
  for (int k = 1; k <= 200; ++k) {
    load(k % 5);
    loads += ReloadPolicies();
  }
  done = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(loads, 200);
  EXPECT_GT(checks.load(), 0);
  EXPECT_EQ(unreadable.load(), 0) << "of " << checks.load() << " checks";
  EXPECT_EQ(torn.load(), 0) << "of " << checks.load() << " checks";
}

}  // namespace
}  // namespace zefa
