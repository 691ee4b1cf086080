// Entry points for hosts other than the security authority (the Samba DC
// host): whether the library has finished its initialisation (until then
// every password is refused, so a host can say "starting" instead of passing
// on a refusal that says nothing about the password), and a check that hands
// back why a password was rejected. Not part of the Windows library's
// exports.
#pragma once

#include <cstdint>

#include "filter/exports.h"

extern "C" {

// 1 once the server initialisation has completed, 0 before.
ZEFA_EXPORT ZEFA_BOOLEAN ZEFA_CALL ZefaInitialised(void);

// Checks a password as PasswordFilter does. `PrincipalName` (may be null) is
// the account's principal name as the host was given it; it stands in for
// the directory's when the directory does not know the account. When the
// password is rejected, `Reason` receives why (the text the log holds: the
// header naming the account and one "\r\n-" line per requirement missed,
// never the password) as UTF-8, cut at a character boundary to fit
// `ReasonBytes` with its terminating NUL; otherwise an empty text. Nothing
// is written when `Reason` is null or `ReasonBytes` 0. 1 to accept (also a
// password that only an audit-mode set would deny), 0 to reject.
ZEFA_EXPORT ZEFA_BOOLEAN ZEFA_CALL ZefaCheckPassword(ZEFA_UNICODE_STRING* AccountName,
                                                     ZEFA_UNICODE_STRING* FullName,
                                                     ZEFA_UNICODE_STRING* PrincipalName,
                                                     ZEFA_UNICODE_STRING* Password,
                                                     ZEFA_BOOLEAN SetOperation, char* Reason,
                                                     uint32_t ReasonBytes);

}  // extern "C"
