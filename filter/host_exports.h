// An entry point for hosts other than the security authority (the Samba DC
// host): whether the library has finished its initialisation. Until then
// every password is refused, so a host can say "starting" instead of
// passing on a refusal that says nothing about the password. Not part of
// the Windows library's exports.
#pragma once

#include "filter/exports.h"

extern "C" {

// 1 once the server initialisation has completed, 0 before.
ZEFA_EXPORT ZEFA_BOOLEAN ZEFA_CALL ZefaInitialised(void);

}  // extern "C"
