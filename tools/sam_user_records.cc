#include "tools/sam_user_records.h"

namespace zefa::audit {

namespace {

Text PathPart(const std::string& name) {
  // Canonical names escape "/" inside a name.
  Text part;
  for (WChar c : Utf8ToText(name)) {
    if (c == ZT('/')) part += ZT('\\');
    part += c;
  }
  return part;
}

Text ContainerPath(const std::vector<std::string>& parents) {
  Text path;
  for (const std::string& parent : parents) {
    if (!path.empty()) path += ZT('/');
    path += PathPart(parent);
  }
  return path;
}

}  // namespace

GroupGraph IndexGroups(const SamContents& contents) {
  GroupGraph graph;
  graph.domain_sid = contents.domain_sid;
  for (const SamObject& group : contents.groups) {
    if (!group.sid.empty()) graph.by_sid[group.sid] = &group;
  }
  graph.privileged_sids = {contents.domain_sid + "-512", contents.domain_sid + "-518",
                           contents.domain_sid + "-519", "S-1-5-32-544"};
  return graph;
}

AccountFacts FactsOfUser(const GroupGraph& graph, const SamObject& user) {
  AccountFacts facts;
  facts.record.AccountName = Utf8ToText(user.name);
  facts.record.DistinguishedName = Utf8ToText(user.dn);
  facts.record.Sid = Utf8ToText(user.sid);
  facts.record.Container = ContainerPath(user.parents);

  std::vector<std::string> pending = user.member_of;
  if (user.primary_group_rid != 0 && !graph.domain_sid.empty())
    pending.push_back(graph.domain_sid + "-" + std::to_string(user.primary_group_rid));
  std::unordered_set<std::string> seen;
  while (!pending.empty()) {
    const std::string sid = pending.back();
    pending.pop_back();
    if (!seen.insert(sid).second) continue;
    const auto found = graph.by_sid.find(sid);
    if (found == graph.by_sid.end()) continue;
    const SamObject& group = *found->second;
    if ((group.group_type & kGroupTypeSecurityEnabled) == 0) continue;
    facts.record.GroupNames += Utf8ToText(group.name) + ZT(";");
    facts.record.GroupSids += Utf8ToText(group.sid) + ZT(";");
    if (graph.privileged_sids.count(sid) != 0) facts.privileged = true;
    pending.insert(pending.end(), group.member_of.begin(), group.member_of.end());
  }
  return facts;
}

std::vector<AccountFacts> BuildAccountFacts(const SamContents& contents) {
  const GroupGraph graph = IndexGroups(contents);
  std::vector<AccountFacts> all;
  all.reserve(contents.users.size());
  for (const SamObject& user : contents.users) all.push_back(FactsOfUser(graph, user));
  return all;
}

}  // namespace zefa::audit
