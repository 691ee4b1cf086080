// The lookup's bound when the service's name cannot be resolved in time: a
// name server that never answers, and one that answers after five seconds.
// The lookups run in a second run of this program inside private namespaces
// (testing/private_resolver.h), where the service URL is a host name only
// that name server knows.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "breach/pwned_lookup.h"
#include "util/server_paths.h"
#include "testing/private_resolver.h"
#include "testing/test_domain.h"

namespace zefa {
namespace {

using Clock = std::chrono::steady_clock;

// Far above the lookup's own bound of six polls (about 0.35 s), far below
// what waiting for the resolver costs (five seconds and more): the figure
// itself is measured by bench/dead_name_server_bench.cc.
constexpr double kNoWaitForResolverMs = 2000;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void RunInside(const std::string& filter, const std::string& mode) {
  const std::string why = testing::PrivateResolverUnavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  const std::string folder = testing::NewTempFolder("resolver");
  const int status = testing::RunInPrivateResolver(folder, filter, mode);
  std::filesystem::remove_all(folder);
  EXPECT_EQ(status, 0) << "the lookups inside the private namespaces failed (output above)";
}

TEST(PwnedLookupNameServer, SilentNameServerDoesNotHoldTheLookup) {
  RunInside("InsidePrivateResolver.SilentNameServer", "silent");
}

TEST(PwnedLookupNameServer, LateNameServerDoesNotHoldTheLookup) {
  RunInside("InsidePrivateResolver.LateNameServer", "late");
}

class InsidePrivateResolver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testing::PrivateResolverMode().empty())
      GTEST_SKIP() << "runs only inside the private namespaces (PwnedLookupNameServer starts it)";
    setenv("CLAVORA_PWNED_URL", "https://range.breach.test", 1);
    ServerPaths paths;
    paths.NetworkReady = 1;
    StoreServerPaths(paths);
  }
  void TearDown() override { ClearServerPaths(); }

  static Text Timed(const char* password, double& ms) {
    const Clock::time_point start = Clock::now();
    Text outcome = PwnedLookup(Utf8ToText(password));
    ms = MillisecondsSince(start);
    return outcome;
  }
};

TEST_F(InsidePrivateResolver, SilentNameServer) {
  ASSERT_EQ(testing::PrivateResolverMode(), "silent");
  testing::LocalNameServer server;
  ASSERT_TRUE(server.bound());
  double slowest = 0;
  for (int i = 0; i < 3; ++i) {
    double ms = 0;
    EXPECT_EQ(Timed("one after another", ms), kPwnedMaxRetries);
    EXPECT_LT(ms, kNoWaitForResolverMs);
    slowest = std::max(slowest, ms);
  }
  // Several at once, as several password changes would.
  std::vector<double> times(4);
  std::vector<Text> outcomes(times.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < times.size(); ++i)
    threads.emplace_back([&, i] { outcomes[i] = Timed("side by side", times[i]); });
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < times.size(); ++i) {
    EXPECT_EQ(outcomes[i], kPwnedMaxRetries);
    EXPECT_LT(times[i], kNoWaitForResolverMs);
    slowest = std::max(slowest, times[i]);
  }
  EXPECT_TRUE(server.HasUnreadQuery()) << "the lookup never asked the name server";
  std::printf("silent name server: slowest of 7 lookups %.0f ms\n", slowest);
}

TEST_F(InsidePrivateResolver, LateNameServer) {
  ASSERT_EQ(testing::PrivateResolverMode(), "late");
  testing::LocalNameServer server(std::chrono::seconds(5));
  ASSERT_TRUE(server.bound());
  const int threads_before = testing::ThreadCount();
  double ms = 0;
  EXPECT_EQ(Timed("answered too late", ms), kPwnedMaxRetries);
  EXPECT_LT(ms, kNoWaitForResolverMs);
  std::printf("name server answering after 5 s: lookup ended after %.0f ms\n", ms);

  // The abandoned resolution ends by itself once the answer is in: no
  // thread is left behind, and the next lookup behaves the same.
  const Clock::time_point wait_start = Clock::now();
  while (server.answered() < server.received() && MillisecondsSince(wait_start) < 8000)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_GT(server.answered(), 0);
  int threads_after = testing::ThreadCount();
  for (int i = 0; i < 40 && threads_after > threads_before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    threads_after = testing::ThreadCount();
  }
  EXPECT_EQ(threads_after, threads_before) << "a resolver thread outlived its answer";
  EXPECT_EQ(Timed("answered too late again", ms), kPwnedMaxRetries);
  EXPECT_LT(ms, kNoWaitForResolverMs);
}

}  // namespace
}  // namespace zefa
