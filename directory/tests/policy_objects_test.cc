// Policy sets mirrored into a real domain controller. The directory is shared
// with other test processes, so each test uses set numbers of its own and
// names its own accounts uniquely.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
// emptied of OUs, disabled.
TEST_F(PolicyObjectsTest, MirrorsASetThroughItsLife) {
  // The rules text holds the characters a value list would split or complete.
  const std::string rules = "Twelve characters | no `names`, please,";
  domain_->SetPolicy(3, "Enabled", "1", platform::kRegDword);
  domain_->SetPolicy(3, "UserGroups", "sales-it;Newsletter;no-such-group");
  domain_->SetPolicy(3, "UserOus", "/Staff");
  domain_->SetPolicy(3, "RulesText", rules);
  domain_->SetPolicy(3, "LockoutThreshold", "5", platform::kRegDword);
  domain_->SetPolicy(3, "LockoutDurationMin", "30", platform::kRegDword);
  domain_->SetPolicy(3, "LockoutObservationWindowMin", "15", platform::kRegDword);
  domain_->SetPolicy(3, "MaxPasswordAgeDays", "42", platform::kRegDword);
  domain_->SetPolicy(3, "MinPasswordAgeDays", "1", platform::kRegDword);
  domain_->SetPolicy(3, "PasswordHistory", "10", platform::kRegDword);
  LoadAndSync();

  const std::string group = Zefa("ZEFA_03"), ou_group = Zefa("ZEFA_03_C"), pso = Pso("ZEFA_03_P");
  const Values classes = Read("CN=ZEFA," + base_, "objectClass");
  EXPECT_NE(std::find(classes.begin(), classes.end(), "container"), classes.end());

  EXPECT_EQ(Value(group, "sAMAccountName"), "ZEFA_03");
  EXPECT_EQ(Value(group, "description"), "sales-it;newsletter;no-such-group;");
  EXPECT_EQ(Read(group, "info"), Values{"MAP=42`MIP=1`RUL=" + rules});
  // The security group and the OU-user group; never the distribution group.
  EXPECT_EQ(Sorted(Read(group, "member")), Sorted({"CN=sales-it,CN=Users," + base_, ou_group}));

  EXPECT_EQ(Value(ou_group, "sAMAccountName"), "ZEFA_03_C");
  EXPECT_EQ(Value(ou_group, "description"), "/staff;");
  const Values ou_members = Read(ou_group, "member");
  EXPECT_NE(
      std::find(ou_members.begin(), ou_members.end(), "CN=alice,OU=Engineering,OU=Staff," + base_),
      ou_members.end());
  for (const std::string& member : ou_members)
    EXPECT_NE(member.find(",OU=Staff," + base_), std::string::npos) << member;

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
  const std::string ou_group_usn = Value(ou_group, "uSNChanged");
  const std::string group_when = Value(group, "whenChanged");
  SyncDirectoryPolicies();
  EXPECT_EQ(Value(group, "uSNChanged"), group_usn);
  EXPECT_EQ(Value(ou_group, "uSNChanged"), ou_group_usn);
  EXPECT_EQ(Value(group, "whenChanged"), group_when);

  // Changed values reach the summary and the existing settings object.
  domain_->SetPolicy(3, "MaxPasswordAgeDays", "0", platform::kRegDword);
  domain_->SetPolicy(3, "RulesText", "");
  LoadAndSync();
  EXPECT_EQ(Read(group, "info"), Values{"MAP=0`MIP=1`RUL="});
  EXPECT_EQ(Value(pso, "msDS-MaximumPasswordAge"), "-9223372036854775808");
  EXPECT_TRUE(Read(pso, "description").empty());
  EXPECT_EQ(Value(pso, "msDS-LockoutThreshold"), "5");

  // No OUs any more: the OU-user group loses its description and members.
  domain_->SetPolicy(3, "UserOus", "");
  LoadAndSync();
  EXPECT_TRUE(Read(ou_group, "description").empty());
  EXPECT_TRUE(Read(ou_group, "member").empty());
  EXPECT_EQ(Read(group, "member").size(), 2u);

  // A disabled set keeps its objects as they are.
  const std::string pso_usn = Value(pso, "uSNChanged");
  domain_->SetPolicy(3, "Enabled", "0", platform::kRegDword);
  LoadAndSync();
  EXPECT_EQ(Value(group, "sAMAccountName"), "ZEFA_03");
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
  EXPECT_EQ(Sorted(Read(Zefa("ZEFA_07_C"), "member")), Sorted({in_both, ou_only}));
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
// "Smith, John" live.
TEST_F(PolicyObjectsTest, SpecialCharactersReachTheMirrorIntact) {
  domain_->SetPolicy(5, "Enabled", "1", platform::kRegDword);
  domain_->SetPolicy(5, "UserGroups", "helpdesk (tier1);domain*");
  domain_->SetPolicy(5, "UserOus", "/Sales");
  const std::string group = Zefa("ZEFA_05"), ou_group = Zefa("ZEFA_05_C");
  // An earlier run against the same directory may have mirrored the set.
  for (const std::string& dn : {group, ou_group})
    platform::DirectoryModify(handle_, testing::T(dn),
                              {{platform::kDirectoryReplace, ZT("description"), {"stale"}}}, false);
  LoadAndSync();

  EXPECT_EQ(Sorted(Read(group, "member")),
            Sorted({"CN=helpdesk (tier1),CN=Users," + base_, ou_group}));
  EXPECT_EQ(Value(group, "description"), "helpdesk (tier1);domain*;");
  const Values members = Read(ou_group, "member");
  for (const char* user : {"CN=pipe|user", "CN=tom(x)", "CN=Smith\\, John", "CN=bob"}) {
    EXPECT_NE(std::find(members.begin(), members.end(), user + (",OU=Sales," + base_)),
              members.end())
        << user;
  }
  EXPECT_EQ(Value(ou_group, "description"), "/sales;");
}

// A member write that fails (a group deleted while its DN is still cached)
// leaves the description and summary as they were, so the next pass tries
// again instead of taking the group for current.
TEST_F(PolicyObjectsTest, AFailedMemberWriteIsRetried) {
  const std::string doomed = "CN=" + tag_ + "d,CN=Users," + base_;
  Add(doomed, {Attr("objectClass", {"group"}), Attr("sAMAccountName", {tag_ + "d"})});
  domain_->SetPolicy(6, "Enabled", "1", platform::kRegDword);
  domain_->SetPolicy(6, "UserGroups", tag_ + "d");
  domain_->SetPolicy(6, "RulesText", "first");
  LoadAndSync();
  const std::string group = Zefa("ZEFA_06"), ou_group = Zefa("ZEFA_06_C");
  ASSERT_EQ(Sorted(Read(group, "member")), Sorted({doomed, ou_group}));

  // Samba's own client deletes it (the privileged socket, unbound).
  const std::string remove =
      "/usr/bin/python3 -c 'import sys, ldb; "
      "ldb.Ldb(sys.argv[1]).delete(sys.argv[2])' '" +
      testing::TestDcLdapiUri() + "' '" + doomed + "'";
  ASSERT_EQ(std::system(remove.c_str()), 0);
  domain_->SetPolicy(6, "RulesText", "second");
  LoadAndSync();  // the cached DN of the deleted group fails the member write
  EXPECT_EQ(Read(group, "info"), Values{"MAP=0`MIP=0`RUL=first"});
  LoadAndSync();  // and again at the next pass, while the cache holds it
  EXPECT_EQ(Read(group, "info"), Values{"MAP=0`MIP=0`RUL=first"});

  ClearDirectoryWriteCaches();  // as the day-long cache runs out
  SyncDirectoryPolicies();
  EXPECT_EQ(Read(group, "info"), Values{"MAP=0`MIP=0`RUL=second"});
  EXPECT_EQ(Read(group, "member"), Values{ou_group});
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
