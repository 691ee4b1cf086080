#include "directory/directory_view.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "directory/attribute_decoding.h"
#include "util/text_util.h"

namespace zefa {

namespace {

constexpr uint32_t kNone = UINT32_MAX;

enum ObjectKind : uint8_t { kFree = 0, kAccount = 1, kGroup = 2, kContainer = 3 };
enum ObjectFlag : uint8_t {
  kSecurityGroup = 1,
  kMachine = 2,
  kKrbtgt = 4,
  kRdnIsName = 8,          // the relative name is "CN=" and the account name: not stored
  kImplicitPrincipal = 16  // the principal name is "name@dns.domain": not stored
};

// sAMAccountType values.
constexpr int64_t kNormalAccount = 0x30000000;
constexpr int64_t kMachineAccount = 0x30000001;
constexpr int64_t kTrustAccount = 0x30000002;
constexpr int64_t kFirstGroupType = 0x10000000;
constexpr int64_t kLastGroupType = 0x20000001;
constexpr uint32_t kKrbtgtRid = 502;
constexpr int64_t kSecurityEnabledGroup = 0x80000000LL;

uint32_t HashBytes(std::string_view bytes) {
  uint32_t hash = 2166136261u;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 16777619u;
  }
  // The indexes take a slot from the high bits: mix the low ones into them.
  hash ^= hash >> 16;
  hash *= 0x85ebca6bu;
  hash ^= hash >> 13;
  return hash;
}

uint32_t HashGuid(const ObjectGuid& guid) {
  return HashBytes(std::string_view(reinterpret_cast<const char*>(guid.data()), guid.size()));
}

// The end of the first relative name of a DN (the first comma that is not
// escaped); npos when there is none.
size_t FirstNameEnd(const std::string& dn) {
  for (size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == '\\') {
      ++i;
    } else if (dn[i] == ',') {
      return i;
    }
  }
  return std::string::npos;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of one relative name with its escapes undone.
std::string UnescapedValue(std::string_view rdn) {
  const size_t equals = rdn.find('=');
  const std::string_view value = equals == std::string_view::npos ? rdn : rdn.substr(equals + 1);
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 >= value.size()) {
      out += value[i];
      continue;
    }
    const int high = HexDigit(value[i + 1]);
    const int low = i + 2 < value.size() ? HexDigit(value[i + 2]) : -1;
    if (high >= 0 && low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += value[++i];
    }
  }
  return out;
}

std::vector<std::string_view> RelativeNames(const std::string& dn) {
  std::vector<std::string_view> names;
  size_t start = 0;
  while (start < dn.size()) {
    size_t end = start;
    while (end < dn.size() && dn[end] != ',') end += dn[end] == '\\' ? 2 : 1;
    end = std::min(end, dn.size());
    names.emplace_back(dn.data() + start, end - start);
    start = end + 1;
  }
  return names;
}

bool IsDomainComponent(std::string_view rdn) {
  return rdn.size() >= 3 && (rdn[0] == 'D' || rdn[0] == 'd') && (rdn[1] == 'C' || rdn[1] == 'c') &&
         rdn[2] == '=';
}

}  // namespace

std::string FoldName(std::string_view utf8) {
  bool ascii = true;
  for (unsigned char c : utf8) ascii = ascii && c < 0x80;
  if (!ascii) return TextToUtf8(ToLower(Utf8ToText(utf8)));
  std::string folded(utf8);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return folded;
}

std::string ParentOfDn(const std::string& dn) {
  const size_t end = FirstNameEnd(dn);
  return end == std::string::npos ? std::string() : dn.substr(end + 1);
}

Text ContainerOfParent(const std::string& parent_dn) {
  std::vector<std::string> levels;
  for (std::string_view rdn : RelativeNames(parent_dn)) {
    if (IsDomainComponent(rdn)) continue;
    // The value as the DN writes it (escapes kept, as canonical names keep
    // them), with a "/" in a name written "\/".
    const size_t equals = rdn.find('=');
    std::string level;
    for (char c : equals == std::string_view::npos ? rdn : rdn.substr(equals + 1)) {
      if (c == '/') level += '\\';
      level += c;
    }
    levels.push_back(level);
  }
  std::string path;
  for (auto level = levels.rbegin(); level != levels.rend(); ++level) {
    if (!path.empty()) path += '/';
    path += *level;
  }
  return Utf8ToText(path);
}

