// The background worker with shortened ticks: it initialises once the share
// appears, brings policy changes in, runs the daily pass, and stops at once.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "filter/filter_state.h"
#include "policy/policies.h"
#include "server/maintenance_worker.h"
#include "server/tests/fresh_server.h"

namespace zefa {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

int64_t LoadedMinLength() {
  std::lock_guard<std::mutex> guard(PolicyLock());
  return Policies().Sets.empty() ? -1 : Policies().Sets.front().MinLength;
}

class MaintenanceWorkerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    StopMaintenanceWorker();
    SetMaintenanceTickForTesting(1000ms);
  }
};

TEST_F(MaintenanceWorkerTest, InitialisesOnceTheShareAppearsThenFollowsPolicyChanges) {
  testing::FreshServer server;
  const std::string conf = testing::ReadFileText(server.root() + "/smb.conf");
  testing::WriteFileText(server.root() + "/smb.conf", "[global]\n\tworkgroup = EXAMPLE\n");
  server.SetPolicy(1, "Enabled", "1");
  server.SetPolicy(1, "MinLength", "8");
  SetMaintenanceTickForTesting(1ms);
  StartMaintenanceWorker();
  std::this_thread::sleep_for(300ms);  // several minute steps without a share
  EXPECT_FALSE(Initialised());
  EXPECT_FALSE(std::filesystem::exists(server.system_folder()));

  testing::WriteFileText(server.root() + "/smb.conf", conf);
  ASSERT_TRUE(WaitUntil([] { return Initialised(); }, 30s));
  EXPECT_TRUE(std::filesystem::is_directory(server.system_folder() + "/idh"));
  EXPECT_EQ(LoadedMinLength(), 8);

  // The root key's stamp tells a change (as when Group Policy rewrites the
  // key), also one right after the load, within the same second.
  server.SetPolicy(1, "MinLength", "12");
  server.SetPolicy(0, "SkipUsers", "svc");
  EXPECT_TRUE(WaitUntil([] { return LoadedMinLength() == 12; }, 30s));
}

TEST_F(MaintenanceWorkerTest, DailyPassRunsBesideTheMinuteSteps) {
  testing::FreshServer server;
  // A negative day count makes every inactive-account pass leave a warning.
  server.SetPolicy(0, "DisableInactiveAccounts", "-3");
  SetMaintenanceTickForTesting(0ms);
  StartMaintenanceWorker();
  ASSERT_TRUE(WaitUntil([] { return Initialised(); }, 30s));
  const std::string warning = "\tWarning\tDisableInactiveAccounts -3";
  // One pass after the first load of the policy, one at the day's end.
  ASSERT_TRUE(WaitUntil(
      [&] { return CountOf(testing::ReadFileText(server.log_file()), warning) >= 2; }, 120s));
  StopMaintenanceWorker();
  EXPECT_EQ(CountOf(testing::ReadFileText(server.log_file()), warning), 2u)
      << "the unchanged policy caused no further pass";
}

TEST_F(MaintenanceWorkerTest, StopEndsASleepingWorkerAtOnce) {
  testing::TestDomain domain(/*with_netlogon=*/false);
  SetMaintenanceTickForTesting(std::chrono::hours(1));
  for (int round = 0; round < 20; ++round) {
    StartMaintenanceWorker();
    StartMaintenanceWorker();  // a second start is ignored
    EXPECT_TRUE(MaintenanceWorkerRunning());
    if (round % 2 == 0) std::this_thread::sleep_for(1ms);
    const auto start = Clock::now();
    StopMaintenanceWorker();
    // A sleep that ignored the stop would last the whole hour.
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_FALSE(MaintenanceWorkerRunning());
  }
  StopMaintenanceWorker();  // nothing to stop
}

}  // namespace
}  // namespace zefa
