// Lookups and the policy mirror when the directory stops answering: a
// local socket in front of the test DC that passes requests on until a
// chosen one, and then never answers that connection again.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "directory/attribute_decoding.h"
#include "directory/directory.h"
#include "directory/directory_writes.h"
#include "directory/lookup_user.h"
#include "directory/policy_objects.h"
#include "directory/view_keeper.h"
#include "logging/log.h"
#include "policy/policies.h"
#include "server/reload_policies.h"
#include "testing/silent_directory.h"
#include "testing/test_dc.h"
#include "platform/directory.h"

namespace zefa {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class SilentDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_DC();
    domain_ = std::make_unique<testing::TestDomain>();
    testing::UseTestDc();
    ClearDecodingCaches();
    ClearDirectoryWriteCaches();
    socket_ = domain_->root() + "/ldapi";
    dc_socket_ = testing::TestDcFolder() + "/private/ldap_priv/ldapi";
  }
  void TearDown() override {
    ClearDecodingCaches();
    domain_.reset();
  }

  // Points the library at the socket in front of the DC.
  void UseSocket() { setenv("CLAVORA_LDAP_URI", testing::LdapiUriOf(socket_).c_str(), 1); }

  std::unique_ptr<testing::TestDomain> domain_;
  std::string socket_;
  std::string dc_socket_;
};

// A directory that never answers costs the poll one bounded wait, and the
// lookups meanwhile none: they answer from the view as last read. The
// domain's naming values that other threads use stay as the last good open
// left them.
TEST_F(SilentDirectoryTest, LookupsNeverWaitForASilentDirectory) {
  DirectoryConnection good;
  ASSERT_TRUE(OpenDirectoryConnection(good));
  CloseDirectoryConnection(good);
  ASSERT_EQ(CurrentNamingContexts().DefaultNamingContext, ZT("DC=example,DC=test"));
  ResetDirectoryView();
  ASSERT_TRUE(RefreshDirectoryView());

  ResetDirectoryView();
  {
    testing::SilentDirectory through =
        testing::SilentDirectory::InFrontOf(socket_, dc_socket_, std::set<unsigned char>{});
    through.Start();
    UseSocket();
    ASSERT_TRUE(RefreshDirectoryView());
  }
  // With the proxy gone, the kept connection fails at once; the poll below
  // then opens a new one, to the silent server.
  EXPECT_FALSE(RefreshDirectoryView());
  testing::SilentDirectory silent = testing::SilentDirectory::Local(socket_);
  silent.Start();
  const auto start = Clock::now();
  std::future<bool> poll = std::async(std::launch::async, [] { return RefreshDirectoryView(); });
  int lookups = 0;
  auto slowest = Clock::duration::zero();
  while (poll.wait_for(milliseconds(0)) != std::future_status::ready) {
    const auto before = Clock::now();
    UserRecord alice;
    LookupUser(ZT("alice"), alice);
    slowest = std::max(slowest, Clock::now() - before);
    EXPECT_EQ(alice.AccountName, ZT("alice"));
    EXPECT_NE((ZT(";") + alice.GroupNames).find(ZT(";Engineers;")), Text::npos);
    ++lookups;
  }
  EXPECT_FALSE(poll.get());
  EXPECT_LT(Clock::now() - start, milliseconds(2 * platform::kDirectoryRequestMilliseconds));
  // Many lookups ran while the poll waited (how many depends on the
  // machine's load; none of them waited for the directory).
  EXPECT_GT(lookups, 0);
  EXPECT_LT(slowest, milliseconds(50));

  DirectoryConnection none;
  EXPECT_FALSE(OpenDirectoryConnection(none));
  const NamingContexts naming = CurrentNamingContexts();
  EXPECT_EQ(naming.DefaultNamingContext, ZT("DC=example,DC=test"));
  EXPECT_EQ(naming.SchemaNamingContext, ZT("CN=Schema,CN=Configuration,DC=example,DC=test"));
  EXPECT_EQ(naming.DomainCanonicalName, ZT("example.test/"));
}

