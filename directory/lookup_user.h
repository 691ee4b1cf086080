#pragma once

#include <functional>

#include "directory/user_record.h"

namespace zefa {

// Fills `record` for an account name as the security authority passes it,
// from the library's directory view (directory/view_keeper.h): no directory
// request, so a check never waits for the directory. An account the view
// does not know leaves AccountName empty; while no view is ready
// LookupFailed is set as well.
void LookupUser(const Text& account_name, UserRecord& record);

// Whether lookups have something to answer from: a directory view was
// built (or the tests' lookup is set).
bool UserLookupReady();

// Replaces the directory for the tests of the pipeline: while set, every
// lookup is answered by `lookup`. Pass an empty function to restore.
using UserLookupFunction = std::function<void(const Text& account_name, UserRecord& record)>;
void SetUserLookupForTesting(UserLookupFunction lookup);

}  // namespace zefa
