// The directory view against the domain controller itself: for a generated
// domain (hundreds of accounts, groups nested five deep with a cycle,
// distribution groups, a changed primary group, built-in groups) every
// account's container and groups in the view equal what its DN and
// tokenGroups give on the DC; and after random changes (moves, renames,
// membership edits, deletes, re-creations under the same name) they agree
// again within two seconds, with the keeper's thread polling.
#include <gtest/gtest.h>

#include <ldap.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "directory/attribute_decoding.h"
#include "directory/lookup_user.h"
#include "directory/view_keeper.h"
#include "filter/password_filter.h"
#include "testing/test_dc.h"
#include "platform/directory.h"

namespace zefa {
namespace {

using Clock = std::chrono::steady_clock;
using testing::T;

constexpr char kBase[] = "DC=example,DC=test";

// A plain libldap connection to the DC's privileged socket (no bind: the
// system), for arranging the domain and reading what the DC says.
class Dc {
 public:
  Dc() {
    ldap_initialize(&ld_, testing::TestDcLdapiUri().c_str());
    const int version = LDAP_VERSION3;
    ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld_, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  }
  ~Dc() { ldap_unbind_ext_s(ld_, nullptr, nullptr); }

  int Add(const std::string& dn,
          const std::vector<std::pair<std::string, std::vector<std::string>>>& attributes) {
    std::vector<LDAPMod> mods(attributes.size());
    std::vector<std::vector<char*>> values(attributes.size());
    std::vector<LDAPMod*> pointers;
    for (size_t i = 0; i < attributes.size(); ++i) {
      for (const std::string& value : attributes[i].second)
        values[i].push_back(const_cast<char*>(value.c_str()));
      values[i].push_back(nullptr);
      mods[i].mod_op = LDAP_MOD_ADD;
      mods[i].mod_type = const_cast<char*>(attributes[i].first.c_str());
      mods[i].mod_values = values[i].data();
      pointers.push_back(&mods[i]);
    }
    pointers.push_back(nullptr);
    return ldap_add_ext_s(ld_, dn.c_str(), pointers.data(), nullptr, nullptr);
  }

  int Modify(const std::string& dn, int op, const std::string& attribute,
             const std::string& value) {
    char* values[] = {const_cast<char*>(value.c_str()), nullptr};
    LDAPMod mod{};
    mod.mod_op = op;
    mod.mod_type = const_cast<char*>(attribute.c_str());
    mod.mod_values = values;
    LDAPMod* mods[] = {&mod, nullptr};
    return ldap_modify_ext_s(ld_, dn.c_str(), mods, nullptr, nullptr);
  }

  int Rename(const std::string& dn, const std::string& rdn, const std::string& parent) {
    return ldap_rename_s(ld_, dn.c_str(), rdn.c_str(), parent.c_str(), 1, nullptr, nullptr);
  }

  int Delete(const std::string& dn) { return ldap_delete_ext_s(ld_, dn.c_str(), nullptr, nullptr); }

  // Every value of the named attributes of the entries found.
  std::map<std::string, std::map<std::string, std::vector<std::string>>> Search(
      const std::string& base, int scope, const std::string& filter,
      std::vector<std::string> names) {
    std::vector<char*> list;
    for (std::string& name : names) list.push_back(name.data());
    list.push_back(nullptr);
    std::map<std::string, std::map<std::string, std::vector<std::string>>> found;
    LDAPMessage* result = nullptr;
    if (ldap_search_ext_s(ld_, base.c_str(), scope, filter.c_str(), list.data(), 0, nullptr,
                          nullptr, nullptr, 0, &result) == LDAP_SUCCESS) {
      for (LDAPMessage* entry = ldap_first_entry(ld_, result); entry != nullptr;
           entry = ldap_next_entry(ld_, entry)) {
        char* dn = ldap_get_dn(ld_, entry);
        auto& attributes = found[dn];
        ldap_memfree(dn);
        for (const std::string& name : names) {
          berval** values = ldap_get_values_len(ld_, entry, name.c_str());
          if (values == nullptr) continue;
          for (berval** v = values; *v != nullptr; ++v)
            attributes[name].emplace_back((*v)->bv_val, (*v)->bv_len);
          ldap_value_free_len(values);
        }
      }
    }
    ldap_msgfree(result);
    return found;
  }

