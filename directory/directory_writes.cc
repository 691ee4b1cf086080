#include "directory/directory_writes.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>

#include "platform/directory_names.h"
#include "platform/directory.h"
#include "util/text_util.h"

namespace zefa {

namespace {

constexpr int kEntryAlreadyExists = 68;
constexpr int kNoSuchAttribute = 16;
constexpr int kValueExists = 20;
constexpr size_t kCacheLimit = 1024;
constexpr std::chrono::seconds kCacheLifetime{86400};
constexpr int64_t kMinuteUnits = 600000000;  // 100-ns units per minute
constexpr int64_t kDayUnits = 864000000000;  // 100-ns units per day
constexpr WChar kNeverExpires[] = ZT("-9223372036854775808");

Text CompleteDn(const Text& dn) {
  if (!dn.empty() && dn.back() == ZT(',')) return dn + CurrentNamingContexts().DefaultNamingContext;
  return dn;
}

// A name -> DN cache that forgets everything when it grows past its limit or
// a day after it was last emptied; both tested at every lookup. A name that
// was not found is asked again once kNotFoundLifetime has passed, so a group
// or OU created later is picked up within the hour.
constexpr std::chrono::seconds kNotFoundLifetime{3600};

struct DnCache {
  struct Entry {
    Text dn;  // empty: not found
    std::chrono::steady_clock::time_point stored;
  };
  std::mutex lock;
  std::map<Text, Entry> entries;
  std::chrono::steady_clock::time_point emptied{};
  bool clock_started = false;
  std::chrono::seconds shift{0};  // added to the clock by the tests

  std::chrono::steady_clock::time_point Now() const {
    return std::chrono::steady_clock::now() + shift;
  }

  // Caller holds `lock`.
  void ApplyEmptyingRule() {
    const auto now = Now();
    if (!clock_started) {
      clock_started = true;
      emptied = now;
    }
    if (entries.size() > kCacheLimit || now - emptied > kCacheLifetime) {
      entries.clear();
      emptied = now;
    }
  }

  // The cached DN of `name`; false when there is none or a not-found entry
  // has expired. Caller holds `lock`.
  bool Find(const Text& name, Text& dn) const {
    const auto found = entries.find(name);
    if (found == entries.end()) return false;
    if (found->second.dn.empty() && Now() - found->second.stored >= kNotFoundLifetime) return false;
    dn = found->second.dn;
    return true;
  }

