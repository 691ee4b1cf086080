#include "directory/lookup_user.h"

#include <mutex>

#include "platform/platform.h"

namespace zefa {

namespace {
std::mutex override_lock;
UserLookupFunction& Override() {
  static UserLookupFunction lookup;
  return lookup;
}
}  // namespace

void SetUserLookupForTesting(UserLookupFunction lookup) {
  std::lock_guard<std::mutex> guard(override_lock);
  Override() = std::move(lookup);
}

void LookupUser(const Text& account_name, UserRecord& record) {
  UserLookupFunction lookup;
  {
    std::lock_guard<std::mutex> guard(override_lock);
    lookup = Override();
  }
  record = UserRecord();
  record.LookupTime = platform::LocalNow();
  if (lookup) {
    lookup(account_name, record);
    return;
  }
  // No directory connection is available in this build: nobody is found.
  record.PasswordAge = record.LookupTime + 1;
}

}  // namespace zefa
