// Policy sets mirrored into a real domain controller. The directory is shared
// with other test processes, so each test uses set numbers of its own and
// names its own accounts uniquely.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "server/reload_policies.h"
#include "directory/attribute_decoding.h"
#include "directory/directory.h"
#include "directory/directory_writes.h"
#include "directory/lookup_user.h"
#include "directory/view_keeper.h"
#include "directory/policy_objects.h"
#include "policy/policy_selection.h"
#include "testing/test_dc.h"
#include "util/text_util.h"
#include "platform/directory.h"
#include "platform/registry.h"

namespace zefa {
namespace {

using Values = std::vector<std::string>;

class PolicyObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_DC();
    domain_ = std::make_unique<testing::TestDomain>();
    testing::UseTestDc();
    ClearDirectoryWriteCaches();
    ClearDecodingCaches();
    handle_ = platform::DirectoryOpen();
    ASSERT_NE(handle_, nullptr);
    base_ = Value("", "defaultNamingContext");
    ASSERT_FALSE(base_.empty());
    tag_ = "zs" + std::to_string(getpid()) + "x" + std::to_string(std::random_device{}() % 100000);
  }
  void TearDown() override {
    platform::DirectoryClose(handle_);
    domain_.reset();
  }

  // Raw values of one attribute; empty when the object or attribute is missing.
  Values Read(const std::string& dn, const std::string& attribute) {
    std::vector<platform::DirectoryEntry> entries;
    if (platform::DirectorySearch(handle_, testing::T(dn), 0, Text(), {testing::T(attribute)}, 0,
                                  entries) != 0 ||
        entries.empty()) {
      return {};
    }
    for (const platform::DirectoryAttribute& found : entries.front().attributes)
      if (ToLower(found.name) == ToLower(testing::T(attribute))) return found.values;
    return {};
  }
  std::string Value(const std::string& dn, const std::string& attribute) {
    const Values values = Read(dn, attribute);
    return values.empty() ? std::string() : values.front();
  }
  static Values Sorted(Values values) {
    std::sort(values.begin(), values.end());
    return values;
  }

  void Add(const std::string& dn, std::vector<platform::DirectoryModification> attributes) {
    ASSERT_EQ(platform::DirectoryAdd(handle_, testing::T(dn), attributes, false), 0) << dn;
  }
  static platform::DirectoryModification Attr(const char* name, Values values) {
    return {platform::kDirectoryAdd, testing::T(name), std::move(values)};
  }

  void LoadAndSync() {
    testing::TestDomain::ForgetPolicyStamp();
    ASSERT_EQ(ReloadPolicies(), 1);
    SyncDirectoryPolicies();
  }

  std::string Zefa(const std::string& rdn) { return "CN=" + rdn + ",CN=ZEFA," + base_; }
  std::string Pso(const std::string& rdn) {
    return "CN=" + rdn + ",CN=Password Settings Container,CN=System," + base_;
  }

  std::unique_ptr<testing::TestDomain> domain_;
  platform::DirectoryHandle* handle_ = nullptr;
  std::string base_;
  std::string tag_;
};