DirectoryView::DirectoryView() {
  texts_.push_back('\0');  // offset 0: no text
  lists_.emplace_back();   // list 0: no groups
}

void DirectoryView::SetDomain(const std::string& domain_dn) {
  domain_dn_ = domain_dn;
  std::string dns;
  for (std::string_view rdn : RelativeNames(domain_dn)) {
    if (!IsDomainComponent(rdn)) continue;
    if (!dns.empty()) dns += '.';
    dns += UnescapedValue(rdn);
  }
  domain_dns_ = FoldName(dns);
}

// ------------------------------------------------------------------ texts

uint32_t DirectoryView::StoreText(const std::string& text) {
  if (text.empty()) return 0;
  const uint32_t offset = static_cast<uint32_t>(texts_.size());
  size_t length = text.size();
  while (length >= 0x80) {
    texts_.push_back(static_cast<char>(0x80 | (length & 0x7f)));
    length >>= 7;
  }
  texts_.push_back(static_cast<char>(length));
  texts_ += text;
  return offset;
}

std::string_view DirectoryView::TextAt(uint32_t offset) const {
  if (offset == 0) return {};
  size_t length = 0;
  int shift = 0;
  size_t i = offset;
  for (;;) {
    const unsigned char c = static_cast<unsigned char>(texts_[i++]);
    length |= static_cast<size_t>(c & 0x7f) << shift;
    if ((c & 0x80) == 0) break;
    shift += 7;
  }
  return std::string_view(texts_.data() + i, length);
}

void DirectoryView::DropText(uint32_t offset) {
  if (offset != 0) dropped_bytes_ += TextAt(offset).size() + 1;
}

// Texts of replaced objects pile up; once they are half of the buffer the
// live ones are copied into a new one.
void DirectoryView::CompactTexts() {
  if (dropped_bytes_ < 4096 || dropped_bytes_ * 2 < texts_.size()) return;
  DirectoryView& self = *this;
  std::string old;
  old.swap(self.texts_);
  self.texts_.clear();
  self.texts_.push_back('\0');
  self.dropped_bytes_ = 0;
  auto move_text = [&](uint32_t& offset) {
    if (offset == 0) return;
    std::string_view text;
    {
      // Read from the old buffer with the same decoding.
      size_t length = 0;
      int shift = 0;
      size_t i = offset;
      for (;;) {
        const unsigned char c = static_cast<unsigned char>(old[i++]);
        length |= static_cast<size_t>(c & 0x7f) << shift;
        if ((c & 0x80) == 0) break;
        shift += 7;
      }
      text = std::string_view(old.data() + i, length);
    }
    offset = StoreText(std::string(text));
  };
  for (Object& object : objects_) {
    if (object.kind == kFree) continue;
    move_text(object.rdn);
    move_text(object.name);
    move_text(object.principal);
    move_text(object.display);
  }
  texts_.shrink_to_fit();
}

std::string DirectoryView::RdnOf(const Object& object) const {
  if ((object.flags & kRdnIsName) != 0) return "CN=" + std::string(TextAt(object.name));
  return std::string(TextAt(object.rdn));
}

std::string DirectoryView::PrincipalOf(const Object& object) const {
  if ((object.flags & kImplicitPrincipal) != 0)
    return std::string(TextAt(object.name)) + "@" + domain_dns_;
  return std::string(TextAt(object.principal));
}

std::string DirectoryView::DnOf(const Object& object) const {
  std::string dn = RdnOf(object);
  const std::string& parent = parents_[object.parent];
  if (!parent.empty()) dn += ',' + parent;
  return dn;
}