 private:
  LDAP* ld_ = nullptr;
};

std::string Escape(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' || c == ';' ||
        c == '=')
      out += '\\';
    out += c;
  }
  return out;
}

// What the DC says of each account: the container its canonical name
// gives and the names of its tokenGroups.
struct Truth {
  std::string dn;
  std::string principal;  // userPrincipalName, empty when none
  std::string container;
  std::set<std::string> groups;
};

std::map<std::string, Truth> ReadTruth(Dc& dc, const std::string& ou,
                                       const std::set<std::string>& accounts) {
  std::map<std::string, std::string> sid_names;
  for (const auto& [dn, attributes] : dc.Search(kBase, LDAP_SCOPE_SUBTREE, "(objectClass=group)",
                                                {"objectSid", "sAMAccountName"})) {
    if (attributes.count("objectSid") && attributes.count("sAMAccountName"))
      sid_names[attributes.at("objectSid")[0]] = attributes.at("sAMAccountName")[0];
  }
  std::map<std::string, Truth> truth;
  for (const auto& [dn, attributes] :
       dc.Search(ou, LDAP_SCOPE_SUBTREE, "(sAMAccountType=805306368)",
                 {"sAMAccountName", "canonicalName", "userPrincipalName"})) {
    const std::string name = attributes.at("sAMAccountName")[0];
    if (!accounts.count(name)) continue;
    Truth& t = truth[name];
    t.dn = dn;
    if (attributes.count("userPrincipalName")) t.principal = attributes.at("userPrincipalName")[0];
    std::string canonical = attributes.at("canonicalName")[0];
    canonical = canonical.substr(canonical.find('/') + 1);
    size_t last = std::string::npos;
    for (size_t i = 0; i < canonical.size(); ++i) {
      if (canonical[i] == '\\')
        ++i;
      else if (canonical[i] == '/')
        last = i;
    }
    t.container = last == std::string::npos ? std::string() : canonical.substr(0, last);
    for (const auto& [ignored, token] :
         dc.Search(dn, LDAP_SCOPE_BASE, "(objectClass=*)", {"tokenGroups"})) {
      if (!token.count("tokenGroups")) continue;
      for (const std::string& sid : token.at("tokenGroups")) {
        const auto found = sid_names.find(sid);
        t.groups.insert(found == sid_names.end() ? "unnamed " + TextToUtf8(SidText(sid))
                                                 : found->second);
      }
    }
  }
  return truth;
}

std::set<std::string> Split(const Text& list) {
  std::set<std::string> items;
  std::string item;
  for (char c : TextToUtf8(list)) {
    if (c == ';') {
      items.insert(item);
      item.clear();
    } else {
      item += c;
    }
  }
  return items;
}

// The accounts whose view record differs from the DC's answer.
std::vector<std::string> Disagreements(const std::map<std::string, Truth>& truth,
                                       const std::set<std::string>& accounts) {
  std::vector<std::string> wrong;
  for (const std::string& account : accounts) {
    UserRecord record;
    LookupUser(T(account), record);
    const auto expected = truth.find(account);
    if (expected == truth.end()) {
      if (!record.AccountName.empty()) wrong.push_back(account + ": in the view, not on the DC");
      continue;
    }
    if (record.AccountName.empty()) {
      wrong.push_back(account + ": not in the view");
      continue;
    }
    if (FoldName(TextToUtf8(record.DistinguishedName)) != FoldName(expected->second.dn))
      wrong.push_back(account + ": DN " + TextToUtf8(record.DistinguishedName) +
                      " != " + expected->second.dn);
    if (TextToUtf8(record.PrincipalName) != expected->second.principal)
      wrong.push_back(account + ": principal " + TextToUtf8(record.PrincipalName) +
                      " != " + expected->second.principal);
    if (TextToUtf8(record.Container) != expected->second.container)
      wrong.push_back(account + ": container " + TextToUtf8(record.Container) +
                      " != " + expected->second.container);
    const std::set<std::string> groups = Split(record.GroupNames);
    if (groups != expected->second.groups) {
      std::string text = account + ": groups";
      for (const std::string& g : groups) text += " " + g;
      text += " !=";
      for (const std::string& g : expected->second.groups) text += " " + g;
      wrong.push_back(text);
    }
  }
  return wrong;
}

