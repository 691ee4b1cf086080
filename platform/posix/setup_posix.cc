// The system changes of the server set-up, made directly: recursive
// deletion, copying of newer files, and scheduled tasks as cron tables that
// an administrator enables.

#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/setup.h"
#include "platform/system.h"

namespace zefa::platform {

namespace {

std::optional<std::string> NativePath(const Text& path) {
  if (path.empty() || path.find(WChar{0}) != Text::npos) return std::nullopt;
  return TextToUtf8(path);
}

bool NothingAt(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) != 0 && errno == ENOENT;
}

// Errors are not fatal: whatever cannot be removed shows in the final test.
int RemoveOne(const char* path, const struct stat*, int kind, struct FTW*) {
  if (kind == FTW_DP || kind == FTW_DNR || kind == FTW_D) {
    rmdir(path);
  } else {
    unlink(path);
  }
  return 0;
}

bool IsNewer(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// A task name becomes a file name: no separators, no "." or "..".
bool UsableTaskName(const Text& name) {
  if (name.empty() || name == ZT(".") || name == ZT("..")) return false;
  return name.find(u'/') == Text::npos && name.find(WChar{0}) == Text::npos;
}

// Task definitions written by the Windows task scheduler are UTF-16 with a
// byte-order mark; others are UTF-8.
std::string DefinitionAsUtf8(const std::string& bytes) {
  const bool little = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
  const bool big = bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF';
  if (little || big) {
    Text text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const auto first = static_cast<unsigned char>(bytes[i]);
      const auto second = static_cast<unsigned char>(bytes[i + 1]);
      text.push_back(static_cast<WChar>(little ? first | (second << 8) : (first << 8) | second));
    }
    return TextToUtf8(text);
  }
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) return bytes.substr(3);
  return bytes;
}

std::string Unescaped(std::string text) {
  static const std::pair<std::string_view, char> kEntities[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& [entity, character] : kEntities) {
      if (text.compare(i, entity.size(), entity) == 0) {
        out.push_back(character);
        i += entity.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out.push_back(text[i++]);
  }
  return out;
}

// Text of the first element `name` (without attributes); empty when absent.
std::string ElementText(const std::string& xml, const std::string& name) {
  const std::string open = "<" + name + ">";
  const size_t start = xml.find(open);
  if (start == std::string::npos) return std::string();
  const size_t end = xml.find("</" + name + ">", start + open.size());
  if (end == std::string::npos) return std::string();
  std::string value = Unescaped(xml.substr(start + open.size(), end - start - open.size()));
  while (!value.empty() && (value.back() == ' ' || value.back() == '\n' || value.back() == '\r' ||
                            value.back() == '\t'))
    value.pop_back();
  const size_t first = value.find_first_not_of(" \t\r\n");
  return first == std::string::npos ? std::string() : value.substr(first);
}

// Minutes of an ISO 8601 duration such as "PT15M", "PT2H" or "P1D"; 0 when
// it cannot be read.
int64_t DurationMinutes(const std::string& duration) {
  if (duration.empty() || duration[0] != 'P') return 0;
  int64_t minutes = 0, number = 0;
  bool in_time = false, digits = false;
  for (size_t i = 1; i < duration.size(); ++i) {
    const char c = duration[i];
    if (c >= '0' && c <= '9') {
      if (number > 10000000) return 0;
      number = number * 10 + (c - '0');
      digits = true;
      continue;
    }
    if (c == 'T') {
      in_time = true;
      continue;
    }
    if (!digits) return 0;
    if (c == 'D' && !in_time)
      minutes += number * 1440;
    else if (c == 'H' && in_time)
      minutes += number * 60;
    else if (c == 'M' && in_time)
      minutes += number;
    else if (c == 'S' && in_time)
      minutes += number / 60;
    else
      return 0;
    number = 0;
    digits = false;
  }
  return digits ? 0 : minutes;
}

// The five time fields of a cron line that repeats every `minutes`.
std::string CronSchedule(int64_t minutes) {
  if (minutes > 0 && minutes < 60) return "*/" + std::to_string(minutes) + " * * * *";
  if (minutes >= 60 && minutes < 1440 && minutes % 60 == 0)
    return minutes == 60 ? "0 * * * *" : "0 */" + std::to_string(minutes / 60) + " * * *";
  if (minutes >= 1440 && minutes % 1440 == 0)
    return minutes == 1440 ? "0 0 * * *" : "0 0 */" + std::to_string(minutes / 1440) + " * *";
  return "0 * * * *";
}

// The program in single quotes for /bin/sh; "%" means a line end to cron.
std::string CronCommand(const std::string& program, const std::string& arguments) {
  std::string line = "'";
  for (char c : program) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
  line += "'";
  if (!arguments.empty()) line += " " + arguments;
  std::string escaped;
  for (char c : line) {
    if (c == '%') escaped += '\\';
    if (c != '\n' && c != '\r') escaped += c;
  }
  return escaped;
}

// cron.d only runs files whose names hold letters, digits, "-" and "_".
std::string CronTableName(const std::string& task) {
  std::string name = "clavora-";
  for (char c : task) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    name += plain ? c : (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : '-';
  }
  return name;
}

std::string TaskEntry(const std::string& task, const std::string& entry_path,
                      const std::string& definition_path, const std::string& xml) {
  const std::string program = ElementText(xml, "Command");
  std::string text =
      "# Clavora scheduled task \"" + task + "\", registered from " + definition_path + ".\n";
  text +=
      "# Disabled. To enable it, remove the \"#\" in front of the schedule line below and\n"
      "# install this file as a system cron table, for example:\n"
      "#   cp '" +
      entry_path + "' /etc/cron.d/" + CronTableName(task) + "\n";
  if (program.empty()) {
    text +=
        "# The definition names no command; write the schedule line yourself:\n"
        "#   minute hour day-of-month month day-of-week user command\n";
    return text;
  }
  text += "#" + CronSchedule(DurationMinutes(ElementText(xml, "Interval"))) + " root " +
          CronCommand(program, ElementText(xml, "Arguments")) + "\n";
  return text;
}

Text TaskEntryPath(const Text& name) {
  return ScheduledTaskFolder() + ZT("/") + name + ZT(".cron");
}

}  // namespace

