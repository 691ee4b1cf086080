// Which set governs an account.
#include <gtest/gtest.h>

#include "policy/policy_selection.h"
#include "policy/policies.h"
#include "testing/test_domain.h"

namespace zefa {
namespace {

class PolicySelectionTest : public ::testing::Test {
 protected:
  testing::TestDomain domain;

  void Enable(int set, const std::string& groups, const std::string& ous = "") {
    domain.SetPolicy(set, "Enabled", "1");
    if (!groups.empty()) domain.SetPolicy(set, "UserGroups", groups);
    if (!ous.empty()) domain.SetPolicy(set, "UserOus", ous);
  }
  void Load() {
    domain.SetPolicy(0, "Touched", "1");
    testing::TestDomain::ForgetPolicyStamp();
    ASSERT_EQ(LoadPolicies(), 1);
  }
  // The chosen set's Index, or 0 when none governs the account.
  int64_t Chosen(const std::string& account, const std::string& groups,
                 const std::string& container) {
    const PolicySnapshot policies = CurrentPolicies();
    const PolicySet* chosen =
        PolicySelection(*policies, testing::T(account), testing::T(groups), testing::T(container));
    if (chosen == nullptr) return 0;
    EXPECT_GE(chosen, policies->Sets.data()) << "the set is the configuration's own";
    EXPECT_LT(chosen, policies->Sets.data() + policies->Sets.size());
    return chosen->Index;
  }
};

TEST_F(PolicySelectionTest, GroupEntriesMatchAsSubstringsOfTheGroupList) {
  Enable(1, "it");
  Load();
  EXPECT_EQ(Chosen("bob", "Sales-IT;Domain Users;", ""), 1);
  EXPECT_EQ(Chosen("bob", "Domain Users", ""), 0);
  EXPECT_EQ(Chosen("bob", "Domain Users;IT", ""), 1) << "a missing final separator is added";
}

TEST_F(PolicySelectionTest, OrganisationalUnitsMatchAsPrefixes) {
  Enable(1, "", "Sales");
  Load();
  EXPECT_EQ(Chosen("a", "", "sales"), 1);
  EXPECT_EQ(Chosen("a", "", "Sales/EMEA"), 1);
  EXPECT_EQ(Chosen("a", "", "salesforce"), 1);
  EXPECT_EQ(Chosen("a", "", "hq/sales"), 0);
}

TEST_F(PolicySelectionTest, LaterLevelsDoNotMatchAnOuEntry) {
  Enable(1, "", "EMEA");
  Load();
  EXPECT_EQ(Chosen("a", "", "sales/emea"), 0);
}

TEST_F(PolicySelectionTest, FirstEnabledMatchingSetWins) {
  Enable(2, "", "Staff");
  Enable(5, "Engineers");
  Enable(1, "Engineers");
  domain.SetPolicy(1, "Enabled", "0");
  Load();
  EXPECT_EQ(Chosen("alice", "Engineers;", "Staff/Engineering"), 2)
      << "an earlier set matching by OU beats a later one matching by group";
  EXPECT_EQ(Chosen("alice", "Engineers;", ""), 5) << "the disabled set 1 is passed over";
}

TEST_F(PolicySelectionTest, SkipListsWinOverEverySet) {
  Enable(1, "Engineers");
  domain.SetPolicy(0, "SkipUsers", "Alice\r\nCarol");
  domain.SetPolicy(0, "SkipGroups", "Service Accounts");
  Load();
  EXPECT_EQ(Chosen("ALICE", "Engineers;", ""), 0);
  EXPECT_EQ(Chosen("dave", "Engineers;Service Accounts;", ""), 0);
  EXPECT_EQ(Chosen("dave", "Engineers;", ""), 1);
}

TEST_F(PolicySelectionTest, SkipUsersEntriesExemptExactlyTheAccountTheyName) {
  Enable(1, "Engineers");
  domain.SetPolicy(0, "SkipUsers", "Administrator\r\njimbob");
  Load();
  EXPECT_EQ(Chosen("administrator", "Engineers;", ""), 0);
  EXPECT_EQ(Chosen("JimBob", "Engineers;", ""), 0);
  for (const char* tail : {"strator", "tor", "bob", "jim", "administrator2", "r"}) {
    EXPECT_EQ(Chosen(tail, "Engineers;", ""), 1) << tail;
  }
}

TEST_F(PolicySelectionTest, EmptyListEntriesMatchNothing) {
  domain.SetPolicy(0, "SkipGroups", "\r\nNobody");  // a leading line break
  Enable(1, "Engineers");
  Enable(2, "Sales;\"\";Finance");  // quotes around nothing
  Enable(3, "", "\r\nBranch");
  Load();
  EXPECT_EQ(Chosen("alice", "Engineers;", ""), 1) << "SkipGroups skips no one";
  EXPECT_EQ(Chosen("bob", "Domain Users;", "Staff"), 0) << "no set governs everyone";
  EXPECT_EQ(Chosen("carol", "Finance;", ""), 2);
  EXPECT_EQ(Chosen("dave", "Domain Users;", "Branch/North"), 3);
  EXPECT_EQ(Chosen("erin", "Nobody;", "Branch"), 0);
}

TEST_F(PolicySelectionTest, SetWithoutEntriesNeverMatches) {
  domain.SetPolicy(1, "Enabled", "1");
  Load();
  EXPECT_EQ(Chosen("alice", "Engineers;", "Staff"), 0);
}

}  // namespace
}  // namespace zefa
