// The console program as an administrator runs it.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "policy/value_catalogue.h"
#include "testing/test_dc.h"
#include "platform/registry.h"

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
const std::string kZefareg = std::string(CLAVORA_BIN_DIR) + "/zefareg";

struct CommandRun {
  std::string out;
  int exit_code = -1;
};

// Runs a command; its standard output (and standard error with "2>&1") and
// its exit code.
CommandRun RunCommand(const std::string& command) {
  CommandRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(Zefatest, UsageWithoutParameters) {
  const std::string expected =
      "Test username/password combo:\n  zefatest.exe /p <username> <password>\n"
      "Validate installation:\n  zefatest.exe /v\n"
      "Validate installation, exit code 1 on any MISSING, UNREADABLE or PROBLEM line:\n"
      "  zefatest.exe /check\n"
      "Report denied and audited passwords:\n"
      "  zefatest.exe /report [<from-date> [<to-date>]] [<log file or folder> ...]\n\n";
  EXPECT_EQ(Capture(kZefatest), expected);
  EXPECT_EQ(Capture(kZefatest + " /HELP"), expected);
  EXPECT_EQ(Capture(kZefatest + " --help"), expected);
  EXPECT_EQ(Capture(kZefatest + " -h"), expected);
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
  setenv("CLAVORA_LDAP_URI", "ldapi://%2Fnonexistent%2Fldapi", 1);
  const std::string out = Capture(kZefatest + " /P nobody 'S3cret pw' /v");
  unsetenv("CLAVORA_LDAP_URI");
  const size_t user = out.find("Username: nobody\n");
  const size_t password = out.find("Password: S3cret pw\n");
  // No directory here: the console says so instead of "user not found".
  const size_t skip = out.find(
      "\tInfo nobody\tSkip: cannot read the directory: the directory's socket /nonexistent/ldapi "
      "does not exist: is the domain controller running?; nothing is known about the account]\n"
      "Skip: cannot read the directory: ");
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
  EXPECT_NE(out.find("\tInfo " + account +
                     "\tUnknown account: checked by policy set 4]\n"
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
  EXPECT_NE(
      out.find("\nWARNING  UnknownAccountSet names no enabled policy set: new accounts, and "
               "accounts renamed in the same request as their password reset, are not checked"),
      std::string::npos)
      << out;
  // Switched to enforce, with a set for unknown accounts: no warning, and
  // the password is denied.
  Capture(reg + " add" + key + " /v AuditOnly /t REG_DWORD /d 0 /f");
  Capture(reg +
          " add 'HKLM\\Software\\Policies\\Clavora' /v UnknownAccountSet /t REG_DWORD /d 3 /f");
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
  EXPECT_NE(out.find("Set 2: 1 denied, 0 would be denied (audit only)\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Set 4: 0 denied, 1 would be denied (audit only)\n"), std::string::npos)
      << out;
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

// Every value of the catalogue, written once well and once wrongly: the
// check prints one PROBLEM line per mistake (wrong type, out of range, a
// misspelt name with the name meant, a value in the wrong key, a key that is
// not a set, a pattern that does not compile, files that are not there), /v
// still exits 0 and /check exits 1; the well-written configuration gives no
// PROBLEM line and /check exits 0.
TEST(Zefatest, CheckNamesEveryConfigurationMistake) {
  testing::TestDomain domain;
  std::filesystem::create_directories(domain.words_folder());
  std::filesystem::create_directories(domain.netlogon() + "/zefa/public");
  testing::WriteFileText(domain.words_folder() + "/words.txt", "widget\n");
  const std::string store = domain.words_folder() + "/pwned.store";
  testing::WriteFileText(domain.root() + "/passwords.txt", "password\n123456\n");
  ASSERT_EQ(RunCommand(std::string(CLAVORA_BIN_DIR) + "/zefastore create " + store + " --from " +
                       domain.root() + "/passwords.txt >/dev/null 2>&1")
                .exit_code,
            0);
  auto key_of = [](ValueScope scope, int set) { return scope == ValueScope::kRoot ? 0 : set; };
  auto good_text = [&](const PolicyValue& value) -> std::string {
    if (value.Content == ValueContent::kPattern) return "^[^ ]+$";
    if (value.Content == ValueContent::kWordFile) return "words.txt";
    if (value.Content == ValueContent::kStore) return "pwned.store";
    return "Staff";
  };
  for (const PolicyValue& value : PolicyValueCatalogue()) {
    const std::string name = TextToUtf8(value.Name);
    if (value.Kind == ValueKind::kNumber || value.Kind == ValueKind::kSwitch)
      domain.SetPolicy(key_of(value.Scope, 1), name, std::to_string(value.Maximum),
                       platform::kRegDword);
    else
      domain.SetPolicy(key_of(value.Scope, 1), name, good_text(value));
  }
  CommandRun clean = RunCommand(kZefatest + " /check");
  EXPECT_EQ(clean.out.find("PROBLEM"), std::string::npos) << clean.out;
  EXPECT_EQ(clean.exit_code, 0) << clean.out;

  // Set 2: every value of the wrong type; set 3: every number beyond its
  // range; set 4: every long name misspelt (two letters swapped).
  std::vector<std::string> expected;
  for (const PolicyValue& value : PolicyValueCatalogue()) {
    const std::string name = TextToUtf8(value.Name);
    const bool number = value.Kind == ValueKind::kNumber || value.Kind == ValueKind::kSwitch;
    const std::string key = value.Scope == ValueScope::kRoot
                                ? "HKLM\\Software\\Policies\\Clavora"
                                : "HKLM\\Software\\Policies\\Clavora\\";
    if (value.Scope == ValueScope::kSet) {
      domain.SetPolicy(2, name, number ? "yes" : "1",
                       number ? platform::kRegSz : platform::kRegDword);
      expected.push_back("PROBLEM  " + key + "2: " + name + " should be ");
      if (number) {
        domain.SetPolicy(3, name, std::to_string(value.Maximum + 1), platform::kRegDword);
        expected.push_back("PROBLEM  " + key + "3: " + name + " is " +
                           std::to_string(value.Maximum + 1) + ", outside 0 to " +
                           std::to_string(value.Maximum) + "\n");
      }
      if (name.size() >= 8) {
        std::string typo = name;
        std::swap(typo[typo.size() - 2], typo[typo.size() - 3]);
        domain.SetPolicy(4, typo, "1", platform::kRegDword);
        expected.push_back("PROBLEM  " + key + "4: unknown value " + typo + " (did you mean " +
                           name + "?)");
      }
    }
  }
  domain.SetPolicy(5, "RegEx", "([a-z");
  expected.push_back(
      "PROBLEM  HKLM\\Software\\Policies\\Clavora\\5: RegEx \"([a-z\" does not compile");
  domain.SetPolicy(5, "ForbiddenFile", "missing.txt");
  expected.push_back("PROBLEM  HKLM\\Software\\Policies\\Clavora\\5: ForbiddenFile names " +
                     domain.words_folder() + "/missing.txt, which does not exist");
  domain.SetPolicy(5, "PwnedStore", "/nowhere/pwned.store");
  expected.push_back(
      "PROBLEM  HKLM\\Software\\Policies\\Clavora\\5: PwnedStore names "
      "/nowhere/pwned.store, which cannot be used");
  domain.SetPolicy(5, "MinLenght", "12", platform::kRegDword);
  expected.push_back(
      "PROBLEM  HKLM\\Software\\Policies\\Clavora\\5: unknown value MinLenght "
      "(did you mean MinLength?)");
  domain.SetPolicy(0, "MinLength", "12", platform::kRegDword);
  expected.push_back("PROBLEM  HKLM\\Software\\Policies\\Clavora: MinLength belongs in a set key");
  domain.SetPolicy(5, "SkipUsers", "bob");
  expected.push_back(
      "PROBLEM  HKLM\\Software\\Policies\\Clavora\\5: SkipUsers belongs in the root key");
  domain.SetPolicy(0, "UnknownAccountSet", "9", platform::kRegDword);
  expected.push_back(
      "PROBLEM  HKLM\\Software\\Policies\\Clavora: UnknownAccountSet is 9, outside 0 to 8\n");
  domain.SetPolicy(9, "Enabled", "1", platform::kRegDword);
  expected.push_back("PROBLEM  HKLM\\Software\\Policies\\Clavora\\9: not a policy set");

  const CommandRun verify = RunCommand(kZefatest + " /v");
  const CommandRun check = RunCommand(kZefatest + " /check");
  EXPECT_EQ(verify.exit_code, 0);
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_EQ(verify.out, check.out);
  const size_t paths_end = verify.out.find("\nPROBLEM  ");
  ASSERT_NE(paths_end, std::string::npos) << verify.out;
  EXPECT_EQ(verify.out.find(domain.netlogon() + "/zefa/public", paths_end), std::string::npos)
      << "the problems follow the path lines";
  for (const std::string& line : expected)
    EXPECT_NE(verify.out.find(line), std::string::npos) << line << "\n" << verify.out;
  size_t problems = 0;
  for (size_t at = verify.out.find("PROBLEM  "); at != std::string::npos;
       at = verify.out.find("PROBLEM  ", at + 1))
    ++problems;
  EXPECT_EQ(problems, expected.size()) << verify.out;
}

// zefareg add warns on standard error about every name and type the filter
// would not read as meant below the policy key, and writes the value all the
// same; well-written values and keys outside the policy key get no warning.
TEST(Zefareg, AddWarnsAboutValuesTheFilterDoesNotKnow) {
  testing::TestDomain domain;
  const std::string set = " 'HKLM\\Software\\Policies\\Clavora\\1'";
  for (const PolicyValue& value : PolicyValueCatalogue()) {
    if (value.Scope != ValueScope::kSet) continue;
    const std::string name = TextToUtf8(value.Name);
    const bool number = value.Kind == ValueKind::kNumber || value.Kind == ValueKind::kSwitch;
    const std::string good = number ? " /t REG_DWORD /d 1" : " /t REG_SZ /d x";
    const std::string bad = number ? " /t REG_SZ /d yes" : " /t REG_DWORD /d 1";
    CommandRun run = RunCommand(kZefareg + " add" + set + " /v " + name + good + " /f 2>&1");
    EXPECT_EQ(run.out, "The operation completed successfully.\n") << name;
    run = RunCommand(kZefareg + " add" + set + " /v " + name + bad + " /f 2>&1");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_NE(run.out.find("WARNING: " + name + " should be "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("The operation completed successfully."), std::string::npos);
  }
  CommandRun run = RunCommand(kZefareg + " add" + set + " /v MinLenght /t REG_DWORD /d 12 /f 2>&1");
  EXPECT_NE(run.out.find("WARNING: The filter does not know the value MinLenght in "
                         "HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora\\1 (did you mean "
                         "MinLength?)"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(ReadRegistryValue(Text(kPolicyRootKey) + ZT("\\1"), ZT("MinLenght"), 0), ZT("12"));
  run = RunCommand(
      kZefareg +
      " add 'HKLM\\Software\\Policies\\Clavora\\9' /v Enabled /t REG_DWORD /d 1 /f 2>&1");
  EXPECT_NE(run.out.find("is not a policy set"), std::string::npos) << run.out;
  run = RunCommand(kZefareg + " add 'HKLM\\Software\\Other' /v MinLenght /t REG_SZ /d x /f 2>&1");
  EXPECT_EQ(run.out, "The operation completed successfully.\n");
}

// A folder this account may not read is reported as such, not as missing.
TEST(Zefatest, UnreadableFolderIsNotReportedMissing) {
  testing::TestDomain domain;
  std::filesystem::create_directories(domain.system_folder());
  std::filesystem::create_directories(domain.netlogon() + "/zefa/public");
  chmod(domain.system_folder().c_str(), 0700);
  // Another account: the test runs as root, which may read anything.
  const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  chmod(domain.root().c_str(), 0755);
  if (RunCommand(as_nobody + "true").exit_code != 0)
    GTEST_SKIP() << "setpriv cannot switch accounts";
  const CommandRun run = RunCommand(as_nobody + kZefatest + " /check");
  EXPECT_NE(run.out.find("UNREADABLE " + domain.system_folder() + " (this account may not read it"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("OK       " + domain.netlogon() + "/zefa/public\n"), std::string::npos)
      << run.out;
  EXPECT_EQ(run.exit_code, 1);
}

// Run by an account that may not use the directory's privileged socket, the
// console says so instead of "user not found".
TEST(Zefatest, ConsoleSaysWhenTheDirectoryMayNotBeRead) {
  testing::TestDomain domain;
  chmod(domain.root().c_str(), 0755);
  const std::string private_folder = domain.root() + "/ldap_priv";
  std::filesystem::create_directories(private_folder);
  testing::WriteFileText(private_folder + "/ldapi", "");
  chmod(private_folder.c_str(), 0700);
  // A directory over the network that cannot be reached: the LDAP client's
  // reason, not "user not found".
  {
    testing::WriteFileText(domain.root() + "/bind.pw", "secret\n");
    setenv("CLAVORA_LDAP_URI", "ldap://127.0.0.1:1", 1);
    setenv("CLAVORA_LDAP_BIND_DN", "CN=Administrator,CN=Users,DC=example,DC=test", 1);
    setenv("CLAVORA_LDAP_PASSWORD_FILE", (domain.root() + "/bind.pw").c_str(), 1);
    const CommandRun run = RunCommand(kZefatest + " /p alice 'Some pw 1'");
    unsetenv("CLAVORA_LDAP_BIND_DN");
    unsetenv("CLAVORA_LDAP_PASSWORD_FILE");
    EXPECT_NE(run.out.find("\nSkip: cannot read the directory: the directory at "
                           "ldap://127.0.0.1:1: Can't contact LDAP server; nothing is known"),
              std::string::npos)
        << run.out;
  }
  setenv("CLAVORA_LDAP_URI",
         ("ldapi://" + testing::PercentEncode(private_folder + "/ldapi")).c_str(), 1);
  const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  if (RunCommand(as_nobody + "true").exit_code != 0)
    GTEST_SKIP() << "setpriv cannot switch accounts";
  const CommandRun run = RunCommand(as_nobody + kZefatest + " /p alice 'Some pw 1'");
  unsetenv("CLAVORA_LDAP_URI");
  EXPECT_NE(
      run.out.find("\nSkip: cannot read the directory: permission denied on " + private_folder +
                   "/ldapi: run as root; nothing is known about the account\n"),
      std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("user not found"), std::string::npos) << run.out;
}

// /report refuses a date it cannot read and says which form it expects.
TEST(Zefatest, ReportRefusesADateItCannotRead) {
  testing::TestDomain domain;
  for (const char* bad : {"10.12.2026", "2026-13-01", "2026/12/01", "12-10-2026"}) {
    const CommandRun run = RunCommand(kZefatest + " /report " + bad);
    EXPECT_EQ(run.out, "Cannot read the date " + std::string(bad) +
                           ": write dates as YYYY-MM-DD, for example 2026-12-10\n");
    EXPECT_EQ(run.exit_code, 1);
  }
}

}  // namespace
}  // namespace zefa