uint32_t DirectoryView::InternParent(const std::string& parent_dn) {
  const std::string folded = FoldName(parent_dn);
  const auto found = parent_ids_.find(folded);
  if (found != parent_ids_.end()) {
    // The spelling of the latest object read wins (a renamed OU's case).
    parents_[found->second] = parent_dn;
    containers_[found->second] = ContainerOfParent(parent_dn);
    return found->second;
  }
  parents_.push_back(parent_dn);
  containers_.push_back(ContainerOfParent(parent_dn));
  const uint32_t id = static_cast<uint32_t>(parents_.size() - 1);
  parent_ids_.emplace(folded, id);
  return id;
}

// ----------------------------------------------------------------- indexes

namespace {

// The slot an entry's probe starts at: the hash scaled to the table's size,
// so that a table need not have a power-of-two size.
size_t HomeSlot(uint32_t hash, size_t size) {
  return static_cast<size_t>((static_cast<uint64_t>(hash) * size) >> 32);
}

size_t NextSlot(size_t i, size_t size) { return i + 1 == size ? 0 : i + 1; }

}  // namespace

// Tables grow by half once four fifths of their slots are used, and are cut
// to a three-quarter load by IndexFit after a build.
void DirectoryView::IndexInsert(Index& index, uint32_t hash, uint32_t id) {
  if ((index.used + 1) * 5 > index.slots.size() * 4) {
    std::vector<Slot> old;
    old.swap(index.slots);
    index.slots.assign(std::max<size_t>(16, old.size() + old.size() / 2), Slot{});
    index.used = 0;
    for (const Slot& slot : old)
      if (slot.id != 0) IndexInsert(index, slot.hash, slot.id - 1);
  }
  const size_t size = index.slots.size();
  size_t i = HomeSlot(hash, size);
  while (index.slots[i].id != 0) i = NextSlot(i, size);
  index.slots[i] = Slot{id + 1, hash};
  ++index.used;
}

void DirectoryView::IndexFit(Index& index) {
  std::vector<Slot> old;
  old.swap(index.slots);
  index.slots.assign(std::max<size_t>(16, index.used * 4 / 3 + 1), Slot{});
  index.used = 0;
  for (const Slot& slot : old)
    if (slot.id != 0) IndexInsert(index, slot.hash, slot.id - 1);
}

void DirectoryView::IndexErase(Index& index, uint32_t hash, uint32_t id) {
  if (index.slots.empty()) return;
  const size_t size = index.slots.size();
  size_t i = HomeSlot(hash, size);
  while (index.slots[i].id != 0 && index.slots[i].id != id + 1) i = NextSlot(i, size);
  if (index.slots[i].id == 0) return;
  // Backward shift: later entries of the probe run move into the hole.
  size_t hole = i;
  for (size_t j = NextSlot(hole, size); index.slots[j].id != 0; j = NextSlot(j, size)) {
    const size_t home = HomeSlot(index.slots[j].hash, size);
    const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
    if (stays) continue;
    index.slots[hole] = index.slots[j];
    hole = j;
  }
  index.slots[hole] = Slot{};
  --index.used;
}

template <typename Match>
uint32_t DirectoryView::IndexFind(const Index& index, uint32_t hash, Match match) const {
  if (index.slots.empty()) return kNone;
  const size_t size = index.slots.size();
  for (size_t i = HomeSlot(hash, size); index.slots[i].id != 0; i = NextSlot(i, size)) {
    if (index.slots[i].hash == hash && match(index.slots[i].id - 1)) return index.slots[i].id - 1;
  }
  return kNone;
}

uint32_t DirectoryView::FindByGuid(const ObjectGuid& guid) const {
  return IndexFind(by_guid_, HashGuid(guid),
                   [&](uint32_t id) { return objects_[id].guid == guid; });
}

uint32_t DirectoryView::FindByDn(const std::string& dn) const {
  const std::string folded = FoldName(dn);
  return IndexFind(by_dn_, HashBytes(folded),
                   [&](uint32_t id) { return FoldName(DnOf(objects_[id])) == folded; });
}

uint32_t DirectoryView::FindByFoldedName(const Index& index, uint32_t Object::*field,
                                         const std::string& folded) const {
  return IndexFind(index, HashBytes(folded), [&](uint32_t id) {
    const Object& object = objects_[id];
    return object.kind == kAccount && FoldName(TextAt(object.*field)) == folded;
  });
}

