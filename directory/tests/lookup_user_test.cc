// Accounts looked up in a real domain controller.
#include <gtest/gtest.h>

#include <unistd.h>

#include <ctime>
#include <string>

#include "directory/attribute_decoding.h"
#include "directory/directory.h"
#include "directory/lookup_user.h"
#include "directory/view_keeper.h"
#include "testing/test_dc.h"
#include "platform/directory.h"

namespace zefa {
namespace {

class LookupUserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_DC();
    testing::UseTestDc();
    ClearDecodingCaches();
    ASSERT_TRUE(RefreshDirectoryView());
  }
};

TEST_F(LookupUserTest, FindsAnAccountInANestedOu) {
  UserRecord user;
  LookupUser(ZT("alice"), user);
  EXPECT_EQ(user.AccountName, ZT("alice"));
  EXPECT_EQ(user.QualifiedName, ZT("EXAMPLE\\alice"));
  EXPECT_EQ(user.PrincipalName, ZT("alice@example.test"));
  EXPECT_EQ(user.DisplayName, ZT("Alice Able"));
  EXPECT_EQ(user.DistinguishedName, ZT("CN=alice,OU=Engineering,OU=Staff,DC=example,DC=test"));
  EXPECT_EQ(user.Container, ZT("Staff/Engineering"));
  EXPECT_EQ(user.Sid.rfind(ZT("S-1-5-21-"), 0), 0u);
  EXPECT_EQ(user.Guid.size(), 36u);
  // Security groups, nested ones included; distribution groups never.
  const Text groups = ZT(";") + user.GroupNames;
  EXPECT_NE(groups.find(ZT(";Engineers;")), Text::npos);
  EXPECT_NE(groups.find(ZT(";All Staff;")), Text::npos);
  EXPECT_NE(groups.find(ZT(";Domain Users;")), Text::npos);
  EXPECT_EQ(groups.find(ZT("Newsletter")), Text::npos);
  EXPECT_EQ(std::count(user.GroupNames.begin(), user.GroupNames.end(), ZT(';')),
            std::count(user.GroupSids.begin(), user.GroupSids.end(), ZT(';')));
}

TEST_F(LookupUserTest, UsersContainerAndMissingAttributes) {
  UserRecord eve;
  LookupUser(ZT("EXAMPLE\\eve"), eve);
  EXPECT_EQ(eve.AccountName, ZT("eve"));
  EXPECT_EQ(eve.Container, ZT("Users"));
  EXPECT_TRUE(eve.PrincipalName.empty());
  EXPECT_TRUE(eve.DisplayName.empty());
  UserRecord bob;
  LookupUser(ZT("bob@example.test"), bob);
  EXPECT_EQ(bob.Container, ZT("Sales"));
}

TEST_F(LookupUserTest, NobodyForUnknownAndGroupNames) {
  for (const Text& name : {Text(ZT("nosuchuser")), Text(ZT("Engineers")), Text(ZT("Staff"))}) {
    UserRecord user;
    LookupUser(name, user);
    EXPECT_TRUE(user.AccountName.empty()) << TextToUtf8(name);
    EXPECT_FALSE(user.LookupFailed) << TextToUtf8(name);  // the view said so
  }
}

// Before the directory was ever read nothing is known: said apart from an
// account the directory does not know.
TEST_F(LookupUserTest, NoViewIsNoAnswer) {
  ResetDirectoryView();
  setenv("CLAVORA_LDAP_URI", "ldapi://%2Fnonexistent%2Fldapi", 1);
  EXPECT_FALSE(RefreshDirectoryView());
  UserRecord user;
  LookupUser(ZT("alice"), user);
  EXPECT_TRUE(user.AccountName.empty());
  EXPECT_TRUE(user.LookupFailed);
  testing::UseTestDc();
  ASSERT_TRUE(RefreshDirectoryView());
  UserRecord alice;
  LookupUser(ZT("alice"), alice);
  EXPECT_EQ(alice.AccountName, ZT("alice"));
  EXPECT_FALSE(alice.LookupFailed);
}

