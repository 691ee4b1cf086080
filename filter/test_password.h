#pragma once

#include "platform/text.h"

namespace zefa {

// Set to "1" in the process's environment (as the test console does for a
// password it read from the terminal), the "Password:" line shows the
// password masked.
inline constexpr TextView kHidePasswordVariable = ZT("CLAVORA_TEST_HIDE_PASSWORD");
inline constexpr TextView kMaskedPassword = ZT("********");

// Test mode: initialises the server on this thread when needed, prints the
// user name and password (masked, see kHidePasswordVariable), runs one
// filter call (a change, not a reset) with its console lines, then prints
// the verdict and an empty line.
void RunTestPassword(const Text& user_name, const Text& password);

}  // namespace zefa