void DirectoryView::Unindex(uint32_t id) {
  const Object& object = objects_[id];
  IndexErase(by_guid_, HashGuid(object.guid), id);
  IndexErase(by_dn_, HashBytes(FoldName(DnOf(object))), id);
  if (object.kind != kAccount) return;
  if (object.name != 0) IndexErase(by_name_, HashBytes(FoldName(TextAt(object.name))), id);
  if (object.principal != 0)
    IndexErase(by_principal_, HashBytes(FoldName(TextAt(object.principal))), id);
}

void DirectoryView::Reindex(uint32_t id) {
  const Object& object = objects_[id];
  IndexInsert(by_guid_, HashGuid(object.guid), id);
  IndexInsert(by_dn_, HashBytes(FoldName(DnOf(object))), id);
  if (object.kind != kAccount) return;
  if (object.name != 0) IndexInsert(by_name_, HashBytes(FoldName(TextAt(object.name))), id);
  if (object.principal != 0)
    IndexInsert(by_principal_, HashBytes(FoldName(TextAt(object.principal))), id);
}

// ---------------------------------------------------------- group lists

namespace {

uint32_t HashList(const std::vector<uint32_t>& groups) {
  return HashBytes(std::string_view(reinterpret_cast<const char*>(groups.data()),
                                    groups.size() * sizeof(uint32_t)));
}

}  // namespace

DirectoryView::GroupSpan DirectoryView::GroupsOf(uint32_t list) const {
  const GroupList& entry = lists_[list];
  const uint32_t* first = list_pool_.data() + entry.start;
  return GroupSpan{first, first + entry.count};
}

std::vector<uint32_t> DirectoryView::GroupsCopy(uint32_t list) const {
  const GroupSpan groups = GroupsOf(list);
  return std::vector<uint32_t>(groups.begin(), groups.end());
}

uint32_t DirectoryView::InternList(std::vector<uint32_t>&& groups) {
  if (groups.empty()) return 0;
  const uint32_t hash = HashList(groups);
  const uint32_t found = IndexFind(by_list_, hash, [&](uint32_t id) {
    const GroupSpan held = GroupsOf(id);
    return std::equal(held.begin(), held.end(), groups.begin(), groups.end());
  });
  if (found != kNone) {
    ++lists_[found].users;
    return found;
  }
  uint32_t id;
  if (!free_lists_.empty()) {
    id = free_lists_.back();
    free_lists_.pop_back();
  } else {
    id = static_cast<uint32_t>(lists_.size());
    lists_.emplace_back();
  }
  lists_[id] =
      GroupList{static_cast<uint32_t>(list_pool_.size()), static_cast<uint32_t>(groups.size()), 1};
  list_pool_.insert(list_pool_.end(), groups.begin(), groups.end());
  IndexInsert(by_list_, hash, id);
  return id;
}

void DirectoryView::ReleaseList(uint32_t list) {
  if (list == 0 || --lists_[list].users != 0) return;
  IndexErase(by_list_, HashList(GroupsCopy(list)), list);
  dropped_list_words_ += lists_[list].count;
  lists_[list] = GroupList{};
  free_lists_.push_back(list);
}

// Lists that a change replaced leave their words in the pool (a build makes
// one for every group an account joins on the way); once they are half of
// it the live lists are copied into a new pool.
void DirectoryView::CompactLists() {
  if (dropped_list_words_ < 4096 || dropped_list_words_ * 2 < list_pool_.size()) return;
  std::vector<uint32_t> pool;
  pool.reserve(list_pool_.size() - dropped_list_words_);
  for (GroupList& list : lists_) {
    if (list.users == 0) continue;
    const uint32_t start = static_cast<uint32_t>(pool.size());
    pool.insert(pool.end(), list_pool_.begin() + list.start,
                list_pool_.begin() + list.start + list.count);
    list.start = start;
  }
  list_pool_.swap(pool);
  dropped_list_words_ = 0;
}