TEST(DirectoryViewAgreement, GeneratedDomainAgreesWithTokenGroupsBeforeAndAfterChanges) {
  REQUIRE_TEST_DC();
  testing::UseTestDc();
  Dc dc;
  std::mt19937 random(20261210);
  const std::string tag = std::to_string(getpid());
  const std::string root = "OU=Agree" + tag + "," + kBase;
  ASSERT_EQ(dc.Add(root, {{"objectClass", {"organizationalUnit"}}}), 0);
  // OUs three deep, with characters the tests already use in names.
  std::vector<std::string> ous = {root};
  for (const std::string name : {"Sales", "helpdesk (tier1)", "Smith, John", "EMEA"}) {
    const std::string parent = ous[random() % ous.size()];
    const std::string dn = "OU=" + Escape(name) + "," + parent;
    ASSERT_EQ(dc.Add(dn, {{"objectClass", {"organizationalUnit"}}}), 0) << dn;
    ous.push_back(dn);
  }
  // Accounts first, then the groups with their members: a chain five deep
  // (g1 in g2 ... g5 in g1: a cycle), two distribution groups (one holding
  // a security group, one inside a security group), loose security groups.
  std::set<std::string> accounts;
  std::map<std::string, std::string> account_dns;
  std::vector<std::vector<std::string>> members(9);
  for (int i = 0; i < 300; ++i) {
    const std::string name = "au" + tag + "-" + std::to_string(i) + (i % 50 == 7 ? "@corp" : "");
    const std::string dn =
        "CN=" + Escape(i % 60 == 3 ? "Smith, " + name : name) + "," + ous[random() % ous.size()];
    // Principal names in the implicit form, in other letter case, in
    // another suffix, or none.
    std::vector<std::pair<std::string, std::vector<std::string>>> attributes = {
        {"objectClass", {"user"}}, {"sAMAccountName", {name}}};
    const char* suffixes[] = {nullptr, "@example.test", "@EXAMPLE.TEST", "@upn.example"};
    if (const char* suffix = suffixes[i % 4]; suffix != nullptr && name.find('@') == name.npos)
      attributes.push_back({"userPrincipalName", {name + suffix}});
    ASSERT_EQ(dc.Add(dn, attributes), 0) << dn;
    accounts.insert(name);
    account_dns[name] = dn;
    if (random() % 3 != 0) members[random() % members.size()].push_back(dn);
  }
  std::vector<std::string> groups;
  for (int i = 1; i <= 9; ++i) {
    const std::string name = "ag" + tag + "-" + std::to_string(i) + (i == 8 ? " (x)" : "");
    groups.push_back("CN=" + Escape(name) + "," + ous[i % ous.size()]);
  }
  for (int i = 0; i < 5; ++i) members[(i + 1) % 5].push_back(groups[i]);
  members[5].push_back(groups[7]);  // security in distribution
  members[7].push_back(groups[6]);  // distribution in security
  // The cycle's first group is added without its member from the chain's
  // end, which does not exist yet.
  for (int i = 0; i < 9; ++i) {
    const bool distribution = i == 5 || i == 6;
    std::vector<std::string> initial;
    for (const std::string& member : members[i])
      if (std::find(groups.begin() + i, groups.end(), member) == groups.end())
        initial.push_back(member);
    std::vector<std::pair<std::string, std::vector<std::string>>> attributes = {
        {"objectClass", {"group"}},
        {"sAMAccountName", {groups[i].substr(3, groups[i].find(',') - 3)}},
        {"groupType", {distribution ? "8" : "-2147483646"}}};
    if (!initial.empty()) attributes.push_back({"member", initial});
    ASSERT_EQ(dc.Add(groups[i], attributes), 0) << groups[i];
  }
  for (int i = 0; i < 9; ++i) {
    for (const std::string& member : members[i]) {
      if (std::find(groups.begin() + i, groups.end(), member) != groups.end()) {
        ASSERT_EQ(dc.Modify(groups[i], LDAP_MOD_ADD, "member", member), 0);
      }
    }
  }
  // A changed primary group and a built-in group.
  const std::string primary_user = *std::next(accounts.begin(), 11);
  ASSERT_EQ(dc.Modify(groups[8], LDAP_MOD_ADD, "member", account_dns[primary_user]), 0);
  const auto rid_of = [&](const std::string& dn) {
    const std::string sid =
        dc.Search(dn, LDAP_SCOPE_BASE, "(objectClass=*)", {"objectSid"})[dn]["objectSid"][0];
    uint32_t rid = 0;
    memcpy(&rid, sid.data() + sid.size() - 4, 4);
    return rid;
  };
  ASSERT_EQ(dc.Modify(account_dns[primary_user], LDAP_MOD_REPLACE, "primaryGroupID",
                      std::to_string(rid_of(groups[8]))),
            0);
  const std::string builtin = std::string("CN=Backup Operators,CN=Builtin,") + kBase;
  ASSERT_EQ(dc.Modify(builtin, LDAP_MOD_ADD, "member", groups[2]), 0);

  ResetDirectoryView();
  ASSERT_TRUE(RefreshDirectoryView());
  std::vector<std::string> wrong = Disagreements(ReadTruth(dc, root, accounts), accounts);
  EXPECT_TRUE(wrong.empty()) << wrong.size() << " accounts differ, first: " << wrong.front();

  // Random changes, with the keeper polling.
  StartViewKeeper();
  std::vector<std::string> names(accounts.begin(), accounts.end());
  int renamed = 0;
  for (int step = 0; step < 60; ++step) {
    const std::string name = names[random() % names.size()];
    if (!account_dns.count(name)) continue;
    const std::string dn = account_dns[name];
    const std::string rdn = dn.substr(0, dn.find(',', dn.find('=')));
    switch (step % 7) {
      case 0: {  // move
        const std::string parent = ous[random() % ous.size()];
        if (dc.Rename(dn, rdn, parent) == 0) account_dns[name] = rdn + "," + parent;
        break;
      }
      case 1: {  // rename the account
        const std::string renamed_name = "rn" + tag + "-" + std::to_string(++renamed);
        const std::string parent = dn.substr(rdn.size() + 1);
        ASSERT_EQ(dc.Modify(dn, LDAP_MOD_REPLACE, "sAMAccountName", renamed_name), 0);
        ASSERT_EQ(dc.Rename(dn, "CN=" + renamed_name, parent), 0);
        account_dns.erase(name);
        account_dns[renamed_name] = "CN=" + renamed_name + "," + parent;
        accounts.insert(renamed_name);
        names.push_back(renamed_name);
        break;
      }
      case 2:  // membership edits
        dc.Modify(groups[random() % groups.size()], LDAP_MOD_ADD, "member", dn);
        dc.Modify(groups[random() % groups.size()], LDAP_MOD_DELETE, "member", dn);
        break;
      case 3: {  // rename a group
        const size_t g = random() % groups.size();
        const std::string group_rdn = groups[g].substr(0, groups[g].find(',', groups[g].find('=')));
        const std::string parent = groups[g].substr(group_rdn.size() + 1);
        const std::string new_name = "ag" + tag + "-renamed" + std::to_string(step);
        ASSERT_EQ(dc.Modify(groups[g], LDAP_MOD_REPLACE, "sAMAccountName", new_name), 0);
        ASSERT_EQ(dc.Rename(groups[g], "CN=" + new_name, parent), 0);
        groups[g] = "CN=" + new_name + "," + parent;
        break;
      }
      case 4: {  // delete, then re-create under the same name elsewhere
        ASSERT_EQ(dc.Delete(dn), 0);
        const std::string again = "CN=" + Escape(name) + "-again," + ous[random() % ous.size()];
        ASSERT_EQ(dc.Add(again, {{"objectClass", {"user"}}, {"sAMAccountName", {name}}}), 0)
            << again;
        account_dns[name] = again;
        break;
      }
      case 5:  // delete
        ASSERT_EQ(dc.Delete(dn), 0);
        account_dns.erase(name);
        break;
      case 6: {  // rename an OU: everything below follows
        const size_t o = 1 + random() % (ous.size() - 1);
        const std::string ou_rdn = ous[o].substr(0, ous[o].find(',', ous[o].find('=')));
        const std::string parent = ous[o].substr(ou_rdn.size() + 1);
        const std::string new_rdn = ou_rdn + "2";
        if (dc.Rename(ous[o], new_rdn, parent) != 0) break;
        const std::string old_dn = ous[o], new_dn = new_rdn + "," + parent;
        auto follow = [&](std::string& d) {
          if (d.size() >= old_dn.size() &&
              d.compare(d.size() - old_dn.size(), old_dn.size(), old_dn) == 0)
            d = d.substr(0, d.size() - old_dn.size()) + new_dn;
        };
        for (std::string& d : ous) follow(d);
        for (std::string& d : groups) follow(d);
        for (auto& [n, d] : account_dns) follow(d);
        break;
      }
    }
  }
  const auto changed = Clock::now();
  const std::map<std::string, Truth> truth = ReadTruth(dc, root, accounts);
  std::this_thread::sleep_until(changed + std::chrono::seconds(2));
  wrong = Disagreements(truth, accounts);
  StopViewKeeper();
  EXPECT_TRUE(wrong.empty()) << wrong.size()
                             << " accounts differ 2 s after the changes, first: " << wrong.front();
}

