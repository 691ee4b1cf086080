#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/shares.h"
#include "platform/tests/test_folder.h"

namespace zefa::platform {
namespace {

using test_support::ScopedEnv;
using test_support::TempFolder;

std::string Describe(const std::vector<ShareInfo>& shares) {
  std::string out;
  for (const ShareInfo& share : shares) {
    out += TextToUtf8(share.name) + " " + std::to_string(share.type) + " " +
           TextToUtf8(share.path) + "\n";
  }
  return out;
}

TEST(Shares, DomainControllerProvisionLayout) {
  TempFolder dir;
  ScopedEnv conf("CLAVORA_SMB_CONF", dir.File("smb.conf").c_str());
  ASSERT_TRUE(AppendToFile(dir.Wide("smb.conf"),
                           "# Global parameters\n"
                           "[global]\n"
                           "\tnetbios name = DC1\n"
                           "\trealm = SAMDOM.EXAMPLE.COM\n"
                           "\tserver role = active directory domain controller\n"
                           "\tworkgroup = SAMDOM\n"
                           "\n"
                           "[sysvol]\n"
                           "\tpath = /var/lib/samba/sysvol\n"
                           "\tread only = No\n"
                           "\n"
                           "[netlogon]\n"
                           "\tpath = /var/lib/samba/sysvol/samdom.example.com/scripts\n"
                           "\tread only = No\n"));
  EXPECT_EQ(Describe(EnumerateShares()),
            "sysvol 0 /var/lib/samba/sysvol\n"
            "netlogon 0 /var/lib/samba/sysvol/samdom.example.com/scripts\n");
}

TEST(Shares, ShareKindsCommentsContinuationsAndIncludes) {
  TempFolder dir;
  ScopedEnv conf("CLAVORA_SMB_CONF", dir.File("smb.conf").c_str());
  ASSERT_TRUE(AppendToFile(dir.Wide("smb.conf"),
                           "workgroup = CORP\n"
                           "[homes]\n path = /home\n"
                           "[printers]\n path = /var/spool\n printable = yes\n"
                           "[Laser]\n print ok = Yes\n path = /var/spool/laser\n"
                           "[ADMIN$]\n path = /srv/admin\n"
                           "; [commented] = out\n"
                           "[Data]\n"
                           "  # path = /wrong \\\n"
                           "  PATH=/srv/da\\\n"
                           "ta\n"
                           "include = extra.conf\n"
                           "[NETLOGON]\n path = /srv/netlogon\n"
                           "[data]\n comment = merged into the first [Data]\n"));
  ASSERT_TRUE(AppendToFile(dir.Wide("extra.conf"),
                           "include = smb.conf\n"  // a loop is not followed
                           "[extra]\n path = /srv/extra\n include = extra.conf\n"));
  EXPECT_EQ(Describe(EnumerateShares()),
            "Laser 3 /var/spool/laser\n"
            "ADMIN$ 2147483648 /srv/admin\n"
            "Data 0 /srv/data\n"
            "extra 0 /srv/extra\n"
            "NETLOGON 0 /srv/netlogon\n");
}

TEST(Shares, MissingConfigurationGivesNoShares) {
  TempFolder dir;
  ScopedEnv conf("CLAVORA_SMB_CONF", dir.File("missing.conf").c_str());
  EXPECT_TRUE(EnumerateShares().empty());
}

}  // namespace
}  // namespace zefa::platform
