// Test helper for the process tests: writes each argument it receives, in
// brackets, one a line (UTF-8), to args.txt in its working folder. With the
// environment variable ZEFA_RECORD_DELAY_MS set it first sleeps that long.
#include <windows.h>

#include <string>

#include "platform/text.h"

int wmain(int argc, wchar_t** argv) {
  wchar_t delay[32] = {};
  if (GetEnvironmentVariableW(L"ZEFA_RECORD_DELAY_MS", delay, 32) > 0) Sleep(_wtoi(delay));
  std::string out;
  for (int i = 1; i < argc; ++i) out += "[" + zefa::TextToUtf8(argv[i]) + "]\n";
  HANDLE file = CreateFileW(L"args.tmp", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written = 0;
  WriteFile(file, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
  CloseHandle(file);
  // Appears complete or not at all.
  return MoveFileExW(L"args.tmp", L"args.txt", MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
