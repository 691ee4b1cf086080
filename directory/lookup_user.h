#pragma once

#include <functional>

#include "directory/user_record.h"

namespace zefa {

// The attributes read for an account.
inline const WChar* const kUserAttributeList =
    ZT("sAMAccountName,userPrincipalName,userAccountControl,distinguishedName,objectGUID,objectSid,"
       "accountExpires,lastLogon,msDS-ResultantPSO,pwdLastSet,cn,mail,displayName,sn,givenName,"
       "title,description,info,company,department,homeDirectory,homeDrive,profilePath,scriptPath,"
       "middleName,employeeID,url,otherMailbox,comment");

// The directory work of one lookup (every connection and request, name
// translations included) ends within this time, well before the
// check-password hook gives up (8 seconds).
constexpr int64_t kUserLookupBudgetMilliseconds = 6000;

// Fills `record` for an account name as the security authority passes it,
// from a 60-second cache or from the directory. An account that cannot be
// found (or a directory that cannot be reached) leaves AccountName empty and
// is never cached: it is asked for again at the next lookup.
void LookupUser(const Text& account_name, UserRecord& record);

// Empties the user cache.
void ClearUserCache();

// Replaces the directory for the tests of the pipeline: while set, every
// lookup is answered by `lookup`. Pass an empty function to restore.
using UserLookupFunction = std::function<void(const Text& account_name, UserRecord& record)>;
void SetUserLookupForTesting(UserLookupFunction lookup);

// Counts directory lookups (cache misses) since the library started.
uint64_t DirectoryLookupCount();

}  // namespace zefa