TEST_F(PolicyObjectsTest, NameLookupsAndValueExpansion) {
  DirectoryConnection connection;
  ASSERT_TRUE(OpenDirectoryConnection(connection));
  const Text base = testing::T(base_);
  EXPECT_EQ(FindSecurityGroupDn(connection, ZT("engineers")), ZT("CN=Engineers,CN=Users,") + base);
  EXPECT_EQ(FindSecurityGroupDn(connection, ZT("it staff")), ZT("CN=IT Staff,CN=Users,") + base);
  EXPECT_EQ(FindSecurityGroupDn(connection, ZT("Newsletter")), Text());  // distribution group
  EXPECT_EQ(FindSecurityGroupDn(connection, ZT("alice")), Text());       // a user
  EXPECT_EQ(FindSecurityGroupDn(connection, ZT("no-such-group")), Text());
  // Filter syntax in a group name is part of the name.
  EXPECT_EQ(FindSecurityGroupDn(connection, ZT("helpdesk (tier1)")),
            ZT("CN=helpdesk (tier1),CN=Users,") + base);
  EXPECT_EQ(FindSecurityGroupDn(connection, ZT("domain*")), Text());
  EXPECT_EQ(FindSecurityGroupDn(connection, ZT("*")), Text());
  EXPECT_EQ(FindSecurityGroupDn(connection, ZT("x)(sAMAccountName=Engineers")), Text());

  EXPECT_EQ(OuPathToDn(connection, ZT("/staff/engineering")),
            ZT("OU=Engineering,OU=Staff,") + base);
  EXPECT_EQ(OuPathToDn(connection, ZT("example.test/Sales")), ZT("OU=Sales,") + base);
  EXPECT_EQ(OuPathToDn(connection, ZT("/no-such-ou")), Text());
  // An OU path below the domain, as the selection of accounts uses it.
  EXPECT_EQ(OuPathToDn(connection, ZT("sales")), ZT("OU=Sales,") + base);
  EXPECT_EQ(OuPathToDn(connection, ZT("no-such-ou")), Text());

  EXPECT_TRUE(ExpandAttributeValues({}).empty());
  const std::vector<Text> expanded =
      ExpandAttributeValues({ZT("CN=ZEFA,"), ZT("/Staff/Engineering"), ZT("/No/Such"),
                             ZT("plain | text"), ZT("CN=pipe|user,OU=Sales,")});
  ASSERT_EQ(expanded.size(), 5u);
  EXPECT_EQ(expanded[0], ZT("CN=ZEFA,") + base);
  EXPECT_EQ(expanded[1], ZT("OU=Engineering,OU=Staff,") + base);
  EXPECT_EQ(expanded[2], ZT("/No/Such"));
  EXPECT_EQ(expanded[3], ZT("plain | text"));
  EXPECT_EQ(expanded[4], ZT("CN=pipe|user,OU=Sales,") + base);
  CloseDirectoryConnection(connection);
}

// A group or OU that was not there is looked for again within the hour, so
// one created after the first pass gets its members without waiting a day;
// a name that was found stays cached.
TEST_F(PolicyObjectsTest, NamesNotFoundAreAskedAgainWithinTheHour) {
  DirectoryConnection connection;
  ASSERT_TRUE(OpenDirectoryConnection(connection));
  const std::string group = tag_ + "-late";
  const std::string ou = tag_ + "-lateou";
  EXPECT_EQ(FindSecurityGroupDn(connection, testing::T(group)), Text());
  EXPECT_EQ(OuPathToDn(connection, testing::T("/" + ou)), Text());
  EXPECT_EQ(FindSecurityGroupDn(connection, ZT("engineers")),
            ZT("CN=Engineers,CN=Users,") + testing::T(base_));

  const std::string group_dn = "CN=" + group + ",CN=Users," + base_;
  const std::string ou_dn = "OU=" + ou + "," + base_;
  Add(group_dn, {Attr("objectClass", {"group"}), Attr("sAMAccountName", {group})});
  Add(ou_dn, {Attr("objectClass", {"organizationalUnit"})});
  AdvanceDirectoryWriteCachesForTesting(std::chrono::minutes(59));
  EXPECT_EQ(FindSecurityGroupDn(connection, testing::T(group)), Text());  // still cached
  EXPECT_EQ(OuPathToDn(connection, testing::T("/" + ou)), Text());

  AdvanceDirectoryWriteCachesForTesting(std::chrono::minutes(2));
  EXPECT_EQ(FindSecurityGroupDn(connection, testing::T(group)), testing::T(group_dn));
  EXPECT_EQ(OuPathToDn(connection, testing::T("/" + ou)), testing::T(ou_dn));
  CloseDirectoryConnection(connection);
}

