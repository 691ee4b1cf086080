// zefatest: tests a user name and password against the installed filter, or
// checks that the installation is in place.
#include "filter/exports.h"
#include "filter/test_password.h"
#include "platform/files.h"
#include "platform/system.h"
#include "util/server_paths.h"
#include "testconsole/audit_mode_check.h"
#include "testconsole/configuration_check.h"
#include "testconsole/console_paths.h"
#include "testconsole/password_report.h"
#include "util/text_util.h"

namespace {

void PrintLines(const std::vector<zefa::Text>& lines) {
  for (const zefa::Text& line : lines) zefa::platform::ConsoleWriteLine(line);
}

bool IsHelp(const zefa::Text& option) {
  for (const zefa::WChar* known : {ZT("/h"), ZT("/?"), ZT("/help"), ZT("--help"), ZT("-h")})
    if (option == known) return true;
  return false;
}

// "/p <user>" without a password, or with "-": the password is read from the
// terminal without echo (or from standard input when that is no terminal),
// so it never stands in the process's command line, and the test's
// "Password:" line shows it masked.
void TestTypedPassword(const zefa::Text& user) {
  zefa::Text password;
  if (!zefa::platform::ReadSecretLine(ZT("Password for ") + user + ZT(": "), password)) {
    zefa::platform::ConsoleWriteLine(ZT("No password was read for ") + user + ZT("."));
    return;
  }
  zefa::platform::SetProcessEnvironmentVariable(zefa::Text(zefa::kHidePasswordVariable), ZT("1"));
  TestPassword(user.c_str(), password.c_str());
  zefa::platform::SetProcessEnvironmentVariable(zefa::Text(zefa::kHidePasswordVariable), ZT(""));
  zefa::WipeText(password);
}

bool IsSwitch(const zefa::Text& arg) {
  const zefa::Text option = zefa::ToLower(arg);
  for (const zefa::WChar* known :
       {ZT("/p"), ZT("/password"), ZT("/v"), ZT("/verify"), ZT("/check"), ZT("/report")})
    if (option == known) return true;
  return IsHelp(option);
}

// "/report [from-date [to-date]] [log file or folder ...]": the parameters up
// to the next switch. Without a log source the log folder of the system
// folder is read. Returns the index of the last parameter it took; `failed`
// is set when a date cannot be read (then nothing is reported).
size_t RunReport(const std::vector<zefa::Text>& args, size_t at, bool& failed) {
  zefa::PasswordReport report;
  std::vector<zefa::Text> sources;
  size_t i = at + 1;
  for (; i < args.size() && !IsSwitch(args[i]); ++i) {
    const std::string arg = zefa::TextToUtf8(args[i]);
    if (zefa::IsReportDate(arg) && report.From.empty() && sources.empty())
      report.From = arg;
    else if (zefa::IsReportDate(arg) && report.To.empty() && sources.empty())
      report.To = arg;
    else if (zefa::IsMalformedReportDate(arg) && !zefa::platform::FileExists(args[i])) {
      zefa::platform::ConsoleWriteLine(ZT("Cannot read the date ") + args[i] +
                                       ZT(": write dates as YYYY-MM-DD, for example 2026-12-10"));
      failed = true;
      return i;
    } else {
      sources.push_back(args[i]);
    }
  }
  if (!report.From.empty() && !report.To.empty() && report.To < report.From)
    std::swap(report.From, report.To);
  if (sources.empty())
    sources.push_back(zefa::JoinPath(zefa::InstallationCheckPaths(zefa::Text())[1], ZT("log")));
  for (const zefa::Text& file : zefa::ReportLogFiles(sources)) {
    const auto contents = zefa::platform::ReadWholeFile(file);
    if (!contents) {
      zefa::platform::ConsoleWriteLine(ZT("MISSING  ") + file);
      continue;
    }
    zefa::AddLogToReport(report, *contents);
  }
  PrintLines(zefa::ReportLines(report));
  return i - 1;
}

// The installation check: the paths, the sets in audit mode, then every
// problem of the configuration. True when a line reported a failure.
bool RunCheck() {
  std::vector<zefa::Text> lines;
  const std::vector<zefa::Text> paths =
      zefa::InstallationCheckPaths(zefa::platform::InstalledFilterLibrary());
  for (const zefa::Text& path : paths) lines.push_back(zefa::InstallationCheckLine(path));
  for (zefa::Text& line : zefa::AuditModeWarningLines()) lines.push_back(std::move(line));
  for (zefa::Text& line : zefa::UnknownAccountWarningLines()) lines.push_back(std::move(line));
  for (zefa::Text& line : zefa::ConfigurationProblemLines(zefa::JoinPath(paths[1], ZT("words"))))
    lines.push_back(std::move(line));
  PrintLines(lines);
  bool failed = false;
  for (const zefa::Text& line : lines) failed = failed || zefa::IsFailedCheckLine(line);
  return failed;
}

int Run(std::vector<zefa::Text>& args) {
  if (args.empty()) {
    PrintLines(zefa::UsageLines());
    return 0;
  }
  int exit_code = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const zefa::Text option = zefa::ToLower(args[i]);
    if (option == ZT("/p") || option == ZT("/password")) {
      const zefa::Text user = i + 1 < args.size() ? args[i + 1] : zefa::Text();
      const bool typed = i + 1 < args.size() && (i + 2 >= args.size() || args[i + 2] == ZT("-"));
      if (typed) {
        TestTypedPassword(user);
      } else {
        zefa::Text password = i + 2 < args.size() ? args[i + 2] : zefa::Text();
        TestPassword(user.c_str(), password.c_str());
        zefa::WipeText(password);
      }
      i += 2;
    } else if (option == ZT("/v") || option == ZT("/verify")) {
      RunCheck();
    } else if (option == ZT("/check")) {
      if (RunCheck()) exit_code = 1;
    } else if (option == ZT("/report")) {
      bool failed = false;
      i = RunReport(args, i, failed);
      if (failed) exit_code = 1;
    } else if (IsHelp(option)) {
      PrintLines(zefa::UsageLines());
    }
  }
  for (zefa::Text& arg : args) zefa::WipeText(arg);
  return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<zefa::Text> args = zefa::platform::ProgramArguments(argc, argv);
  return Run(args);
}
