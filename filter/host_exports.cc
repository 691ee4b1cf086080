#include "filter/host_exports.h"

#include <cstring>
#include <string>
#include <vector>

#include "directory/view_keeper.h"
#include "filter/counted_text.h"
#include "filter/password_filter.h"
#include "logging/log.h"
#include "server/library_state.h"
#include "util/text_util.h"

namespace {

using zefa::CopyCounted;
using zefa::CountedText;

// Writes `text` into `out` as far as it fits with its NUL, never ending
// inside a character's UTF-8 sequence.
void WriteCut(const std::string& text, char* out, uint32_t capacity) {
  if (out == nullptr || capacity == 0) return;
  size_t length = text.size() < capacity ? text.size() : capacity - 1;
  if (length < text.size())
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  std::memcpy(out, text.data(), length);
  out[length] = '\0';
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
    for (uint32_t i = 0; i < count; ++i) queries[i].AccountName = CountedText(&accounts[i]);
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
    zefa::LogWarning(ZT("Password change of ") + CountedText(account) +
                     ZT(" dropped before it was recorded: ") + ReasonText(reason));
  } catch (...) {
  }
}

ZEFA_BOOLEAN ZEFA_CALL ZefaCheckPassword(ZEFA_UNICODE_STRING* AccountName,
                                         ZEFA_UNICODE_STRING* FullName,
                                         ZEFA_UNICODE_STRING* PrincipalName,
                                         ZEFA_UNICODE_STRING* Password, ZEFA_BOOLEAN SetOperation,
                                         char* Reason, uint32_t ReasonBytes) {
  zefa::Text account, full_name, principal, password;
  CopyCounted(AccountName, account);
  CopyCounted(FullName, full_name);
  CopyCounted(PrincipalName, principal);
  CopyCounted(Password, password);
  zefa::FilterRequest request;
  request.AccountName = AccountName != nullptr ? &account : nullptr;
  request.FullName = &full_name;
  request.Password = Password != nullptr ? &password : nullptr;
  request.SetOperation = SetOperation != 0;
  request.PrincipalName = PrincipalName != nullptr ? &principal : nullptr;
  const zefa::FilterOutcome outcome = zefa::CheckPassword(request);
  zefa::WipeText(password);
  const bool rejected = outcome.Verdict == zefa::FilterVerdict::Denied;
  WriteCut(rejected ? zefa::TextToUtf8(outcome.Reason) : std::string(), Reason, ReasonBytes);
  return rejected ? 0 : 1;
}

}  // extern "C"
