#include "directory/policy_objects.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "directory/directory.h"
#include "directory/directory_writes.h"
#include "directory/view_keeper.h"
#include "platform/directory.h"
#include "platform/directory_names.h"
#include "policy/policies.h"
#include "policy/policy_selection.h"
#include "util/text_util.h"

namespace zefa {

namespace {

constexpr WChar kObjectPrefix[] = ZT("ZEFA_");
constexpr WChar kContainerDn[] = ZT("CN=ZEFA,");
constexpr WChar kPsoContainer[] = ZT(",CN=Password Settings Container,CN=System,");
constexpr WChar kMember[] = ZT("member");

// Reading the members of every mirror group may take a while in a large
// domain (one answer).
constexpr int64_t kGroupReadMilliseconds = 30000;

struct MirrorScope {
  std::mutex lock;
  bool restricted = false;
  std::set<int64_t> sets;
};

MirrorScope& Scope() {
  static MirrorScope* scope = new MirrorScope;
  return *scope;
}

bool InScope(int64_t set_index) {
  MirrorScope& scope = Scope();
  std::lock_guard<std::mutex> guard(scope.lock);
  return !scope.restricted || scope.sets.count(set_index) != 0;
}

// "03" for set 3.
Text TwoDigitNumber(int64_t index) {
  Text number = IntegerToText(index);
  if (number.size() < 2) number.insert(0, 2 - number.size(), ZT('0'));
  return number;
}

Text PolicySummary(const PolicySet& set) {
  return ZT("MAP=") + IntegerToText(set.MaxPasswordAgeDays) + ZT("`MIP=") +
         IntegerToText(set.MinPasswordAgeDays) + ZT("`RUL=") + set.RulesText;
}

struct SetObjects {
  Text group_name;      // ZEFA_NN
  Text group_dn;        // short forms, completed when sent
  Text old_group_name;  // ZEFA_NN_C, which earlier versions filled
  Text settings_dn;     // ZEFA_NN_P
};

SetObjects ObjectsOf(int64_t index) {
  SetObjects objects;
  objects.group_name = kObjectPrefix + TwoDigitNumber(index);
  objects.group_dn = ZT("CN=") + EscapeDnValue(objects.group_name) + ZT(",") + kContainerDn;
  objects.old_group_name = objects.group_name + ZT("_C");
  objects.settings_dn = ZT("CN=") + EscapeDnValue(objects.group_name + ZT("_P")) + kPsoContainer;
  return objects;
}

// The set group's description (the set's UserGroups) and summary are read
// and written only when they differ, so an unchanged set costs two reads.
void UpdateSetGroup(DirectoryConnection& connection, const PolicySet& set,
                    const SetObjects& objects) {
  const Text summary = PolicySummary(set);
  // Free text goes in as one value: the rules text may hold "|" or end
  // with ",", which a value list would complete.
  if (ReadAttributeText(connection, objects.group_dn, ZT("description")) != set.UserGroups)
    SetAttributeText(connection, objects.group_dn, ZT("description"), set.UserGroups);
  if (ReadAttributeText(connection, objects.group_dn, ZT("info")) != summary)
    SetAttributeText(connection, objects.group_dn, ZT("info"), summary);
}

void SyncSetObjects(DirectoryConnection& connection, const PolicySet& set) {
  const SetObjects objects = ObjectsOf(set.Index);
  AddDirectoryObject(connection, objects.group_dn, ZT("group"), objects.group_name);  // or 68
  UpdateSetGroup(connection, set, objects);
  if (platform::DirectoryConnectionLost(connection.handle)) return;

  PasswordSettings settings;
  settings.Description = set.RulesText;
  settings.AppliesTo = objects.group_dn;
  // Every account is in at most one set group; precedence = Index still
  // keeps the filter's order should an account be in two (a member added
  // by hand).
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

// A group of the mirror as the directory holds it.
struct MirrorGroup {
  Text dn;
  std::vector<Text> members;
};

// The groups directly below CN=ZEFA by lower-case sAMAccountName, with
// all their members (ranges read to the end). False when the read failed.
bool ReadMirrorGroups(DirectoryConnection& connection, std::map<Text, MirrorGroup>& groups) {
  std::vector<platform::DirectoryEntry> entries;
  const Text base = kContainerDn + CurrentNamingContexts().DefaultNamingContext;
  {
    const platform::DirectoryRequestAllowance large(kGroupReadMilliseconds);
    if (platform::DirectorySearch(connection.handle, base, 1, ZT("(objectClass=group)"),
                                  {ZT("sAMAccountName"), kMember}, 0, entries) != 0) {
      return false;
    }
  }
  for (const platform::DirectoryEntry& entry : entries) {
    Text name;
    ViewChange members;  // the member values, in the form CompleteMembers reads
    members.Dn = TextToUtf8(entry.dn);
    for (const platform::DirectoryAttribute& attribute : entry.attributes) {
      const Text attribute_name = ToLower(attribute.name);
      if (attribute_name == ZT("samaccountname") && !attribute.values.empty()) {
        name = ToLower(Utf8ToText(attribute.values.front()));
      } else if (attribute_name == ZT("member")) {
        members.Members = attribute.values;
      } else if (StartsWith(attribute_name, ZT("member;range="))) {
        members.Members = attribute.values;
        if (attribute_name.substr(attribute_name.size() - 2) != ZT("-*"))
          members.MoreMembersFrom = attribute.values.size();
      }
    }
    if (name.empty()) continue;
    if (!CompleteMembers(connection.handle, members)) return false;
    MirrorGroup& group = groups[name];
    group.dn = entry.dn;
    for (const std::string& member : members.Members) group.members.push_back(Utf8ToText(member));
  }
  return true;
}

// For each set index the DNs of the person accounts the filter checks by
// it, from the view. False when no view is ready.
bool ChosenAccounts(const PolicyState& policies, std::map<int64_t, std::vector<Text>>& chosen) {
  return ForEachAccountInView([&](const UserRecord& record, AccountKind kind) {
    // Machines, trusts and krbtgt accounts are never checked.
    if (kind != AccountKind::Person) return;
    const PolicySet* set =
        PolicySelection(policies, record.AccountName, record.GroupNames, record.Container);
    if (set != nullptr) chosen[set->Index].push_back(record.DistinguishedName);
  });
}

// Writes the difference between the group's members and `wanted`. 0 when
// nothing was refused.
int WriteMemberDifference(DirectoryConnection& connection, const MirrorGroup& group,
                          const std::vector<Text>& wanted) {
  std::map<Text, const Text*> have;  // lower case -> as the directory spells it
  for (const Text& member : group.members) have.emplace(ToLower(member), &member);
  std::set<Text> wanted_folded;
  std::vector<Text> add, remove;
  for (const Text& dn : wanted) {
    const Text folded = ToLower(dn);
    if (!wanted_folded.insert(folded).second) continue;
    if (have.count(folded) == 0) add.push_back(dn);
  }
  for (const auto& [folded, member] : have)
    if (wanted_folded.count(folded) == 0) remove.push_back(*member);
  if (add.empty() && remove.empty()) return 0;
  return ChangeAttributeValues(connection, group.dn, kMember, add, remove);
}

// The member step of both passes; the connection is open. False when the
// groups could not be read or a write was refused.
bool SyncMembers(DirectoryConnection& connection, const PolicyState& policies) {
  const std::vector<PolicySet>& sets = policies.Sets;
  std::map<int64_t, std::vector<Text>> chosen;
  if (!ChosenAccounts(policies, chosen)) return false;
  std::map<Text, MirrorGroup> groups;
  if (!ReadMirrorGroups(connection, groups)) return false;
  bool complete = true;
  for (const PolicySet& set : sets) {
    if (!InScope(set.Index)) continue;
    if (platform::DirectoryConnectionLost(connection.handle)) return false;
    const SetObjects objects = ObjectsOf(set.Index);
    const auto group = groups.find(ToLower(objects.group_name));
    if (group != groups.end()) {
      // A set that is not enabled applies to nobody: its group is emptied.
      static const std::vector<Text> kNobody;
      const auto members = chosen.find(set.Index);
      const std::vector<Text>& wanted =
          set.Enabled != 0 && members != chosen.end() ? members->second : kNobody;
      if (WriteMemberDifference(connection, group->second, wanted) != 0) complete = false;
    }
    const auto old_group = groups.find(ToLower(objects.old_group_name));
    if (old_group != groups.end() &&
        WriteMemberDifference(connection, old_group->second, {}) != 0) {
      complete = false;
    }
  }
  return complete && !platform::DirectoryConnectionLost(connection.handle);
}

}  // namespace

Text PasswordSettingsComplexity() { return platform::PasswordSettingsComplexityValue(); }

bool SyncDirectoryPolicies() {
  // The pass works on the configuration published when it starts; checks
  // and loads never wait for it, however slow the directory is.
  const PolicySnapshot policies = CurrentPolicies();
  const std::vector<PolicySet>& sets = policies->Sets;
  // The keeper's thread may be between two polls: the members follow the
  // directory as it is now.
  RefreshDirectoryView();
  if (!DirectoryViewReady()) return false;
  DirectoryConnection connection;
  if (!OpenDirectoryConnection(connection)) return false;
  AddDirectoryObject(connection, kContainerDn, ZT("container"), Text());
  for (const PolicySet& set : sets) {
    // A connection that was lost makes every further request fail: the
    // pass ends and counts as failed.
    if (platform::DirectoryConnectionLost(connection.handle)) break;
    if (set.Enabled != 0 && InScope(set.Index)) SyncSetObjects(connection, set);
  }
  if (!platform::DirectoryConnectionLost(connection.handle)) SyncMembers(connection, *policies);
  const bool completed = !platform::DirectoryConnectionLost(connection.handle);
  CloseDirectoryConnection(connection);
  return completed;
}

bool SyncPolicyMembership() {
  const PolicySnapshot policies = CurrentPolicies();
  if (!DirectoryViewReady()) return false;
  DirectoryConnection connection;
  if (!OpenDirectoryConnection(connection)) return false;
  const bool completed = SyncMembers(connection, *policies);
  CloseDirectoryConnection(connection);
  return completed;
}

void RestrictMirrorForTesting(bool restricted) {
  MirrorScope& scope = Scope();
  std::lock_guard<std::mutex> guard(scope.lock);
  scope.restricted = restricted;
  scope.sets.clear();
}

void AddToMirrorScopeForTesting(int64_t set_index) {
  MirrorScope& scope = Scope();
  std::lock_guard<std::mutex> guard(scope.lock);
  scope.sets.insert(set_index);
}

}  // namespace zefa
