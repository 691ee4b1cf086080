// The Samba AD domain controller that the test command starts for a whole
// run (scripts/samba-dc.sh), found through CLAVORA_TEST_DC_DIR. Tests that
// need it skip with a message when it is not there.
#pragma once

#include <stdlib.h>

#include <string>

#include "testing/test_domain.h"

namespace zefa::testing {

inline std::string TestDcFolder() {
  const char* dir = getenv("CLAVORA_TEST_DC_DIR");
  return dir == nullptr ? std::string() : std::string(dir);
}

inline std::string PercentEncode(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '/')
      out += "%2F";
    else
      out += c;
  }
  return out;
}

// The privileged socket of the test DC, as an ldapi:// URI.
inline std::string TestDcLdapiUri() {
  return "ldapi://" + PercentEncode(TestDcFolder() + "/private/ldap_priv/ldapi");
}

inline std::string TestDcIp() {
  std::string ip = ReadFileText(TestDcFolder() + "/dc.ip");
  while (!ip.empty() && (ip.back() == '\n' || ip.back() == '\r')) ip.pop_back();
  return ip;
}

// Points the library at the test DC's privileged socket and configuration.
inline void UseTestDc() {
  setenv("CLAVORA_LDAP_URI", TestDcLdapiUri().c_str(), 1);
  setenv("CLAVORA_SMB_CONF", (TestDcFolder() + "/etc/smb.conf").c_str(), 1);
  unsetenv("CLAVORA_LDAP_BIND_DN");
  unsetenv("CLAVORA_LDAP_PASSWORD_FILE");
}

// Only the directory comes from the test DC; shares and the NetBIOS names
// stay those of the caller's TestDomain.
inline void UseTestDcDirectory() {
  setenv("CLAVORA_LDAP_URI", TestDcLdapiUri().c_str(), 1);
  unsetenv("CLAVORA_LDAP_BIND_DN");
  unsetenv("CLAVORA_LDAP_PASSWORD_FILE");
}

}  // namespace zefa::testing

#define REQUIRE_TEST_DC()                                                           \
  do {                                                                              \
    if (::zefa::testing::TestDcFolder().empty())                                    \
      GTEST_SKIP() << "no test domain controller (CLAVORA_TEST_DC_DIR is not set; " \
                      "scripts/test.sh starts one)";                                \
  } while (0)
