// The denial report over generated logs.
#include <gtest/gtest.h>

#include <string>

#include "testconsole/password_report.h"

namespace zefa {
namespace {

std::string Header(const std::string& account) {
  return "Requested password for user " + account + " (" + account +
         "@example.test; ) was not accepted because it did not meet these requirements:";
}

std::string SetLine(const std::string& day, const std::string& account, int set, bool audit) {
  return day + " 10:00:00\tInfo " + account + "\tPolicy set " + std::to_string(set) +
         (audit ? " would deny the password (audit only)" : " denied the password") + "\r\n";
}

std::string Rejection(const std::string& day, const std::string& account, bool audit,
                      const std::string& lines) {
  return day + " 10:00:01\t" + (audit ? "Password Audit" : "Password Denied") + "\t" +
         Header(account) + lines + "\r\n";
}

// A log of 200 rejections over ten days: every account of set 1 (enforced)
// misses the length, every third also a number; set 3 (audit) sees found
// forbidden words that differ from line to line; interleaved with unrelated
// lines and lines of other accounts.
std::string GeneratedLog() {
  std::string log;
  for (int i = 0; i < 200; ++i) {
    const std::string day = "2026-12-0" + std::to_string(i % 9 + 1);
    const std::string account = "user" + std::to_string(i);
    if (i % 2 == 0) {
      log += SetLine(day, account, 1, false);
      log += day + " 10:00:00\tInfo\tsomething unrelated\r\n";
      std::string lines = " | -Must be at least 12 characters long";
      if (i % 3 == 0) lines = " | -Has at least 1 numbers" + lines;
      log += Rejection(day, account, false, lines);
    } else {
      log += SetLine(day, account, 3, true);
      log += Rejection(
          day, account, true,
          " | -Must not contain any of the forbidden words (found word" + std::to_string(i) + ")");
    }
  }
  return log;
}

int64_t Row(const PasswordReport& r, int64_t set, const std::string& line, bool audit) {
  auto found = r.Requirements.find({set, line});
  if (found == r.Requirements.end()) return 0;
  return audit ? found->second.Audited : found->second.Denied;
}

TEST(PasswordReport, CountsPerSetAndRequirement) {
  PasswordReport report;
  AddLogToReport(report, GeneratedLog());
  EXPECT_EQ(report.SetTotals[1].Denied, 100);
  EXPECT_EQ(report.SetTotals[1].Audited, 0);
  EXPECT_EQ(report.SetTotals[3].Audited, 100);
  EXPECT_EQ(Row(report, 1, "-Must be at least 12 characters long", false), 100);
  EXPECT_EQ(Row(report, 1, "-Has at least 1 numbers", false), 34);  // even i, multiple of 3
  // Every found word counts on the one forbidden-words row.
  EXPECT_EQ(Row(report, 3, "-Must not contain any of the forbidden words", true), 100);
  EXPECT_EQ(report.Requirements.size(), 3u);

  const std::vector<Text> lines = ReportLines(report);
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0], ZT("Password report, all dates, 1 log file"));
  EXPECT_EQ(lines[2], ZT("Set 1: 100 denied, 0 would be denied (audit only)"));
  EXPECT_EQ(lines[3], ZT("    Denied     Audit  Requirement"));
  EXPECT_EQ(lines[4], ZT("       100         0  -Must be at least 12 characters long"));
  EXPECT_EQ(lines[5], ZT("        34         0  -Has at least 1 numbers"));
}

TEST(PasswordReport, DateRangeIsInclusive) {
  PasswordReport report;
  report.From = "2026-12-02";
  report.To = "2026-12-03";
  AddLogToReport(report, GeneratedLog());
  // Days 2 and 3 are i % 9 == 1 or 2: 23 + 22 of 200.
  EXPECT_EQ(report.SetTotals[1].Denied + report.SetTotals[3].Audited, 45);
  EXPECT_EQ(ReportLines(report)[0], ZT("Password report, 2026-12-02 to 2026-12-03, 1 log file"));
}

TEST(PasswordReport, PairsBySetLineOfTheSameAccount) {
  // Two threads' lines interleave; an account whose name contains " (" is
  // paired with its own set line, not with a shorter name's.
  std::string log = SetLine("2026-12-01", "tom", 2, false);
  log += SetLine("2026-12-01", "tom (x)", 5, true);
  log += Rejection("2026-12-01", "tom (x)", true, " | -Must not contain spaces");
  log += Rejection("2026-12-01", "tom", false, " | -Must not contain spaces");
  // A rejection from a log written before sets were recorded, and one with
  // no requirement line of its own (an empty password).
  log += Rejection("2026-12-01", "old", false, " | -Must not contain any vowels");
  log += SetLine("2026-12-01", "empty", 2, false) + Rejection("2026-12-01", "empty", false, "");
  PasswordReport report;
  AddLogToReport(report, log);
  EXPECT_EQ(report.SetTotals[2].Denied, 2);
  EXPECT_EQ(report.SetTotals[5].Audited, 1);
  EXPECT_EQ(report.SetTotals[0].Denied, 1);
  EXPECT_EQ(Row(report, 0, "-Must not contain any vowels", false), 1);
  EXPECT_EQ(Row(report, 2, "(no requirement line: empty password or too few categories)", false),
            1);
  const std::vector<Text> lines = ReportLines(report);
  bool unattributed = false;
  for (const Text& line : lines)
    unattributed |= line == ZT("Set not recorded: 1 denied, 0 would be denied (audit only)");
  EXPECT_TRUE(unattributed);
}

TEST(PasswordReport, DamagedLinesAreSkipped) {
  PasswordReport report;
  AddLogToReport(report, std::string("garbage\n\t\t\n2026-13-01 10:00:00\tPassword Denied\tx\n") +
                             "2026-12-01 10:00:00\tInfo a\tPolicy set 9 denied the password\n" +
                             "2026-12-01 10:00:00\tInfo a\tPolicy set 12345678901234567890 "
                             "denied the password\n" +
                             std::string("2026-12-01 10:00:00\tPassword Denied\0\n", 38) +
                             "2026-12-01 10:00:00\tPassword Denied");
  EXPECT_TRUE(report.SetTotals.empty());
  EXPECT_EQ(ReportLines(report)[1], ZT("No password was denied or audited in this period."));
  EXPECT_TRUE(IsReportDate("2026-02-28"));
  EXPECT_FALSE(IsReportDate("2026-2-28"));
  EXPECT_FALSE(IsReportDate("2026-00-10"));
}

}  // namespace
}  // namespace zefa
