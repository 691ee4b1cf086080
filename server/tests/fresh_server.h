// A domain controller as the installer leaves it: a test domain whose set-up
// folder holds the reminder, the mail program with its configuration and
// task definition, and the administrative templates.
#pragma once

#include <filesystem>
#include <string>

#include "testing/test_domain.h"

namespace zefa::testing {

inline void WriteFileMaking(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  WriteFileText(path, text);
}

inline std::filesystem::perms Permissions(const std::string& path) {
  return std::filesystem::status(path).permissions();
}

inline bool OwnerOnly(const std::string& path) {
  using std::filesystem::perms;
  return (Permissions(path) & (perms::group_all | perms::others_all)) == perms::none;
}

inline const char* const kMailTaskXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Task>\n<Triggers><TimeTrigger><Repetition>"
    "<Interval>PT15M</Interval></Repetition></TimeTrigger></Triggers>\n<Actions><Exec>"
    "<Command>/opt/clavora/rododorire</Command><Arguments>-c mail.cfg &amp; -q</Arguments>"
    "</Exec></Actions>\n</Task>\n";

class FreshServer : public TestDomain {
 public:
  FreshServer() {
    const std::string setup = this->setup();
    WriteFileMaking(setup + "/expwarn.exe", "reminder 2.1.1");
    WriteFileMaking(setup + "/rododorire.exe", "mailer");
    WriteFileMaking(setup + "/rododorire.cfg", "smtp=mail.example.test");
    WriteFileMaking(setup + "/rododorire.xml", kMailTaskXml);
    WriteFileMaking(setup + "/ADMX/clavora.admx", "<policyDefinitions/>");
    WriteFileMaking(setup + "/ADMX/en-US/clavora.adml", "<policyDefinitionResources/>");
  }

  std::string setup() const { return root() + "/zefa/setup"; }
  std::string public_folder() const { return netlogon() + "/zefa/public"; }
  std::string tasks() const { return root() + "/zefa/tasks"; }
  std::string central_store() const {
    return root() + "/sysvol/example.test/Policies/PolicyDefinitions";
  }
};

}  // namespace zefa::testing
