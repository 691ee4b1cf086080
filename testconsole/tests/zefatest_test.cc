// The console program as an administrator runs it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>

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
      "Validate installation:\n  zefatest.exe /v\n\n";
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

}  // namespace
}  // namespace zefa
