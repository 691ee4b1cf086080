// The platform layer: the machine, the process, programs and environment. One implementation per
// platform (platform/posix, platform/windows) is chosen at build time. Unless a function says
// otherwise it is safe to call from any thread, never throws, and reports failure only through its
// result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace zefa::platform {

// The folder that stands for the Windows directory: GetWindowsDirectoryW on
// Windows, $CLAVORA_ROOT (default /var/lib/clavora) elsewhere. No trailing
// separator.
Text WindowsDirectory();

// The NetBIOS computer name of this machine, upper case.
Text ComputerName();

// The NetBIOS name of the domain this machine belongs to (NetWkstaGetInfo
// level 100 on Windows; the Samba configuration's "workgroup" elsewhere).
// Empty when it cannot be read.
Text NetbiosDomainName();

// Full path of the installed filter library (the system folder's zefa.dll
// on Windows; elsewhere the library folder under the prefix the running
// program was installed to, found from the program's own folder).
Text InstalledFilterLibrary();

// The program's arguments after its name, for a program's main(argc, argv).
// Windows: parsed from the process's UTF-16 command line (argv holds them
// only in the ANSI code page, which loses characters); argc and argv are
// not used there. Elsewhere: argv[1..] decoded from UTF-8. Empty when the
// command line cannot be read.
std::vector<Text> ProgramArguments(int argc, char** argv);

// Value of an environment variable; empty when unset.
Text EnvironmentVariable(const Text& name);

// Sets an environment variable of this process (a library and the program
// that loaded it see the same ones). False when it cannot be set.
bool SetProcessEnvironmentVariable(const Text& name, const Text& value);

// Replaces %NAME% references by the variables' values (unknown ones stay).
Text ExpandEnvironmentStrings(const Text& text);

// Starts the socket layer. Nonzero on success.
int StartNetwork();

// Starts a program with a parameter string (split like a Windows command
// line on POSIX), an optional working folder, a hidden window, and an
// optional wait for its end. False when the program could not be started.
// Exit codes are not reported.
bool StartProcess(const Text& program, const Text& parameters, const Text& working_folder,
                  bool wait);

// Starts a program with separate arguments, hidden, not waited for, in
// `working_folder` when not empty. On POSIX the arguments reach the program
// as they are (no shell, no quoting); a file that cannot be executed itself
// is run through /bin/sh, and whether a start succeeded is learnt from the
// exec itself (whatever the process does with SIGCHLD). On Windows the
// command line is built with the platform's quoting rules, and the shell's
// default action for the file is the fallback. False when nothing could be
// started.
bool StartProgramWithArguments(const Text& program, const std::vector<Text>& arguments,
                               const Text& working_folder);

// As StartProgramWithArguments, for a program that also receives a secret (a
// password). POSIX, where every local user can read a process's command
// line: the secret and a line end go to the program's standard input, and
// "-" stands in its place after the arguments. Windows, where a service's
// command line is readable only by administrators: the secret is the last
// argument. Every copy made here is wiped.
bool StartProgramWithSecret(const Text& program, const std::vector<Text>& arguments,
                            const Text& secret, const Text& working_folder);

// One line on the process's console (standard output), UTF-8 encoded, with
// the platform's line end. Allocates a console when the process has none.
void ConsoleWriteLine(const Text& line);

// Reads one line of secret input (a password) for a console program, so
// that it never appears on a command line: when standard input is a
// terminal (a console on Windows), `prompt` goes to standard error and the
// line is read with the terminal's echo switched off (and restored, also
// when the read fails); otherwise standard input is read as it is (UTF-8).
// The line end ("\n" or "\r\n") is not part of it; every buffer that held
// it is wiped. False when the input ended before a line began.
bool ReadSecretLine(const Text& prompt, Text& secret);

// Text to the debugger output (standard error on POSIX).
void DebugOutput(const Text& text);

}  // namespace zefa::platform
