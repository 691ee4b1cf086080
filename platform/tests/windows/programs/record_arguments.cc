// Test helper for the process tests: writes each argument it receives, in
// brackets, one a line (UTF-8), to args.txt in its working folder. With the
// environment variable ZEFA_RECORD_DELAY_MS set it first sleeps that long.
#include "platform/windows/win_util.h"

#include <string>

#include "platform/system.h"

// The arguments come through the platform's ProgramArguments, so the process
// tests check its parsing of the command line as well.
int main(int argc, char** argv) {
  wchar_t delay[32] = {};
  if (GetEnvironmentVariableW(L"ZEFA_RECORD_DELAY_MS", delay, 32) > 0) Sleep(_wtoi(delay));
  std::string out;
  for (const zefa::Text& argument : zefa::platform::ProgramArguments(argc, argv))
    out += "[" + zefa::TextToUtf8(argument) + "]\n";
  HANDLE file = CreateFileW(L"args.tmp", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
  CloseHandle(file);
  // Appears complete or not at all.
  return MoveFileExW(L"args.tmp", L"args.txt", MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