// Set 3 through its life: created, left alone when unchanged, updated,
// emptied of OUs, disabled. Its group holds the accounts the filter checks
// by it: bob through sales-it, alice below the OU Staff.
TEST_F(PolicyObjectsTest, MirrorsASetThroughItsLife) {
  // The rules text holds the characters a value list would split or complete.
  const std::string rules = "Twelve characters | no `names`, please,";
  domain_->SetPolicy(3, "Enabled", "1", platform::kRegDword);
  domain_->SetPolicy(3, "UserGroups", "sales-it;Newsletter;no-such-group");
  domain_->SetPolicy(3, "UserOus", "Staff");  // as the filter matches containers
  domain_->SetPolicy(3, "RulesText", rules);
  domain_->SetPolicy(3, "LockoutThreshold", "5", platform::kRegDword);
  domain_->SetPolicy(3, "LockoutDurationMin", "30", platform::kRegDword);
  domain_->SetPolicy(3, "LockoutObservationWindowMin", "15", platform::kRegDword);
  domain_->SetPolicy(3, "MaxPasswordAgeDays", "42", platform::kRegDword);
  domain_->SetPolicy(3, "MinPasswordAgeDays", "1", platform::kRegDword);
  domain_->SetPolicy(3, "PasswordHistory", "10", platform::kRegDword);
  LoadAndSync();

  const std::string group = Zefa("ZEFA_03"), pso = Pso("ZEFA_03_P");
  const std::string alice = "CN=alice,OU=Engineering,OU=Staff," + base_;
  const std::string bob = "CN=bob,OU=Sales," + base_;
  const Values classes = Read("CN=ZEFA," + base_, "objectClass");
  EXPECT_NE(std::find(classes.begin(), classes.end(), "container"), classes.end());

  EXPECT_EQ(Value(group, "sAMAccountName"), "ZEFA_03");
  EXPECT_EQ(Value(group, "description"), "sales-it;newsletter;no-such-group;");
  EXPECT_EQ(Read(group, "info"), Values{"MAP=42`MIP=1`RUL=" + rules});
  // The accounts themselves (alice is in Newsletter too, a distribution
  // group, which counts for nothing); no second group takes members (one
  // that an earlier version made is emptied).
  EXPECT_EQ(Sorted(Read(group, "member")), Sorted({alice, bob}));
  EXPECT_TRUE(Read(Zefa("ZEFA_03_C"), "member").empty());

  EXPECT_EQ(Value(pso, "msDS-LockoutDuration"), "-18000000000");
  EXPECT_EQ(Value(pso, "msDS-LockoutObservationWindow"), "-9000000000");
  EXPECT_EQ(Value(pso, "msDS-LockoutThreshold"), "5");
  EXPECT_EQ(Value(pso, "msDS-MaximumPasswordAge"), "-36288000000000");
  EXPECT_EQ(Value(pso, "msDS-MinimumPasswordAge"), "-864000000000");
  EXPECT_EQ(Value(pso, "msDS-MinimumPasswordLength"), "0");
  EXPECT_EQ(Value(pso, "msDS-PasswordComplexityEnabled"), TextToUtf8(PasswordSettingsComplexity()));
  EXPECT_EQ(Value(pso, "msDS-PasswordHistoryLength"), "10");
  EXPECT_EQ(Value(pso, "msDS-PasswordReversibleEncryptionEnabled"), "FALSE");
  EXPECT_EQ(Value(pso, "msDS-PasswordSettingsPrecedence"), "3");
  EXPECT_EQ(Value(pso, "msDS-PSOAppliesTo"), group);
  EXPECT_EQ(Value(pso, "description"), rules);

  // Unchanged settings: no group attribute is written again.
  const std::string group_usn = Value(group, "uSNChanged");
  const std::string group_when = Value(group, "whenChanged");
  SyncDirectoryPolicies();
  EXPECT_EQ(Value(group, "uSNChanged"), group_usn);
  EXPECT_EQ(Value(group, "whenChanged"), group_when);

  // Changed values reach the summary and the existing settings object.
  domain_->SetPolicy(3, "MaxPasswordAgeDays", "0", platform::kRegDword);
  domain_->SetPolicy(3, "RulesText", "");
  LoadAndSync();
  EXPECT_EQ(Read(group, "info"), Values{"MAP=0`MIP=1`RUL="});
  EXPECT_EQ(Value(pso, "msDS-MaximumPasswordAge"), "-9223372036854775808");
  EXPECT_TRUE(Read(pso, "description").empty());
  EXPECT_EQ(Value(pso, "msDS-LockoutThreshold"), "5");

  // No OUs any more: only bob, through his group, is left. (Which object
  // is in force for alice and bob otherwise depends on the sets of lower
  // numbers that other tests mirror meanwhile.)
  domain_->SetPolicy(3, "UserOus", "");
  LoadAndSync();
  EXPECT_EQ(Read(group, "member"), Values{bob});
  EXPECT_NE(Value(alice, "msDS-ResultantPSO"), pso);

  // A disabled set applies to nobody: its group is emptied, its settings
  // object stays as it was.
  const std::string pso_usn = Value(pso, "uSNChanged");
  domain_->SetPolicy(3, "Enabled", "0", platform::kRegDword);
  LoadAndSync();
  EXPECT_EQ(Value(group, "sAMAccountName"), "ZEFA_03");
  EXPECT_TRUE(Read(group, "member").empty());
  EXPECT_NE(Value(bob, "msDS-ResultantPSO"), pso);
  EXPECT_EQ(Value(pso, "uSNChanged"), pso_usn);
}

