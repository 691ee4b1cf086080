#pragma once

#include "platform/text.h"

namespace zefa {

// Test mode: initialises the server on this thread when needed, prints the
// user name and password, runs one filter call (a change, not a reset) with
// its console lines, then prints the verdict and an empty line.
void RunTestPassword(const Text& user_name, const Text& password);

}  // namespace zefa
