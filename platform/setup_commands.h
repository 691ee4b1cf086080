// The Windows commands behind the set-up's system changes, as data: which
// program, which parameter string, and whether the caller waits for its end.
// The Windows platform layer runs exactly these (hidden); the POSIX layer
// makes the same change with its own calls. Header-only, so the platform
// layer can use it without linking the server module.
#pragma once

#include "platform/text.h"

namespace zefa {

struct WindowsCommand {
  Text Program;
  Text Parameters;
  bool Wait = false;
};

// The folder's inherited access entries become explicit ones. Waited for, so
// that the grant removal below works on explicit entries.
inline WindowsCommand IcaclsInheritanceCommand(TextView folder) {
  return {ZT("icacls.exe"), ZT("\"") + Text(folder) + ZT("\" /inheritance:d"), true};
}

// Removes the grant to Authenticated Users (S-1-5-11).
inline WindowsCommand IcaclsRemoveAuthenticatedUsersCommand(TextView folder) {
  return {ZT("icacls.exe"), ZT("\"") + Text(folder) + ZT("\" /remove:g *S-1-5-11"), false};
}

// A directory symbolic link at `link` that points to `target`. Fails
// harmlessly when the link exists.
inline WindowsCommand FolderLinkCommand(TextView link, TextView target) {
  return {ZT("cmd.exe"), ZT("/c mklink /d \"") + Text(link) + ZT("\" \"") + Text(target) + ZT("\""),
          false};
}

inline WindowsCommand DeleteScheduledTaskCommand(TextView name) {
  return {ZT("cmd.exe"), ZT("/c schtasks.exe /delete /tn \"") + Text(name) + ZT("\" /f"), false};
}

inline WindowsCommand CreateScheduledTaskCommand(TextView name, TextView definition_file) {
  return {ZT("cmd.exe"),
          ZT("/c schtasks /create /tn \"") + Text(name) + ZT("\" /xml \"") + Text(definition_file) +
              ZT("\""),
          false};
}

// Copies the matching files of `from_folder` that are newer than their
// copies in `to_folder` (/d), overwriting without asking (/y); the trailing
// backslash makes xcopy treat the target as a folder and create it.
inline WindowsCommand CopyNewerFilesCommand(TextView from_folder, TextView pattern,
                                            TextView to_folder) {
  return {ZT("cmd.exe"),
          ZT("/c xcopy \"") + Text(from_folder) + ZT("\\") + Text(pattern) + ZT("\" \"") +
              Text(to_folder) + ZT("\\\" /d /y"),
          false};
}

}  // namespace zefa