// A large group's members as Windows domain controllers send them: a first
// range, and the rest read range by range.
TEST(DirectoryViewAgreement, MembersSentInRangesAreReadToTheEnd) {
  REQUIRE_TEST_DC();
  testing::UseTestDc();
  Dc dc;
  const std::string tag = std::to_string(getpid() % 100000);
  const std::string group = "CN=ranged" + tag + ",CN=Users," + kBase;
  std::vector<std::string> members;
  for (int i = 0; i < 7; ++i) {
    members.push_back("CN=ranged" + tag + "-" + std::to_string(i) + ",CN=Users," + kBase);
    ASSERT_EQ(dc.Add(members.back(), {{"objectClass", {"user"}},
                                      {"sAMAccountName", {"rg" + tag + "-" + std::to_string(i)}}}),
              0);
  }
  ASSERT_EQ(dc.Add(group, {{"objectClass", {"group"}},
                           {"sAMAccountName", {"ranged" + tag}},
                           {"member", members}}),
            0);
  // The first range as the server orders the values.
  const std::vector<std::string> ordered =
      dc.Search(group, LDAP_SCOPE_BASE, "(objectClass=*)", {"member"})[group]["member"];
  ASSERT_EQ(ordered.size(), members.size());
  platform::DirectoryEntry entry;
  entry.dn = T(group);
  const std::string guid =
      dc.Search(group, LDAP_SCOPE_BASE, "(objectClass=*)", {"objectGUID"})[group]["objectGUID"][0];
  entry.attributes = {{ZT("objectGUID"), {guid}},
                      {ZT("objectClass"), {"top", "group"}},
                      {ZT("sAMAccountType"), {"268435456"}},
                      {ZT("member;range=0-1"), {ordered[0], ordered[1]}}};
  ViewChange change;
  ASSERT_TRUE(ReadViewChange(entry, change));
  EXPECT_EQ(change.MoreMembersFrom, 2u);
  platform::DirectoryHandle* handle = platform::DirectoryOpen();
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(CompleteMembers(handle, change));
  platform::DirectoryClose(handle);
  EXPECT_EQ(change.MoreMembersFrom, 0u);
  EXPECT_EQ(std::set<std::string>(change.Members.begin(), change.Members.end()),
            std::set<std::string>(members.begin(), members.end()));
}