// The filter takes the first matching set in set order; the directory the
// settings object of lowest precedence. Set 1 (precedence 1) therefore wins
// over set 7 (precedence 7) in both, for an account that both apply to.
TEST_F(PolicyObjectsTest, TheDirectoryAppliesTheSetTheFilterChooses) {
  const std::string ou = "OU=" + tag_ + "-ou," + base_;
  const std::string in_both = "CN=" + tag_ + "a," + ou;
  const std::string ou_only = "CN=" + tag_ + "b," + ou;
  Add(ou, {Attr("objectClass", {"organizationalUnit"})});
  Add(in_both, {Attr("objectClass", {"user"}), Attr("sAMAccountName", {tag_ + "a"}),
                Attr("userAccountControl", {"512"})});
  Add(ou_only, {Attr("objectClass", {"user"}), Attr("sAMAccountName", {tag_ + "b"}),
                Attr("userAccountControl", {"512"})});
  Add("CN=" + tag_ + "g,CN=Users," + base_,
      {Attr("objectClass", {"group"}), Attr("sAMAccountName", {tag_ + "g"}),
       Attr("member", {in_both})});

  domain_->SetPolicy(1, "Enabled", "1", platform::kRegDword);
  domain_->SetPolicy(1, "UserGroups", tag_ + "g");
  domain_->SetPolicy(1, "RulesText", "set one");
  domain_->SetPolicy(7, "Enabled", "1", platform::kRegDword);
  domain_->SetPolicy(7, "UserOus", tag_ + "-ou");  // as the filter matches containers
  domain_->SetPolicy(7, "RulesText", "set seven");
  LoadAndSync();

  EXPECT_EQ(Value(Pso("ZEFA_01_P"), "msDS-PasswordSettingsPrecedence"), "1");
  EXPECT_EQ(Value(Pso("ZEFA_07_P"), "msDS-PasswordSettingsPrecedence"), "7");
  // Each account is in the group of the one set the filter chooses.
  EXPECT_EQ(Read(Zefa("ZEFA_01"), "member"), Values{in_both});
  EXPECT_EQ(Read(Zefa("ZEFA_07"), "member"), Values{ou_only});
  ASSERT_TRUE(RefreshDirectoryView());  // the accounts and the group just added
  for (const auto& [account, dn, set, pso] :
       {std::tuple{tag_ + "a", in_both, 1, "ZEFA_01_P"}, {tag_ + "b", ou_only, 7, "ZEFA_07_P"}}) {
    UserRecord user;
    LookupUser(testing::T(account), user);
    const PolicySnapshot policies = CurrentPolicies();
    const PolicySet* chosen =
        PolicySelection(*policies, user.AccountName, user.GroupNames, user.Container);
    ASSERT_NE(chosen, nullptr) << account;
    EXPECT_EQ(chosen->Index, set) << account;
    EXPECT_EQ(Value(dn, "msDS-ResultantPSO"), Pso(pso)) << account;
  }
}

// Names that need escaping in filters and DNs that a "|"-joined value list
// would cut apart: set 5 names the group "helpdesk (tier1)" and a pattern
// that must match nothing, and the OU Sales, where "pipe|user", "tom(x)" and
// "Smith, John" live. The group holds them by their DNs, "|" and "\,"
// intact.
TEST_F(PolicyObjectsTest, SpecialCharactersReachTheMirrorIntact) {
  domain_->SetPolicy(5, "Enabled", "1", platform::kRegDword);
  domain_->SetPolicy(5, "UserGroups", "helpdesk (tier1);domain*");
  domain_->SetPolicy(5, "UserOus", "Sales");
  const std::string group = Zefa("ZEFA_05");
  // An earlier run against the same directory may have mirrored the set.
  platform::DirectoryModify(handle_, testing::T(group),
                            {{platform::kDirectoryReplace, ZT("description"), {"stale"}}}, false);
  LoadAndSync();

  EXPECT_EQ(Value(group, "description"), "helpdesk (tier1);domain*;");
  const Values members = Read(group, "member");
  for (const char* user : {"CN=pipe|user", "CN=tom(x)", "CN=Smith\\, John", "CN=bob"}) {
    const std::string dn = user + (",OU=Sales," + base_);
    EXPECT_NE(std::find(members.begin(), members.end(), dn), members.end()) << user;
    // (bob is in set 3's group too while that test runs)
    if (std::string(user) != "CN=bob") {
      EXPECT_EQ(Value(dn, "msDS-ResultantPSO"), Pso("ZEFA_05_P")) << user;
    }
  }
  for (const std::string& member : members)
    EXPECT_NE(member.find(",OU=Sales"), std::string::npos) << member;
}

