// CheckUser against the test domain controller. Every test makes accounts
// and Password Settings Objects of its own (the domain's maxPwdAge is left
// alone: other tests run beside these). pwdLastSet can only be set to "now"
// there, so the PSO's maximum age moves the expiry.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <random>

#include "directory/attribute_decoding.h"
#include "platform/time.h"
#include "platform/directory.h"
#include "platform/session.h"
#include "reminder/check_user.h"
#include "reminder/expiry.h"
#include "reminder/format_local_date.h"
#include "reminder/reminder_message.h"
#include "testing/test_dc.h"
#include "util/date_value.h"

namespace zefa {
namespace {

constexpr char kPassword[] = "Reminder!Pass7";
constexpr int64_t kDay = 86400;
constexpr int64_t kTicksPerDay = 864000000000;
constexpr int kNormalAccount = 0x200;
constexpr int kDontExpire = 0x10000;

std::string UniqueSuffix() {
  std::random_device random;
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(random()));
  return text;
}

platform::DirectoryModification Value(const char* name, const std::string& value) {
  return platform::DirectoryModification{platform::kDirectoryAdd, Utf8ToText(name), {value}};
}

std::string UnicodePassword(const std::string& password) {
  std::string bytes;
  for (char c : "\"" + password + "\"") {
    bytes.push_back(c);
    bytes.push_back('\0');
  }
  return bytes;
}

class ReminderDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_TEST_DC();
    testing::UseTestDc();
    ClearUserDnCache();
    ClearDecodingCaches();
    DirectoryConnection connection;
    ASSERT_TRUE(OpenDirectoryConnection(connection));
    domain_ = TextToUtf8(CurrentNamingContexts().DefaultNamingContext);
    CloseDirectoryConnection(connection);
    handle_ = platform::DirectoryOpen();
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    if (handle_ != nullptr) platform::DirectoryClose(handle_);
  }

  // A new account with the given names; its password is set now.
  std::string AddUser(const std::string& given_name, int flags = kNormalAccount) {
    const std::string name = "rmd" + UniqueSuffix();
    const std::string dn = "CN=" + name + ",CN=Users," + domain_;
    const int rc = platform::DirectoryAdd(
        handle_, Utf8ToText(dn),
        {Value("objectClass", "user"), Value("sAMAccountName", name),
         Value("userPrincipalName", name + "@example.test"), Value("givenName", given_name),
         Value("sn", "Reed"), Value("displayName", given_name + " Reed"),
         Value("unicodePwd", UnicodePassword(kPassword)),
         Value("userAccountControl", std::to_string(flags))},
        false);
    EXPECT_EQ(rc, 0) << "adding " << dn;
    return name;
  }

  // A PSO that applies to the account alone. max_age_ticks is the
  // directory's negative 100-ns interval.
  void AddPso(const std::string& account, const std::string& max_age_ticks,
              const std::string& description) {
    const std::string dn =
        "CN=" + account + "-pso,CN=Password Settings Container,CN=System," + domain_;
    std::vector<platform::DirectoryModification> attributes{
        Value("objectClass", "msDS-PasswordSettings"),
        Value("msDS-PasswordSettingsPrecedence", "10"),
        Value("msDS-PasswordReversibleEncryptionEnabled", "FALSE"),
        Value("msDS-PasswordHistoryLength", "0"),
        Value("msDS-PasswordComplexityEnabled", "FALSE"),
        Value("msDS-MinimumPasswordLength", "0"),
        Value("msDS-MinimumPasswordAge", "0"),
        Value("msDS-MaximumPasswordAge", max_age_ticks),
        Value("msDS-LockoutThreshold", "0"),
        Value("msDS-LockoutObservationWindow", "-18000000000"),
        Value("msDS-LockoutDuration", "-18000000000"),
        Value("msDS-PSOAppliesTo", "CN=" + account + ",CN=Users," + domain_)};
    if (!description.empty()) attributes.push_back(Value("description", description));
    EXPECT_EQ(platform::DirectoryAdd(handle_, Utf8ToText(dn), attributes, false), 0)
        << "adding " << dn;
  }

  static std::string AgeInTicks(int64_t days) { return std::to_string(-days * kTicksPerDay); }

  static Text ExpectedDate(const AttributeMap& info, int64_t days) {
    return FormatLocalDate(PasswordLastSet(info) + days * kDay, kExpiryDatePattern);
  }

  std::string domain_;
  platform::DirectoryHandle* handle_ = nullptr;
};

