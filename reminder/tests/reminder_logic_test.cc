// The reminder's decisions without a directory: when it is due, what it
// says, how dates read in two languages, the window's geometry rule, the
// icon, and the session's user and password-change command.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/session.h"
#include "platform/locale.h"
#include "reminder/command_line.h"
#include "reminder/expiry.h"
#include "reminder/format_local_date.h"
#include "reminder/reminder_icon.h"
#include "reminder/reminder_message.h"
#include "reminder/window_layout.h"
#include "util/date_value.h"

namespace zefa {
namespace {

int64_t At(int64_t year, int month, int day, int hour, int minute, int second) {
  return CivilToDateValue(CivilTime{year, month, day, hour, minute, second});
}

// An account as CheckUser leaves it: domain maximum age 42 days, password
// set 2026-11-01 10:00:00, a finished reminder text.
AttributeMap DueAccount() {
  return AttributeMap{{ZT("maxPwdAge"), ZT("42")},
                      {ZT("pwdLastSet"), ZT("2026-11-01 10:00:00")},
                      {ZT("userAccountControl"), ZT("512")},
                      {ZT("_passwordNeverExpires"), ZT("FALSE")},
                      {ZT("info"), ZT("Change it.")}};
}

TEST(ReminderDue, FromEightDaysBeforeExpiryStrictlyAndWithoutUpperBound) {
  const AttributeMap account = DueAccount();
  EXPECT_EQ(PasswordExpiry(account), At(2026, 12, 13, 10, 0, 0));
  EXPECT_FALSE(IsReminderDue(account, At(2026, 12, 5, 9, 59, 59)));
  EXPECT_FALSE(IsReminderDue(account, At(2026, 12, 5, 10, 0, 0)));  // exactly lastSet + 34 days
  EXPECT_TRUE(IsReminderDue(account, At(2026, 12, 5, 10, 0, 1)));
  EXPECT_TRUE(IsReminderDue(account, At(2027, 6, 1, 0, 0, 0)));  // long expired
}

TEST(ReminderDue, NeverWhenThePasswordCannotExpireOrHasNoDate) {
  const int64_t later = At(2027, 1, 1, 0, 0, 0);

  AttributeMap flagged = DueAccount();
  flagged[ZT("userAccountControl")] = ZT("66048");  // 0x10200
  EXPECT_EQ(PasswordNeverExpiresText(flagged), ZT("TRUE"));
  EXPECT_EQ(PasswordNeverExpiresText(DueAccount()), ZT("FALSE"));
  EXPECT_EQ(PasswordNeverExpiresText(AttributeMap{}), ZT("FALSE"));
  flagged[ZT("_passwordNeverExpires")] = ZT("TRUE");
  EXPECT_FALSE(IsReminderDue(flagged, later));

  AttributeMap no_maximum = DueAccount();
  no_maximum[ZT("maxPwdAge")] = ZT("0");
  EXPECT_FALSE(IsReminderDue(no_maximum, later));

  AttributeMap must_change = DueAccount();
  must_change[ZT("pwdLastSet")] = ZT("0");
  EXPECT_FALSE(IsReminderDue(must_change, later));
  EXPECT_EQ(PasswordExpiry(must_change), -1);

  AttributeMap no_text = DueAccount();
  no_text[ZT("info")] = Text();
  EXPECT_FALSE(IsReminderDue(no_text, later));

  EXPECT_FALSE(IsReminderDue(AttributeMap{}, later));
}

TEST(ReminderDue, ThePsoMaximumAgeTakesPrecedenceOverTheDomains) {
  AttributeMap account = DueAccount();
  account[ZT("msDS-MaximumPasswordAge")] = ZT("10");
  EXPECT_EQ(PasswordExpiry(account), At(2026, 11, 11, 10, 0, 0));
  EXPECT_TRUE(IsReminderDue(account, At(2026, 11, 3, 10, 0, 1)));
  EXPECT_FALSE(IsReminderDue(account, At(2026, 11, 3, 10, 0, 0)));
  // A PSO without a maximum age switches the reminder off, whatever the domain says.
  account[ZT("msDS-MaximumPasswordAge")] = ZT("0");
  EXPECT_FALSE(IsReminderDue(account, At(2027, 1, 1, 0, 0, 0)));
}

TEST(ReminderDue, AttributeNamesMatchIgnoringCase) {
  const AttributeMap account{{ZT("pwdlastset"), ZT("2026-11-01 10:00:00")},
                             {ZT("MAXPWDAGE"), ZT("42")}};
  EXPECT_EQ(PasswordExpiry(account), At(2026, 12, 13, 10, 0, 0));
  EXPECT_FALSE(HasAttribute(account, ZT("msDS-MaximumPasswordAge")));
}

TEST(ReminderText, PlaceholdersAreReplacedIgnoringCase) {
  const AttributeMap account{{ZT("sAMAccountName"), ZT("rita")},
                             {ZT("userPrincipalName"), ZT("rita@example.test")},
                             {ZT("cn"), ZT("Rita R.")},
                             {ZT("displayName"), ZT("Rita Reed")},
                             {ZT("sn"), ZT("Reed")},
                             {ZT("givenName"), ZT("Rita")}};
  EXPECT_EQ(FillReminderTemplate(ZT("Dear $GIVENNAME $Sn, expires $passwordexpirydate. "
                                    "[$samaccountname|$UserPrincipalName|$CN|$displayname] "
                                    "$givenname again"),
                                 account, ZT("Sun, 13 Dec 2026 10:00")),
            ZT("Dear Rita Reed, expires Sun, 13 Dec 2026 10:00. "
               "[rita|rita@example.test|Rita R.|Rita Reed] Rita again"));
}

TEST(ReminderText, InsertedTextIsSearchedOnlyByLaterPlaceholders) {
  // cn's value holds a later placeholder: replaced. displayName's value
  // holds its own placeholder: inserted once, not replaced again.
  const AttributeMap account{{ZT("cn"), ZT("$givenName")},
                             {ZT("displayName"), ZT("$DisplayName|x")},
                             {ZT("givenName"), ZT("Rita")}};
  EXPECT_EQ(FillReminderTemplate(ZT("$cn / $displayName / $sn."), account, Text()),
            ZT("Rita / $DisplayName|x / ."));
  Text text = ZT("$a$A$a");
  ReplaceIgnoringCase(text, ZT("$a"), ZT("$a$a"));
  EXPECT_EQ(text, ZT("$a$a$a$a$a$a"));
}

TEST(ReminderText, BuiltInMessageWithoutADescription) {
  AttributeMap account = DueAccount();
  const Text date = ExpiryDateText(account);
  ASSERT_FALSE(date.empty());
  EXPECT_EQ(
      ComposeReminderText(account),
      ZT("Your Windows password will expire at ") + date + ZT(" and must be changed. ") +
          Text(kBuiltInReminderMessage).substr(Text(kBuiltInReminderMessage).find(ZT("Press"))));
  account[ZT("description")] = ZT("Policy: 12 characters. Expires $PasswordExpiryDate.");
  EXPECT_EQ(ComposeReminderText(account), ZT("Policy: 12 characters. Expires ") + date + ZT("."));
  account[ZT("pwdLastSet")] = ZT("0");  // no expiry: the date stays empty
  EXPECT_EQ(ComposeReminderText(account), ZT("Policy: 12 characters. Expires ."));
}

// Formats in a locale that glibc has; builds it into a private folder (and
// points LOCPATH there) when the system has not generated it.
class LocaleDates : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (Installed("en_US.utf8") && Installed("de_DE.utf8")) return;
    folder_ = (std::filesystem::temp_directory_path() / "clavora-reminder-locales").string();
    std::filesystem::create_directories(folder_);
    for (const char* name : {"en_US", "de_DE"}) {
      const std::string command = std::string("localedef -i ") + name + " -f UTF-8 " + folder_ +
                                  "/" + name + ".UTF-8 >/dev/null 2>&1";
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    setenv("LOCPATH", folder_.c_str(), 1);
  }
  static void TearDownTestSuite() {
    unsetenv("LC_ALL");
    if (!folder_.empty()) unsetenv("LOCPATH");
  }
  static bool Installed(const std::string& name) {
    return std::system(("locale -a 2>/dev/null | grep -qix '" + name + "'").c_str()) == 0;
  }
  static void UseLocale(const char* name) { setenv("LC_ALL", name, 1); }
  static inline std::string folder_;
};

TEST_F(LocaleDates, ExpiryPatternInEnglishAndGerman) {
  const int64_t expiry = At(2026, 12, 13, 10, 0, 0);
  UseLocale("en_US.UTF-8");
  EXPECT_EQ(FormatLocalDate(expiry, kExpiryDatePattern), ZT("Sun, 13 Dec 2026 10:00"));
  EXPECT_EQ(platform::FormatUserDate(expiry, ZT("dddd, MMMM d, yyyy")),
            ZT("Sunday, December 13, 2026"));
  EXPECT_EQ(platform::FormatUserTime(At(2026, 3, 1, 22, 5, 7), ZT("h:mm:ss tt")),
            ZT("10:05:07 PM"));
  UseLocale("de_DE.UTF-8");
  EXPECT_EQ(FormatLocalDate(expiry, kExpiryDatePattern), ZT("So, 13 Dez 2026 10:00"));
  EXPECT_EQ(platform::FormatUserDate(At(2026, 3, 1, 0, 0, 0), ZT("dddd, d. MMMM yy")),
            Utf8ToText("Sonntag, 1. März 26"));
}

TEST_F(LocaleDates, PatternSplitAndLiterals) {
  UseLocale("en_US.UTF-8");
  const int64_t when = At(2026, 7, 4, 9, 8, 0);
  // No "h", "H" or "m": nothing to split at, so nothing at all.
  EXPECT_EQ(FormatLocalDate(when, ZT("dd.MM.yyyy")), Text());
  // Split before the first "h"; the time part keeps everything after it.
  EXPECT_EQ(FormatLocalDate(when, ZT("d/M/yy h:mm 'at' H")), ZT("4/7/26 9:08 at 9"));
  EXPECT_EQ(FormatLocalDate(when, ZT("mm")), ZT("08"));
  EXPECT_EQ(platform::FormatUserDate(when, ZT("'Day' d, 'it''s' MMM")), ZT("Day 4, it's Jul"));
  EXPECT_EQ(platform::FormatUserDate(when, Text()), Text());
  // A date value of 0 is now.
  EXPECT_EQ(FormatLocalDate(0, ZT("yyyy HH")).size(), 7u);
  // A locale that is not installed falls back to English names.
  UseLocale("xx_NOWHERE.UTF-8");
  EXPECT_EQ(FormatLocalDate(At(2026, 12, 13, 10, 0, 0), kExpiryDatePattern),
            ZT("Sun, 13 Dec 2026 10:00"));
}

TEST(ReminderCommandLine, TestModeAndItsAccount) {
  const ReminderOptions named = ParseReminderCommandLine({ZT("/TEST"), ZT("alice")});
  EXPECT_TRUE(named.test_mode);
  EXPECT_EQ(named.test_user, ZT("alice"));
  const ReminderOptions self = ParseReminderCommandLine({ZT("/test")});
  EXPECT_TRUE(self.test_mode);
  EXPECT_TRUE(self.test_user.empty());
  EXPECT_FALSE(ParseReminderCommandLine({}).test_mode);
  EXPECT_FALSE(ParseReminderCommandLine({ZT("/tests"), ZT("alice")}).test_mode);
  EXPECT_FALSE(ParseReminderCommandLine({ZT("alice"), ZT("/test")}).test_mode);
}

TEST(ReminderLayout, RuleReproducesTheTableAndFollowsTheCorner) {
  const ReminderLayout initial = LayOutReminder(kReminderWindowWidth, kReminderWindowHeight);
  EXPECT_EQ(initial.panel, (WidgetBox{0, 3, 464, 141}));
  EXPECT_EQ(initial.icon, (WidgetBox{15, 15, 48, 48}));
  EXPECT_EQ(initial.message, (WidgetBox{72, 6, 384, 126}));
  EXPECT_EQ(initial.button, (WidgetBox{348, 152, 100, 25}));

  const ReminderLayout enlarged = LayOutReminder(800, 500);
  EXPECT_EQ(enlarged.message, (WidgetBox{72, 6, 720, 438}));
  EXPECT_EQ(800 - (enlarged.button.x + enlarged.button.width), 16);
  EXPECT_EQ(500 - (enlarged.button.y + enlarged.button.height), 11);

  const ReminderLayout tiny = LayOutReminder(40, 30);  // no negative sizes
  EXPECT_EQ(tiny.panel.height, 0);
  EXPECT_EQ(tiny.message.width, 0);
  EXPECT_EQ(tiny.message.height, 0);
}

TEST(ReminderIcon, BuiltInIconDecodesToGreyWithAlpha) {
  GreyAlphaImage icon;
  ASSERT_TRUE(DecodeGreyAlphaPng(BuiltInIconPng(), icon));
  EXPECT_EQ(icon.width, kReminderIconSize);
  EXPECT_EQ(icon.height, kReminderIconSize);
  ASSERT_EQ(icon.pixels.size(), 48u * 48u * 2u);
  EXPECT_EQ(icon.pixels[1], 0);            // the corner is transparent
  const size_t body = (40 * 48 + 24) * 2;  // low in the middle: the padlock's body
  EXPECT_EQ(icon.pixels[body + 1], 255);
  EXPECT_LT(icon.pixels[body], 128);

  const std::span<const uint8_t> png = BuiltInIconPng();
  std::vector<uint8_t> cut(png.begin(), png.begin() + png.size() / 2);
  EXPECT_FALSE(DecodeGreyAlphaPng(cut, icon));
  EXPECT_TRUE(icon.pixels.empty());
  const uint8_t text[] = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g'};
  EXPECT_FALSE(DecodeGreyAlphaPng(text, icon));
  EXPECT_FALSE(DecodeGreyAlphaPng({}, icon));
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ReminderSession, LoginNameWithoutKerberosCredentials) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / "clavora-reminder-session";
  std::filesystem::create_directories(folder);
  ASSERT_EQ(std::system(("id -un > " + (folder / "name").string()).c_str()), 0);
  std::string login = ReadFile(folder / "name");
  while (!login.empty() && login.back() == '\n') login.pop_back();
  setenv("KRB5CCNAME", ("FILE:" + (folder / "no-such-cache").string()).c_str(), 1);
  const platform::SessionUser user = platform::LoggedOnUser();
  unsetenv("KRB5CCNAME");
  EXPECT_EQ(user.account_name, Utf8ToText(login));
  EXPECT_TRUE(user.distinguished_name.empty());
  std::filesystem::remove_all(folder);
}

TEST(ReminderSession, PasswordChangeRunsTheConfiguredCommand) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / "clavora-reminder-change";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::filesystem::path marker = folder / "started";
  setenv("CLAVORA_PASSWORD_CHANGE_COMMAND", ("echo changing > '" + marker.string() + "'").c_str(),
         1);
  EXPECT_TRUE(platform::StartPasswordChangeScreen());
  unsetenv("CLAVORA_PASSWORD_CHANGE_COMMAND");
  for (int i = 0; i < 100 && ReadFile(marker).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ReadFile(marker), "changing\n");
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace zefa
