// zefatest: tests a user name and password against the installed filter, or
// checks that the installation is in place.
#include "filter/exports.h"
#include "platform/platform.h"
#include "testconsole/console_paths.h"
#include "util/text_util.h"

namespace {

void PrintLines(const std::vector<zefa::Text>& lines) {
  for (const zefa::Text& line : lines) zefa::platform::ConsoleWriteLine(line);
}

int Run(std::vector<zefa::Text>& args) {
  if (args.empty()) {
    PrintLines(zefa::UsageLines());
    return 0;
  }
  for (size_t i = 0; i < args.size(); ++i) {
    const zefa::Text option = zefa::ToLower(args[i]);
    if (option == ZT("/p") || option == ZT("/password")) {
      const zefa::Text user = i + 1 < args.size() ? args[i + 1] : zefa::Text();
      zefa::Text password = i + 2 < args.size() ? args[i + 2] : zefa::Text();
      TestPassword(user.c_str(), password.c_str());
      zefa::WipeText(password);
      i += 2;
    } else if (option == ZT("/v") || option == ZT("/verify")) {
      for (const zefa::Text& path : zefa::InstallationCheckPaths(zefa::platform::InstalledFilterLibrary()))
        zefa::platform::ConsoleWriteLine(zefa::InstallationCheckLine(path));
    } else if (option == ZT("/h") || option == ZT("/?") || option == ZT("/help")) {
      PrintLines(zefa::UsageLines());
    }
  }
  for (zefa::Text& arg : args) zefa::WipeText(arg);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<zefa::Text> args = zefa::platform::ProgramArguments(argc, argv);
  return Run(args);
}
