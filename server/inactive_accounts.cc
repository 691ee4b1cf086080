#include "server/inactive_accounts.h"

#include <chrono>

#include "directory/directory.h"
#include "directory/directory_writes.h"
#include "logging/log.h"
#include "platform/directory_names.h"
#include "policy/text_to_integer.h"
#include "util/text_util.h"

namespace zefa {

namespace {

constexpr int64_t kDayUnits = 864000000000;  // 100-ns intervals per day
constexpr int64_t kAccountDisable = 0x2;     // userAccountControl ACCOUNTDISABLE
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

}  // namespace

void DisableInactiveAccountsPass(int64_t days) {
  if (days < 0) {
    // A negative count would put the threshold in the future and disable
    // every account that ever logged on.
    if (LogLevel() >= 0)
      WriteLog(ZT("DisableInactiveAccounts ") + IntegerToText(days) +
                   ZT(" is below 0 and is treated as 0: no account is disabled"),
               ZT("Warning"), 0);
    days = 0;
  }
  if (days == 0) return;

  const int64_t now = DirectoryTimeNow();
  if (days > now / kDayUnits) return;  // no logon lies that far back
  const int64_t threshold = now - days * kDayUnits;

  DirectoryConnection connection;
  if (!OpenDirectoryConnection(connection)) return;
  const Text filter =
      ZT("(&(sAMAccountType=805306368)(sAMAccountName=*)"
         "(!(userAccountControl:1.2.840.113556.1.4.803:=2))(lastLogonTimestamp<=") +
      EscapeFilterValue(IntegerToText(threshold)) + ZT("))");
  EntryMap accounts;
  SearchObjects(connection, accounts, filter,
                ZT("distinguishedName,userAccountControl,lastLogonTimestamp"), ZT("root"), 2);
  for (const auto& [entry_dn, attributes] : accounts) {
    const int64_t control =
        TextToInteger(ValueOf(attributes, ZT("useraccountcontrol"))) | kAccountDisable;
    Text dn = ValueOf(attributes, ZT("distinguishedname"));
    if (dn.empty()) dn = entry_dn;
    // A failed write leaves that account as it was; the others still follow.
    SetAttributeValues(connection, dn, ZT("userAccountControl"), {IntegerToText(control)});
  }
  CloseDirectoryConnection(connection);
}

}  // namespace zefa
