// expwarn: reminds the logged-on user of a password that expires soon.
//   expwarn                 checks the logged-on user every three hours
//   expwarn /test [account] shows the reminder for the account at once

#include <vector>

#include "platform/text.h"
#include "reminder/reminder_program.h"

int main(int argc, char** argv) {
  std::vector<zefa::Text> parameters;
  for (int i = 1; i < argc; ++i) parameters.push_back(zefa::Utf8ToText(argv[i]));
  return zefa::RunReminderProgram(parameters);
}
