// The figures an administrator needs before an audit-mode set is enforced:
// from the filter's log files, per policy set and per requirement line, how
// many passwords were denied and how many an audit-mode set would have
// denied, within a date range.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace zefa {

struct ReportCount {
  int64_t Denied = 0;
  int64_t Audited = 0;
};

struct PasswordReport {
  std::string From;  // first day counted, "YYYY-MM-DD"; empty: no lower bound
  std::string To;    // last day counted; empty: no upper bound
  int64_t FilesRead = 0;
  // Set 0: rejections whose set the log does not name (written by a
  // release that did not record it).
  std::map<int64_t, ReportCount> SetTotals;
  // (set, requirement line without its leading line break)
  std::map<std::pair<int64_t, std::string>, ReportCount> Requirements;
};

// True when `text` is a date "YYYY-MM-DD" with a plausible month and day.
bool IsReportDate(std::string_view text);

// True when `text` is meant as a date but is not one the report reads: only
// digits and the separators "-", "." and "/", with at least one of each, and
// not IsReportDate ("10.12.2026", "2026-13-01", "2026/12/01").
bool IsMalformedReportDate(std::string_view text);

// Adds the rejections of one log file's contents (UTF-8, lines ending in
// LF or CR LF) that fall within the report's date range.
void AddLogToReport(PasswordReport& report, std::string_view log_text);

// The files to read for the given sources: a file stands for itself, a
// folder for every "*.log" file in it (the rolled-over "~.log" files too).
std::vector<Text> ReportLogFiles(const std::vector<Text>& sources);

// The report as console lines.
std::vector<Text> ReportLines(const PasswordReport& report);

}  // namespace zefa