// Skips by directory facts: a machine account and the domain's krbtgt are
// skipped as computers; person accounts whose names merely look like one
// ("fake$", "krbtgt_1234", "krbtgtfan") are checked; an unknown name is
// skipped only when it ends in "$" (a computer being joined).
TEST(DirectoryViewAgreement, ComputerSkipsFollowTheDirectory) {
  REQUIRE_TEST_DC();
  testing::UseTestDc();
  Dc dc;
  const std::string tag = std::to_string(getpid() % 100000);
  const std::vector<std::string> people = {"fake" + tag + "$", "krbtgt_" + tag, "krbtgtfan" + tag,
                                           "KRBTGT" + tag + "x"};
  for (const std::string& name : people)
    ASSERT_EQ(dc.Add("CN=" + name + ",CN=Users," + kBase,
                     {{"objectClass", {"user"}}, {"sAMAccountName", {name}}}),
              0);
  const std::string machine = "ws" + tag + "$";
  ASSERT_EQ(dc.Add("CN=ws" + tag + ",CN=Computers," + kBase, {{"objectClass", {"computer"}},
                                                              {"sAMAccountName", {machine}},
                                                              {"userAccountControl", {"4096"}}}),
            0);
  ASSERT_TRUE(RefreshDirectoryView());
  struct Case {
    std::string name;
    bool skipped;
  };
  std::vector<Case> cases = {{machine, true},
                             {"DC1$", true},
                             {"krbtgt", true},
                             {"KRBTGT", true},
                             {"joining" + tag + "$", true},
                             {"nobody" + tag, false},
                             {"", true}};
  for (const std::string& name : people) cases.push_back({name, false});
  for (const Case& c : cases) {
    UserRecord record;
    LookupUser(T(c.name), record);
    EXPECT_EQ(IsComputerAccount(T(c.name), record), c.skipped) << c.name;
  }
}

