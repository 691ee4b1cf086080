#pragma once

#include <functional>

#include "directory/user_record.h"

namespace zefa {

// Fills `record` for an account name as the security authority passes it.
// An account that cannot be found leaves AccountName empty.
void LookupUser(const Text& account_name, UserRecord& record);

// Replaces the directory for the tests of the pipeline: while set, every
// lookup is answered by `lookup`. Pass an empty function to restore.
using UserLookupFunction = std::function<void(const Text& account_name, UserRecord& record)>;
void SetUserLookupForTesting(UserLookupFunction lookup);

}  // namespace zefa
