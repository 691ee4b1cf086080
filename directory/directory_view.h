// The domain as the password checks see it: every user, group, OU and
// container of the domain, held in memory and kept current by the changes
// the domain controller reports (directory/view_keeper.h). A check reads
// only this view; it never waits for the directory.
//
// The view is plain data: objects keyed by objectGUID, their texts in one
// shared buffer, name indexes that ignore letter case, and group lists that
// accounts with the same direct groups share.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "directory/user_record.h"
#include "platform/text.h"

namespace zefa {

using ObjectGuid = std::array<uint8_t, 16>;

// One object as the directory reports it (a full read or a change).
struct ViewChange {
  ObjectGuid Guid{};
  bool Deleted = false;       // isDeleted TRUE: the object is gone
  std::string Dn;             // UTF-8, as the server spelled it
  std::string AccountName;    // sAMAccountName
  std::string PrincipalName;  // userPrincipalName
  std::string DisplayName;
  std::string Sid;          // objectSid, binary
  int64_t AccountType = 0;  // sAMAccountType; 0 for OUs and containers
  int64_t GroupType = 0;
  uint32_t PrimaryGroupId = 0;
  bool SecondaryKrbtgt = false;      // msDS-SecondaryKrbTgtNumber present
  std::vector<std::string> Members;  // member DNs (groups only)
  // The server sent only a range of the members ("member;range=0-1499", as
  // Windows domain controllers do for large groups): the first value not
  // yet read, 0 when all are in.
  size_t MoreMembersFrom = 0;
  int64_t ChangeNumber = 0;  // uSNChanged
  int64_t PwdLastSet = 0;    // pwdLastSet (accounts only)
};

// How an account found in the view is to be treated before any policy.
enum class AccountKind : uint8_t { Person, Machine, Krbtgt };

struct ViewStatistics {
  size_t Objects = 0;
  size_t Accounts = 0;  // users, machines and trusts
  size_t Groups = 0;
  size_t Bytes = 0;  // the view's own memory, indexes and texts included
};

class DirectoryView {
 public:
  DirectoryView();

  // Applies one batch: deletions and object changes first, then the member
  // lists of the groups in the batch (so a member created in the same batch
  // is found). Objects are matched by GUID; an object seen again replaces
  // its earlier state.
  void Apply(std::vector<ViewChange>& batch);

  // The two halves of Apply, for a batch that arrives in pages: the objects
  // of each page, then once all pages are in, the groups' member lists
  // (taken out of the pages). Lookups between the two see the groups of
  // the previous state.
  void ApplyObjects(std::vector<ViewChange>& batch);
  void ResolveMembers();

  // Gives back the growth reserve of the arrays (after a build; later
  // changes grow them again as needed).
  void Trim();

  // The account for a name as the security authority passes it: a
  // "DOMAIN\" prefix is dropped; the name is a sAMAccountName, or failing
  // that (for a name with "@") a userPrincipalName, or the implicit
  // "account@dns.domain". Letter case is ignored. Fills AccountName,
  // QualifiedName (with `netbios_domain`), DistinguishedName, PrincipalName,
  // DisplayName, Container, Sid, Guid, GroupNames and GroupSids (the
  // transitive security groups with the primary group, as tokenGroups gives
  // them). False (record untouched) when no account has the name.
  bool Lookup(const Text& name, const Text& netbios_domain, UserRecord& record,
              AccountKind& kind) const;

  // When the password of the account whose sAMAccountName is `account_name`
  // was last set (pwdLastSet, 100-ns intervals since 1601; 0: must change)
  // and its relative id. Letter case is ignored. False when no account has
  // the name.
  bool PasswordStamp(const Text& account_name, int64_t& pwd_last_set, uint32_t& relative_id) const;
  // Calls `visit` once for every account of the view (persons, machines,
  // trusts), with the record and kind Lookup gives for its name.
  void ForEachAccount(const Text& netbios_domain,
                      const std::function<void(const UserRecord&, AccountKind)>& visit) const;

  // The DN of the domain, "DC=example,DC=test" (from the objects read).
  void SetDomain(const std::string& domain_dn);

  ViewStatistics Statistics() const;

