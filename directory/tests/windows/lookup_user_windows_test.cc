// Accounts looked up through wldap32 in a real domain controller: the same
// records as on POSIX, decoded from what the Windows client hands over.
#include "platform/windows/win_util.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "directory/attribute_decoding.h"
#include "directory/directory.h"
#include "directory/lookup_user.h"
#include "directory/view_keeper.h"
#include "testing/test_dc_windows.h"

namespace zefa {
namespace {

class LookupUserWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_WINDOWS_TEST_DC();
    testing::UseWindowsTestDc();
    ClearDecodingCaches();
    ASSERT_TRUE(RefreshDirectoryView());
  }
};

TEST_F(LookupUserWindows, FindsAnAccountWithItsContainerAndSecurityGroups) {
  UserRecord user;
  LookupUser(L"alice", user);
  EXPECT_EQ(user.AccountName, L"alice");
  EXPECT_EQ(user.PrincipalName, L"alice@example.test");
  EXPECT_EQ(user.DisplayName, L"Alice Able");
  EXPECT_EQ(user.DistinguishedName, L"CN=alice,OU=Engineering,OU=Staff,DC=example,DC=test");
  EXPECT_EQ(user.Container, L"Staff/Engineering");
  EXPECT_EQ(user.Sid.rfind(L"S-1-5-21-", 0), 0u);
  EXPECT_EQ(user.Guid.size(), 36u);
  // The qualified name carries the NetBIOS domain of the machine itself
  // (NetWkstaGetInfo), which a machine outside the domain does not have.
  EXPECT_EQ(user.QualifiedName.substr(user.QualifiedName.find(L'\\') + 1), L"alice");
  const Text groups = L";" + user.GroupNames;
  EXPECT_NE(groups.find(L";Engineers;"), Text::npos);
  EXPECT_NE(groups.find(L";All Staff;"), Text::npos);
  EXPECT_NE(groups.find(L";Domain Users;"), Text::npos);
  EXPECT_EQ(groups.find(L"Newsletter"), Text::npos);
  EXPECT_EQ(std::count(user.GroupNames.begin(), user.GroupNames.end(), L';'),
            std::count(user.GroupSids.begin(), user.GroupSids.end(), L';'));
}

TEST_F(LookupUserWindows, OtherContainersAndNameForms) {
  UserRecord eve;
  LookupUser(L"EXAMPLE\\eve", eve);
  EXPECT_EQ(eve.AccountName, L"eve");
  EXPECT_EQ(eve.Container, L"Users");
  EXPECT_TRUE(eve.PrincipalName.empty());
  UserRecord bob;
  LookupUser(L"bob@example.test", bob);
  EXPECT_EQ(bob.Container, L"Sales");
  UserRecord nobody;
  LookupUser(L"nobody-here", nobody);
  EXPECT_TRUE(nobody.AccountName.empty());
}

// Names with filter syntax and DNs with an escaped comma, through the
// Windows client: the same accounts and containers as on POSIX.
TEST_F(LookupUserWindows, UnusualNamesFindTheirOwnAccounts) {
  UserRecord tom;
  LookupUser(L"tom(x)", tom);
  EXPECT_EQ(tom.AccountName, L"tom(x)");
  EXPECT_EQ(tom.Container, L"Sales");
  EXPECT_NE((L";" + tom.GroupNames).find(L";helpdesk (tier1);"), Text::npos);
  UserRecord smith;
  LookupUser(L"jsmith", smith);
  EXPECT_EQ(smith.DistinguishedName, L"CN=Smith\\, John,OU=Sales,DC=example,DC=test");
  EXPECT_EQ(smith.Container, L"Sales");
  for (const wchar_t* name : {L"ali*", L"x)(sAMAccountName=alice"}) {
    UserRecord user;
    LookupUser(name, user);
    EXPECT_TRUE(user.AccountName.empty()) << TextToUtf8(name);
  }
}

TEST_F(LookupUserWindows, DirectoryReadsDecodeByTheSchema) {
  DirectoryConnection connection;
  ASSERT_TRUE(OpenDirectoryConnection(connection));
  const NamingContexts naming = CurrentNamingContexts();
  EXPECT_EQ(naming.DefaultNamingContext, L"DC=example,DC=test");
  EXPECT_EQ(naming.DomainCanonicalName, L"example.test/");
  AttributeMap ou;
  EXPECT_EQ(ReadObject(connection, ou, L"OU=Sales,", L"name,whenChanged,objectGUID"), 0);
  EXPECT_EQ(ou[L"name"], L"Sales");
  EXPECT_EQ(ou[L"whenChanged"].size(), 19u);
  EXPECT_EQ(ou[L"objectGUID"].size(), 36u);
  EntryMap users;
  EXPECT_EQ(SearchObjects(connection, users, L"(&(objectClass=user)(sn=*))", L"sn", L"root", 2), 0);
  EXPECT_EQ(users[L"CN=bob,OU=Sales,DC=example,DC=test"][L"sn"], L"Baker");
  EXPECT_NE(SearchObjects(connection, users, L"(broken", L"sn", L"root", 2), 0);
  EXPECT_EQ(ReadAttributeText(connection, L"DC=example,DC=test", L"maxPwdAge"), L"42");
  CloseDirectoryConnection(connection);
}

}  // namespace
}  // namespace zefa
