// Process-wide folders fixed by the server initialisation. Empty until it
// has run. Readers get a copy; the initialisation is the only writer.
#pragma once

#include "platform/text.h"

namespace zefa {

struct ServerPaths {
  int NetworkReady = 0;
  Text WindowsFolder;
  Text NetlogonPath;
  Text SystemFolder;
  Text PublicFolder;
  Text LogFolder;
  Text IdpFolder;
  Text IdhFolder;
  Text UsersFolder;
  Text WordsFolder;
  Text DomainName;
  Text ComputerName;
};

ServerPaths CurrentServerPaths();
void StoreServerPaths(const ServerPaths& paths);
void ClearServerPaths();

// The set-up folder the installer fills: WindowsFolder + "zefa" + "setup".
Text SetupFolder(const Text& windows_folder);

}  // namespace zefa