 private:
  struct Object {
    int64_t pwd_last_set = 0;  // accounts only
    ObjectGuid guid{};
    uint32_t rdn = 0;  // text offsets (0: none)
    uint32_t name = 0;
    uint32_t principal = 0;
    uint32_t display = 0;
    uint32_t parent = 0;  // index into parents_
    uint32_t rid = 0;
    uint32_t primary_rid = 0;
    uint32_t member_of = 0;   // index into lists_: the direct groups
    uint16_t sid_domain = 0;  // index into sid_domains_ + 1 (0: no SID)
    uint8_t kind = 0;         // ObjectKind
    uint8_t flags = 0;
  };
  struct Slot {
    uint32_t id = 0;  // object index + 1; 0 = empty
    uint32_t hash = 0;
  };
  // Open addressing with linear probing; the hash of each entry is kept.
  struct Index {
    std::vector<Slot> slots;
    size_t used = 0;
  };
  // A list's sorted object indexes lie in list_pool_[start, start + count).
  struct GroupList {
    uint32_t start = 0;
    uint32_t count = 0;
    uint32_t users = 0;  // references; 0: free
  };
  struct GroupSpan {
    const uint32_t* first;
    const uint32_t* last;
    const uint32_t* begin() const { return first; }
    const uint32_t* end() const { return last; }
  };

  void FillRecord(uint32_t id, const Text& netbios_domain, UserRecord& record,
                  AccountKind& kind) const;
  uint32_t StoreText(const std::string& text);
  std::string_view TextAt(uint32_t offset) const;
  void DropText(uint32_t offset);
  std::string DnOf(const Object& object) const;
  std::string RdnOf(const Object& object) const;
  std::string PrincipalOf(const Object& object) const;
  GroupSpan GroupsOf(uint32_t list) const;
  std::vector<uint32_t> GroupsCopy(uint32_t list) const;
  void CompactLists();
  uint32_t InternParent(const std::string& parent_dn);

  static void IndexInsert(Index& index, uint32_t hash, uint32_t id);
  static void IndexFit(Index& index);
  void IndexErase(Index& index, uint32_t hash, uint32_t id);
  template <typename Match>
  uint32_t IndexFind(const Index& index, uint32_t hash, Match match) const;

  uint32_t FindByGuid(const ObjectGuid& guid) const;
  uint32_t FindByDn(const std::string& dn) const;
  uint32_t FindByFoldedName(const Index& index, uint32_t Object::*field,
                            const std::string& folded) const;
  void Unindex(uint32_t id);
  void Reindex(uint32_t id);
  void Remove(uint32_t id);
  uint32_t Upsert(const ViewChange& change);
  void SetMembers(uint32_t group, const std::vector<std::string>& member_dns);
  void ChangeListOf(uint32_t member, uint32_t group, bool add);
  uint32_t InternList(std::vector<uint32_t>&& groups);
  void ReleaseList(uint32_t list);
  void CompactTexts();
  void RenameParents(const std::string& old_dn, const std::string& new_dn);

  std::vector<Object> objects_;
  std::vector<uint32_t> free_objects_;
  std::string texts_;         // length-prefixed UTF-8 texts; offset 0 unused
  size_t dropped_bytes_ = 0;  // texts no object refers to any more
  std::vector<std::string> parents_;
  std::vector<Text> containers_;  // ContainerOfParent of each parent, for lookups
  std::unordered_map<std::string, uint32_t> parent_ids_;  // folded parent DN
  std::vector<std::string> sid_domains_;                  // binary SID without its RID
  Index by_guid_, by_dn_, by_name_, by_principal_;
  std::unordered_map<uint64_t, uint32_t> groups_by_sid_;  // (sid domain << 32 | rid)
  // Each group's entries of a record's GroupNames and GroupSids ("name;",
  // "S-1-5-...;"), made when the group changes rather than at every lookup.
  struct GroupTexts {
    Text name;
    Text sid;
  };
  std::unordered_map<uint32_t, GroupTexts> group_texts_;
  std::unordered_map<uint32_t, std::vector<uint32_t>> members_;  // group -> sorted members
  std::vector<GroupList> lists_;                                 // lists_[0]: the empty list
  std::vector<uint32_t> free_lists_;
  std::vector<uint32_t> list_pool_;  // the contents of every list, back to back
  size_t dropped_list_words_ = 0;    // pool words no list refers to any more
  Index by_list_;                    // lists by the hash of their contents
  std::vector<std::pair<uint32_t, std::vector<std::string>>> pending_members_;
  std::string domain_dn_;
  std::string domain_dns_;  // "example.test", folded
  size_t live_ = 0, accounts_ = 0, groups_ = 0;
};

// Case-folded UTF-8 of a name, the form the indexes compare.
std::string FoldName(std::string_view utf8);

// The OU path of a DN's parent below the domain, levels separated by "/"
// ("OU=Engineering,OU=Staff,DC=example,DC=test" -> "Staff/Engineering";
// "CN=Users,DC=..." -> "Users"), read by the DN's own syntax: escaped
// commas do not end a name, escapes are kept ("Smith\, John"), and a "/"
// inside a name is
// written "\/": the levels as canonical names write them.
Text ContainerOfParent(const std::string& parent_dn);

// The DN's parent: everything after the first comma that is not escaped.
std::string ParentOfDn(const std::string& dn);

}  // namespace zefa
