// Accounts looked up in a real domain controller.
#include <gtest/gtest.h>

#include "directory/attribute_decoding.h"
#include "directory/directory.h"
#include "directory/lookup_user.h"
#include "testing/test_dc.h"

namespace zefa {
namespace {

class LookupUserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_DC();
    testing::UseTestDc();
    ClearUserCache();
    ClearDecodingCaches();
  }
  void TearDown() override { ClearUserCache(); }
};

TEST_F(LookupUserTest, FindsAnAccountInANestedOu) {
  UserRecord user;
  LookupUser(ZT("alice"), user);
  EXPECT_EQ(user.AccountName, ZT("alice"));
  EXPECT_EQ(user.QualifiedName, ZT("EXAMPLE\\alice"));
  EXPECT_EQ(user.PrincipalName, ZT("alice@example.test"));
  EXPECT_EQ(user.DisplayName, ZT("Alice Able"));
  EXPECT_EQ(user.Description, ZT("Engineer"));
  EXPECT_EQ(user.DistinguishedName, ZT("CN=alice,OU=Engineering,OU=Staff,DC=example,DC=test"));
  EXPECT_EQ(user.Container, ZT("Staff/Engineering"));
  EXPECT_EQ(user.Sid.rfind(ZT("S-1-5-21-"), 0), 0u);
  EXPECT_EQ(user.Guid.size(), 36u);
  EXPECT_EQ(user.AccountExpires, -1);
  EXPECT_EQ(user.LastLogon, -1);
  EXPECT_GE(user.PasswordAge, 0);
  EXPECT_LT(user.PasswordAge, 86400 * 30);
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

TEST_F(LookupUserTest, NobodyForUnknownComputerAndMalformedNames) {
  for (const Text& name : {Text(ZT("nosuchuser")), Text(ZT("DC1$")), Text(ZT("Engineers")),
                           Text(ZT("x)(sAMAccountName=alice"))}) {
    UserRecord user;
    LookupUser(name, user);
    EXPECT_TRUE(user.AccountName.empty()) << TextToUtf8(name);
    EXPECT_EQ(user.QualifiedName, ZT("EXAMPLE\\"));
    EXPECT_EQ(user.AccountExpires, -1);
    EXPECT_EQ(user.PasswordAge, user.LookupTime + 1);
  }
}

TEST_F(LookupUserTest, CachedForBareNamesOnly) {
  UserRecord first, second, third;
  const uint64_t before = DirectoryLookupCount();
  LookupUser(ZT("carol"), first);
  LookupUser(ZT("carol"), second);
  EXPECT_EQ(DirectoryLookupCount(), before + 1);
  EXPECT_EQ(second.DistinguishedName, first.DistinguishedName);
  // Stored under the bare name, consulted under the name as passed.
  LookupUser(ZT("EXAMPLE\\carol"), third);
  LookupUser(ZT("EXAMPLE\\carol"), third);
  EXPECT_EQ(DirectoryLookupCount(), before + 3);
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
  EXPECT_EQ(SearchObjects(connection, users, ZT("(&(objectClass=user)(sn=*))"), ZT("sn"), ZT("root"), 2), 0);
  EXPECT_GE(users.size(), 4u);  // alice, bob, carol, dave (eve has no surname)
  EXPECT_EQ(users[ZT("CN=bob,OU=Sales,DC=example,DC=test")][ZT("sn")], ZT("Baker"));
  EXPECT_NE(SearchObjects(connection, users, ZT("(broken"), ZT("sn"), ZT("root"), 2), 0);
  EXPECT_EQ(ReadAttributeText(connection, ZT("DC=example,DC=test"), ZT("maxPwdAge")), ZT("42"));
  CloseDirectoryConnection(connection);
}

}  // namespace
}  // namespace zefa
