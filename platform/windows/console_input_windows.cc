// Secret console input: the console's echo is switched off while a password
// is typed.

#include "platform/windows/win_util.h"

#include <string>

#include "platform/characters.h"
#include "platform/system.h"

namespace zefa::platform {

namespace {

// Reads bytes of a redirected standard input up to a line end or the end of
// input. False when the input ended (or failed) before any byte.
bool ReadRedirectedLine(HANDLE input, std::string& line) {
  bool any = false;
  for (;;) {
    char c = 0;
    DWORD got = 0;
    if (ReadFile(input, &c, 1, &got, nullptr) == FALSE || got == 0) return any;
    any = true;
    if (c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace

bool ReadSecretLine(const Text& prompt, Text& secret) {
  secret.clear();
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return false;
  DWORD saved = 0;
  if (GetConsoleMode(input, &saved) == FALSE) {
    std::string line;
    line.reserve(1024);
    const bool read = ReadRedirectedLine(input, line);
    if (read) secret = Utf8ToText(line);
    SecureWipe(line.data(), line.capacity());
    return read;
  }
  // The echo goes off before the prompt appears, so nothing typed after it
  // can show.
  SetConsoleMode(input, (saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~ENABLE_ECHO_INPUT);
  HANDLE error_output = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (error_output != nullptr && error_output != INVALID_HANDLE_VALUE)
    WriteConsoleW(error_output, prompt.data(), static_cast<DWORD>(prompt.size()), &written,
                  nullptr);
  wchar_t buffer[1024];
  DWORD got = 0;
  const bool read = ReadConsoleW(input, buffer, 1024, &got, nullptr) != FALSE && got > 0;
  SetConsoleMode(input, saved);
  if (error_output != nullptr && error_output != INVALID_HANDLE_VALUE)
    WriteConsoleW(error_output, L"\r\n", 2, &written, nullptr);
  if (read) {
    secret.assign(buffer, got);
    while (!secret.empty() && (secret.back() == L'\n' || secret.back() == L'\r')) secret.pop_back();
  }
  SecureWipe(buffer, sizeof buffer);
  return read;
}

}  // namespace zefa::platform
