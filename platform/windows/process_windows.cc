// Starting other programs: CreateProcessW with a hidden window, standard
// streams on the null device and no other handle handed down; the shell's
// default action for files that are not programs.

#include "platform/windows/win_util.h"

#include <shellapi.h>

#include "platform/characters.h"
#include "platform/files.h"
#include "platform/system.h"

namespace zefa::platform {

namespace {

// One argument quoted so that the usual command-line splitting gives it back
// unchanged: quotes only when needed, backslashes doubled only before a
// quote.
void AppendQuoted(Text& line, const Text& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == Text::npos) {
    line += argument;
    return;
  }
  line.push_back(L'"');
  size_t backslashes = 0;
  for (const WChar c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line.push_back(c);
  }
  line.append(backslashes * 2, L'\\');
  line.push_back(L'"');
}

void Wipe(Text& text) {
  SecureWipe(text.data(), text.size() * sizeof(WChar));
  text.clear();
}

// The null device for the child's standard streams, inheritable.
HANDLE OpenNullDevice(DWORD access) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Runs `command_line` (program first) hidden in `folder`; waits when asked.
bool Launch(Text& command_line, const Text& folder, bool wait) {
  ScopedHandle input(OpenNullDevice(GENERIC_READ));
  ScopedHandle output(OpenNullDevice(GENERIC_WRITE));
  if (!input.valid() || !output.valid()) return false;

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  startup.StartupInfo.hStdInput = input.handle;
  startup.StartupInfo.hStdOutput = output.handle;
  startup.StartupInfo.hStdError = output.handle;

  // Only the two null-device handles go to the child.
  DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
  SIZE_T list_size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &list_size);
  std::string list_buffer(list_size, '\0');
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_buffer.data());
  HANDLE inherited[2] = {input.handle, output.handle};
  bool have_list =
      list_size > 0 && InitializeProcThreadAttributeList(list, 1, 0, &list_size) != FALSE;
  if (have_list && UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                             sizeof inherited, nullptr, nullptr) != FALSE) {
    startup.lpAttributeList = list;
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }

  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                     folder.empty() ? nullptr : folder.c_str(), &startup.StartupInfo, &process);
  if (have_list) DeleteProcThreadAttributeList(list);
  if (started == FALSE) return false;
  if (wait) WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// The shell's default action for the file, hidden, not waited for.
bool ShellOpen(const Text& file, const Text& parameters, const Text& folder) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpFile = file.c_str();
  info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
  info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
  info.nShow = SW_HIDE;
  if (ShellExecuteExW(&info) == FALSE) return false;
  if (info.hProcess != nullptr) CloseHandle(info.hProcess);
  return true;
}

}  // namespace

bool StartProcess(const Text& program, const Text& parameters, const Text& working_folder,
                  bool wait) {
  if (program.empty() || HasNul(program) || HasNul(parameters) || HasNul(working_folder)) {
    return false;
  }
  Text command_line;
  AppendQuoted(command_line, program);
  if (!parameters.empty()) command_line += L" " + parameters;
  const bool started = Launch(command_line, working_folder, wait);
  Wipe(command_line);
  return started;
}

namespace {

// The longest an argument can grow by quoting: every character doubled (a
// backslash before a quote) plus the two enclosing quotes.
size_t QuotedSizeBound(const Text& argument) { return 2 * argument.size() + 3; }

// Starts the program with the arguments (the secret last, when given). The
// parameter text and the command line are sized up front, so that no copy of
// an argument is left behind by a growing buffer; both are wiped.
bool StartWithArguments(const Text& program, const std::vector<const Text*>& arguments,
                        const Text& working_folder) {
  if (program.empty() || HasNul(program) || HasNul(working_folder)) return false;
  size_t parameters_size = 0;
  for (const Text* argument : arguments) {
    if (HasNul(*argument)) return false;
    parameters_size += QuotedSizeBound(*argument);
  }
  Text parameters;
  parameters.reserve(parameters_size);
  for (const Text* argument : arguments) {
    if (!parameters.empty()) parameters.push_back(L' ');
    AppendQuoted(parameters, *argument);
  }
  Text command_line;
  command_line.reserve(QuotedSizeBound(program) + 1 + parameters.size());
  AppendQuoted(command_line, program);
  if (!parameters.empty()) {
    command_line.push_back(L' ');
    command_line += parameters;
  }
  bool started = Launch(command_line, working_folder, false);
  Wipe(command_line);
  // Not a program by itself (a script, a document): its associated program.
  if (!started && FileExists(program)) started = ShellOpen(program, parameters, working_folder);
  Wipe(parameters);
  return started;
}

}  // namespace

bool StartProgramWithArguments(const Text& program, const std::vector<Text>& arguments,
                               const Text& working_folder) {
  std::vector<const Text*> list;
  list.reserve(arguments.size());
  for (const Text& argument : arguments) list.push_back(&argument);
  return StartWithArguments(program, list, working_folder);
}

bool StartProgramWithSecret(const Text& program, const std::vector<Text>& arguments,
                            const Text& secret, const Text& working_folder) {
  std::vector<const Text*> list;
  list.reserve(arguments.size() + 1);
  for (const Text& argument : arguments) list.push_back(&argument);
  list.push_back(&secret);
  return StartWithArguments(program, list, working_folder);
}

}  // namespace zefa::platform