// The password stamps the Samba host confirms changes by come from the same
// change stream: after random pwdLastSet changes (set to now, or to 0 for
// "must change") and one refresh, every account's stamp in the view equals
// the DC's pwdLastSet with the RID of its objectSid, an unknown name is not
// found, and the time the answers are current to is that refresh's start.
TEST(DirectoryViewAgreement, PasswordStampsFollowTheChangeStream) {
  REQUIRE_TEST_DC();
  testing::UseTestDc();
  Dc dc;
  const std::string tag = std::to_string(getpid() % 100000);
  std::vector<std::string> names;
  for (int i = 0; i < 6; ++i) {
    names.push_back("stamp" + tag + "x" + std::to_string(i));
    ASSERT_EQ(dc.Add("CN=" + names.back() + ",CN=Users," + kBase,
                     {{"objectClass", {"user"}}, {"sAMAccountName", {names.back()}}}),
              0);
  }
  std::mt19937 random(static_cast<unsigned>(getpid()));
  auto directory_time = [] {
    return 116444736000000000LL + std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                          .count() *
                                      10;
  };
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    for (const std::string& name : names) {
      const unsigned pick = random() % 3;
      if (pick == 2) continue;
      ASSERT_EQ(dc.Modify("CN=" + name + ",CN=Users," + kBase, LDAP_MOD_REPLACE, "pwdLastSet",
                          pick == 0 ? "-1" : "0"),
                0);
    }
    const int64_t before = directory_time();
    ASSERT_TRUE(RefreshDirectoryView());
    const int64_t after = directory_time();
    std::vector<PasswordStampQuery> queries;
    for (const std::string& name : names) queries.push_back({T(name)});
    queries.push_back({T("nobody" + tag)});
    const int64_t current_to = ReadPasswordStamps(queries);
    EXPECT_GE(current_to, before);
    EXPECT_LE(current_to, after);
    EXPECT_FALSE(queries.back().Found);
    for (size_t i = 0; i < names.size(); ++i) {
      const auto found = dc.Search("CN=" + names[i] + ",CN=Users," + kBase, LDAP_SCOPE_BASE,
                                   "(objectClass=*)", {"pwdLastSet", "objectSid"});
      ASSERT_EQ(found.size(), 1u);
      const auto& attributes = found.begin()->second;
      const std::string& sid = attributes.at("objectSid").at(0);
      uint32_t rid = 0;
      std::memcpy(&rid, sid.data() + sid.size() - 4, 4);
      EXPECT_TRUE(queries[i].Found) << names[i];
      EXPECT_EQ(queries[i].PwdLastSet, std::stoll(attributes.at("pwdLastSet").at(0))) << names[i];
      EXPECT_EQ(queries[i].RelativeId, rid) << names[i];
    }
  }
  for (const std::string& name : names) dc.Delete("CN=" + name + ",CN=Users," + kBase);
}

}  // namespace
}  // namespace zefa