// Filter syntax inside a name is part of the name: it finds exactly the
// account of that name, never another one, never a wildcard match.
TEST_F(LookupUserTest, NamesWithFilterSyntaxFindOnlyThemselves) {
  UserRecord tom;
  LookupUser(ZT("tom(x)"), tom);
  EXPECT_EQ(tom.AccountName, ZT("tom(x)"));
  EXPECT_EQ(tom.DistinguishedName, ZT("CN=tom(x),OU=Sales,DC=example,DC=test"));
  EXPECT_EQ(tom.Container, ZT("Sales"));
  EXPECT_NE((ZT(";") + tom.GroupNames).find(ZT(";helpdesk (tier1);")), Text::npos)
      << TextToUtf8(tom.GroupNames);
  UserRecord qualified;
  LookupUser(ZT("EXAMPLE\\tom(x)"), qualified);
  EXPECT_EQ(qualified.AccountName, ZT("tom(x)"));

  for (const Text& name : {Text(ZT("ali*")), Text(ZT("*")), Text(ZT("x)(sAMAccountName=alice")),
                           Text(ZT("alice)(|(sAMAccountName=*"))}) {
    UserRecord user;
    LookupUser(name, user);
    EXPECT_TRUE(user.AccountName.empty())
        << TextToUtf8(name) << " found " << TextToUtf8(user.AccountName);
  }
}

// The container comes from the parent's DN, which starts after the first
// comma that is not escaped.
TEST_F(LookupUserTest, EscapedCommaInTheNameKeepsTheContainer) {
  UserRecord smith;
  LookupUser(ZT("jsmith"), smith);
  EXPECT_EQ(smith.DistinguishedName, ZT("CN=Smith\\, John,OU=Sales,DC=example,DC=test"));
  EXPECT_EQ(smith.DisplayName, ZT("Smith, John"));
  EXPECT_EQ(smith.Container, ZT("Sales"));
}

// An account is looked up before it exists (its first password) and again
// right after: the next poll of the view knows it.
TEST_F(LookupUserTest, AnAccountCreatedIsFoundAfterThePoll) {
  const std::string name =
      "new" + std::to_string(getpid()) + "x" + std::to_string(time(nullptr) % 100000);
  UserRecord missing;
  LookupUser(testing::T(name), missing);
  EXPECT_TRUE(missing.AccountName.empty());

  platform::DirectoryHandle* handle = platform::DirectoryOpen();
  ASSERT_NE(handle, nullptr);
  const int added =
      platform::DirectoryAdd(handle, testing::T("CN=" + name + ",CN=Users,DC=example,DC=test"),
                             {{platform::kDirectoryAdd, ZT("objectClass"), {"user"}},
                              {platform::kDirectoryAdd, ZT("sAMAccountName"), {name}}},
                             false);
  platform::DirectoryClose(handle);
  ASSERT_EQ(added, 0);

  ASSERT_TRUE(RefreshDirectoryView());
  UserRecord created;
  LookupUser(testing::T(name), created);
  EXPECT_EQ(created.AccountName, testing::T(name));
  EXPECT_EQ(created.Container, ZT("Users"));
}

TEST_F(LookupUserTest, DirectoryReadsDecodeByTheSchema) {
  DirectoryConnection connection;
  ASSERT_TRUE(OpenDirectoryConnection(connection));
  const NamingContexts naming = CurrentNamingContexts();
  EXPECT_EQ(naming.DefaultNamingContext, ZT("DC=example,DC=test"));
  EXPECT_EQ(naming.DomainCanonicalName, ZT("example.test/"));
  AttributeMap root;
  EXPECT_EQ(ReadObject(connection, root, Text(), ZT("defaultNamingContext")), 0);
  EXPECT_EQ(root[ZT("defaultNamingContext")], ZT("DC=example,DC=test"));
  AttributeMap ou;
  EXPECT_EQ(ReadObject(connection, ou, ZT("OU=Sales,"), ZT("name,whenChanged,objectGUID")), 0);
  EXPECT_EQ(ou[ZT("name")], ZT("Sales"));
  EXPECT_EQ(ou[ZT("whenChanged")].size(), 19u);
  EXPECT_EQ(ou[ZT("objectGUID")].size(), 36u);
  EntryMap users;
  EXPECT_EQ(
      SearchObjects(connection, users, ZT("(&(objectClass=user)(sn=*))"), ZT("sn"), ZT("root"), 2),
      0);
  EXPECT_GE(users.size(), 4u);  // alice, bob, carol, dave (eve has no surname)
  EXPECT_EQ(users[ZT("CN=bob,OU=Sales,DC=example,DC=test")][ZT("sn")], ZT("Baker"));
  EXPECT_NE(SearchObjects(connection, users, ZT("(broken"), ZT("sn"), ZT("root"), 2), 0);
  EXPECT_EQ(ReadAttributeText(connection, ZT("DC=example,DC=test"), ZT("maxPwdAge")), ZT("42"));
  CloseDirectoryConnection(connection);
}

}  // namespace
}  // namespace zefa
