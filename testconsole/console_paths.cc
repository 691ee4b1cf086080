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
  return (platform::FileExists(path) ? ZT("OK       ") : ZT("MISSING  ")) + path;
}

std::vector<Text> UsageLines() {
  return {ZT("Test username/password combo:"), ZT("  zefatest.exe /p <username> <password>"),
          ZT("Validate installation:"), ZT("  zefatest.exe /v"),
          ZT("Report denied and audited passwords:"),
          ZT("  zefatest.exe /report [<from-date> [<to-date>]] [<log file or folder> ...]"),
          Text()};
}

}  // namespace zefa
