// The host's own diagnostics: one line per event on standard error (the
// journal under systemd), never a password.
#pragma once

#include <string>
#include <string_view>

namespace zefa::host {

void SetLogVerbose(bool verbose);
bool LogVerbose();

// printf-style; the line gets the program's name in front and a line end.
void HostLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Only with --verbose.
void HostLogVerbose(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text from a client (an account name) made safe for a log line: control
// characters become '?', so no client can forge or split lines.
std::string Printable(std::string_view text);

}  // namespace zefa::host
