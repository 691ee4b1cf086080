#include "reminder/reminder_program.h"

#include "platform/time.h"
#include "platform/session.h"
#include "reminder/check_user.h"
#include "reminder/expiry.h"
#include "reminder/reminder_window.h"

namespace zefa {

ReminderState& Reminder() {
  static ReminderState* state = new ReminderState;
  return *state;
}

void RemindIfDue() {
  const ReminderState& state = Reminder();
  if (IsReminderDue(state.user_info, platform::LocalNow()))
    ShowReminder(AttributeText(state.user_info, ZT("info")));
}

// There is no earlier first check: the first one comes 180 minutes after
// the start, when a logon's own prompts are long dealt with.
void OnReminderTick() {
  ReminderState& state = Reminder();
  ++state.ticks;
  if (state.options.test_mode) {
    if (CheckUser(state.options.test_user, state.user_info) != 1) {
      EndReminderEventLoop();
      return;
    }
    ShowReminder(AttributeText(state.user_info, ZT("info")));
  }
  if (state.ticks % kTicksBetweenChecks == 0 && CheckUser(Text(), state.user_info) == 1)
    RemindIfDue();
}

void OnReminderAcknowledged() {
  platform::StartPasswordChangeScreen();
  if (Reminder().options.test_mode) EndReminderEventLoop();
}

int RunReminderProgram(const std::vector<Text>& parameters) {
  ReminderState& state = Reminder();
  state.options = ParseReminderCommandLine(parameters);
  SetReminderButtonAction(OnReminderAcknowledged);
  // In test mode a directory that cannot be read ends the program here
  // already: the loop then returns at once.
  if (state.options.test_mode) OnReminderTick();
  RunReminderEventLoop(kReminderTickMilliseconds, OnReminderTick);
  return 0;
}

}  // namespace zefa
