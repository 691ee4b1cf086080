// The domain controller that scripts/windows-ci.sh starts for the Windows
// tests under Wine (a Samba AD DC on loopback). There is no domain identity
// under Wine, so the tests reach it as a named server with an explicit
// account:
//   CLAVORA_TEST_WIN_DC_URI            ldap://<address>
//   CLAVORA_TEST_WIN_DC_ACCOUNT        EXAMPLE\Administrator
//   CLAVORA_TEST_WIN_DC_PASSWORD_FILE  its password, as a Windows path
// Tests that need it skip with a message when these are not set.
#pragma once

#include "platform/windows/win_util.h"

#include "platform/system.h"

namespace zefa::testing {

inline Text WindowsTestDcSetting(const wchar_t* name) {
  return platform::EnvironmentVariable(name);
}

inline bool HaveWindowsTestDc() {
  return !WindowsTestDcSetting(L"CLAVORA_TEST_WIN_DC_URI").empty() &&
         !WindowsTestDcSetting(L"CLAVORA_TEST_WIN_DC_ACCOUNT").empty() &&
         !WindowsTestDcSetting(L"CLAVORA_TEST_WIN_DC_PASSWORD_FILE").empty();
}

// Points this process's directory connections at the test DC.
inline void UseWindowsTestDc() {
  SetEnvironmentVariableW(L"CLAVORA_LDAP_URI",
                          WindowsTestDcSetting(L"CLAVORA_TEST_WIN_DC_URI").c_str());
  SetEnvironmentVariableW(L"CLAVORA_LDAP_BIND_DN",
                          WindowsTestDcSetting(L"CLAVORA_TEST_WIN_DC_ACCOUNT").c_str());
  SetEnvironmentVariableW(L"CLAVORA_LDAP_PASSWORD_FILE",
                          WindowsTestDcSetting(L"CLAVORA_TEST_WIN_DC_PASSWORD_FILE").c_str());
}

}  // namespace zefa::testing

#define REQUIRE_WINDOWS_TEST_DC()                                                      \
  do {                                                                                 \
    if (!::zefa::testing::HaveWindowsTestDc())                                         \
      GTEST_SKIP() << "no test domain controller (CLAVORA_TEST_WIN_DC_* are not set; " \
                      "scripts/windows-ci.sh starts one)";                             \
  } while (0)
