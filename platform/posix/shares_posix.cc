// The shares of this server, as the Samba configuration defines them.

#include "platform/shares.h"
#include "platform/posix/samba_config.h"

namespace zefa::platform {

namespace {

constexpr uint32_t kDiskShare = 0;
constexpr uint32_t kPrinterShare = 3;
constexpr uint32_t kSpecialShare = 0x80000000;  // administrative, name ends in '$'

bool IsShare(const SambaSection& section) {
  for (const char* reserved : {"global", "homes", "printers"}) {
    if (SambaNameEquals(section.name, reserved)) return false;
  }
  return !section.name.empty();
}

uint32_t ShareType(const SambaSection& section) {
  uint32_t type = kDiskShare;
  for (const char* key : {"printable", "printok"}) {
    const std::string* value = SambaParameter(section, key);
    if (value != nullptr && SambaBoolean(*value)) type = kPrinterShare;
  }
  if (section.name.back() == '$') type |= kSpecialShare;
  return type;
}

}  // namespace

std::vector<ShareInfo> EnumerateShares() {
  std::vector<ShareInfo> shares;
  for (const SambaSection& section : ReadSambaConfig()) {
    if (!IsShare(section)) continue;
    const std::string* path = SambaParameter(section, "path");
    shares.push_back(ShareInfo{Utf8ToText(section.name), ShareType(section),
                               path != nullptr ? Utf8ToText(*path) : Text()});
  }
  return shares;
}

}  // namespace zefa::platform
