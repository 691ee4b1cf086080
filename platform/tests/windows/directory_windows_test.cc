// The directory client on wldap32 against a real domain controller: the
// named-server settings, binary values, writes with and without the
// lazy-commit control, and the name translation that falls back to the
// directory when the system has no answer.
#include "platform/tests/windows/windows_test_support.h"

#include <gtest/gtest.h>

#include "directory/attribute_decoding.h"
#include "platform/files.h"
#include "platform/directory.h"
#include "testing/test_dc_windows.h"

namespace zefa::platform {
namespace {

using test_support::ScopedEnv;
using test_support::TempFolder;
using test_support::UniqueName;

const Text kDomain = L"DC=example,DC=test";
const Text kAlice = L"CN=alice,OU=Engineering,OU=Staff,DC=example,DC=test";

class DirectoryWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_WINDOWS_TEST_DC();
    testing::UseWindowsTestDc();
  }

  // The password of the configured account, from its file.
  static std::string Password() {
    std::optional<std::string> bytes =
        ReadWholeFile(testing::WindowsTestDcSetting(L"CLAVORA_TEST_WIN_DC_PASSWORD_FILE"));
    return bytes ? *bytes : std::string();
  }

  // One entry read with a base-scope search; empty DN when it is missing.
  static DirectoryEntry Read(DirectoryHandle* handle, const Text& dn,
                             const std::vector<Text>& attributes) {
    std::vector<DirectoryEntry> entries;
    if (DirectorySearch(handle, dn, 0, Text(), attributes, 0, entries) != 0 || entries.empty())
      return DirectoryEntry();
    return entries.front();
  }

  static const DirectoryAttribute* Find(const DirectoryEntry& entry, const Text& name) {
    for (const DirectoryAttribute& attribute : entry.attributes)
      if (_wcsicmp(attribute.name.c_str(), name.c_str()) == 0) return &attribute;
    return nullptr;
  }
};

TEST_F(DirectoryWindows, NegotiateBindAsTheNamedAccountReadsBinaryValuesExactly) {
  DirectoryHandle* handle = DirectoryOpen();
  ASSERT_NE(handle, nullptr);
  std::vector<DirectoryEntry> entries;
  ASSERT_EQ(DirectorySearch(handle, kDomain, 2, L"(sAMAccountName=alice)",
                            {L"objectSid", L"objectGUID", L"displayName"}, 0, entries),
            0);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].dn, kAlice);
  const DirectoryAttribute* sid = Find(entries[0], L"objectSid");
  ASSERT_NE(sid, nullptr);
  ASSERT_EQ(sid->values.size(), 1u);
  EXPECT_EQ(sid->values[0].size(), 28u);  // revision 1, five sub-authorities
  EXPECT_EQ(SidText(sid->values[0]).rfind(L"S-1-5-21-", 0), 0u);
  const DirectoryAttribute* guid = Find(entries[0], L"objectGUID");
  ASSERT_NE(guid, nullptr);
  EXPECT_EQ(guid->values[0].size(), 16u);
  const DirectoryAttribute* display = Find(entries[0], L"displayName");
  ASSERT_NE(display, nullptr);
  EXPECT_EQ(display->values[0], "Alice Able");

  // A constructed attribute with binary values, read at base scope.
  const DirectoryEntry groups = Read(handle, kAlice, {L"tokenGroups"});
  const DirectoryAttribute* token_groups = Find(groups, L"tokenGroups");
  ASSERT_NE(token_groups, nullptr);
  EXPECT_GE(token_groups->values.size(), 3u);
  DirectoryClose(handle);
}

TEST_F(DirectoryWindows, SettingsThatCannotWorkGiveNoConnection) {
  TempFolder folder;
  const Text wrong = folder.File(L"wrong.pass");
  ASSERT_TRUE(ReplaceFileAtomically(wrong, "not the password", true));
  {
    ScopedEnv file(L"CLAVORA_LDAP_PASSWORD_FILE", wrong.c_str());
    EXPECT_EQ(DirectoryOpen(), nullptr) << "wrong password";
  }
  {
    ScopedEnv file(L"CLAVORA_LDAP_PASSWORD_FILE", folder.File(L"missing.pass").c_str());
    EXPECT_EQ(DirectoryOpen(), nullptr) << "missing password file";
  }
  {
    const Text empty = folder.File(L"empty.pass");
    ASSERT_TRUE(ReplaceFileAtomically(empty, "\r\n", true));
    ScopedEnv file(L"CLAVORA_LDAP_PASSWORD_FILE", empty.c_str());
    EXPECT_EQ(DirectoryOpen(), nullptr) << "empty password";
  }
  {
    ScopedEnv file(L"CLAVORA_LDAP_PASSWORD_FILE", nullptr);
    EXPECT_EQ(DirectoryOpen(), nullptr) << "account without password";
  }
  {
    // A distinguished name means a simple bind, which would send the
    // password in clear over ldap://: refused before anything is sent.
    ScopedEnv account(L"CLAVORA_LDAP_BIND_DN", L"CN=Administrator,CN=Users,DC=example,DC=test");
    EXPECT_EQ(DirectoryOpen(), nullptr) << "simple bind without TLS";
  }
  for (const wchar_t* uri :
       {L"http://127.0.0.1", L"ldap://", L"ldap://host:0", L"ldap://host:99999", L"ldap://host:12x",
        L"ldap://user@host", L"ldapi://socket"}) {
    ScopedEnv setting(L"CLAVORA_LDAP_URI", uri);
    EXPECT_EQ(DirectoryOpen(), nullptr) << TextToUtf8(uri);
  }
}

