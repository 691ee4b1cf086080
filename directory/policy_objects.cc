#include "directory/policy_objects.h"

#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

#include "directory/directory.h"
#include "directory/directory_writes.h"
#include "platform/directory_names.h"
#include "platform/time.h"
#include "platform/directory.h"
#include "platform/digests.h"
#include "policy/policies.h"
#include "util/date_value.h"
#include "util/text_util.h"

namespace zefa {

namespace {

// The OU-user group is rebuilt when it last changed longer ago than a limit
// drawn anew for every pass from this range, so that the domain controllers
// do not all rebuild at the same moment.
constexpr int64_t kRebuildMinSeconds = 43200;
constexpr int64_t kRebuildMaxSeconds = 86400;

// How long the search for the users below one OU may take.
constexpr int64_t kSubtreeSearchMilliseconds = 30000;

constexpr WChar kObjectPrefix[] = ZT("ZEFA_");
constexpr WChar kContainerDn[] = ZT("CN=ZEFA,");
constexpr WChar kPsoContainer[] = ZT(",CN=Password Settings Container,CN=System,");
constexpr WChar kNormalUsersInOu[] = ZT("(&(sAMAccountType=805306368)(sAMAccountName=*))");

int64_t RandomRebuildLimit() {
  uint64_t random = 0;
  if (!platform::RandomBytes(&random, sizeof random)) return kRebuildMaxSeconds;
  const auto range = static_cast<uint64_t>(kRebuildMaxSeconds - kRebuildMinSeconds + 1);
  return kRebuildMinSeconds + static_cast<int64_t>(random % range);
}

// "03" for set 3.
Text TwoDigitNumber(int64_t index) {
  Text number = IntegerToText(index);
  if (number.size() < 2) number.insert(0, 2 - number.size(), ZT('0'));
  return number;
}

// The entries of a normalised list: each entry is followed by ";", so the
// text after the last ";" is not an entry.
std::vector<Text> ListEntries(const Text& list) {
  std::vector<Text> entries = SplitFields(list, ZT(';'));
  entries.pop_back();
  return entries;
}

Text PolicySummary(const PolicySet& set) {
  return ZT("MAP=") + IntegerToText(set.MaxPasswordAgeDays) + ZT("`MIP=") +
         IntegerToText(set.MinPasswordAgeDays) + ZT("`RUL=") + set.RulesText;
}

// Member DNs in order, each once (the directory refuses a value given
// twice, which would lose the whole update).
struct MemberList {
  std::set<Text> seen;  // lower case
  std::vector<Text> dns;
};

void AddMember(MemberList& members, const Text& dn) {
  if (members.seen.insert(ToLower(dn)).second) members.dns.push_back(dn);
}

struct SetObjects {
  Text group_name;     // ZEFA_NN
  Text group_dn;       // short forms, completed when sent
  Text ou_group_name;  // ZEFA_NN_C
  Text ou_group_dn;
  Text settings_dn;  // ZEFA_NN_P
};

SetObjects ObjectsOf(const PolicySet& set) {
  SetObjects objects;
  objects.group_name = kObjectPrefix + TwoDigitNumber(set.Index);
  objects.group_dn = ZT("CN=") + EscapeDnValue(objects.group_name) + ZT(",") + kContainerDn;
  objects.ou_group_name = objects.group_name + ZT("_C");
  objects.ou_group_dn = ZT("CN=") + EscapeDnValue(objects.ou_group_name) + ZT(",") + kContainerDn;
  objects.settings_dn = ZT("CN=") + EscapeDnValue(objects.group_name + ZT("_P")) + kPsoContainer;
  return objects;
}

// Description and summary are compared first, so an unchanged set group
// costs two reads and no write. They are written only once the members
// are: a member write that fails leaves the group looking out of date, so
// the next pass tries again.
void UpdateSetGroup(DirectoryConnection& connection, const PolicySet& set,
                    const SetObjects& objects) {
  const Text summary = PolicySummary(set);
  if (ReadAttributeText(connection, objects.group_dn, ZT("description")) == set.UserGroups &&
      ReadAttributeText(connection, objects.group_dn, ZT("info")) == summary) {
    return;
  }
  MemberList members;
  for (const Text& name : ListEntries(set.UserGroups)) {
    if (name.empty()) continue;
    const Text dn = FindSecurityGroupDn(connection, name);
    if (!dn.empty()) AddMember(members, dn);
  }
  AddMember(members, objects.ou_group_dn);
  if (SetAttributeValues(connection, objects.group_dn, ZT("member"), members.dns) != 0) return;
  // Free text goes in as one value: the rules text may hold "|" or end
  // with ",", which a value list would complete.
  SetAttributeText(connection, objects.group_dn, ZT("description"), set.UserGroups);
  SetAttributeText(connection, objects.group_dn, ZT("info"), summary);
}

// The OU-user group follows its OU list, and is rebuilt anyway once it is
// older than `rebuild_limit` seconds (users move between OUs without the
// list changing).
void UpdateOuGroup(DirectoryConnection& connection, const PolicySet& set, const SetObjects& objects,
                   int64_t rebuild_limit) {
  Text description = ReadAttributeText(connection, objects.ou_group_dn, ZT("description"));
  if (!description.empty()) {
    const int64_t changed =
        ParseDateValue(ReadAttributeText(connection, objects.ou_group_dn, ZT("whenChanged")));
    if (platform::LocalNow() - changed > rebuild_limit) description = ZT("0");
  }
  if (description == set.UserOus) return;
  MemberList members;
  for (const Text& ou : ListEntries(set.UserOus)) {
    if (platform::DirectoryConnectionLost(connection.handle)) return;
    const Text ou_dn = OuPathToDn(connection, ou);
    if (ou_dn.empty()) continue;
    EntryMap users;
    {
      // A whole OU subtree arrives as one answer, which may take a while.
      const platform::DirectoryRequestAllowance large(kSubtreeSearchMilliseconds);
      SearchObjects(connection, users, kNormalUsersInOu, ZT("distinguishedName"), ou_dn, 2);
    }
    for (const auto& [entry_dn, attributes] : users) {
      const auto found = attributes.find(ZT("distinguishedName"));
      const bool has_dn = found != attributes.end() && !found->second.empty();
      AddMember(members, has_dn ? found->second : entry_dn);
    }
  }
  // As for the set group: the description, by which the next pass decides,
  // follows the members.
  if (SetAttributeValues(connection, objects.ou_group_dn, ZT("member"), members.dns) != 0) return;
  SetAttributeText(connection, objects.ou_group_dn, ZT("description"), set.UserOus);
}

void SyncPolicySet(DirectoryConnection& connection, const PolicySet& set, int64_t rebuild_limit) {
  const SetObjects objects = ObjectsOf(set);
  // Both adds fail harmlessly once the groups exist.
  AddDirectoryObject(connection, objects.group_dn, ZT("group"), objects.group_name);
  AddDirectoryObject(connection, objects.ou_group_dn, ZT("group"), objects.ou_group_name);
  UpdateSetGroup(connection, set, objects);
  if (platform::DirectoryConnectionLost(connection.handle)) return;
  UpdateOuGroup(connection, set, objects, rebuild_limit);
  if (platform::DirectoryConnectionLost(connection.handle)) return;

  PasswordSettings settings;
  settings.Description = set.RulesText;
  settings.AppliesTo = objects.group_dn;
  // The directory lets the lowest precedence win and the filter the first
  // set in order: with precedence = Index both choose the same set.
  settings.Precedence = set.Index;
  settings.LockoutThreshold = set.LockoutThreshold;
  settings.LockoutDurationMin = set.LockoutDurationMin;
  settings.LockoutObservationWindowMin = set.LockoutObservationWindowMin;
  settings.MaxPasswordAgeDays = set.MaxPasswordAgeDays;
  settings.MinPasswordAgeDays = set.MinPasswordAgeDays;
  settings.MinPasswordLength = 0;  // length and composition are the filter's own rules
  settings.PasswordComplexity = PasswordSettingsComplexity();
  settings.PasswordHistoryLength = set.PasswordHistory;
  settings.ReversibleEncryption = ZT("FALSE");
  WritePasswordSettings(connection, objects.settings_dn, settings);
}

}  // namespace

Text PasswordSettingsComplexity() { return platform::PasswordSettingsComplexityValue(); }

bool SyncDirectoryPolicies() {
  // The pass works on the configuration published when it starts; checks
  // and loads never wait for it, however slow the directory is.
  const PolicySnapshot policies = CurrentPolicies();
  const std::vector<PolicySet>& sets = policies->Sets;
  DirectoryConnection connection;
  if (!OpenDirectoryConnection(connection)) return false;
  AddDirectoryObject(connection, kContainerDn, ZT("container"), Text());
  const int64_t rebuild_limit = RandomRebuildLimit();
  for (const PolicySet& set : sets) {
    // A connection that was lost makes every further request fail: the
    // pass ends and counts as failed.
    if (platform::DirectoryConnectionLost(connection.handle)) break;
    // Objects of a disabled set stay as they are.
    if (set.Enabled != 0) SyncPolicySet(connection, set, rebuild_limit);
  }
  const bool completed = !platform::DirectoryConnectionLost(connection.handle);
  CloseDirectoryConnection(connection);
  return completed;
}

}  // namespace zefa
