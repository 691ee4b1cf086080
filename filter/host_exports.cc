#include "filter/host_exports.h"

#include <cstring>
#include <string>

#include "filter/password_filter.h"
#include "server/library_state.h"
#include "util/text_util.h"

namespace {

void CopyCounted(const ZEFA_UNICODE_STRING* source, zefa::Text& out) {
  if (source == nullptr || source->Buffer == nullptr) return;
  out.assign(source->Buffer, source->Length / sizeof(zefa::WChar));
}

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

}  // namespace

extern "C" {

ZEFA_BOOLEAN ZEFA_CALL ZefaInitialised(void) { return zefa::Initialised() ? 1 : 0; }

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
