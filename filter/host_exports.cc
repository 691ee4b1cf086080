#include "filter/host_exports.h"

#include <vector>

#include "directory/view_keeper.h"
#include "logging/log.h"
#include "server/library_state.h"

namespace {

zefa::Text TextOf(const ZEFA_UNICODE_STRING* text) {
  if (text == nullptr || text->Buffer == nullptr) return zefa::Text();
  return zefa::Text(text->Buffer, text->Length / sizeof(zefa::WChar));
}

const zefa::WChar* ReasonText(uint32_t reason) {
  switch (reason) {
    case ZEFA_DROP_NOT_CONFIRMED:
      return ZT(
          "not confirmed by the directory (it was read past the time of the change and "
          "never showed it)");
    case ZEFA_DROP_LIST_FULL:
      return ZT("pending list full (the oldest change waiting for the directory makes room)");
    case ZEFA_DROP_TOO_OLD:
      return ZT("too old (it waited the longest time a change may wait for the directory)");
    default:
      return ZT("unknown reason");
  }
}

}  // namespace

extern "C" {

ZEFA_BOOLEAN ZEFA_CALL ZefaInitialised(void) { return zefa::Initialised() ? 1 : 0; }

int64_t ZEFA_CALL ZefaPasswordStamps(const ZEFA_UNICODE_STRING* accounts, uint32_t count,
                                     ZEFA_PASSWORD_STAMP* stamps) {
  if (count > 0 && (accounts == nullptr || stamps == nullptr)) return 0;
  try {
    std::vector<zefa::PasswordStampQuery> queries(count);
    for (uint32_t i = 0; i < count; ++i) queries[i].AccountName = TextOf(&accounts[i]);
    zefa::PollViewBriskly();
    const int64_t current_to = zefa::ReadPasswordStamps(queries);
    if (current_to == 0) return 0;
    for (uint32_t i = 0; i < count; ++i) {
      stamps[i].PwdLastSet = queries[i].PwdLastSet;
      stamps[i].RelativeId = queries[i].RelativeId;
      stamps[i].Found = queries[i].Found ? 1 : 0;
    }
    return current_to;
  } catch (...) {
    return 0;  // no memory: the host asks again at its next round
  }
}

void ZEFA_CALL ZefaChangeDropped(const ZEFA_UNICODE_STRING* account, uint32_t reason) {
  try {
    zefa::LogWarning(ZT("Password change of ") + TextOf(account) +
                     ZT(" dropped before it was recorded: ") + ReasonText(reason));
  } catch (...) {
  }
}

}  // extern "C"