void DirectoryView::ChangeListOf(uint32_t member, uint32_t group, bool add) {
  Object& object = objects_[member];
  std::vector<uint32_t> groups = GroupsCopy(object.member_of);
  const auto at = std::lower_bound(groups.begin(), groups.end(), group);
  const bool present = at != groups.end() && *at == group;
  if (add == present) return;
  if (add)
    groups.insert(at, group);
  else
    groups.erase(at);
  const uint32_t old = object.member_of;
  object.member_of = InternList(std::move(groups));
  ReleaseList(old);
}

void DirectoryView::SetMembers(uint32_t group, const std::vector<std::string>& member_dns) {
  std::vector<uint32_t> wanted;
  wanted.reserve(member_dns.size());
  for (const std::string& dn : member_dns) {
    const uint32_t id = FindByDn(dn);
    if (id != kNone) wanted.push_back(id);  // objects the view does not hold (contacts ...)
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  std::vector<uint32_t>& current = members_[group];
  std::vector<uint32_t> added, removed;
  std::set_difference(wanted.begin(), wanted.end(), current.begin(), current.end(),
                      std::back_inserter(added));
  std::set_difference(current.begin(), current.end(), wanted.begin(), wanted.end(),
                      std::back_inserter(removed));
  for (uint32_t id : removed) ChangeListOf(id, group, false);
  for (uint32_t id : added) ChangeListOf(id, group, true);
  if (wanted.empty()) {
    members_.erase(group);
  } else {
    wanted.shrink_to_fit();
    members_[group] = std::move(wanted);
  }
}

// ----------------------------------------------------------------- changes

void DirectoryView::Remove(uint32_t id) {
  Object& object = objects_[id];
  Unindex(id);
  if (object.kind == kGroup) {
    SetMembers(id, {});
    groups_by_sid_.erase(static_cast<uint64_t>(object.sid_domain) << 32 | object.rid);
    group_texts_.erase(id);
    --groups_;
  }
  if (object.kind == kAccount) --accounts_;
  // Out of every group it was in.
  const std::vector<uint32_t> groups = GroupsCopy(object.member_of);
  for (uint32_t group : groups) {
    auto members = members_.find(group);
    if (members == members_.end()) continue;
    std::vector<uint32_t>& list = members->second;
    list.erase(std::remove(list.begin(), list.end(), id), list.end());
    if (list.empty()) members_.erase(members);
  }
  ReleaseList(object.member_of);
  DropText(object.rdn);
  DropText(object.name);
  DropText(object.principal);
  DropText(object.display);
  object = Object();
  free_objects_.push_back(id);
  --live_;
}

uint32_t DirectoryView::Upsert(const ViewChange& change) {
  uint32_t id = FindByGuid(change.Guid);
  const bool known = id != kNone;
  uint8_t old_kind = kFree;
  std::string old_dn;
  if (known) {
    Object& object = objects_[id];
    old_kind = object.kind;
    if (object.kind == kContainer) old_dn = DnOf(object);
    Unindex(id);
    if (object.kind == kGroup)
      groups_by_sid_.erase(static_cast<uint64_t>(object.sid_domain) << 32 | object.rid);
    DropText(object.rdn);
    DropText(object.name);
    DropText(object.principal);
    DropText(object.display);
  } else if (!free_objects_.empty()) {
    id = free_objects_.back();
    free_objects_.pop_back();
    ++live_;
  } else {
    id = static_cast<uint32_t>(objects_.size());
    objects_.emplace_back();
    ++live_;
  }
  uint8_t kind = kContainer;
  uint8_t flags = 0;
  if (change.AccountType == kNormalAccount || change.AccountType == kMachineAccount ||
      change.AccountType == kTrustAccount) {
    kind = kAccount;
    if (change.AccountType != kNormalAccount) flags |= kMachine;
  } else if (change.AccountType >= kFirstGroupType && change.AccountType <= kLastGroupType) {
    kind = kGroup;
    if ((change.GroupType & kSecurityEnabledGroup) != 0) flags |= kSecurityGroup;
  }
  if (old_kind == kGroup && kind != kGroup) SetMembers(id, {});
  if (old_kind == kAccount && kind != kAccount) --accounts_;
  if (old_kind == kGroup && kind != kGroup) --groups_;
  if (old_kind != kAccount && kind == kAccount) ++accounts_;
  if (old_kind != kGroup && kind == kGroup) ++groups_;

  Object& object = objects_[id];
  object.guid = change.Guid;
  object.kind = kind;
  const size_t name_end = FirstNameEnd(change.Dn);
  const std::string rdn = name_end == std::string::npos ? change.Dn : change.Dn.substr(0, name_end);
  object.parent = InternParent(ParentOfDn(change.Dn));
  object.name = StoreText(change.AccountName);
  // The common spellings are not stored: "CN=<account name>" and
  // "<account name>@<dns domain>" follow from the name.
  const bool rdn_is_name = object.name != 0 && rdn == "CN=" + change.AccountName;
  object.rdn = rdn_is_name ? 0 : StoreText(rdn);
  if (rdn_is_name) flags |= kRdnIsName;
  const bool implicit_principal = kind == kAccount && object.name != 0 && !domain_dns_.empty() &&
                                  change.PrincipalName == change.AccountName + "@" + domain_dns_;
  object.principal = kind == kAccount && !implicit_principal ? StoreText(change.PrincipalName) : 0;
  if (implicit_principal) flags |= kImplicitPrincipal;
  object.display = kind == kAccount ? StoreText(change.DisplayName) : 0;
  object.primary_rid = change.PrimaryGroupId;
  object.pwd_last_set = kind == kAccount ? change.PwdLastSet : 0;
  object.sid_domain = 0;
  object.rid = 0;
  // A SID: revision, count, 6 bytes of authority, count sub-authorities.
  const std::string& sid = change.Sid;
  if (sid.size() >= 12 &&
      sid.size() == 8 + 4 * static_cast<size_t>(static_cast<unsigned char>(sid[1]))) {
    const std::string domain = sid.substr(0, sid.size() - 4);
    uint32_t rid = 0;
    std::memcpy(&rid, sid.data() + sid.size() - 4, 4);  // little endian on every target
    auto found = std::find(sid_domains_.begin(), sid_domains_.end(), domain);
    if (found == sid_domains_.end()) found = sid_domains_.insert(sid_domains_.end(), domain);
    object.sid_domain = static_cast<uint16_t>(found - sid_domains_.begin() + 1);
    object.rid = rid;
  }
  if (kind == kAccount && change.AccountType == kNormalAccount &&
      ((object.rid == kKrbtgtRid && object.sid_domain != 0) || change.SecondaryKrbtgt)) {
    flags |= kKrbtgt;
  }
  object.flags = flags;
  if (kind == kGroup && object.sid_domain != 0) {
    groups_by_sid_[static_cast<uint64_t>(object.sid_domain) << 32 | object.rid] = id;
  }
  if (kind == kGroup) {
    group_texts_[id] =
        GroupTexts{Utf8ToText(change.AccountName) + ZT(";"),
                   (object.sid_domain != 0 ? SidText(change.Sid) : Text()) + ZT(";")};
  } else {
    group_texts_.erase(id);
  }
  Reindex(id);
  if (!old_dn.empty() && FoldName(old_dn) != FoldName(change.Dn)) RenameParents(old_dn, change.Dn);
  return id;
}

void DirectoryView::Apply(std::vector<ViewChange>& batch) {
  ApplyObjects(batch);
  ResolveMembers();
}

void DirectoryView::ApplyObjects(std::vector<ViewChange>& batch) {
  for (const ViewChange& change : batch) {
    if (!change.Deleted) continue;
    const uint32_t id = FindByGuid(change.Guid);
    if (id != kNone) Remove(id);
  }
  for (ViewChange& change : batch) {
    if (change.Deleted) continue;
    const uint32_t id = Upsert(change);
    if (objects_[id].kind == kGroup) pending_members_.emplace_back(id, std::move(change.Members));
  }
}

void DirectoryView::ResolveMembers() {
  for (const auto& [id, members] : pending_members_) {
    if (objects_[id].kind == kGroup) SetMembers(id, members);
  }
  pending_members_.clear();
  pending_members_.shrink_to_fit();
  CompactTexts();
  CompactLists();
}

void DirectoryView::Trim() {
  objects_.shrink_to_fit();
  texts_.shrink_to_fit();
  CompactLists();
  list_pool_.shrink_to_fit();
  lists_.shrink_to_fit();
  for (Index* index : {&by_guid_, &by_dn_, &by_name_, &by_principal_, &by_list_}) IndexFit(*index);
}

// An OU or container was renamed or moved: the objects below it keep their
// own change numbers, so their parent DNs are rewritten here.
void DirectoryView::RenameParents(const std::string& old_dn, const std::string& new_dn) {
  const std::string folded_old = FoldName(old_dn);
  std::vector<bool> affected(parents_.size(), false);
  bool any = false;
  for (size_t p = 0; p < parents_.size(); ++p) {
    const std::string folded = FoldName(parents_[p]);
    if (folded == folded_old ||
        (folded.size() > folded_old.size() &&
         folded.compare(folded.size() - folded_old.size(), folded_old.size(), folded_old) == 0 &&
         folded[folded.size() - folded_old.size() - 1] == ',')) {
      affected[p] = any = true;
    }
  }
  if (!any) return;
  std::vector<uint32_t> below;
  for (uint32_t id = 0; id < objects_.size(); ++id) {
    if (objects_[id].kind != kFree && affected[objects_[id].parent]) below.push_back(id);
  }
  for (uint32_t id : below) Unindex(id);
  for (size_t p = 0; p < parents_.size(); ++p) {
    if (!affected[p]) continue;
    parent_ids_.erase(FoldName(parents_[p]));
    parents_[p] = parents_[p].substr(0, parents_[p].size() - old_dn.size()) + new_dn;
    containers_[p] = ContainerOfParent(parents_[p]);
    parent_ids_.emplace(FoldName(parents_[p]), static_cast<uint32_t>(p));
  }
  for (uint32_t id : below) Reindex(id);
}

// ----------------------------------------------------------------- lookups

bool DirectoryView::PasswordStamp(const Text& account_name, int64_t& pwd_last_set,
                                  uint32_t& relative_id) const {
  if (account_name.empty()) return false;
  const uint32_t id = FindByFoldedName(by_name_, &Object::name, FoldName(TextToUtf8(account_name)));
  if (id == kNone || objects_[id].kind != kAccount) return false;
  pwd_last_set = objects_[id].pwd_last_set;
  relative_id = objects_[id].rid;
  return true;
}

bool DirectoryView::Lookup(const Text& name, const Text& netbios_domain, UserRecord& record,
                           AccountKind& kind) const {
  Text bare = name;
  const size_t slash = bare.find(ZT('\\'));
  if (slash != Text::npos) bare = bare.substr(slash + 1);
  if (bare.empty()) return false;
  const std::string folded = FoldName(TextToUtf8(bare));
  uint32_t id = FindByFoldedName(by_name_, &Object::name, folded);
  const size_t at = folded.rfind('@');
  if (id == kNone && at != std::string::npos) {
    id = FindByFoldedName(by_principal_, &Object::principal, folded);
    if (id == kNone && !domain_dns_.empty() && folded.substr(at + 1) == domain_dns_)
      id = FindByFoldedName(by_name_, &Object::name, folded.substr(0, at));
  }
  if (id == kNone) return false;
  FillRecord(id, netbios_domain, record, kind);
  return true;
}

void DirectoryView::FillRecord(uint32_t id, const Text& netbios_domain, UserRecord& record,
                               AccountKind& kind) const {
  const Object& user = objects_[id];
  kind = (user.flags & kKrbtgt) != 0    ? AccountKind::Krbtgt
         : (user.flags & kMachine) != 0 ? AccountKind::Machine
                                        : AccountKind::Person;
  record.AccountName = Utf8ToText(TextAt(user.name));
  record.QualifiedName = netbios_domain + ZT("\\") + record.AccountName;
  record.DistinguishedName = Utf8ToText(DnOf(user));
  record.PrincipalName = Utf8ToText(PrincipalOf(user));
  record.DisplayName = Utf8ToText(TextAt(user.display));
  record.Container = containers_[user.parent];
  record.Guid =
      GuidText(std::string(reinterpret_cast<const char*>(user.guid.data()), user.guid.size()));
  auto sid_text = [&](const Object& object) {
    if (object.sid_domain == 0) return Text();
    std::string bytes = sid_domains_[object.sid_domain - 1];
    bytes.append(reinterpret_cast<const char*>(&object.rid), 4);
    return SidText(bytes);
  };
  record.Sid = sid_text(user);

  // The groups of the account's token: its direct groups and the primary
  // group, then the groups those are members of, security groups only
  // (a distribution group neither counts nor passes membership on). Each
  // group once, so cycles end.
  std::vector<uint32_t> seen;
  const GroupSpan direct = GroupsOf(user.member_of);
  std::deque<uint32_t> pending(direct.begin(), direct.end());
  if (user.sid_domain != 0 && user.primary_rid != 0) {
    const auto primary =
        groups_by_sid_.find(static_cast<uint64_t>(user.sid_domain) << 32 | user.primary_rid);
    if (primary != groups_by_sid_.end()) pending.push_front(primary->second);
  }
  while (!pending.empty()) {
    const uint32_t group = pending.front();
    pending.pop_front();
    const Object& object = objects_[group];
    if (object.kind != kGroup || (object.flags & kSecurityGroup) == 0) continue;
    if (std::find(seen.begin(), seen.end(), group) != seen.end()) continue;
    seen.push_back(group);
    const auto texts = group_texts_.find(group);
    if (texts != group_texts_.end()) {
      record.GroupNames += texts->second.name;
      record.GroupSids += texts->second.sid;
    }
    const GroupSpan parents = GroupsOf(object.member_of);
    pending.insert(pending.end(), parents.begin(), parents.end());
  }
}

void DirectoryView::ForEachAccount(
    const Text& netbios_domain,
    const std::function<void(const UserRecord&, AccountKind)>& visit) const {
  for (uint32_t id = 0; id < objects_.size(); ++id) {
    if (objects_[id].kind != kAccount) continue;
    UserRecord record;
    AccountKind kind = AccountKind::Person;
    FillRecord(id, netbios_domain, record, kind);
    visit(record, kind);
  }
}

ViewStatistics DirectoryView::Statistics() const {
  ViewStatistics statistics;
  statistics.Objects = live_;
  statistics.Accounts = accounts_;
  statistics.Groups = groups_;
  size_t bytes = sizeof(*this) + objects_.capacity() * sizeof(Object) +
                 free_objects_.capacity() * sizeof(uint32_t) + texts_.capacity();
  for (const Index* index : {&by_guid_, &by_dn_, &by_name_, &by_principal_, &by_list_})
    bytes += index->slots.capacity() * sizeof(Slot);
  for (const std::string& parent : parents_) bytes += sizeof(parent) + parent.capacity() + 48;
  // Hash-map nodes: the entry, a next pointer and a bucket pointer.
  bytes += groups_by_sid_.size() * (sizeof(uint64_t) + sizeof(uint32_t) + 24);
  for (const auto& [group, texts] : group_texts_)
    bytes += sizeof(group) + sizeof(texts) + 24 +
             (texts.name.capacity() + texts.sid.capacity()) * sizeof(WChar);
  for (const Text& container : containers_)
    bytes += sizeof(container) + container.capacity() * sizeof(WChar);
  for (const auto& [group, members] : members_)
    bytes += sizeof(group) + sizeof(members) + 24 + members.capacity() * sizeof(uint32_t);
  bytes += lists_.capacity() * sizeof(GroupList) + free_lists_.capacity() * sizeof(uint32_t) +
           list_pool_.capacity() * sizeof(uint32_t);
  statistics.Bytes = bytes;
  return statistics;
}

}  // namespace zefa
