#include <atomic>
#include <mutex>

#include "logging/escape_controls.h"
#include "logging/log.h"
#include "platform/time.h"
#include "platform/files.h"
#include "platform/system.h"
#include "util/date_value.h"
#include "util/text_util.h"
#include "platform/events.h"

namespace zefa {

namespace {

std::mutex log_lock;  // LogLock: size check, rollover and the write are one step
std::atomic<int64_t> log_level{0};
std::atomic<bool> test_mode{false};
Text& LogPathStorage() {
  static Text path = DefaultLogFilePath();
  return path;
}

}  // namespace

int64_t LogLevel() { return log_level.load(); }
void SetLogLevel(int64_t level) { log_level.store(level); }
bool TestMode() { return test_mode.load(); }
void SetTestMode(bool on) { test_mode.store(on); }

Text LogFilePath() {
  std::lock_guard<std::mutex> guard(log_lock);
  return LogPathStorage();
}

void SetLogFilePath(const Text& path) {
  std::lock_guard<std::mutex> guard(log_lock);
  LogPathStorage() = path;
}

Text DefaultLogFilePath() { return JoinPath(platform::WindowsDirectory(), ZT("DEDodud.log")); }

void ResetLogDefaults() {
  SetLogFilePath(DefaultLogFilePath());
  SetLogLevel(0);
  SetTestMode(false);
}

Text FormatLogLine(int64_t date_value, const Text& label, const Text& message) {
  Text body = message;
  ReplaceAll(body, ZT("\r\n"), ZT(" | "));
  // Whatever control character is left (a name's) cannot break the line.
  return FormatDateValue(date_value) + ZT("\t") + EscapeControlCharacters(label) + ZT("\t") +
         EscapeControlCharacters(body);
}

Text RolledOverLogPath(const Text& log_path) {
  const WChar separator = platform::PathSeparator();
  const size_t slash = log_path.rfind(separator);
  const size_t name_start = slash == Text::npos ? 0 : slash + 1;
  const size_t dot = log_path.rfind(ZT('.'));
  const size_t base_end = (dot == Text::npos || dot < name_start) ? log_path.size() : dot;
  return log_path.substr(0, base_end) + ZT("~.log");
}

Text LogLockFilePath(const Text& log_path) { return log_path + ZT(".lock"); }

int WriteLog(const Text& message, const Text& label, int echo_mode) {
  const int64_t now = platform::LocalNow();
  if (TestMode()) {
    platform::ConsoleWriteLine(ZT("[") + FormatDateValue(now) + ZT("\t") + label + ZT("\t") +
                               message + ZT("]"));
    return 1;
  }
  int result = 0;
  Text unwritten_path;
  {
    std::lock_guard<std::mutex> guard(log_lock);
    const Text& path = LogPathStorage();
    // Other processes on this machine write the same file (the test console
    // beside the library): the lock file makes the size test, rollover and
    // write one step for them too, so no process deletes the generation
    // another has just rolled over. Without the lock file the line is still
    // written.
    platform::FileLock* other_processes = platform::LockFileExclusive(LogLockFilePath(path));
    if (platform::FileSize(path) > kLogRolloverBytes) {
      const Text rolled = RolledOverLogPath(path);
      platform::DeleteFile(rolled);
      platform::RenameFile(path, rolled);
    }
    const std::string line = TextToUtf8(FormatLogLine(now, label, message) + ZT("\r\n"));
    // All or nothing: a full disk leaves no partial line behind.
    result = platform::AppendToFile(path, line) ? 1 : 0;
    platform::UnlockFile(other_processes);
    if (result == 0) unwritten_path = path;
  }
  if (result == 0) {
    // The line goes to the event log instead, so nothing is lost silently.
    WriteEvent(ZT("Clavora"),
               ZT("The log ") + unwritten_path +
                   ZT(" could not be written (disk full or no "
                      "access); the line was: ") +
                   label + ZT(": ") + message,
               12, platform::kEventError);
  }
  if (echo_mode == 2) platform::DebugOutput(label + ZT("\t") + message);
  // Warnings also reach the system log, where administrators watch.
  if (label == ZT("Warning")) platform::ForwardLogWarning(message);
  return result;
}

int Log(int64_t level, const Text& label, const Text& message) {
  if (LogLevel() < level) return 0;
  return WriteLog(message, label, level >= kLogLevelDebug ? 2 : 0);
}

int LogAccountInfo(const Text& account, const Text& message) {
  return Log(kLogLevelInfo, ZT("Info ") + EscapeControlCharacters(account), message);
}

}  // namespace zefa
