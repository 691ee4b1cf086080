// Facts about this installation that Windows keeps in system calls: the
// NetBIOS domain (from the Samba configuration) and where the installation
// puts the filter library.
#include "platform/platform.h"
#include "platform/posix/samba_config.h"

#ifndef CLAVORA_INSTALLED_LIBRARY
#define CLAVORA_INSTALLED_LIBRARY "/usr/local/lib/libzefa.so"
#endif

namespace zefa::platform {

Text NetbiosDomainName() {
  for (const SambaSection& section : ReadSambaConfig()) {
    if (!SambaNameEquals(section.name, "global")) continue;
    const std::string* workgroup = SambaParameter(section, "workgroup");
    if (workgroup == nullptr) return Text();
    std::string upper = *workgroup;
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return Utf8ToText(upper);
  }
  return Text();
}

Text InstalledFilterLibrary() { return Utf8ToText(CLAVORA_INSTALLED_LIBRARY); }

}  // namespace zefa::platform