TEST_F(ReminderDirectoryTest, PsoDescriptionWithPlaceholdersInAnyCase) {
  const std::string name = AddUser("Rita");
  AddPso(name, AgeInTicks(5),
         "Dear $GIVENNAME $Sn ($SAMACCOUNTNAME, $userprincipalname): change it before "
         "$passwordexpirydate.");
  AttributeMap info;
  ASSERT_EQ(CheckUser(Utf8ToText(name), info), 1);
  EXPECT_EQ(AttributeText(info, ZT("_passwordNeverExpires")), ZT("FALSE"));
  EXPECT_EQ(AttributeText(info, ZT("msDS-MaximumPasswordAge")), ZT("5"));
  const int64_t last_set = PasswordLastSet(info);
  ASSERT_NE(last_set, -1);
  EXPECT_LE(std::llabs(platform::LocalNow() - last_set), 600);
  EXPECT_EQ(AttributeText(info, ZT("info")), Utf8ToText("Dear Rita Reed (" + name + ", " + name +
                                                        "@example.test): change it before ") +
                                                 ExpectedDate(info, 5) + ZT("."));
  // Five days of age leave less than the eight days of lead: due at once.
  EXPECT_TRUE(IsReminderDue(info, platform::LocalNow()));
}

TEST_F(ReminderDirectoryTest, PsoWithoutDescriptionGivesBuiltInMessageWithItsAge) {
  const std::string name = AddUser("Sam");
  AddPso(name, AgeInTicks(30), "");
  AttributeMap info;
  ASSERT_EQ(CheckUser(Utf8ToText(name), info), 1);
  EXPECT_TRUE(AttributeText(info, ZT("description")).empty());
  Text expected = kBuiltInReminderMessage;
  ReplaceIgnoringCase(expected, ZT("$passwordExpiryDate"), ExpectedDate(info, 30));
  EXPECT_EQ(AttributeText(info, ZT("info")), expected);
  const int64_t last_set = PasswordLastSet(info);
  EXPECT_FALSE(IsReminderDue(info, platform::LocalNow()));
  EXPECT_FALSE(IsReminderDue(info, last_set + 22 * kDay));
  EXPECT_TRUE(IsReminderDue(info, last_set + 22 * kDay + 1));
}

TEST_F(ReminderDirectoryTest, WithoutPsoTheDomainsMaximumAgeCounts) {
  const std::string name = AddUser("Una");
  AttributeMap info;
  ASSERT_EQ(CheckUser(Utf8ToText(name), info), 1);
  EXPECT_FALSE(HasAttribute(info, ZT("msDS-ResultantPSO")));
  EXPECT_FALSE(HasAttribute(info, ZT("msDS-MaximumPasswordAge")));
  ASSERT_TRUE(HasAttribute(info, ZT("maxPwdAge")));
  const int64_t domain_age = MaximumPasswordAgeDays(info);
  EXPECT_EQ(PasswordExpiry(info), PasswordLastSet(info) + domain_age * kDay);
  Text expected = kBuiltInReminderMessage;
  ReplaceIgnoringCase(expected, ZT("$passwordExpiryDate"), ExpectedDate(info, domain_age));
  EXPECT_EQ(AttributeText(info, ZT("info")), expected);
}

TEST_F(ReminderDirectoryTest, PasswordThatNeverExpiresIgnoresThePso) {
  const std::string name = AddUser("Vic", kNormalAccount | kDontExpire);
  AddPso(name, AgeInTicks(1), "Custom text for $givenName");
  AttributeMap info;
  ASSERT_EQ(CheckUser(Utf8ToText(name), info), 1);
  EXPECT_EQ(AttributeText(info, ZT("_passwordNeverExpires")), ZT("TRUE"));
  EXPECT_FALSE(HasAttribute(info, ZT("msDS-MaximumPasswordAge")));
  EXPECT_EQ(AttributeText(info, ZT("info")).find(ZT("Custom")), Text::npos);
  EXPECT_FALSE(IsReminderDue(info, platform::LocalNow() + 400 * kDay));
}

TEST_F(ReminderDirectoryTest, PsoWithoutMaximumAgeNeverReminds) {
  const std::string name = AddUser("Wes");
  AddPso(name, "-9223372036854775808", "Never");
  AttributeMap info;
  ASSERT_EQ(CheckUser(Utf8ToText(name), info), 1);
  EXPECT_EQ(AttributeText(info, ZT("msDS-MaximumPasswordAge")), ZT("0"));
  EXPECT_FALSE(IsReminderDue(info, platform::LocalNow() + 4000 * kDay));
}

