// The reminder program's parameters.
#pragma once

#include <vector>

#include "platform/text.h"

namespace zefa {

struct ReminderOptions {
  bool test_mode = false;
  Text test_user;  // the account to check in test mode; empty: the logged-on user
};

// The parameters after the program name: "/test" in any case as the first
// selects test mode with the second as the account name.
ReminderOptions ParseReminderCommandLine(const std::vector<Text>& parameters);

}  // namespace zefa