// A member the directory refuses (an account deleted after the view last
// saw it) keeps neither the other members out nor the pass from reporting
// the failure; once the view knows, the next member pass gets through.
TEST_F(PolicyObjectsTest, AFailedMemberWriteIsRetried) {
  const std::string group = "CN=" + tag_ + "d,CN=Users," + base_;
  const std::string doomed = "CN=" + tag_ + "d1,CN=Users," + base_;
  const std::string kept = "CN=" + tag_ + "d2,CN=Users," + base_;
  Add(group, {Attr("objectClass", {"group"}), Attr("sAMAccountName", {tag_ + "d"})});
  for (const std::string& name : {tag_ + "d1", tag_ + "d2"}) {
    Add("CN=" + name + ",CN=Users," + base_,
        {Attr("objectClass", {"user"}), Attr("sAMAccountName", {name}),
         Attr("userAccountControl", {"512"})});
  }
  domain_->SetPolicy(6, "Enabled", "1", platform::kRegDword);
  domain_->SetPolicy(6, "UserGroups", tag_ + "d");
  domain_->SetPolicy(6, "RulesText", "first");
  LoadAndSync();
  const std::string set_group = Zefa("ZEFA_06");
  ASSERT_TRUE(Read(set_group, "member").empty());

  ASSERT_EQ(
      platform::DirectoryModify(handle_, testing::T(group),
                                {{platform::kDirectoryAdd, ZT("member"), {doomed, kept}}}, false),
      0);
  ASSERT_TRUE(RefreshDirectoryView());
  // Samba's own client deletes it (the privileged socket, unbound).
  const std::string remove =
      "/usr/bin/python3 -c 'import sys, ldb; "
      "ldb.Ldb(sys.argv[1]).delete(sys.argv[2])' '" +
      testing::TestDcLdapiUri() + "' '" + doomed + "'";
  ASSERT_EQ(std::system(remove.c_str()), 0);
  EXPECT_FALSE(SyncPolicyMembership());  // the view still holds the deleted account
  EXPECT_EQ(Read(set_group, "member"), Values{kept});

  ASSERT_TRUE(RefreshDirectoryView());
  EXPECT_TRUE(SyncPolicyMembership());
  EXPECT_EQ(Read(set_group, "member"), Values{kept});
  EXPECT_EQ(Value(kept, "msDS-ResultantPSO"), Pso("ZEFA_06_P"));
}

