// Facts about this machine and its process: folders, names, environment,
// the command line, sockets and console output.

#include "platform/windows/win_util.h"

#include <shellapi.h>
#include <winsock2.h>

#include <mutex>

#include "platform/system.h"

namespace zefa::platform {

namespace {

// Calls `get(buffer, size)` with a growing buffer until the text fits.
template <typename Get>
Text GrowingRead(Get get) {
  Text buffer(256, L'\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD length = get(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return Text();
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.assign(static_cast<size_t>(length) + 1, L'\0');
  }
  return Text();
}

std::mutex& ConsoleLock() {
  static std::mutex lock;
  return lock;
}

HANDLE ConsoleOutput() {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) {
    AllocConsole();
    output = GetStdHandle(STD_OUTPUT_HANDLE);
  }
  return output;
}

}  // namespace

Text WindowsDirectory() {
  Text folder = GrowingRead([](wchar_t* buffer, DWORD size) {
    return static_cast<DWORD>(GetWindowsDirectoryW(buffer, size));
  });
  while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
  return folder;
}

Text ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  if (GetComputerNameW(name, &size) == FALSE) return Text();
  Text upper(name, size);
  CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  return upper;
}

std::vector<Text> ProgramArguments(int, char**) {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return {};
  std::vector<Text> result;
  for (int i = 1; i < count; ++i) result.emplace_back(arguments[i]);
  LocalFree(arguments);
  return result;
}

Text EnvironmentVariable(const Text& name) {
  if (name.empty() || HasNul(name)) return Text();
  return GrowingRead([&](wchar_t* buffer, DWORD size) {
    return GetEnvironmentVariableW(name.c_str(), buffer, size);
  });
}

bool SetProcessEnvironmentVariable(const Text& name, const Text& value) {
  if (name.empty() || HasNul(name) || HasNul(value)) return false;
  return SetEnvironmentVariableW(name.c_str(), value.c_str()) != FALSE;
}

Text ExpandEnvironmentStrings(const Text& text) {
  if (text.empty() || HasNul(text)) return text;
  Text buffer(text.size() + 256, L'\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD needed =
        ExpandEnvironmentStringsW(text.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (needed == 0) return text;
    if (needed <= buffer.size()) {
      buffer.resize(needed - 1);  // the count includes the terminating NUL
      return buffer;
    }
    buffer.assign(needed, L'\0');
  }
  return text;
}

int StartNetwork() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 1 : 0;
}

void ConsoleWriteLine(const Text& line) {
  std::lock_guard<std::mutex> hold(ConsoleLock());
  HANDLE output = ConsoleOutput();
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (GetConsoleMode(output, &mode) != FALSE) {
    // A console shows the characters themselves, whatever its code page.
    const Text text = line + L"\r\n";
    DWORD written = 0;
    WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const std::string bytes = TextToUtf8(line) + "\r\n";
  DWORD written = 0;
  WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void DebugOutput(const Text& text) {
  const Text terminated = text.substr(0, text.find(L'\0'));
  OutputDebugStringW(terminated.c_str());
}

}  // namespace zefa::platform
