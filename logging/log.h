// The text log and the event log.
//
// One line per call: "yyyy-mm-dd hh:ii:ss" TAB label TAB message, with every
// "\r\n" of the message written as " | ". The file is opened and closed for
// every line; above 8,388,608 bytes it is rolled over to "<base>~.log" beside
// it (one earlier generation). Processes of one machine writing the same log
// take a lock on "<log>.lock" for that step; processes on other machines
// (another domain controller on the share) are not coordinated. While the test console runs (test
// mode) lines go to standard output instead, in brackets and unchanged.
#pragma once

#include <cstdint>

#include "platform/events.h"
#include "platform/text.h"

namespace zefa {

constexpr int64_t kLogRolloverBytes = 8388608;

// Info, Warning and password lines are written when LogLevel() >= 0, Debug
// lines only when LogLevel() >= 2. Log() makes that test; nothing else does.
constexpr int64_t kLogLevelInfo = 0;
constexpr int64_t kLogLevelDebug = 2;
int64_t LogLevel();
void SetLogLevel(int64_t level);

bool TestMode();
void SetTestMode(bool on);

Text LogFilePath();
void SetLogFilePath(const Text& path);

// The log path used before the server is initialised: the Windows folder
// followed by "DEDodud.log".
Text DefaultLogFilePath();

// Restores the load-time defaults (path, level 0, test mode off).
void ResetLogDefaults();

// Writes one line, whole or not at all (a full disk leaves no partial line).
// 1 when written (or printed in test mode), 0 when the file could not be
// opened or written: the line then goes to the event log as event 12
// (error), naming the log file. Echo mode 2 also sends label TAB message to the
// debugger output (not in test mode).
int WriteLog(const Text& message, const Text& label, int echo_mode);

// The one logging call: writes one line with `label` when LogLevel() is at
// least `level`; Debug-level lines also go to the debugger output. 1 when
// written (or printed in test mode), 0 when below the level or not written.
int Log(int64_t level, const Text& label, const Text& message);

inline int LogInfo(const Text& message) { return Log(kLogLevelInfo, ZT("Info"), message); }
inline int LogWarning(const Text& message) { return Log(kLogLevelInfo, ZT("Warning"), message); }
inline int LogDebug(const Text& message) { return Log(kLogLevelDebug, ZT("Debug"), message); }

// An Info line about one account: label "Info " and the account's name with
// its control characters escaped.
int LogAccountInfo(const Text& account, const Text& message);

// The file form of one line, without the line end; exposed for tests.
Text FormatLogLine(int64_t date_value, const Text& label, const Text& message);

// The rolled-over file that belongs to a log path.
Text RolledOverLogPath(const Text& log_path);

// The file whose lock (platform::LockFileExclusive) every writing process
// holds for the size test, rollover and write of one line: the log path
// followed by ".lock". It stays empty.
Text LogLockFilePath(const Text& log_path);

// The event IDs of the source "Clavora".
enum EventId : uint32_t {
  kEventPasswordChanged = 1,  // information: a change went through
  kEventPasswordDenied = 2,   // information: a rejection (or an audit-only one)
  kEventActionFailed = 12,    // error: the notify program did not start, a write failed
};

// Event log: source, one insertion string, event ID, type (1 error,
// 4 information). Returns the platform's result (0 on failure).
int WriteEvent(const Text& source, const Text& text, uint32_t event_id, uint16_t event_type);

}  // namespace zefa
