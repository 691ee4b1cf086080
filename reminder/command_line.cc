#include "reminder/command_line.h"

#include "util/text_util.h"

namespace zefa {

ReminderOptions ParseReminderCommandLine(const std::vector<Text>& parameters) {
  ReminderOptions options;
  if (!parameters.empty() && ToLower(parameters[0]) == ZT("/test")) {
    options.test_mode = true;
    if (parameters.size() > 1) options.test_user = parameters[1];
  }
  return options;
}

}  // namespace zefa
