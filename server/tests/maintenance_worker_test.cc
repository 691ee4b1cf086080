// The background worker with shortened ticks: it initialises once the share
// appears, brings policy changes in, runs the daily pass, and stops at once.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>
#include <thread>

#include "directory/directory_writes.h"
#include "directory/lookup_user.h"
#include "directory/view_keeper.h"
#include "server/library_state.h"
#include "platform/directory.h"
#include "policy/policies.h"
#include "rules/evaluate_rules.h"
#include "server/maintenance_worker.h"
#include "server/tests/fresh_server.h"
#include "testing/silent_directory.h"
#include "testing/test_dc.h"

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
  const PolicySnapshot policies = CurrentPolicies();
  return policies->Sets.empty() ? -1 : policies->Sets.front().MinLength;
}

class MaintenanceWorkerTest : public ::testing::Test {
 protected:
  // The worker initialises only once lookups have something to answer
  // from; the tests of its other steps use a stand-in lookup (set after the
  // server, whose set-up clears it).
  static void UseStandInLookup() {
    SetUserLookupForTesting([](const Text&, UserRecord&) {});
  }
  void TearDown() override {
    StopMaintenanceWorker();
    SetMaintenanceTickForTesting(1000ms);
    SetUserLookupForTesting(nullptr);
  }
};

// Before the directory was first read the library is not initialised (the
// host answers "starting" and the hook refuses): every account would be
// unknown. The read starts with the worker, not at its first minute step,
// and the initialisation follows it.
TEST_F(MaintenanceWorkerTest, ChecksStartOnlyOnceTheDirectoryWasRead) {
  REQUIRE_TEST_DC();
  testing::FreshServer server;
  ResetDirectoryView();
  const std::string socket = server.root() + "/ldapi";
  setenv("CLAVORA_LDAP_URI", testing::LdapiUriOf(socket).c_str(), 1);
  SetMaintenanceTickForTesting(1ms);
  StartMaintenanceWorker();
  std::this_thread::sleep_for(500ms);  // several minute steps without a directory
  EXPECT_FALSE(Initialised());
  EXPECT_FALSE(DirectoryViewReady());

  testing::SilentDirectory directory = testing::SilentDirectory::InFrontOf(
      socket, testing::TestDcFolder() + "/private/ldap_priv/ldapi", std::set<unsigned char>{});
  directory.Start();
  ASSERT_TRUE(WaitUntil([] { return Initialised(); }, 30s));
  UserRecord alice;
  LookupUser(ZT("alice"), alice);
  EXPECT_EQ(alice.Container, ZT("Staff/Engineering"));
  StopMaintenanceWorker();
  unsetenv("CLAVORA_LDAP_URI");
}

