// The filter end to end on Windows: the server initialises on a netlogon
// share, the policy set comes from the real registry, and TestPassword
// prints its verdict. The directory is replaced by the lookup seam (the
// Negotiate bind cannot run here under Wine).
#include "platform/tests/windows/windows_test_support.h"

#include <gtest/gtest.h>

#include "directory/lookup_user.h"
#include "filter/exports.h"
#include "server/library_state.h"
#include "logging/log.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "policy/policies.h"
#include "policy/registry_values.h"
#include "server/maintenance_worker.h"
#include "util/server_paths.h"
#include "server/server_initialisation.h"

namespace zefa {
namespace {

using platform::test_support::TempFolder;

const Text kShares = L"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares";

void ResetState() {
  StopMaintenanceWorker();
  SetInitialised(false);
  ResetPolicies();
  ResetLogDefaults();
  ClearServerPaths();
  SetUserLookupForTesting(nullptr);
}

// A domain controller of its own: the netlogon share (where the server
// service keeps its definition) on a fresh folder, policy set 1 in the
// registry, and one known user.
class FilterWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetState();
    saved_share_ = platform::RegistryRead(L"HKEY_LOCAL_MACHINE", kShares, L"NETLOGON", 0);
    const Text definition =
        L"Path=" + netlogon_.path() + Text(1, L'\0') + L"Type=0" + Text(2, L'\0');
    platform::RegistryValue share{L"NETLOGON", platform::kRegMultiSz,
                                  platform::test_support::Utf16Bytes(definition)};
    ASSERT_TRUE(platform::RegistryWrite(L"HKEY_LOCAL_MACHINE", kShares, share, 0));

    platform::RegistryDeleteKey(L"HKEY_LOCAL_MACHINE", L"Software\\Policies\\Clavora", 0);
    const Text set1 = Text(kPolicyRootKey) + L"\\1";
    WriteRegistryValue(set1, L"Enabled", L"1", platform::kRegDword, 0);
    WriteRegistryValue(set1, L"UserGroups", L"Engineers", platform::kRegSz, 0);
    WriteRegistryValue(set1, L"MinLength", L"10", platform::kRegDword, 0);
    WriteRegistryValue(set1, L"UpperCase", L"1", platform::kRegDword, 0);
    WriteRegistryValue(kPolicyRootKey, L"SkipUsers", L"svc", platform::kRegSz, 0);

    SetUserLookupForTesting([](const Text& name, UserRecord& user) {
      if (name != L"alice") return;
      user.AccountName = name;
      user.PrincipalName = L"alice@example.test";
      user.DisplayName = L"Alice Able";
      user.Container = L"Staff";
      user.GroupNames = L"Engineers;Domain Users;";
    });
  }

  void TearDown() override {
    ResetState();
    platform::RegistryDeleteKey(L"HKEY_LOCAL_MACHINE", L"Software\\Policies\\Clavora", 0);
    if (saved_share_) {
      platform::RegistryWrite(L"HKEY_LOCAL_MACHINE", kShares, *saved_share_, 0);
    } else {
      platform::RegistryDeleteValue(L"HKEY_LOCAL_MACHINE", kShares, L"NETLOGON", 0);
    }
  }

  // What TestPassword prints, standard output redirected to a file.
  std::string TestOutput(const Text& user, const Text& password) {
    const Text path = scratch_.File(L"out-" + IntegerToText(++runs_) + L".txt");
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "no output file";
    HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, file);
    TestPassword(user.c_str(), password.c_str());
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    CloseHandle(file);
    return platform::ReadWholeFile(path).value_or("unreadable");
  }

  TempFolder netlogon_;
  TempFolder scratch_;
  std::optional<platform::RegistryValue> saved_share_;
  int runs_ = 0;
};

TEST_F(FilterWindows, TestPasswordAppliesTheRegistryPolicyAndPrintsTheVerdict) {
  const std::string denied = TestOutput(L"alice", L"short");
  EXPECT_NE(denied.find("Username: alice\r\n"), std::string::npos) << denied;
  EXPECT_NE(denied.find("-Must be at least 10 characters long"), std::string::npos) << denied;
  EXPECT_NE(denied.find("Result: Denied\r\n"), std::string::npos) << denied;

  const std::string accepted = TestOutput(L"alice", L"Long enough");
  EXPECT_NE(accepted.find("Result: Accepted\r\n"), std::string::npos) << accepted;

  const std::string unknown = TestOutput(L"nobody", L"x");
  EXPECT_NE(unknown.find("Skip: user not found"), std::string::npos) << unknown;
  EXPECT_NE(unknown.find("Result: Accepted"), std::string::npos) << unknown;

  // The initialisation laid out the share's folders.
  for (const wchar_t* folder : {L"\\zefa\\system\\log", L"\\zefa\\system\\idh",
                                L"\\zefa\\system\\idp", L"\\zefa\\public"}) {
    EXPECT_TRUE(platform::DirectoryExists(netlogon_.path() + folder)) << TextToUtf8(folder);
  }
}

TEST_F(FilterWindows, LsaEntryPointsRejectUntilInitialisedThenFilter) {
  Text account = L"alice", password = L"short", full_name;
  auto counted = [](Text& text) {
    return ZEFA_UNICODE_STRING{static_cast<uint16_t>(text.size() * sizeof(WChar)),
                               static_cast<uint16_t>(text.size() * sizeof(WChar)), text.data()};
  };
  ZEFA_UNICODE_STRING a = counted(account), p = counted(password), f = counted(full_name);
  EXPECT_EQ(PasswordFilter(&a, &f, &p, 0), 0);  // not initialised yet: fails closed

  ASSERT_EQ(ServerInitialisation(), 1);
  EXPECT_EQ(PasswordFilter(&a, &f, &p, 0), 0);
  Text good = L"Long enough";
  ZEFA_UNICODE_STRING g = counted(good);
  EXPECT_EQ(PasswordFilter(&a, &f, &g, 0), 1);
  EXPECT_EQ(PasswordChangeNotify(&a, 1105, &g), 0);

  const std::string log = platform::ReadWholeFile(LogFilePath()).value_or("");
  EXPECT_NE(log.find("\tPassword Denied\t"), std::string::npos) << log;
  EXPECT_EQ(log.find("short"), std::string::npos) << "no password in the log";
  EXPECT_EQ(log.find("Long enough"), std::string::npos) << "no password in the log";
}

}  // namespace
}  // namespace zefa
