// The console program as an administrator runs it.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_dc.h"

namespace zefa {
namespace {

// Runs a command and returns what it printed on standard output.
std::string Capture(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

const std::string kZefatest = std::string(CLAVORA_BIN_DIR) + "/zefatest";

TEST(Zefatest, UsageWithoutParameters) {
  const std::string expected =
      "Test username/password combo:\n  zefatest.exe /p <username> <password>\n"
      "Validate installation:\n  zefatest.exe /v\n"
      "Report denied and audited passwords:\n"
      "  zefatest.exe /report [<from-date> [<to-date>]] [<log file or folder> ...]\n\n";
  EXPECT_EQ(Capture(kZefatest), expected);
  EXPECT_EQ(Capture(kZefatest + " /HELP"), expected);
  EXPECT_EQ(Capture(kZefatest + " /unknown"), "");
}

TEST(Zefatest, VerifyReportsEachPath) {
  testing::TestDomain domain;
  std::filesystem::create_directories(domain.system_folder());
  const std::string out = Capture(kZefatest + " /V");
  const std::string system = domain.system_folder();
  const std::string pub = domain.netlogon() + "/zefa/public";
  EXPECT_NE(out.find("\nOK       " + system + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nMISSING  " + pub + "\n"), std::string::npos) << out;
  EXPECT_TRUE(out.rfind("OK       ", 0) == 0 || out.rfind("MISSING  ", 0) == 0) << out;
}

TEST(Zefatest, PasswordTestRunsInCommandLineOrder) {
  testing::TestDomain domain;
  const std::string reg = std::string(CLAVORA_BIN_DIR) + "/zefareg";
  Capture(reg + " add 'HKLM\\Software\\Policies\\Clavora\\1' /v Enabled /t REG_DWORD /d 1 /f");
  const std::string out = Capture(kZefatest + " /P nobody 'S3cret pw' /v");
  const size_t user = out.find("Username: nobody\n");
  const size_t password = out.find("Password: S3cret pw\n");
  const size_t skip = out.find("\tInfo nobody\tSkip: user not found]\nSkip: user not found\n");
  const size_t result = out.find("Result: Accepted\n\n");
  const size_t verify = out.find(domain.system_folder());
  ASSERT_NE(user, std::string::npos) << out;
  EXPECT_LT(user, password);
  EXPECT_LT(password, skip) << out;
  EXPECT_LT(skip, result) << out;
  EXPECT_LT(result, verify) << out;
  // Test mode writes nothing into the log file.
  EXPECT_FALSE(std::filesystem::exists(domain.log_file()));
  EXPECT_TRUE(std::filesystem::is_directory(domain.system_folder())) << "initialised in test mode";
}

// Runs zefatest on a new terminal, types `typed` once it asks for the
// password, and returns everything the terminal showed.
std::string RunOnTerminal(const std::vector<std::string>& arguments, const std::string& typed) {
  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (child < 0) return "forkpty failed";
  if (child == 0) {
    std::vector<char*> argv{const_cast<char*>(kZefatest.c_str())};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string shown;
  bool typed_yet = false;
  for (int round = 0; round < 3000; ++round) {
    pollfd entry{terminal, POLLIN, 0};
    if (poll(&entry, 1, 10) > 0) {
      char buffer[4096];
      const ssize_t n = read(terminal, buffer, sizeof buffer);
      if (n <= 0) break;  // the program ended
      shown.append(buffer, static_cast<size_t>(n));
    }
    if (!typed_yet && shown.find("Password for ") != std::string::npos) {
      // Typed once the echo is off: the prompt comes after the switch.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const ssize_t ignored = write(terminal, typed.data(), typed.size());
      (void)ignored;
      typed_yet = true;
    }
  }
  close(terminal);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return shown;
}

// "/p USER" alone or with "-": the password is typed on the terminal without
// echo, or comes from standard input, and never shows; the two-argument
// form stays as it was.
TEST(Zefatest, APasswordReadFromTheTerminalOrStandardInputNeverShows) {
  testing::TestDomain domain;
  const std::string reg = std::string(CLAVORA_BIN_DIR) + "/zefareg";
  Capture(reg + " add 'HKLM\\Software\\Policies\\Clavora\\1' /v Enabled /t REG_DWORD /d 1 /f");
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"/p", "nobody"}, std::vector<std::string>{"/P", "nobody", "-"}}) {
    const std::string shown = RunOnTerminal(arguments, "Typed S3cret\r");
    EXPECT_NE(shown.find("Password for nobody: "), std::string::npos) << shown;
    EXPECT_EQ(shown.find("Typed S3cret"), std::string::npos) << "the password showed: " << shown;
    EXPECT_NE(shown.find("Password: ********"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Result: Accepted"), std::string::npos) << shown;

    std::string command = "printf 'Piped S3cret\\r\\n' | '" + kZefatest + "'";
    for (const std::string& argument : arguments) command += " '" + argument + "'";
    const std::string out = Capture(command + " 2>&1");
    EXPECT_EQ(out.find("Piped S3cret"), std::string::npos) << out;
    EXPECT_EQ(out.find("Password for"), std::string::npos) << "no prompt without a terminal";
    EXPECT_NE(out.find("Username: nobody\nPassword: ********\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Result: Accepted\n"), std::string::npos) << out;
  }
  // Nothing to read: said so, nothing tested.
  const std::string out = Capture("'" + kZefatest + "' /p nobody </dev/null");
  EXPECT_NE(out.find("No password was read for nobody."), std::string::npos) << out;
  EXPECT_EQ(out.find("Result:"), std::string::npos) << out;
}

TEST(Zefatest, WithoutNetlogonShareEveryPasswordIsDenied) {
  testing::TestDomain domain(/*with_netlogon=*/false);
  const std::string out = Capture(kZefatest + " /p alice whatever");
  EXPECT_NE(out.find("Result: Denied\n\n"), std::string::npos) << out;
}

TEST(Zefatest, RealAccountThroughTheDirectory) {
  REQUIRE_TEST_DC();
  testing::TestDomain domain;
  testing::UseTestDcDirectory();
  const std::string reg = std::string(CLAVORA_BIN_DIR) + "/zefareg";
  const std::string key = " 'HKLM\\Software\\Policies\\Clavora\\2'";
  Capture(reg + " add" + key + " /v Enabled /t REG_DWORD /d 1 /f");
  Capture(reg + " add" + key + " /v UserOus /t REG_SZ /d Staff /f");
  Capture(reg + " add" + key + " /v MinLength /t REG_DWORD /d 12 /f");
  Capture(reg + " add" + key + " /v Number /t REG_DWORD /d 1 /f");
  Capture(reg + " add" + key + " /v ForbiddenChars /t REG_SZ /d '# ~' /f");
  const std::string out = Capture(kZefatest + " /p alice 'pass#word'");
  EXPECT_NE(out.find("Container: Staff/Engineering\nGroups:    "), std::string::npos) << out;
  EXPECT_NE(out.find("Engineers;"), std::string::npos) << out;
  EXPECT_NE(out.find("Applied Policy Settings:\n  Index: 2\n  Enabled: 1\n"), std::string::npos);
  EXPECT_NE(out.find("\tPassword Denied\tRequested password for user alice (alice@example.test; "
                     "Alice Able) was not accepted because it did not meet these requirements:\r\n"
                     "-Has at least 1 numbers\r\n"
                     "-Must not contain any of the forbidden characters # ~\r\n"
                     "-Must be at least 12 characters long]\nResult: Denied\n\n"),
            std::string::npos)
      << out;
  unsetenv("CLAVORA_LDAP_URI");
}

// A name the directory does not know, as a new account before it is
// created: the console shows the set of UnknownAccountSet that checked it.
TEST(Zefatest, UnknownAccountShowsTheSetThatChecksIt) {
  REQUIRE_TEST_DC();
  testing::TestDomain domain;
  testing::UseTestDcDirectory();
  const std::string reg = std::string(CLAVORA_BIN_DIR) + "/zefareg";
  const std::string key = " 'HKLM\\Software\\Policies\\Clavora";
  Capture(reg + " add" + key + "\\4' /v Enabled /t REG_DWORD /d 1 /f");
  Capture(reg + " add" + key + "\\4' /v MinLength /t REG_DWORD /d 12 /f");
  Capture(reg + " add" + key + "' /v UnknownAccountSet /t REG_DWORD /d 4 /f");
  const std::string account = "newcomer" + std::to_string(getpid());
  const std::string out = Capture(kZefatest + " /p " + account + " 'Ab1!'");
  EXPECT_NE(out.find("\tInfo " + account + "\tUnknown account: checked by policy set 4]\n"
                     "Unknown account: checked by policy set 4\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Applied Policy Settings:\n  Index: 4\n  Enabled: 1\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("-Must be at least 12 characters long]\nResult: Denied\n"), std::string::npos)
      << out;
  // A known account is still governed by its own sets only.
  const std::string alice = Capture(kZefatest + " /p alice 'Ab1!'");
  EXPECT_NE(alice.find("\tSkip: no password policy found]\n"), std::string::npos) << alice;
  EXPECT_NE(alice.find("Result: Accepted\n"), std::string::npos) << alice;
  unsetenv("CLAVORA_LDAP_URI");
}

TEST(Zefatest, AuditModeSetAcceptsAndSaysWhatItWouldDeny) {
  REQUIRE_TEST_DC();
  testing::TestDomain domain;
  testing::UseTestDcDirectory();
  const std::string reg = std::string(CLAVORA_BIN_DIR) + "/zefareg";
  const std::string key = " 'HKLM\\Software\\Policies\\Clavora\\3'";
  Capture(reg + " add" + key + " /v Enabled /t REG_DWORD /d 1 /f");
  Capture(reg + " add" + key + " /v UserOus /t REG_SZ /d Staff /f");
  Capture(reg + " add" + key + " /v MinLength /t REG_DWORD /d 20 /f");
  Capture(reg + " add" + key + " /v AuditOnly /t REG_DWORD /d 1 /f");
  const std::string out = Capture(kZefatest + " /p alice 'Short-but-fine1' /v");
  EXPECT_NE(out.find("  PasswordHistory: 0\n  AuditOnly: 1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\tPassword Audit\tRequested password for user alice (alice@example.test; "
                     "Alice Able) was not accepted because it did not meet these requirements:\r\n"
                     "-Must be at least 20 characters long]\n"
                     "Result: Accepted (audit: would be denied)\n\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\nWARNING  Policy set 3 is in audit mode (AuditOnly)"), std::string::npos)
      << out;
  EXPECT_NE(out.find("\nWARNING  UnknownAccountSet names no enabled policy set: new accounts, and "
                     "accounts renamed in the same request as their password reset, are not checked"),
            std::string::npos)
      << out;
  // Switched to enforce, with a set for unknown accounts: no warning, and
  // the password is denied.
  Capture(reg + " add" + key + " /v AuditOnly /t REG_DWORD /d 0 /f");
  Capture(reg + " add 'HKLM\\Software\\Policies\\Clavora' /v UnknownAccountSet /t REG_DWORD /d 3 /f");
  const std::string enforced = Capture(kZefatest + " /p alice 'Short-but-fine1' /v");
  EXPECT_NE(enforced.find("Result: Denied\n"), std::string::npos) << enforced;
  EXPECT_EQ(enforced.find("WARNING"), std::string::npos) << enforced;
  unsetenv("CLAVORA_LDAP_URI");
}

TEST(Zefatest, ReportReadsTheLogFolderAndNamedFiles) {
  testing::TestDomain domain;
  const std::string folder = domain.system_folder() + "/log";
  std::filesystem::create_directories(folder);
  const std::string denied =
      "2026-12-01 08:00:00\tInfo bob\tPolicy set 2 denied the password\r\n"
      "2026-12-01 08:00:00\tPassword Denied\tRequested password for user bob (; ) was not "
      "accepted because it did not meet these requirements: | -Must not contain spaces\r\n";
  const std::string audited =
      "2026-12-05 08:00:00\tInfo eve\tPolicy set 4 would deny the password (audit only)\r\n"
      "2026-12-05 08:00:00\tPassword Audit\tRequested password for user eve (; ) was not "
      "accepted because it did not meet these requirements: | -Must not contain any vowels\r\n";
  testing::WriteFileText(folder + "/DC1.log", denied);
  testing::WriteFileText(folder + "/DC1~.log", audited);
  testing::WriteFileText(folder + "/notes.txt", denied);  // not a log: not read
  std::string out = Capture(kZefatest + " /report");
  EXPECT_NE(out.find("Password report, all dates, 2 log files\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Set 2: 1 denied, 0 would be denied (audit only)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Set 4: 0 denied, 1 would be denied (audit only)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("         0         1  -Must not contain any vowels\n"), std::string::npos);

  // A date range and a named file; the report's parameters end at the next switch.
  out = Capture(kZefatest + " /REPORT 2026-12-02 2026-12-31 " + folder + "/DC1~.log /v");
  EXPECT_NE(out.find("Password report, 2026-12-02 to 2026-12-31, 1 log file\n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("Set 2"), std::string::npos) << out;
  EXPECT_NE(out.find("Set 4: 0 denied, 1 would be denied"), std::string::npos) << out;
  EXPECT_NE(out.find("OK       " + domain.system_folder() + "\n"), std::string::npos) << out;
  out = Capture(kZefatest + " /report " + folder + "/missing.log");
  EXPECT_NE(out.find("MISSING  " + folder + "/missing.log\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace zefa