TEST_F(DirectoryWindows, OneTrailingLineBreakOfThePasswordFileIsNotPartOfIt) {
  const std::string password = Password();
  ASSERT_FALSE(password.empty());
  TempFolder folder;
  const Text crlf = folder.File(L"crlf.pass");
  ASSERT_TRUE(ReplaceFileAtomically(crlf, password + "\r\n", true));
  ScopedEnv file(L"CLAVORA_LDAP_PASSWORD_FILE", crlf.c_str());
  DirectoryHandle* handle = DirectoryOpen();
  EXPECT_NE(handle, nullptr);
  DirectoryClose(handle);

  const Text doubled = folder.File(L"doubled.pass");
  ASSERT_TRUE(ReplaceFileAtomically(doubled, password + "\n\n", true));
  ScopedEnv second(L"CLAVORA_LDAP_PASSWORD_FILE", doubled.c_str());
  EXPECT_EQ(DirectoryOpen(), nullptr);
}

TEST_F(DirectoryWindows, AddAndModifyWriteWhatTheyAreGiven) {
  DirectoryHandle* handle = DirectoryOpen();
  ASSERT_NE(handle, nullptr);
  const Text name = UniqueName(L"zefa-win");
  const Text dn = L"CN=" + name + L",CN=Users," + kDomain;
  const std::string description =
      "Gr\xc3\xbc\xc3\x9f"
      "e \xe2\x82\xac";  // non-ASCII UTF-8
  ASSERT_EQ(DirectoryAdd(handle, dn,
                         {{kDirectoryAdd, L"objectClass", {"group"}},
                          {kDirectoryAdd, L"sAMAccountName", {TextToUtf8(name)}},
                          {kDirectoryAdd, L"description", {description}}},
                         true),
            0);
  DirectoryEntry entry = Read(handle, dn, {L"description", L"info"});
  ASSERT_NE(Find(entry, L"description"), nullptr);
  EXPECT_EQ(Find(entry, L"description")->values[0], description);

  EXPECT_EQ(DirectoryModify(handle, dn,
                            {{kDirectoryReplace, L"description", {"second"}},
                             {kDirectoryAdd, L"info", {"line one\r\nline two"}}},
                            false),
            0);
  entry = Read(handle, dn, {L"description", L"info"});
  ASSERT_NE(Find(entry, L"info"), nullptr);
  EXPECT_EQ(Find(entry, L"description")->values[0], "second");
  EXPECT_EQ(Find(entry, L"info")->values[0], "line one\r\nline two");

  // No values: the whole attribute goes.
  EXPECT_EQ(DirectoryModify(handle, dn, {{kDirectoryDelete, L"info", {}}}, true), 0);
  entry = Read(handle, dn, {L"info"});
  EXPECT_EQ(entry.dn, dn);
  EXPECT_EQ(Find(entry, L"info"), nullptr);

  // The server's answer comes back as it is: the entry exists already.
  EXPECT_EQ(DirectoryAdd(handle, dn, {{kDirectoryAdd, L"objectClass", {"group"}}}, false),
            0x44);  // LDAP_ALREADY_EXISTS
  EXPECT_NE(DirectoryModify(handle, dn, {{7, L"info", {"x"}}}, false), 0) << "unknown operation";
  DirectoryClose(handle);
}

TEST_F(DirectoryWindows, NameTranslationHasTheSystemFormsWithOrWithoutTheSystem) {
  EXPECT_EQ(TranslateDnToCanonical(kAlice), L"example.test/Staff/Engineering/alice");
  EXPECT_EQ(TranslateDnToCanonical(kDomain), L"example.test/");
  EXPECT_EQ(TranslateCanonicalToDn(L"example.test/Staff/Engineering"),
            L"OU=Engineering,OU=Staff,DC=example,DC=test");
  EXPECT_EQ(TranslateDnToCanonical(L"CN=nobody,DC=example,DC=test"), L"");
  EXPECT_EQ(TranslateCanonicalToDn(L"example.test/No Such OU"), L"");

  DirectoryHandle* handle = DirectoryOpen();
  ASSERT_NE(handle, nullptr);
  const DirectoryEntry alice = Read(handle, kAlice, {L"objectSid"});
  DirectoryClose(handle);
  const DirectoryAttribute* sid = Find(alice, L"objectSid");
  ASSERT_NE(sid, nullptr);
  EXPECT_EQ(LookupAccountNameOfSid(SidText(sid->values[0])), L"alice");
  EXPECT_EQ(LookupAccountNameOfSid(L"S-1-5-32-544"), L"Administrators");
  EXPECT_EQ(LookupAccountNameOfSid(L"S-1-5-21-1-2-3-999999"), L"");
}

}  // namespace
}  // namespace zefa::platform
