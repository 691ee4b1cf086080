// How the view classes an account (a person to check, a machine or trust
// account, a krbtgt account) follows only the facts the directory sends,
// never the look of the name: entries read the way the keeper reads them,
// generated with every combination of facts and misleading names.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "directory/directory_view.h"
#include "directory/view_keeper.h"
#include "platform/directory.h"

namespace zefa {
namespace {

constexpr int64_t kNormalAccount = 0x30000000;
constexpr int64_t kMachineAccount = 0x30000001;
constexpr int64_t kTrustAccount = 0x30000002;

std::string Sid(uint32_t rid) {
  std::string sid = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0};
  for (uint32_t part : {7u, 8u, 9u, rid}) sid.append(reinterpret_cast<const char*>(&part), 4);
  return sid;
}

platform::DirectoryAttribute Attribute(const char* name, std::string value) {
  return platform::DirectoryAttribute{AsciiToText(name), {std::move(value)}};
}

TEST(AccountKind, FollowsTheDirectoryFactsWhateverTheName) {
  const std::vector<std::string> names = {"alice",       "fake$",     "krbtgt",
                                          "krbtgt_1234", "krbtgtfan", "DC1$",
                                          "krbtgt_07",   "trust$",    "Krbtgt_99999"};
  std::mt19937 random(7);
  DirectoryView view;
  view.SetDomain("DC=example,DC=test");
  struct Expected {
    std::string name;
    AccountKind kind;
  };
  std::vector<Expected> expected;
  std::vector<ViewChange> batch;
  for (uint32_t n = 0; n < 600; ++n) {
    const std::string name = names[n % names.size()] + "-" + std::to_string(n);
    const int64_t type =
        std::vector<int64_t>{kNormalAccount, kMachineAccount, kTrustAccount}[random() % 3];
    const bool krbtgt_rid = random() % 4 == 0;
    const bool secondary = random() % 4 == 0;
    platform::DirectoryEntry entry;
    entry.dn = Utf8ToText("CN=" + name + ",CN=Users,DC=example,DC=test");
    std::string guid(16, '\0');
    std::memcpy(guid.data(), &n, 4);
    guid[15] = 0x33;
    entry.attributes = {Attribute("objectGUID", guid), Attribute("sAMAccountName", name),
                        Attribute("sAMAccountType", std::to_string(type)),
                        // The domain's krbtgt account has RID 502; a
                        // read-only DC's krbtgt_NNNNN account carries its
                        // number in msDS-SecondaryKrbTgtNumber.
                        Attribute("objectSid", Sid(krbtgt_rid ? 502 : 5000 + n))};
    entry.attributes.push_back(
        platform::DirectoryAttribute{AsciiToText("objectClass"), {"top", "person", "user"}});
    if (secondary) entry.attributes.push_back(Attribute("msDS-SecondaryKrbTgtNumber", "12345"));
    ViewChange change;
    ASSERT_TRUE(ReadViewChange(entry, change)) << name;
    batch.push_back(change);
    AccountKind kind = AccountKind::Person;
    if (type != kNormalAccount)
      kind = AccountKind::Machine;
    else if (krbtgt_rid || secondary)
      kind = AccountKind::Krbtgt;
    expected.push_back({name, kind});
  }
  view.Apply(batch);
  for (const Expected& account : expected) {
    UserRecord record;
    AccountKind kind = AccountKind::Person;
    ASSERT_TRUE(view.Lookup(Utf8ToText(account.name), ZT("EXAMPLE"), record, kind)) << account.name;
    EXPECT_EQ(static_cast<int>(kind), static_cast<int>(account.kind)) << account.name;
  }
}

}  // namespace
}  // namespace zefa
