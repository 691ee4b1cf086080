#include "directory/lookup_user.h"

#include <mutex>

#include "directory/view_keeper.h"

namespace zefa {

namespace {

struct LookupOverride {
  std::mutex lock;
  UserLookupFunction lookup;
};

LookupOverride& Override() {
  static LookupOverride* state = new LookupOverride;
  return *state;
}

}  // namespace

void SetUserLookupForTesting(UserLookupFunction lookup) {
  LookupOverride& state = Override();
  std::lock_guard<std::mutex> guard(state.lock);
  state.lookup = std::move(lookup);
}

bool UserLookupReady() {
  {
    LookupOverride& state = Override();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.lookup) return true;
  }
  return DirectoryViewReady();
}

void LookupUser(const Text& account_name, UserRecord& record) {
  record = UserRecord();
  UserLookupFunction override_lookup;
  {
    LookupOverride& state = Override();
    std::lock_guard<std::mutex> guard(state.lock);
    override_lookup = state.lookup;
  }
  if (override_lookup) {
    override_lookup(account_name, record);
    return;
  }
  if (!DirectoryViewReady()) {
    record.LookupFailed = true;
    return;
  }
  AccountKind kind = AccountKind::Person;
  if (!LookupAccountInView(account_name, record, kind)) {
    record = UserRecord();
    return;
  }
  record.ComputerAccount = kind != AccountKind::Person;
}

}  // namespace zefa
