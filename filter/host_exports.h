// Entry points for hosts other than the security authority (the Samba DC
// host). Not part of the Windows library's exports.
//
// Whether the library has finished its initialisation: until then every
// password is refused, so a host can say "starting" instead of passing on
// a refusal that says nothing about the password.
//
// The password stamps of accounts from the library's directory view: a host
// that learns of a change before the domain commits it (the Samba hook)
// confirms it from the same change stream the checks read, and tells the
// library about a change it had to drop, for the filter's log.
//
// A check that hands back why a password was rejected, for the host to pass
// on to the administrator.
#pragma once

#include <cstdint>

#include "filter/exports.h"

extern "C" {

// 1 once the server initialisation has completed, 0 before.
ZEFA_EXPORT ZEFA_BOOLEAN ZEFA_CALL ZefaInitialised(void);

// When an account's password was last set, as the directory view holds it.
typedef struct ZEFA_PASSWORD_STAMP {
  int64_t PwdLastSet;   // 100-ns intervals since 1601 (UTC); 0: must change
  uint32_t RelativeId;  // last part of the account's SID
  ZEFA_BOOLEAN Found;   // the view knows the account
} ZEFA_PASSWORD_STAMP;

// Fills stamps[i] for the sAMAccountName accounts[i], i < count, from the
// directory view, and makes the view poll the directory every 250 ms for
// the next two seconds. Returns the directory time (UTC, 100-ns intervals
// since 1601) at which the view's last successful read of the directory
// began: every change committed before it shows in the stamps. Returns 0,
// stamps untouched, while no view is ready or for null arguments.
ZEFA_EXPORT int64_t ZEFA_CALL ZefaPasswordStamps(const ZEFA_UNICODE_STRING* accounts,
                                                 uint32_t count, ZEFA_PASSWORD_STAMP* stamps);

// Why a host dropped a password change it had accepted, unconfirmed.
enum ZEFA_DROP_REASON : uint32_t {
  ZEFA_DROP_NOT_CONFIRMED = 1,  // the directory caught up and never showed it
  ZEFA_DROP_LIST_FULL = 2,      // the list of pending changes was full
  ZEFA_DROP_TOO_OLD = 3,        // it waited the longest time a change may wait
};

// Writes one Warning to the filter's log naming the account and the reason
// (never anything of the password). An unknown reason is logged as such.
ZEFA_EXPORT void ZEFA_CALL ZefaChangeDropped(const ZEFA_UNICODE_STRING* account, uint32_t reason);

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
