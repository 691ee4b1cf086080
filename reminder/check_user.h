// Reading the account under examination from the directory and preparing
// its reminder text.
#pragma once

#include "directory/directory.h"

namespace zefa {

// The account's attributes that the reminder uses.
inline const WChar* const kReminderUserAttributes =
    ZT("sAMAccountName,userAccountControl,distinguishedName,accountExpires,lastLogon,"
       "msDS-ResultantPSO,pwdLastSet,cn,mail,displayName,sn,givenName,userPrincipalName");

// The resultant PSO's attributes that the reminder uses.
inline const WChar* const kReminderPsoAttributes =
    ZT("msDS-MaximumPasswordAge,msDS-MinimumPasswordAge,description");

// Fills `user_info` (emptied first) for an account name, or for the
// logged-on user when the name is empty: the domain's maxPwdAge, the
// account's attributes, "_passwordNeverExpires" ("TRUE"/"FALSE"), the
// resultant PSO's attributes when the password can expire, and the finished
// reminder text under "info". Returns 1 when the directory connection could
// be opened (also when the account was not found), 0 otherwise.
int CheckUser(const Text& account_name, AttributeMap& user_info);

// The distinguished name of the normal user account with this
// sAMAccountName; empty when the search fails or finds nobody. Answers,
// empty ones included, are cached; the cache is cleared when it holds more
// than 1024 names or was last cleared more than a day ago.
Text FindUserDistinguishedName(DirectoryConnection& connection, const Text& account_name);

// Empties the DN cache (tests).
void ClearUserDnCache();

}  // namespace zefa
