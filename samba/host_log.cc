#include "samba/host_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

#include "logging/escape_controls.h"

namespace zefa::host {

namespace {

std::atomic<bool> verbose_lines{false};

void WriteLine(const char* format, va_list args) {
  char line[1024];
  int used = snprintf(line, sizeof line, "zefa-host: ");
  const int body = vsnprintf(line + used, sizeof line - used - 1, format, args);
  used = body < 0
             ? used
             : (used + body > static_cast<int>(sizeof line) - 2 ? static_cast<int>(sizeof line) - 2
                                                                : used + body);
  line[used++] = '\n';
  // One write per line: lines of different threads never interleave.
  ssize_t ignored = write(STDERR_FILENO, line, static_cast<size_t>(used));
  (void)ignored;
}

}  // namespace

std::string Printable(std::string_view text) { return EscapeControlCharacters(text); }

void SetLogVerbose(bool verbose) { verbose_lines.store(verbose); }
bool LogVerbose() { return verbose_lines.load(); }

void HostLog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLine(format, args);
  va_end(args);
}

void HostLogVerbose(const char* format, ...) {
  if (!LogVerbose()) return;
  va_list args;
  va_start(args, format);
  WriteLine(format, args);
  va_end(args);
}

}  // namespace zefa::host