  void Store(const Text& name, const Text& dn) { entries[name] = Entry{dn, Now()}; }
};

DnCache& GroupDnCache() {
  static DnCache* cache = new DnCache;
  return *cache;
}

DnCache& OuDnCache() {
  static DnCache* cache = new DnCache;
  return *cache;
}

platform::DirectoryModification Modification(int op, const Text& name, const Text& value) {
  platform::DirectoryModification modification;
  modification.op = op;
  modification.attribute = name;
  if (!value.empty()) modification.values.push_back(TextToUtf8(value));
  return modification;
}

}  // namespace

int AddDirectoryObject(DirectoryConnection& connection, const Text& dn, const Text& object_class,
                       const Text& account_name) {
  std::vector<platform::DirectoryModification> attributes;
  attributes.push_back(Modification(platform::kDirectoryAdd, ZT("objectClass"), object_class));
  if (!account_name.empty())
    attributes.push_back(Modification(platform::kDirectoryAdd, ZT("sAMAccountName"), account_name));
  return platform::DirectoryAdd(connection.handle, CompleteDn(dn), attributes, true);
}

std::vector<Text> ExpandAttributeValues(const std::vector<Text>& values) {
  std::vector<Text> expanded;
  for (Text value : values) {
    if (!value.empty() && value.back() == ZT(',')) {
      value += CurrentNamingContexts().DefaultNamingContext;
    } else if (!value.empty() && value.front() == ZT('/')) {
      const Text dn = TrimBlanks(platform::TranslateCanonicalToDn(
          CurrentNamingContexts().DomainCanonicalName + value.substr(1)));
      if (!dn.empty()) value = dn;
    }
    expanded.push_back(std::move(value));
  }
  return expanded;
}

int SetAttributeValues(DirectoryConnection& connection, const Text& dn, const Text& attribute,
                       const std::vector<Text>& values) {
  platform::DirectoryModification replace;
  replace.op = platform::kDirectoryReplace;
  replace.attribute = attribute;
  for (const Text& value : ExpandAttributeValues(values))
    replace.values.push_back(TextToUtf8(value));
  return platform::DirectoryModify(connection.handle, CompleteDn(dn), {replace}, true);
}

namespace {

// One request per chunk of `values`; a refused chunk value by value.
int ChangeValues(DirectoryConnection& connection, const Text& dn, const Text& attribute, int op,
                 const std::vector<Text>& values) {
  const int harmless = op == platform::kDirectoryAdd ? kValueExists : kNoSuchAttribute;
  int first_failure = 0;
  for (size_t start = 0; start < values.size(); start += kValuesPerChangeRequest) {
    if (platform::DirectoryConnectionLost(connection.handle)) return -1;
    const size_t end = std::min(values.size(), start + kValuesPerChangeRequest);
    platform::DirectoryModification change;
    change.op = op;
    change.attribute = attribute;
    for (size_t i = start; i < end; ++i) change.values.push_back(TextToUtf8(values[i]));
    if (platform::DirectoryModify(connection.handle, dn, {change}, true) == 0) continue;
    for (size_t i = start; i < end; ++i) {
      if (platform::DirectoryConnectionLost(connection.handle)) return -1;
      const int rc = platform::DirectoryModify(connection.handle, dn,
                                               {Modification(op, attribute, values[i])}, true);
      if (rc != 0 && rc != harmless && first_failure == 0) first_failure = rc;
    }
  }
  return first_failure;
}

}  // namespace

int ChangeAttributeValues(DirectoryConnection& connection, const Text& dn, const Text& attribute,
                          const std::vector<Text>& add, const std::vector<Text>& remove) {
  const Text target = CompleteDn(dn);
  const int removed =
      ChangeValues(connection, target, attribute, platform::kDirectoryDelete, remove);
  const int added = ChangeValues(connection, target, attribute, platform::kDirectoryAdd, add);
  return removed != 0 ? removed : added;
}

int SetAttributeText(DirectoryConnection& connection, const Text& dn, const Text& attribute,
                     const Text& text) {
  return platform::DirectoryModify(connection.handle, CompleteDn(dn),
                                   {Modification(platform::kDirectoryReplace, attribute, text)},
                                   true);
}

std::vector<std::pair<Text, Text>> PasswordSettingsAttributes(const PasswordSettings& settings) {
  // Signed 64-bit products; the policy values are far below any overflow.
  const Text max_age = settings.MaxPasswordAgeDays == 0
                           ? Text(kNeverExpires)
                           : IntegerToText(settings.MaxPasswordAgeDays * -kDayUnits);
  return {
      {ZT("msDS-LockoutDuration"), IntegerToText(settings.LockoutDurationMin * -kMinuteUnits)},
      {ZT("msDS-LockoutObservationWindow"),
       IntegerToText(settings.LockoutObservationWindowMin * -kMinuteUnits)},
      {ZT("msDS-LockoutThreshold"), IntegerToText(settings.LockoutThreshold)},
      {ZT("msDS-MaximumPasswordAge"), max_age},
      {ZT("msDS-MinimumPasswordAge"), IntegerToText(settings.MinPasswordAgeDays * -kDayUnits)},
      {ZT("msDS-MinimumPasswordLength"), IntegerToText(settings.MinPasswordLength)},
      {ZT("msDS-PasswordComplexityEnabled"), settings.PasswordComplexity},
      {ZT("msDS-PasswordHistoryLength"), IntegerToText(settings.PasswordHistoryLength)},
      {ZT("msDS-PasswordReversibleEncryptionEnabled"), settings.ReversibleEncryption},
      {ZT("msDS-PasswordSettingsPrecedence"), IntegerToText(settings.Precedence)},
      {ZT("msDS-PSOAppliesTo"), CompleteDn(settings.AppliesTo)},
      {ZT("objectClass"), ZT("msDS-PasswordSettings")},
      {ZT("description"), settings.Description},
  };
}

int WritePasswordSettings(DirectoryConnection& connection, const Text& dn,
                          const PasswordSettings& settings) {
  const Text full_dn = CompleteDn(dn);
  const auto attributes = PasswordSettingsAttributes(settings);
  std::vector<platform::DirectoryModification> adds;
  std::vector<platform::DirectoryModification> replaces;
  for (const auto& [name, value] : attributes) {
    // An attribute without a value cannot be added; replaced, it goes away.
    if (!value.empty()) adds.push_back(Modification(platform::kDirectoryAdd, name, value));
    replaces.push_back(Modification(platform::kDirectoryReplace, name, value));
  }
  const int rc = platform::DirectoryAdd(connection.handle, full_dn, adds, true);
  if (rc != kEntryAlreadyExists) return rc;
  return platform::DirectoryModify(connection.handle, full_dn, replaces, true);
}

Text FindSecurityGroupDn(DirectoryConnection& connection, const Text& group_name) {
  DnCache& cache = GroupDnCache();
  std::lock_guard<std::mutex> guard(cache.lock);
  cache.ApplyEmptyingRule();
  Text dn;
  if (cache.Find(group_name, dn)) return dn;

  // Bit 0x80000000 of groupType marks security groups.
  const Text filter = ZT("(&(groupType:1.2.840.113556.1.4.803:=2147483648)(sAMAccountName=") +
                      EscapeFilterValue(group_name) + ZT("))");
  std::vector<platform::DirectoryEntry> entries;
  const int rc =
      platform::DirectorySearch(connection.handle, CurrentNamingContexts().DefaultNamingContext, 2,
                                filter, {ZT("distinguishedName")}, 1, entries);
  // Only an answer of the directory is kept: a search that failed (no
  // answer in time) says nothing about the group.
  if (rc != 0) return Text();
  if (!entries.empty()) {
    for (const platform::DirectoryAttribute& attribute : entries.front().attributes) {
      if (ToLower(attribute.name) == ZT("distinguishedname") && !attribute.values.empty()) {
        dn = Utf8ToText(attribute.values.front());
        break;
      }
    }
  }
  cache.Store(group_name, dn);
  return dn;
}

Text OuPathToDn(DirectoryConnection& /*connection*/, const Text& ou_path) {
  DnCache& cache = OuDnCache();
  std::lock_guard<std::mutex> guard(cache.lock);
  cache.ApplyEmptyingRule();
  Text canonical = ou_path;
  if (!canonical.empty() && canonical.front() == ZT('/'))
    canonical = CurrentNamingContexts().DomainCanonicalName + canonical.substr(1);
  Text dn;
  if (cache.Find(canonical, dn)) return dn;
  dn = TrimBlanks(platform::TranslateCanonicalToDn(canonical));
  // The same entries select accounts by their OU path below the domain
  // ("Sales/EMEA"), so an entry that is no complete canonical name is also
  // tried below this domain before it counts as not found.
  if (dn.empty() && !canonical.empty() && canonical.front() != ZT('/'))
    dn = TrimBlanks(
        platform::TranslateCanonicalToDn(CurrentNamingContexts().DomainCanonicalName + canonical));
  cache.Store(canonical, dn);
  return dn;
}

void ClearDirectoryWriteCaches() {
  for (DnCache* cache : {&GroupDnCache(), &OuDnCache()}) {
    std::lock_guard<std::mutex> guard(cache->lock);
    cache->entries.clear();
    cache->clock_started = false;
    cache->shift = std::chrono::seconds(0);
  }
}

void AdvanceDirectoryWriteCachesForTesting(std::chrono::seconds seconds) {
  for (DnCache* cache : {&GroupDnCache(), &OuDnCache()}) {
    std::lock_guard<std::mutex> guard(cache->lock);
    cache->shift += seconds;
  }
}

}  // namespace zefa