// A domain controller that stops and comes back: the view keeps its last
// state, one Warning marks the outage's start and one Info its end, and the
// changes made meanwhile are read at once.
TEST_F(SilentDirectoryTest, AnOutageIsStaleNotBlindAndCatchesUp) {
  std::filesystem::create_directories(domain_->system_folder() + "/log");
  SetLogFilePath(testing::T(domain_->log_file()));
  ResetDirectoryView();
  auto through = std::make_unique<testing::SilentDirectory>(
      testing::SilentDirectory::InFrontOf(socket_, dc_socket_, std::set<unsigned char>{}));
  through->Start();
  UseSocket();
  ASSERT_TRUE(RefreshDirectoryView());
  through.reset();  // the DC is gone

  const std::string name = "outage" + std::to_string(getpid());
  testing::UseTestDc();
  platform::DirectoryHandle* handle = platform::DirectoryOpen();
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(
      platform::DirectoryAdd(handle, testing::T("CN=" + name + ",CN=Users,DC=example,DC=test"),
                             {{platform::kDirectoryAdd, ZT("objectClass"), {"user"}},
                              {platform::kDirectoryAdd, ZT("sAMAccountName"), {name}}},
                             false),
      0);
  platform::DirectoryClose(handle);
  UseSocket();
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(RefreshDirectoryView());
  UserRecord alice, added;
  LookupUser(ZT("alice"), alice);
  EXPECT_EQ(alice.Container, ZT("Staff/Engineering"));
  LookupUser(testing::T(name), added);
  EXPECT_TRUE(added.AccountName.empty());
  EXPECT_FALSE(added.LookupFailed);

  through = std::make_unique<testing::SilentDirectory>(
      testing::SilentDirectory::InFrontOf(socket_, dc_socket_, std::set<unsigned char>{}));
  through->Start();
  EXPECT_TRUE(RefreshDirectoryView());
  EXPECT_TRUE(RefreshDirectoryView());
  LookupUser(testing::T(name), added);
  EXPECT_EQ(added.AccountName, testing::T(name));
  const std::string log = testing::ReadFileText(domain_->log_file());
  size_t warnings = 0, infos = 0;
  for (size_t at = log.find("\tWarning\tThe directory does not answer"); at != std::string::npos;
       at = log.find("\tWarning\tThe directory does not answer", at + 1))
    ++warnings;
  for (size_t at = log.find("\tInfo\tThe directory answers again after "); at != std::string::npos;
       at = log.find("\tInfo\tThe directory answers again after ", at + 1))
    ++infos;
  EXPECT_EQ(warnings, 1u) << log;
  EXPECT_EQ(infos, 1u) << log;
  testing::UseTestDc();
}

// The mirror works on the configuration it took and holds nothing else of
// the policies: while its write waits for an answer, a load publishes a new
// configuration. The pass then ends in time and reports that it failed.
TEST_F(SilentDirectoryTest, MirrorWaitsWithoutHoldingUpLoadsAndReportsTheFailure) {
  domain_->SetPolicy(5, "Enabled", "1");
  domain_->SetPolicy(5, "UserGroups", "Engineers");
  testing::TestDomain::ForgetPolicyStamp();
  ASSERT_EQ(ReloadPolicies(), 1);

  testing::SilentDirectory silent = testing::SilentDirectory::InFrontOf(
      socket_, dc_socket_,
      std::set<unsigned char>{testing::kLdapAddRequest, testing::kLdapModifyRequest});
  silent.Start();
  UseSocket();
  const auto start = Clock::now();
  std::future<bool> pass = std::async(std::launch::async, [] { return SyncDirectoryPolicies(); });
  ASSERT_TRUE(silent.WaitForSilencedRequests(1));
  domain_->SetPolicy(5, "RulesText", "while the mirror waits");
  std::future<int> load = std::async(std::launch::async, [] {
    testing::TestDomain::ForgetPolicyStamp();
    return ReloadPolicies();
  });
  const bool loaded = load.wait_for(milliseconds(platform::kDirectoryRequestMilliseconds / 2)) ==
                      std::future_status::ready;
  EXPECT_TRUE(loaded) << "a load waited for the mirror's directory traffic";
  EXPECT_FALSE(pass.get());
  // One wait for the unanswered write; the rest of the pass does not wait.
  EXPECT_LT(Clock::now() - start, milliseconds(2 * platform::kDirectoryRequestMilliseconds));
  EXPECT_EQ(silent.silenced_requests(), 1);

  if (loaded) {
    EXPECT_EQ(load.get(), 1);
  }
  // Through to the DC the same pass completes.
  testing::UseTestDc();
  EXPECT_TRUE(SyncDirectoryPolicies());
}

}  // namespace
}  // namespace zefa
