#include "filter/test_password.h"

#include "server/library_state.h"
#include "filter/password_filter.h"
#include "logging/log.h"
#include "platform/system.h"
#include "util/text_util.h"

namespace zefa {

void RunTestPassword(const Text& user_name, const Text& password) {
  Text user = user_name;
  Text secret = password;
  SetTestMode(true);
  if (!Initialised()) StartFilter();
  platform::ConsoleWriteLine(ZT("Username: ") + user);
  if (platform::EnvironmentVariable(Text(kHidePasswordVariable)) == ZT("1")) {
    platform::ConsoleWriteLine(ZT("Password: ") + Text(kMaskedPassword));
  } else {
    platform::ConsoleWriteLine(ZT("Password: ") + secret);
  }
  const Text full_name;
  FilterRequest request{&user, &full_name, &secret, false};
  const FilterVerdict verdict = CheckPassword(request).Verdict;
  platform::ConsoleWriteLine(verdict == FilterVerdict::Accepted ? ZT("Result: Accepted")
                             : verdict == FilterVerdict::Denied
                                 ? ZT("Result: Denied")
                                 : ZT("Result: Accepted (audit: would be denied)"));
  platform::ConsoleWriteLine(Text());
  SetTestMode(false);
  WipeText(secret);
}

}  // namespace zefa
