#include "filter/host_exports.h"

#include "server/library_state.h"

extern "C" {

ZEFA_BOOLEAN ZEFA_CALL ZefaInitialised(void) { return zefa::Initialised() ? 1 : 0; }

}  // extern "C"
