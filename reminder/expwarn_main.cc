// expwarn: reminds the logged-on user of a password that expires soon.
//   expwarn                 checks the logged-on user every three hours
//   expwarn /test [account] shows the reminder for the account at once

#include "platform/system.h"
#include "reminder/reminder_program.h"

int main(int argc, char** argv) {
  return zefa::RunReminderProgram(zefa::platform::ProgramArguments(argc, argv));
}
