#include "testconsole/console_paths.h"

#include "platform/files.h"
#include "server/find_share_path.h"
#include "util/text_util.h"

namespace zefa {

std::vector<Text> InstallationCheckPaths(const Text& installed_library) {
  // Without a netlogon share the folders fall back to the root of the
  // current drive, where they are normally missing.
  const Text netlogon = FindSharePath(ZT("netlogon"), 0);
  const Text product = JoinPath(netlogon, ZT("zefa"));
  return {installed_library, JoinPath(product, ZT("system")), JoinPath(product, ZT("public"))};
}

Text InstallationCheckLine(const Text& path) {
  switch (platform::CheckPathAccess(path)) {
    case platform::PathAccess::kReadable:
      return ZT("OK       ") + path;
    case platform::PathAccess::kMissing:
      return ZT("MISSING  ") + path;
    case platform::PathAccess::kDenied:
      break;
  }
  return ZT("UNREADABLE ") + path +
         ZT(" (this account may not read it: run as root or an administrator)");
}

bool IsFailedCheckLine(const Text& line) {
  return StartsWith(line, ZT("MISSING  ")) || StartsWith(line, ZT("UNREADABLE ")) ||
         StartsWith(line, ZT("PROBLEM  "));
}

std::vector<Text> UsageLines() {
  return {ZT("Test username/password combo:"),
          ZT("  zefatest.exe /p <username> <password>"),
          ZT("Validate installation:"),
          ZT("  zefatest.exe /v"),
          ZT("Validate installation, exit code 1 on any MISSING, UNREADABLE or PROBLEM line:"),
          ZT("  zefatest.exe /check"),
          ZT("Report denied and audited passwords:"),
          ZT("  zefatest.exe /report [<from-date> [<to-date>]] [<log file or folder> ...]"),
          Text()};
}

}  // namespace zefa
