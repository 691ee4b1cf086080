#include "filter/exports.h"

#include "filter/counted_text.h"

#include "server/library_state.h"
#include "filter/password_filter.h"
#include "filter/test_password.h"
#include "filter/change_notify.h"
#include "util/text_util.h"

namespace {

using zefa::CopyCounted;

zefa::Text CopyTerminated(const zefa::WChar* text) {
  zefa::Text out;
  if (text != nullptr)
    for (; *text != 0; ++text) out.push_back(*text);
  return out;
}

}  // namespace

extern "C" {

ZEFA_BOOLEAN ZEFA_CALL InitializeChangeNotify(void) {
  zefa::StartFilter();
  return 1;
}

ZEFA_BOOLEAN ZEFA_CALL PasswordFilter(ZEFA_UNICODE_STRING* AccountName,
                                      ZEFA_UNICODE_STRING* FullName, ZEFA_UNICODE_STRING* Password,
                                      ZEFA_BOOLEAN SetOperation) {
  zefa::Text account, full_name, password;
  CopyCounted(AccountName, account);
  CopyCounted(FullName, full_name);
  CopyCounted(Password, password);
  // Only the pointers themselves tell "no argument"; a null buffer is empty text.
  zefa::FilterRequest request;
  request.AccountName = AccountName != nullptr ? &account : nullptr;
  request.FullName = &full_name;
  request.Password = Password != nullptr ? &password : nullptr;
  request.SetOperation = SetOperation != 0;
  const bool accepted = zefa::RunPasswordFilter(request);
  zefa::WipeText(password);
  return accepted ? 1 : 0;
}

ZEFA_NTSTATUS ZEFA_CALL PasswordChangeNotify(ZEFA_UNICODE_STRING* UserName, uint32_t RelativeId,
                                             ZEFA_UNICODE_STRING* NewPassword) {
  (void)RelativeId;
  zefa::Text account, password;
  CopyCounted(UserName, account);
  CopyCounted(NewPassword, password);
  zefa::RunPasswordChangeNotify(UserName != nullptr ? &account : nullptr,
                                NewPassword != nullptr ? &password : nullptr);
  zefa::WipeText(password);
  return 0;
}

int32_t ZEFA_CALL TestPassword(const zefa::WChar* user_name, const zefa::WChar* password) {
  zefa::Text secret = CopyTerminated(password);
  zefa::RunTestPassword(CopyTerminated(user_name), secret);
  zefa::WipeText(secret);
  return 0;
}

}  // extern "C"
