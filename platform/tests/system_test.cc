#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/system.h"
#include "platform/tests/test_folder.h"

namespace zefa::platform {
namespace {

using test_support::ScopedEnv;
using test_support::TempFolder;

std::string ShortHostNameUpper() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::string name(host);
  name = name.substr(0, name.find('.')).substr(0, 15);
  for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return name;
}

TEST(System, WindowsDirectoryComesFromTheEnvironment) {
  {
    ScopedEnv root("CLAVORA_ROOT", "/srv/clavora//");
    EXPECT_EQ(WindowsDirectory(), ZT("/srv/clavora"));
  }
  ScopedEnv root("CLAVORA_ROOT", nullptr);
  EXPECT_EQ(WindowsDirectory(), ZT("/var/lib/clavora"));
}

TEST(System, ComputerNameIsTheNetbiosNameOrTheShortHostName) {
  TempFolder dir;
  ScopedEnv conf("CLAVORA_SMB_CONF", dir.File("smb.conf").c_str());
  EXPECT_EQ(TextToUtf8(ComputerName()), ShortHostNameUpper());  // no file

  ASSERT_TRUE(AppendToFile(dir.Wide("smb.conf"),
                           "[global]\n\tworkgroup = CORP\n[data]\n\tnetbios name = wrong\n"));
  EXPECT_EQ(TextToUtf8(ComputerName()), ShortHostNameUpper());  // not in [global]

  ASSERT_TRUE(ReplaceFileAtomically(
      dir.Wide("smb.conf"), "; test\n[Global]\n  NetBIOS_Name=dc01-branch-office-7\n", false));
  EXPECT_EQ(ComputerName(), ZT("DC01-BRANCH-OFF"));  // upper case, 15 characters
}

TEST(System, EnvironmentVariablesAndExpansion) {
  ScopedEnv set("ZEFA_TEST_VALUE", "C:\\Tools");
  ScopedEnv unset("ZEFA_TEST_UNSET", nullptr);
  EXPECT_EQ(EnvironmentVariable(ZT("ZEFA_TEST_VALUE")), ZT("C:\\Tools"));
  EXPECT_EQ(EnvironmentVariable(ZT("ZEFA_TEST_UNSET")), ZT(""));
  EXPECT_EQ(EnvironmentVariable(ZT("")), ZT(""));

  EXPECT_EQ(ExpandEnvironmentStrings(ZT("%ZEFA_TEST_VALUE%\\bin")), ZT("C:\\Tools\\bin"));
  EXPECT_EQ(ExpandEnvironmentStrings(ZT("a%ZEFA_TEST_VALUE%%ZEFA_TEST_VALUE%")),
            ZT("aC:\\ToolsC:\\Tools"));
  EXPECT_EQ(ExpandEnvironmentStrings(ZT("%ZEFA_TEST_UNSET%\\x")), ZT("%ZEFA_TEST_UNSET%\\x"));
  EXPECT_EQ(ExpandEnvironmentStrings(ZT("100%")), ZT("100%"));
  EXPECT_EQ(ExpandEnvironmentStrings(ZT("%%")), ZT("%%"));
  // An unknown name gives up only its opening '%', so the scan resumes inside it.
  EXPECT_EQ(ExpandEnvironmentStrings(ZT("%ZEFA_TEST_UNSET%ZEFA_TEST_VALUE%")),
            ZT("%ZEFA_TEST_UNSETC:\\Tools"));
}

TEST(System, ConsoleAndDebugLinesAreUtf8WithOneLineEnd) {
  ::testing::internal::CaptureStdout();
  ConsoleWriteLine(ZT("Grüße [x]"));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Grüße [x]\n");
  ::testing::internal::CaptureStderr();
  DebugOutput(ZT("Info\tmessage"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Info\tmessage\n");
}

}  // namespace
}  // namespace zefa::platform