// A generated domain below an OU of its own: OUs whose names begin alike
// (Sales, Salesforce, Sales/East), groups whose names hold each other
// ("it-T" in "sales-it-T"), a group nested in another, a distribution
// group, an exempt account and an exempt group. Set 2 is mirrored and then
// disabled (its objects stay behind, precedence 2 before every other set);
// sets 4 and 8 apply. For every account the settings object the directory
// applies must be that of the set the filter checks it by (the selection
// the test console shows), or none; and again after random moves, group
// edits and new accounts, once the member pass has run.
TEST_F(PolicyObjectsTest, EveryAccountGetsTheSettingsOfTheSetTheFilterChooses) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const std::string root = "OU=" + tag_ + "," + base_;
  const std::vector<std::string> ous = {root, "OU=Sales," + root, "OU=Salesforce," + root,
                                        "OU=East,OU=Sales," + root, "OU=Other," + root};
  for (const std::string& ou : ous) Add(ou, {Attr("objectClass", {"organizationalUnit"})});

  // The accounts, by name, with their DNs as they move.
  std::map<std::string, std::string> accounts;
  auto pick = [&](size_t count) { return static_cast<size_t>(random() % count); };
  auto new_account = [&](const std::string& name) {
    const std::string dn = "CN=" + name + "," + ous[pick(ous.size())];
    Add(dn, {Attr("objectClass", {"user"}), Attr("sAMAccountName", {name}),
             Attr("userAccountControl", {"512"})});
    accounts[name] = dn;
  };
  for (int i = 0; i < 36; ++i) new_account(tag_ + "-u" + std::to_string(i));

  // Groups: the security groups, the one nested in sales-it, and a
  // distribution group whose name would match set 4.
  const std::vector<std::string> security = {"it-", "sales-it-", "nested-", "skipme-", "other-"};
  auto group_dn = [&](const std::string& prefix) { return "CN=" + prefix + tag_ + "," + root; };
  auto random_members = [&]() {
    Values members;
    for (const auto& [name, dn] : accounts)
      if (pick(5) == 0) members.push_back(dn);
    return members;
  };
  auto add_group = [&](const std::string& prefix, const char* group_type, Values members) {
    std::vector<platform::DirectoryModification> attributes = {
        Attr("objectClass", {"group"}), Attr("sAMAccountName", {prefix + tag_}),
        Attr("groupType", {group_type})};
    if (!members.empty()) attributes.push_back(Attr("member", members));
    Add(group_dn(prefix), attributes);
  };
  add_group("nested-", "-2147483646", random_members());
  Values sales_it = random_members();
  sales_it.push_back(group_dn("nested-"));
  add_group("sales-it-", "-2147483646", sales_it);
  for (const char* prefix : {"it-", "skipme-", "other-"})
    add_group(prefix, "-2147483646", random_members());
  add_group("dist-it-", "2", random_members());
  ASSERT_FALSE(HasFatalFailure());

  const std::string exempt = accounts.begin()->first;
  domain_->SetPolicy(0, "SkipUsers", exempt);
  domain_->SetPolicy(0, "SkipGroups", "skipme-" + tag_);
  domain_->SetPolicy(2, "Enabled", "1", platform::kRegDword);
  domain_->SetPolicy(2, "UserOus", tag_);  // every account of the generated domain
  domain_->SetPolicy(4, "Enabled", "1", platform::kRegDword);
  domain_->SetPolicy(4, "UserGroups", "it-" + tag_);
  domain_->SetPolicy(8, "Enabled", "1", platform::kRegDword);
  domain_->SetPolicy(8, "UserGroups", "other-" + tag_);
  domain_->SetPolicy(8, "UserOus", tag_ + "/Sales");
  LoadAndSync();
  // Set 2 now holds whoever no exemption keeps out.
  ASSERT_GT(Read(Zefa("ZEFA_02"), "member").size(), 10u);

  domain_->SetPolicy(2, "Enabled", "0", platform::kRegDword);
  LoadAndSync();

  // Compares, for every account, the settings object in force with the set
  // the filter checks the account by. Counts the accounts per set so that
  // the generated domain is known to reach every case.
  auto compare_all = [&](const std::string& when) {
    SCOPED_TRACE(when);
    ASSERT_TRUE(RefreshDirectoryView());
    std::map<int64_t, int> per_set;
    for (const auto& [name, dn] : accounts) {
      UserRecord user;
      LookupUser(testing::T(name), user);
      ASSERT_EQ(user.DistinguishedName, testing::T(dn)) << name;
      const PolicySnapshot policies = CurrentPolicies();
      const PolicySet* chosen =
          PolicySelection(*policies, user.AccountName, user.GroupNames, user.Container);
      const int64_t set = chosen != nullptr ? chosen->Index : 0;
      ++per_set[set];
      const std::string in_force = Value(dn, "msDS-ResultantPSO");
      const std::string account = name + " in " + TextToUtf8(user.Container) + " with groups " +
                                  TextToUtf8(user.GroupNames);
      if (set == 0) {
        EXPECT_EQ(in_force.find("CN=ZEFA_"), std::string::npos)
            << account << " is checked by no set but has " << in_force;
      } else {
        EXPECT_EQ(in_force, Pso("ZEFA_0" + std::to_string(set) + "_P"))
            << account << " is checked by set " << set;
      }
    }
    EXPECT_EQ(per_set.count(2), 0u);
    EXPECT_GT(per_set[0], 0);
    EXPECT_GT(per_set[4], 0);
    EXPECT_GT(per_set[8], 0);
  };
  compare_all("after the full pass");

  // With nothing changed the member pass writes nothing.
  const std::string usn_4 = Value(Zefa("ZEFA_04"), "uSNChanged");
  const std::string usn_8 = Value(Zefa("ZEFA_08"), "uSNChanged");
  EXPECT_TRUE(SyncPolicyMembership());
  EXPECT_EQ(Value(Zefa("ZEFA_04"), "uSNChanged"), usn_4);
  EXPECT_EQ(Value(Zefa("ZEFA_08"), "uSNChanged"), usn_8);

  for (int round = 0; round < 3; ++round) {
    // Moves, with Samba's own client over the privileged socket.
    std::string renames;
    for (int i = 0; i < 6; ++i) {
      auto account = accounts.begin();
      std::advance(account, pick(accounts.size()));
      const std::string moved = "CN=" + account->first + "," + ous[pick(ous.size())];
      if (moved == account->second) continue;
      renames += " '" + account->second + "' '" + moved + "'";
      account->second = moved;
    }
    if (!renames.empty()) {
      const std::string command =
          "/usr/bin/python3 -c 'import sys, ldb; d = ldb.Ldb(sys.argv[1]); a = sys.argv[2:]; "
          "[d.rename(a[i], a[i + 1]) for i in range(0, len(a), 2)]' '" +
          testing::TestDcLdapiUri() + "'" + renames;
      ASSERT_EQ(std::system(command.c_str()), 0);
    }
    // Group edits: members in and out, the nested group in or out.
    for (int i = 0; i < 6; ++i) {
      auto account = accounts.begin();
      std::advance(account, pick(accounts.size()));
      const std::string group = group_dn(security[pick(security.size())]);
      const Values members = Read(group, "member");
      const bool present =
          std::find(members.begin(), members.end(), account->second) != members.end();
      EXPECT_EQ(platform::DirectoryModify(
                    handle_, testing::T(group),
                    {{present ? platform::kDirectoryDelete : platform::kDirectoryAdd,
                      ZT("member"),
                      {account->second}}},
                    false),
                0)
          << group;
    }
    if (pick(2) == 0) {
      const Values members = Read(group_dn("sales-it-"), "member");
      const bool nested =
          std::find(members.begin(), members.end(), group_dn("nested-")) != members.end();
      EXPECT_EQ(
          platform::DirectoryModify(handle_, testing::T(group_dn("sales-it-")),
                                    {{nested ? platform::kDirectoryDelete : platform::kDirectoryAdd,
                                      ZT("member"),
                                      {group_dn("nested-")}}},
                                    false),
          0);
    }
    // New accounts, some straight into a group.
    for (int i = 0; i < 3; ++i) {
      const std::string name = tag_ + "-n" + std::to_string(round) + std::to_string(i);
      new_account(name);
      if (pick(2) == 0) {
        EXPECT_EQ(platform::DirectoryModify(
                      handle_, testing::T(group_dn(security[pick(security.size())])),
                      {{platform::kDirectoryAdd, ZT("member"), {accounts[name]}}}, false),
                  0);
      }
    }
    ASSERT_TRUE(RefreshDirectoryView());
    EXPECT_TRUE(SyncPolicyMembership());
    compare_all("after the member pass of round " + std::to_string(round));
  }
}

// A pass works on the configuration published when it starts: new ones
// published while it runs neither wait for it nor change what it writes
// (that loads go on while its directory traffic waits is shown in
// silent_directory_test.cc).
TEST_F(PolicyObjectsTest, PassKeepsTheConfigurationItStartedWith) {
  domain_->SetPolicy(4, "Enabled", "1", platform::kRegDword);
  domain_->SetPolicy(4, "RulesText", "kept");
  LoadAndSync();
  const std::string group = Zefa("ZEFA_04");
  const Values before = Read(group, "info");
  ASSERT_EQ(before, Values{"MAP=0`MIP=0`RUL=kept"});
  std::atomic<bool> finished{false};
  std::thread pass([&] {
    SyncDirectoryPolicies();
    finished = true;
  });
  int published = 0;
  const PolicySnapshot loaded = CurrentPolicies();
  while (!finished.load()) {
    PublishPolicies(*loaded);  // the same sets, published anew
    ++published;
  }
  pass.join();
  EXPECT_GT(published, 0);
  EXPECT_EQ(Read(group, "info"), before);
}

}  // namespace
}  // namespace zefa
