// Password settings on a Samba DC.

#include "platform/directory.h"

namespace zefa::platform {

// Samba asks its check-password hook (and so the filter) only where
// complexity is on, and the hook then stands in for Samba's own check.
Text PasswordSettingsComplexityValue() { return ZT("TRUE"); }

}  // namespace zefa::platform
