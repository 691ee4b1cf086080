// Lookups and the policy mirror when the directory stops answering: a
// local socket in front of the test DC that passes requests on until a
// chosen one, and then never answers that connection again.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "directory/attribute_decoding.h"
#include "directory/directory.h"
#include "directory/directory_writes.h"
#include "directory/lookup_user.h"
#include "directory/policy_objects.h"
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
    ClearUserCache();
    ClearDecodingCaches();
    ClearDirectoryWriteCaches();
    socket_ = domain_->root() + "/ldapi";
    dc_socket_ = testing::TestDcFolder() + "/private/ldap_priv/ldapi";
  }
  void TearDown() override {
    ClearUserCache();
    ClearDecodingCaches();
    domain_.reset();
  }

  // Points the library at the socket in front of the DC.
  void UseSocket() { setenv("CLAVORA_LDAP_URI", testing::LdapiUriOf(socket_).c_str(), 1); }

  std::unique_ptr<testing::TestDomain> domain_;
  std::string socket_;
  std::string dc_socket_;
};

// A directory that never answers costs a lookup one bounded wait; the
// domain's naming values that other threads use stay as the last good open
// left them.
TEST_F(SilentDirectoryTest, LookupGivesUpInTimeAndKeepsTheNamingValues) {
  DirectoryConnection good;
  ASSERT_TRUE(OpenDirectoryConnection(good));
  CloseDirectoryConnection(good);
  ASSERT_EQ(CurrentNamingContexts().DefaultNamingContext, ZT("DC=example,DC=test"));

  testing::SilentDirectory silent = testing::SilentDirectory::Local(socket_);
  silent.Start();
  UseSocket();
  UserRecord user;
  const auto start = Clock::now();
  LookupUser(ZT("alice"), user);
  EXPECT_LT(Clock::now() - start, milliseconds(kUserLookupBudgetMilliseconds + 1000));
  EXPECT_TRUE(user.AccountName.empty());
  EXPECT_EQ(silent.silenced_requests(), 1);  // the RootDSE read, nothing after it

  DirectoryConnection none;
  EXPECT_FALSE(OpenDirectoryConnection(none));
  const NamingContexts naming = CurrentNamingContexts();
  EXPECT_EQ(naming.DefaultNamingContext, ZT("DC=example,DC=test"));
  EXPECT_EQ(naming.SchemaNamingContext, ZT("CN=Schema,CN=Configuration,DC=example,DC=test"));
  EXPECT_EQ(naming.DomainCanonicalName, ZT("example.test/"));
}

// Each group SID of the account is named over a connection of its own; when
// those go unanswered the lookup as a whole still ends within its budget and
// keeps what it found.
TEST_F(SilentDirectoryTest, LookupBudgetCoversEveryConnectionOfTheLookup) {
  testing::SilentDirectory silent =
      testing::SilentDirectory::InFrontOf(socket_, dc_socket_, "S-1-5-");
  silent.Start();
  UseSocket();
  UserRecord alice;
  const auto start = Clock::now();
  LookupUser(ZT("alice"), alice);
  EXPECT_LT(Clock::now() - start, milliseconds(kUserLookupBudgetMilliseconds + 1000));
  EXPECT_EQ(alice.AccountName, ZT("alice"));
  EXPECT_EQ(alice.DistinguishedName, ZT("CN=alice,OU=Engineering,OU=Staff,DC=example,DC=test"));
  EXPECT_EQ(alice.GroupNames.find(ZT("Engineers")), Text::npos);  // not named in time
  EXPECT_GE(silent.silenced_requests(), 1);
}

// The mirror copies the sets and lets PolicyLock go before it talks to the
// directory: while its write waits for an answer, the password checks can
// take the lock. The pass then ends in time and reports that it failed.
TEST_F(SilentDirectoryTest, MirrorWaitsWithoutPolicyLockAndReportsTheFailure) {
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
  const bool lock_free = PolicyLock().try_lock();
  if (lock_free) PolicyLock().unlock();
  EXPECT_TRUE(lock_free) << "PolicyLock is held across directory traffic";
  EXPECT_FALSE(pass.get());
  // One wait for the unanswered write; the rest of the pass does not wait.
  EXPECT_LT(Clock::now() - start, milliseconds(2 * platform::kDirectoryRequestMilliseconds));
  EXPECT_EQ(silent.silenced_requests(), 1);

  // Through to the DC the same pass completes.
  testing::UseTestDc();
  EXPECT_TRUE(SyncDirectoryPolicies());
}

}  // namespace
}  // namespace zefa
