// Password settings on a Windows DC.

#include "platform/directory.h"

namespace zefa::platform {

// The security authority calls the filter whatever the complexity setting,
// so the domain's own complexity check stays off.
Text PasswordSettingsComplexityValue() { return ZT("FALSE"); }

}  // namespace zefa::platform
