// The system changes of the server set-up: recursive deletion here, and the
// commands of platform/setup_commands.h for copying, links, access lists and
// scheduled tasks.

#include "platform/windows/win_util.h"

#include "platform/files.h"
#include "platform/setup.h"
#include "platform/system.h"
#include "platform/setup_commands.h"

namespace zefa::platform {

namespace {

bool Run(const WindowsCommand& command) {
  return StartProcess(command.Program, command.Parameters, Text(), command.Wait);
}

// Removes `path` (attributes already read): a link is removed itself, never
// followed; a folder after everything below it. Errors show in the caller's
// final test.
void RemoveEntry(const Text& path, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (folder && !link) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const Text name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        RemoveEntry(path + L"\\" + name, found.dwFileAttributes);
      } while (FindNextFileW(search, &found) != FALSE);
      FindClose(search);
    }
  }
  if (folder) {
    RemoveDirectoryW(path.c_str());
  } else {
    DeleteFileW(path.c_str());
  }
}

}  // namespace

bool CreateFolderLink(const Text& link, const Text& target) {
  if (link.empty() || target.empty() || HasNul(link) || HasNul(target)) return false;
  return Run(FolderLinkCommand(link, target));
}

bool MakeFolderPrivate(const Text& path) {
  if (!DirectoryExists(path)) return false;
  return Run(IcaclsInheritanceCommand(path)) && Run(IcaclsRemoveAuthenticatedUsersCommand(path));
}

bool DeleteFolderTree(const Text& path) {
  if (path.empty() || HasNul(path)) return false;
  Text clean = path;
  while (clean.size() > 3 && (clean.back() == L'\\' || clean.back() == L'/')) clean.pop_back();
  const DWORD attributes = GetFileAttributesW(clean.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) RemoveEntry(clean, attributes);
  return GetFileAttributesW(clean.c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool CopyNewerFiles(const Text& from_folder, const Text& pattern, const Text& to_folder) {
  if (from_folder.empty() || pattern.empty() || to_folder.empty() || HasNul(from_folder) ||
      HasNul(pattern) || HasNul(to_folder)) {
    return false;
  }
  return Run(CopyNewerFilesCommand(from_folder, pattern, to_folder));
}

Text ScheduledTaskFolder() { return Text(); }

bool InstallScheduledTask(const Text& name, const Text& definition_file) {
  if (name.empty() || HasNul(name) || definition_file.empty() || HasNul(definition_file)) {
    return false;
  }
  return Run(CreateScheduledTaskCommand(name, definition_file));
}

bool RemoveScheduledTask(const Text& name) {
  if (name.empty() || HasNul(name)) return false;
  return Run(DeleteScheduledTaskCommand(name));
}

}  // namespace zefa::platform
