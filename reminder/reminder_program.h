// The flow of the reminder program: a tick a minute, a check of the
// logged-on user's account every 180 ticks, and the test mode that shows the
// reminder for a named account at once.
#pragma once

#include <cstdint>
#include <vector>

#include "directory/directory.h"
#include "reminder/command_line.h"

namespace zefa {

inline constexpr int kReminderTickMilliseconds = 60000;
inline constexpr int64_t kTicksBetweenChecks = 180;

struct ReminderState {
  ReminderOptions options;
  int64_t ticks = 0;
  AttributeMap user_info;
};

// The program's state (one per process).
ReminderState& Reminder();

// Handler of the one-minute timer: in test mode checks TestUser and shows
// its reminder without any due test (ending the program when the directory
// cannot be read); on every 180th tick checks the logged-on user and shows
// the reminder when it is due.
void OnReminderTick();

// Shows the reminder held in the user info when it is due now.
void RemindIfDue();

// "OK": opens the password change screen; in test mode ends the program.
void OnReminderAcknowledged();

// Runs the program with the parameters after its name; returns the exit code.
int RunReminderProgram(const std::vector<Text>& parameters);

}  // namespace zefa
