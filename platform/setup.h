// The platform layer: the system changes of the server set-up. One implementation per platform
// (platform/posix, platform/windows) is chosen at build time. Unless a
// function says otherwise it is safe to call from any thread, never throws,
// and reports failure only through its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace zefa::platform {

// The system changes of the server set-up. On Windows each of these runs the
// command that platform/setup_commands.h spells out (program, parameter
// string, hidden, waited for only where that says so); its result then only
// tells whether the command could be started, since exit codes are not read.

// Deletes a folder with everything below it; links inside it are removed,
// never followed, and a link in place of the folder is removed itself. True
// when nothing is left at `path` afterwards (also when nothing was there).
// Windows: a recursive delete of every file and folder.
bool DeleteFolderTree(const Text& path);

// Copies the files of `from_folder` (not its subfolders) whose names match
// `pattern` ("*" and "?" wildcards, letter case ignored) into `to_folder`,
// which is created with its parents when there is a file to copy. A file is
// copied only when the target lacks it or holds an older one (by
// modification time); a copy keeps the source's modification time. False
// when `from_folder` cannot be read or a needed copy failed; true otherwise,
// also when nothing matched. Windows: cmd.exe with CopyNewerFilesCommand
// (xcopy /d /y).
bool CopyNewerFiles(const Text& from_folder, const Text& pattern, const Text& to_folder);

// Where the POSIX side keeps the scheduled tasks it registers: one cron table
// "<name>.cron" per task in WindowsDirectory() + "/zefa/tasks". Empty on
// Windows, where the task scheduler keeps them.
Text ScheduledTaskFolder();

// Registers the task `name` from a task definition file.
// Windows: cmd.exe with CreateScheduledTaskCommand (schtasks /create /xml).
// POSIX: writes ScheduledTaskFolder()/<name>.cron, a cron table whose one
// schedule line runs the definition's command (the Exec Command and
// Arguments of the task XML; the first Repetition Interval as schedule,
// hourly without one). The line is commented out: the task stays disabled
// until an administrator enables it as the file's comments explain. An
// existing entry is left as it is (it may have been enabled). False when the
// definition cannot be read or the entry cannot be written.
bool InstallScheduledTask(const Text& name, const Text& definition_file);

// Removes the task `name`. True when no such task is left.
// Windows: cmd.exe with DeleteScheduledTaskCommand (schtasks.exe /delete /f).
// POSIX: deletes ScheduledTaskFolder()/<name>.cron.
bool RemoveScheduledTask(const Text& name);

}  // namespace zefa::platform