bool DeleteFolderTree(const Text& path) {
  const auto native = NativePath(path);
  if (!native) return false;
  struct stat info {};
  if (lstat(native->c_str(), &info) != 0) return errno == ENOENT;
  if (S_ISDIR(info.st_mode)) {
    nftw(native->c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
  } else {
    unlink(native->c_str());
  }
  return NothingAt(*native);
}

bool CopyNewerFiles(const Text& from_folder, const Text& pattern, const Text& to_folder) {
  const auto from = NativePath(from_folder);
  const auto to = NativePath(to_folder);
  if (!from || !to || pattern.empty()) return false;
  const std::string wanted = TextToUtf8(pattern);
  DIR* folder = opendir(from->c_str());
  if (folder == nullptr) return false;
  bool ok = true;
  while (const struct dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (fnmatch(wanted.c_str(), name.c_str(), FNM_CASEFOLD) != 0) continue;
    const std::string source = *from + "/" + name;
    const std::string target = *to + "/" + name;
    struct stat source_info {
    }, target_info{};
    if (stat(source.c_str(), &source_info) != 0 || !S_ISREG(source_info.st_mode)) continue;
    if (stat(target.c_str(), &target_info) == 0 &&
        !IsNewer(source_info.st_mtim, target_info.st_mtim))
      continue;
    // Created only when there is something to put in it: an empty central
    // store of templates would hide the templates each computer has.
    if (!CreateFolderTree(to_folder) || !CopyFile(Utf8ToText(source), Utf8ToText(target))) {
      ok = false;
      continue;
    }
    const struct timespec times[2] = {source_info.st_atim, source_info.st_mtim};
    utimensat(AT_FDCWD, target.c_str(), times, 0);
  }
  closedir(folder);
  return ok;
}

Text ScheduledTaskFolder() { return WindowsDirectory() + ZT("/zefa/tasks"); }

bool InstallScheduledTask(const Text& name, const Text& definition_file) {
  if (!UsableTaskName(name)) return false;
  const std::optional<std::string> definition = ReadWholeFile(definition_file);
  if (!definition) return false;
  const Text entry = TaskEntryPath(name);
  if (FileExists(entry)) return true;
  if (!CreateFolderTree(ScheduledTaskFolder())) return false;
  const std::string text = TaskEntry(TextToUtf8(name), TextToUtf8(entry),
                                     TextToUtf8(definition_file), DefinitionAsUtf8(*definition));
  return ReplaceFileAtomically(entry, text, false);
}

bool RemoveScheduledTask(const Text& name) {
  if (!UsableTaskName(name)) return false;
  const Text entry = TaskEntryPath(name);
  if (!FileExists(entry)) return true;
  DeleteFile(entry);
  return !FileExists(entry);
}

}  // namespace zefa::platform
