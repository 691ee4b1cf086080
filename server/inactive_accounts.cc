#include "server/inactive_accounts.h"

#include <chrono>

#include "directory/directory.h"
#include "directory/directory_writes.h"
#include "logging/escape_controls.h"
#include "logging/log.h"
#include "platform/directory_names.h"
#include "platform/directory.h"
#include "policy/text_to_integer.h"
#include "util/text_util.h"

namespace zefa {

namespace {

constexpr int64_t kDayUnits = 864000000000;  // 100-ns intervals per day
constexpr int64_t kAccountDisable = 0x2;     // userAccountControl ACCOUNTDISABLE
// How long the search of the domain for inactive accounts may take.
constexpr int64_t kDomainSearchMilliseconds = 30000;
// The directory's msDS-LogonTimeSyncInterval when the domain holds none.
constexpr int64_t kDefaultLogonTimeSyncDays = 14;
// 100-ns intervals from 1601-01-01 to 1970-01-01 (both UTC).
constexpr int64_t kUnixEpochUnits = 116444736000000000;

// The current UTC time as a directory large integer.
int64_t DirectoryTimeNow() {
  const auto since_1970 = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return kUnixEpochUnits + since_1970.count() * 10;
}

Text ValueOf(const AttributeMap& attributes, const Text& lower_name) {
  for (const auto& [name, value] : attributes)
    if (ToLower(name) == lower_name) return value;
  return Text();
}

// The domain's msDS-LogonTimeSyncInterval in days: how far lastLogonTimestamp
// may lag behind an account's real last logon. The directory's default
// when the domain holds no value; -1 when the value switches the updates
// off (0), so that lastLogonTimestamp says nothing.
int64_t LogonTimeSyncInterval(DirectoryConnection& connection) {
  const Text domain = CurrentNamingContexts().DefaultNamingContext;
  if (domain.empty()) return kDefaultLogonTimeSyncDays;
  const Text value = ReadAttributeText(connection, domain, ZT("msDS-LogonTimeSyncInterval"));
  if (value.empty()) return kDefaultLogonTimeSyncDays;
  const int64_t days = TextToInteger(value);
  if (days == 0) return -1;
  return days < 0 ? kDefaultLogonTimeSyncDays : days;
}

}  // namespace

void DisableInactiveAccountsPass(int64_t days) {
  if (days < 0) {
    // A negative count would put the threshold in the future and disable
    // every account that ever logged on.
    LogWarning(ZT("DisableInactiveAccounts ") + IntegerToText(days) +
               ZT(" is below 0 and is treated as 0: no account is disabled"));
    days = 0;
  }
  if (days == 0) return;

  DirectoryConnection connection;
  if (!OpenDirectoryConnection(connection)) return;

  // lastLogonTimestamp lags behind the real last logon by up to the sync
  // interval: a limit shorter than that would disable accounts in use.
  const int64_t interval = LogonTimeSyncInterval(connection);
  if (interval < 0) {
    LogWarning(
        ZT("msDS-LogonTimeSyncInterval is 0: lastLogonTimestamp is not kept, so no "
           "account is disabled for inactivity"));
    CloseDirectoryConnection(connection);
    return;
  }
  if (days < interval + 1) {
    LogWarning(ZT("DisableInactiveAccounts ") + IntegerToText(days) +
               ZT(" is below msDS-LogonTimeSyncInterval + 1 and is treated as ") +
               IntegerToText(interval + 1) +
               ZT(": lastLogonTimestamp lags behind the last logon by up to ") +
               IntegerToText(interval) + ZT(" days"));
    days = interval + 1;
  }

  const int64_t now = DirectoryTimeNow();
  if (days > now / kDayUnits) {  // no logon lies that far back
    CloseDirectoryConnection(connection);
    return;
  }
  const int64_t threshold = now - days * kDayUnits;
  const Text filter = ZT("(&(sAMAccountType=805306368)(sAMAccountName=*)"
                         "(!(userAccountControl:1.2.840.113556.1.4.803:=2))(lastLogonTimestamp<=") +
                      EscapeFilterValue(IntegerToText(threshold)) + ZT("))");
  EntryMap accounts;
  {
    // The whole domain's matches arrive as one answer, which may take a while.
    const platform::DirectoryRequestAllowance large(kDomainSearchMilliseconds);
    SearchObjects(connection, accounts, filter,
                  ZT("distinguishedName,userAccountControl,lastLogonTimestamp,sAMAccountName"),
                  ZT("root"), 2);
  }
  for (const auto& [entry_dn, attributes] : accounts) {
    const int64_t control =
        TextToInteger(ValueOf(attributes, ZT("useraccountcontrol"))) | kAccountDisable;
    Text dn = ValueOf(attributes, ZT("distinguishedname"));
    if (dn.empty()) dn = entry_dn;
    // A failed write leaves that account as it was; the others still follow.
    if (SetAttributeValues(connection, dn, ZT("userAccountControl"), {IntegerToText(control)}) != 0)
      continue;
    Text account = ValueOf(attributes, ZT("samaccountname"));
    if (account.empty()) account = dn;
    LogInfo(ZT("Account disabled for inactivity: ") + EscapeControlCharacters(account) +
            ZT(" (last logon ") + ValueOf(attributes, ZT("lastlogontimestamp")) + ZT(")"));
  }
  CloseDirectoryConnection(connection);
}

}  // namespace zefa