TEST_F(ReminderDirectoryTest, UnknownAccountLeavesTheUserEmpty) {
  AttributeMap info;
  ASSERT_EQ(CheckUser(ZT("nobody-here"), info), 1);
  EXPECT_FALSE(HasAttribute(info, ZT("sAMAccountName")));
  EXPECT_TRUE(HasAttribute(info, ZT("maxPwdAge")));
  EXPECT_EQ(PasswordLastSet(info), -1);
  EXPECT_FALSE(IsReminderDue(info, platform::LocalNow()));
  // Test mode shows this text: the built-in message without a date.
  Text expected = kBuiltInReminderMessage;
  ReplaceIgnoringCase(expected, ZT("$passwordExpiryDate"), Text());
  EXPECT_EQ(AttributeText(info, ZT("info")), expected);
}

TEST_F(ReminderDirectoryTest, DistinguishedNameOfAnAccount) {
  DirectoryConnection connection;
  ASSERT_TRUE(OpenDirectoryConnection(connection));
  EXPECT_EQ(FindUserDistinguishedName(connection, ZT("alice")),
            ZT("CN=alice,OU=Engineering,OU=Staff,DC=example,DC=test"));
  EXPECT_EQ(FindUserDistinguishedName(connection, ZT("alice")),
            ZT("CN=alice,OU=Engineering,OU=Staff,DC=example,DC=test"));
  EXPECT_EQ(FindUserDistinguishedName(connection, ZT("a)(b")), Text());
  // Filter syntax in a name is part of the name.
  EXPECT_EQ(FindUserDistinguishedName(connection, ZT("tom(x)")),
            ZT("CN=tom(x),OU=Sales,DC=example,DC=test"));
  EXPECT_EQ(FindUserDistinguishedName(connection, ZT("ali*")), Text());
  EXPECT_EQ(FindUserDistinguishedName(connection, ZT("Domain Users")), Text());  // a group
  CloseDirectoryConnection(connection);
}

// The logged-on user is the principal of the session's Kerberos credentials.
TEST_F(ReminderDirectoryTest, LoggedOnUserFromKerberosCredentials) {
  const std::string name = AddUser("Kim");
  const std::filesystem::path cache =
      std::filesystem::temp_directory_path() / ("clavora-reminder-ccache-" + name);
  const std::string krb5_conf = testing::TestDcFolder() + "/krb5.conf";
  const std::string kinit = "printf '%s\\n' '" + std::string(kPassword) + "' | KRB5_CONFIG='" +
                            krb5_conf + "' KRB5CCNAME='FILE:" + cache.string() + "' kinit " + name +
                            "@EXAMPLE.TEST >/dev/null 2>&1";
  if (std::system(kinit.c_str()) != 0) GTEST_SKIP() << "kinit failed: " << kinit;
  setenv("KRB5_CONFIG", krb5_conf.c_str(), 1);
  setenv("KRB5CCNAME", ("FILE:" + cache.string()).c_str(), 1);
  const platform::SessionUser user = platform::LoggedOnUser();
  AttributeMap info;
  const int found = CheckUser(Text(), info);
  unsetenv("KRB5CCNAME");
  unsetenv("KRB5_CONFIG");
  std::filesystem::remove(cache);
  EXPECT_EQ(user.account_name, Utf8ToText(name));
  ASSERT_EQ(found, 1);
  EXPECT_EQ(AttributeText(info, ZT("sAMAccountName")), Utf8ToText(name));
  EXPECT_EQ(AttributeText(info, ZT("givenName")), ZT("Kim"));
}

TEST(ReminderWithoutDirectory, CheckFailsWhenNoConnectionOpens) {
  setenv("CLAVORA_LDAP_URI", "ldapi://%2Fnonexistent%2Fclavora%2Fldapi", 1);
  unsetenv("CLAVORA_LDAP_BIND_DN");
  unsetenv("CLAVORA_LDAP_PASSWORD_FILE");
  AttributeMap info{{ZT("info"), ZT("earlier")}};
  EXPECT_EQ(CheckUser(ZT("alice"), info), 0);
  EXPECT_EQ(AttributeText(info, ZT("info")), ZT("earlier"));  // left as it was
  unsetenv("CLAVORA_LDAP_URI");
}

}  // namespace
}  // namespace zefa
