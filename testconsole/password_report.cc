#include "testconsole/password_report.h"

#include <algorithm>
#include <cstdio>

#include "platform/files.h"
#include "util/text_util.h"

namespace zefa {

namespace {

constexpr std::string_view kHeaderStart = "Requested password for user ";
constexpr std::string_view kSetLineStart = "Policy set ";
constexpr std::string_view kDeniedSuffix = " denied the password";
constexpr std::string_view kAuditSuffix = " would deny the password (audit only)";
constexpr std::string_view kForbiddenWordsLine = "-Must not contain any of the forbidden words";
constexpr std::string_view kNoLine = "(no requirement line: empty password or too few categories)";

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

struct LogLine {
  std::string_view Day;  // "YYYY-MM-DD"
  std::string_view Label;
  std::string_view Message;
};

// "YYYY-MM-DD hh:mm:ss" TAB label TAB message; false for anything else.
bool SplitLogLine(std::string_view line, LogLine& out) {
  if (line.size() < 21 || line[19] != '\t' || !IsReportDate(line.substr(0, 10))) return false;
  const size_t label_end = line.find('\t', 20);
  if (label_end == std::string_view::npos) return false;
  out.Day = line.substr(0, 10);
  out.Label = line.substr(20, label_end - 20);
  out.Message = line.substr(label_end + 1);
  return true;
}

// The set number of a line "Policy set N denied the password" or "... would
// deny the password (audit only)"; 0 when the message is neither.
int64_t SetOfSetLine(std::string_view message) {
  if (!StartsWith(message, kSetLineStart)) return 0;
  if (!EndsWith(message, kDeniedSuffix) && !EndsWith(message, kAuditSuffix)) return 0;
  std::string_view digits = message.substr(kSetLineStart.size());
  int64_t set = 0;
  size_t i = 0;
  for (; i < digits.size() && i < 2 && digits[i] >= '0' && digits[i] <= '9'; ++i)
    set = set * 10 + (digits[i] - '0');
  if (i == 0 || (digits.substr(i) != kDeniedSuffix && digits.substr(i) != kAuditSuffix)) return 0;
  return set >= 1 && set <= 8 ? set : 0;
}

// The requirement lines of a rejection text as the log holds it (its line
// breaks written as " | "), each without the found word of the
// forbidden-word line, so that every such rejection counts on one row.
std::vector<std::string> RequirementLines(std::string_view message) {
  std::vector<std::string> lines;
  size_t at = message.find(" | -");
  while (at != std::string_view::npos) {
    const size_t start = at + 3;
    const size_t next = message.find(" | -", start);
    std::string line(message.substr(start, next == std::string_view::npos ? next : next - start));
    if (StartsWith(line, kForbiddenWordsLine)) line = std::string(kForbiddenWordsLine);
    if (std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
    at = next;
  }
  if (lines.empty()) lines.emplace_back(kNoLine);
  return lines;
}

// The set recorded just before the rejection of this account, taken out of
// `pending`; 0 when none was. Account names may themselves contain " (", so
// the longest recorded name that fits wins.
int64_t TakePendingSet(std::map<std::string, int64_t, std::less<>>& pending,
                       std::string_view message) {
  if (!StartsWith(message, kHeaderStart)) return 0;
  const std::string_view rest = message.substr(kHeaderStart.size());
  auto best = pending.end();
  for (auto it = pending.begin(); it != pending.end(); ++it) {
    const std::string& account = it->first;
    if (StartsWith(rest, account) && StartsWith(rest.substr(account.size()), " (") &&
        (best == pending.end() || account.size() > best->first.size()))
      best = it;
  }
  if (best == pending.end()) return 0;
  const int64_t set = best->second;
  pending.erase(best);
  return set;
}

bool InRange(const PasswordReport& report, std::string_view day) {
  return (report.From.empty() || day >= report.From) && (report.To.empty() || day <= report.To);
}

std::string Padded(int64_t value, size_t width) {
  std::string text = std::to_string(value);
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

}  // namespace

bool IsMalformedReportDate(std::string_view text) {
  bool digit = false, separator = false;
  for (char c : text) {
    if (c >= '0' && c <= '9')
      digit = true;
    else if (c == '-' || c == '.' || c == '/')
      separator = true;
    else
      return false;
  }
  return digit && separator && !IsReportDate(text);
}

bool IsReportDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (text[i] < '0' || text[i] > '9') return false;
  const int month = (text[5] - '0') * 10 + (text[6] - '0');
  const int day = (text[8] - '0') * 10 + (text[9] - '0');
  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

void AddLogToReport(PasswordReport& report, std::string_view log_text) {
  ++report.FilesRead;
  std::map<std::string, int64_t, std::less<>> pending;  // account -> set of its next rejection
  size_t start = 0;
  while (start < log_text.size()) {
    size_t end = log_text.find('\n', start);
    if (end == std::string_view::npos) end = log_text.size();
    std::string_view line = log_text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    LogLine entry;
    if (!SplitLogLine(line, entry)) continue;
    if (StartsWith(entry.Label, "Info ")) {
      const int64_t set = SetOfSetLine(entry.Message);
      if (set != 0) pending[std::string(entry.Label.substr(5))] = set;
      continue;
    }
    const bool denied = entry.Label == "Password Denied";
    if (!denied && entry.Label != "Password Audit") continue;
    const int64_t set = TakePendingSet(pending, entry.Message);
    if (!InRange(report, entry.Day)) continue;
    ReportCount& total = report.SetTotals[set];
    (denied ? total.Denied : total.Audited) += 1;
    for (std::string& requirement : RequirementLines(entry.Message)) {
      ReportCount& row = report.Requirements[{set, std::move(requirement)}];
      (denied ? row.Denied : row.Audited) += 1;
    }
  }
}

std::vector<Text> ReportLogFiles(const std::vector<Text>& sources) {
  std::vector<Text> files;
  for (const Text& source : sources) {
    if (!platform::DirectoryExists(source)) {
      files.push_back(source);
      continue;
    }
    for (const Text& name : platform::FilesInFolder(source)) {
      if (name.size() > 4 && ToLower(name.substr(name.size() - 4)) == ZT(".log"))
        files.push_back(JoinPath(source, name));
    }
  }
  return files;
}

std::vector<Text> ReportLines(const PasswordReport& report) {
  std::vector<Text> lines;
  std::string period = "all dates";
  if (!report.From.empty() && !report.To.empty())
    period = report.From + " to " + report.To;
  else if (!report.From.empty())
    period = "from " + report.From;
  else if (!report.To.empty())
    period = "up to " + report.To;
  lines.push_back(AsciiToText("Password report, " + period + ", " +
                              std::to_string(report.FilesRead) + " log file" +
                              (report.FilesRead == 1 ? "" : "s")));
  if (report.SetTotals.empty()) {
    lines.push_back(ZT("No password was denied or audited in this period."));
    return lines;
  }
  for (const auto& [set, total] : report.SetTotals) {
    lines.push_back(Text());
    const std::string name = set == 0 ? "Set not recorded" : "Set " + std::to_string(set);
    lines.push_back(AsciiToText(name + ": " + std::to_string(total.Denied) + " denied, " +
                                std::to_string(total.Audited) + " would be denied (audit only)"));
    lines.push_back(ZT("    Denied     Audit  Requirement"));
    std::vector<std::pair<std::string, ReportCount>> rows;
    for (const auto& [key, count] : report.Requirements)
      if (key.first == set) rows.emplace_back(key.second, count);
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
      return a.second.Denied + a.second.Audited > b.second.Denied + b.second.Audited;
    });
    for (const auto& [requirement, count] : rows)
      lines.push_back(AsciiToText(Padded(count.Denied, 10) + Padded(count.Audited, 10) + "  ") +
                      Utf8ToText(requirement));
  }
  return lines;
}

}  // namespace zefa