TEST_F(MaintenanceWorkerTest, InitialisesOnceTheShareAppearsThenFollowsPolicyChanges) {
  testing::FreshServer server;
  UseStandInLookup();
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

// The first tick initialises: a host restarted on a running domain
// controller checks passwords at once instead of after a minute step (which
// here would take sixty hours).
TEST_F(MaintenanceWorkerTest, InitialisesAtTheFirstTick) {
  testing::FreshServer server;
  UseStandInLookup();
  server.SetPolicy(1, "Enabled", "1");
  server.SetPolicy(1, "MinLength", "8");
  SetMaintenanceTickForTesting(std::chrono::hours(1));
  StartMaintenanceWorker();
  EXPECT_TRUE(WaitUntil([] { return Initialised(); }, 30s));
  EXPECT_EQ(LoadedMinLength(), 8);
  StopMaintenanceWorker();
}

// A word file edited under the running worker is enforced at its next
// minute step, with no registry change.
TEST_F(MaintenanceWorkerTest, AnEditedWordFileIsEnforcedWithinOneStep) {
  testing::FreshServer server;
  UseStandInLookup();
  server.SetPolicy(1, "Enabled", "1");
  server.SetPolicy(1, "ForbiddenFile", "live.txt");
  SetMaintenanceTickForTesting(1ms);
  StartMaintenanceWorker();
  ASSERT_TRUE(WaitUntil([] { return Initialised(); }, 30s));
  // The rules as a check runs them, on the loaded set (they take the
  // file's list from the loaded cache).
  auto listed = [](const char* password) {
    const PolicySnapshot policies = CurrentPolicies();
    const PolicySet& set = policies->Sets.front();
    return !EvaluateRules(testing::T(password), RuleSubject(), set,
                          ForbiddenFileWords(*policies, set))
                .Accepted;
  };
  EXPECT_FALSE(listed("my-widget-9"));
  testing::WriteFileText(server.words_folder() + "/live.txt", "widget\n");
  EXPECT_TRUE(WaitUntil([&] { return listed("my-widget-9"); }, 30s));
}

TEST_F(MaintenanceWorkerTest, DailyPassRunsBesideTheMinuteSteps) {
  testing::FreshServer server;
  UseStandInLookup();
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

// The set group's description as the DC holds it; empty when missing.
std::string SetGroupDescription(const std::string& group) {
  platform::DirectoryHandle* handle = platform::DirectoryOpen();
  std::vector<platform::DirectoryEntry> entries;
  std::string description;
  if (platform::DirectorySearch(handle, testing::T("CN=" + group + ",CN=ZEFA,DC=example,DC=test"),
                                0, Text(), {ZT("description")}, 0, entries) == 0 &&
      !entries.empty() && !entries.front().attributes.empty() &&
      !entries.front().attributes.front().values.empty()) {
    description = entries.front().attributes.front().values.front();
  }
  platform::DirectoryClose(handle);
  return description;
}

void SetGroupDescriptionTo(const std::string& group, const std::string& text) {
  platform::DirectoryHandle* handle = platform::DirectoryOpen();
  const Text dn = testing::T("CN=" + group + ",CN=ZEFA,DC=example,DC=test");
  // On a fresh domain no earlier mirror has made the container yet.
  platform::DirectoryAdd(handle, ZT("CN=ZEFA,DC=example,DC=test"),
                         {{platform::kDirectoryAdd, ZT("objectClass"), {"container"}}}, false);
  platform::DirectoryAdd(handle, dn,
                         {{platform::kDirectoryAdd, ZT("objectClass"), {"group"}},
                          {platform::kDirectoryAdd, ZT("sAMAccountName"), {group}}},
                         false);
  EXPECT_EQ(platform::DirectoryModify(
                handle, dn, {{platform::kDirectoryReplace, ZT("description"), {text}}}, false),
            0);
  platform::DirectoryClose(handle);
}

// A mirror pass that failed because the directory was not up yet is tried
// again at the next minute steps, without any policy change; and the pass
// runs at least hourly, so what changed in the directory is put right.
TEST_F(MaintenanceWorkerTest, MirrorCatchesUpWithTheDirectory) {
  REQUIRE_TEST_DC();
  testing::FreshServer server;
  UseStandInLookup();
  server.SetPolicy(6, "Enabled", "1");
  server.SetPolicy(6, "UserGroups", "Engineers");
  ClearDirectoryWriteCaches();
  testing::UseTestDcDirectory();
  SetGroupDescriptionTo("ZEFA_06", "left by an earlier run");
  // The directory the library uses comes up only later, at this socket.
  const std::string socket = server.root() + "/ldapi";
  setenv("CLAVORA_LDAP_URI", testing::LdapiUriOf(socket).c_str(), 1);

  SetMaintenanceTickForTesting(1ms);
  StartMaintenanceWorker();
  ASSERT_TRUE(WaitUntil([] { return Initialised() && LastMirrorPassFailed(); }, 30s));
  std::this_thread::sleep_for(300ms);  // minute steps without a directory
  EXPECT_TRUE(LastMirrorPassFailed());

  testing::SilentDirectory directory = testing::SilentDirectory::InFrontOf(
      socket, testing::TestDcFolder() + "/private/ldap_priv/ldapi", std::set<unsigned char>{});
  directory.Start();
  EXPECT_TRUE(WaitUntil([] { return !LastMirrorPassFailed(); }, 30s));
  EXPECT_TRUE(WaitUntil([] { return SetGroupDescription("ZEFA_06") == "engineers;"; }, 30s));

  // Changed behind the mirror's back, with the policy unchanged: the
  // hourly pass writes it again.
  SetGroupDescriptionTo("ZEFA_06", "changed by hand");
  EXPECT_TRUE(WaitUntil([] { return SetGroupDescription("ZEFA_06") == "engineers;"; }, 120s));
  StopMaintenanceWorker();
}

// The members of a set group as the DC holds them.
std::vector<std::string> SetGroupMembers(const std::string& group) {
  platform::DirectoryHandle* handle = platform::DirectoryOpen();
  std::vector<platform::DirectoryEntry> entries;
  std::vector<std::string> members;
  if (platform::DirectorySearch(handle, testing::T("CN=" + group + ",CN=ZEFA,DC=example,DC=test"),
                                0, Text(), {ZT("member")}, 0, entries) == 0 &&
      !entries.empty() && !entries.front().attributes.empty()) {
    members = entries.front().attributes.front().values;
  }
  platform::DirectoryClose(handle);
  return members;
}

// Between the full passes the set groups follow the directory: an account
// that joins a set's security group after the first pass is in the set
// group within the member pass's interval. Ticks of 20 ms put the member
// pass 0.3 s apart and the hourly full pass 72 s away; the policy does not
// change, so no other full pass runs.
TEST_F(MaintenanceWorkerTest, SetGroupsFollowTheDirectoryBetweenFullPasses) {
  REQUIRE_TEST_DC();
  testing::FreshServer server;
  UseStandInLookup();
  testing::UseTestDcDirectory();
  const std::string tag = "mw" + std::to_string(getpid());
  const std::string group = "CN=" + tag + "g,CN=Users,DC=example,DC=test";
  const std::string user = "CN=" + tag + "u,CN=Users,DC=example,DC=test";
  platform::DirectoryHandle* handle = platform::DirectoryOpen();
  ASSERT_NE(handle, nullptr);
  // A run with the same process number may have left them.
  platform::DirectoryModify(handle, testing::T(group),
                            {{platform::kDirectoryDelete, ZT("member"), {}}}, false);
  platform::DirectoryAdd(handle, testing::T(group),
                         {{platform::kDirectoryAdd, ZT("objectClass"), {"group"}},
                          {platform::kDirectoryAdd, ZT("sAMAccountName"), {tag + "g"}}},
                         false);
  platform::DirectoryAdd(handle, testing::T(user),
                         {{platform::kDirectoryAdd, ZT("objectClass"), {"user"}},
                          {platform::kDirectoryAdd, ZT("sAMAccountName"), {tag + "u"}},
                          {platform::kDirectoryAdd, ZT("userAccountControl"), {"512"}}},
                         false);
  server.SetPolicy(7, "Enabled", "1");
  server.SetPolicy(7, "UserGroups", tag + "g");

  SetMaintenanceTickForTesting(20ms);
  StartMaintenanceWorker();
  // The first full pass: the set group is made, and emptied of what any
  // earlier run left in it.
  ASSERT_TRUE(WaitUntil(
      [] {
        return Initialised() && SetGroupDescription("ZEFA_07").find("mw") == 0 &&
               SetGroupMembers("ZEFA_07").empty();
      },
      60s));

  EXPECT_EQ(platform::DirectoryModify(handle, testing::T(group),
                                      {{platform::kDirectoryAdd, ZT("member"), {user}}}, false),
            0);
  EXPECT_TRUE(
      WaitUntil([&] { return SetGroupMembers("ZEFA_07") == std::vector<std::string>{user}; }, 30s));
  EXPECT_EQ(platform::DirectoryModify(handle, testing::T(group),
                                      {{platform::kDirectoryDelete, ZT("member"), {user}}}, false),
            0);
  EXPECT_TRUE(WaitUntil([&] { return SetGroupMembers("ZEFA_07").empty(); }, 30s));
  StopMaintenanceWorker();
  platform::DirectoryClose(handle);
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
