// A throw-away domain controller layout for tests above the platform layer:
// a temporary Windows folder (CLAVORA_ROOT) with its own registry store, a
// Samba configuration with a netlogon share, and the library's process-wide
// state reset before and after.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "directory/lookup_user.h"
#include "directory/policy_objects.h"
#include "server/library_state.h"
#include "logging/log.h"
#include "platform/text.h"
#include "policy/policies.h"
#include "policy/registry_values.h"
#include "server/maintenance_worker.h"
#include "util/server_paths.h"
#include "platform/registry.h"

namespace zefa::testing {

inline std::string NewTempFolder(const char* tag) {
  std::string pattern =
      (std::filesystem::temp_directory_path() / (std::string("clavora-") + tag + "-XXXXXX"))
          .string();
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

inline std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline Text T(const std::string& utf8) { return Utf8ToText(utf8); }

class TestDomain {
 public:
  explicit TestDomain(bool with_netlogon = true) : root_(NewTempFolder("root")) {
    netlogon_ = root_ + "/sysvol/example.test/scripts";
    std::filesystem::create_directories(netlogon_);
    smb_conf_ = root_ + "/smb.conf";
    std::string conf = "[global]\n\tworkgroup = EXAMPLE\n\tnetbios name = DC1\n\n";
    if (with_netlogon) conf += "[netlogon]\n\tpath = " + netlogon_ + "\n\tread only = No\n";
    WriteFileText(smb_conf_, conf);
    setenv("CLAVORA_ROOT", root_.c_str(), 1);
    setenv("CLAVORA_SMB_CONF", smb_conf_.c_str(), 1);
    ResetState();
  }
  ~TestDomain() {
    ResetState();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
    unsetenv("CLAVORA_ROOT");
    unsetenv("CLAVORA_SMB_CONF");
  }
  TestDomain(const TestDomain&) = delete;
  TestDomain& operator=(const TestDomain&) = delete;

  const std::string& root() const { return root_; }
  const std::string& netlogon() const { return netlogon_; }
  std::string system_folder() const { return netlogon_ + "/zefa/system"; }
  std::string log_file() const { return system_folder() + "/log/DC1.log"; }
  std::string words_folder() const { return system_folder() + "/words"; }

  // Writes a value of the policy root key (set 0) or of set 1..8.
  void SetPolicy(int set, const std::string& name, const std::string& data,
                 uint32_t type = platform::kRegSz) {
    Text key = kPolicyRootKey;
    if (set > 0) key += ZT("\\") + IntegerToText(set);
    if (set > 0) AddToMirrorScopeForTesting(set);
    WriteRegistryValue(key, T(name), T(data), type, 0);
  }

  // Makes the next LoadPolicies rebuild even when the root key's stamp has
  // not moved on (a change made inside a set's subkey only).
  static void ForgetPolicyStamp() { ForcePolicyReload(); }

  static void ResetState() {
    StopMaintenanceWorker();
    SetInitialised(false);
    ResetPolicies();
    ResetLogDefaults();
    ClearServerPaths();
    SetUserLookupForTesting(nullptr);
    // The test domain controller is shared with other test processes: the
    // mirror touches only the sets this test configures.
    RestrictMirrorForTesting(true);
  }

 private:
  std::string root_;
  std::string netlogon_;
  std::string smb_conf_;
};

}  // namespace zefa::testing
