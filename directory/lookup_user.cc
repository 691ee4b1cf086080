#include "directory/lookup_user.h"

#include <atomic>
#include <map>
#include <mutex>

#include "directory/directory.h"
#include "platform/directory_names.h"
#include "platform/time.h"
#include "platform/system.h"
#include "platform/directory.h"
#include "util/date_value.h"
#include "util/text_util.h"

namespace zefa {

namespace {

constexpr int64_t kCacheSeconds = 60;
constexpr size_t kCacheLimit = 16;
constexpr int64_t kCacheLifetimeSeconds = 86400;

struct UserCache {
  std::mutex lock;  // UserCacheLock
  std::map<Text, UserRecord> records;
  int64_t cleared = 0;  // UserCacheCleared
  UserLookupFunction override_lookup;
};

UserCache& Cache() {
  static UserCache* cache = new UserCache;
  return *cache;
}

std::atomic<uint64_t> directory_lookups{0};

Text Value(const AttributeMap& attributes, const WChar* name) {
  const auto found = attributes.find(name);
  return found == attributes.end() ? Text() : found->second;
}

Text NormaliseAccountName(const Text& account_name) {
  Text name = account_name;
  const size_t slash = name.find(ZT('\\'));
  if (slash != Text::npos) name = name.substr(slash + 1);
  const size_t at = name.find(ZT('@'));
  if (at != Text::npos) name = name.substr(0, at);
  return name;
}

// The OU path of the account's parent below the domain. The parent is found
// by the DN's own syntax: a comma inside a name ("CN=Smith\, John,OU=Sales")
// is escaped and does not end the account's relative name.
Text ContainerOf(const Text& dn) {
  const Text parent = ParentDn(dn);
  if (parent.empty()) return Text();
  const Text canonical = platform::TranslateDnToCanonical(parent);
  if (canonical.empty()) return parent;
  const size_t slash = canonical.find(ZT('/'));
  return slash == Text::npos ? canonical : canonical.substr(slash + 1);
}

void FillGroups(const Text& token_groups, UserRecord& record) {
  if (token_groups.empty()) return;
  for (const Text& item : SplitFields(token_groups, ZT('|'))) {
    const size_t colon = item.find(ZT(':'));
    if (colon == Text::npos) {
      record.GroupNames += ZT(";");
      record.GroupSids += item + ZT(";");
    } else {
      record.GroupNames += item.substr(colon + 1) + ZT(";");
      record.GroupSids += item.substr(0, colon) + ZT(";");
    }
  }
}

void LookupInDirectory(const Text& account_name, UserRecord& record) {
  directory_lookups.fetch_add(1);
  const platform::DirectoryTimeBudget budget(kUserLookupBudgetMilliseconds);
  const Text domain = platform::NetbiosDomainName();
  const Text name = NormaliseAccountName(account_name);
  AttributeMap attributes;
  DirectoryConnection connection;
  bool answered = false;
  if (OpenDirectoryConnection(connection)) {
    answered = FindUserEntry(connection, attributes, name, kUserAttributeList) == 0;
    if (answered && !Value(attributes, ZT("distinguishedName")).empty()) {
      ReadObject(connection, attributes, Value(attributes, ZT("distinguishedName")), ZT("tokenGroups"));
    }
    CloseDirectoryConnection(connection);
  }
  record.LookupFailed = !answered;
  const int64_t now = platform::LocalNow();
  record.LookupTime = now;
  record.AccountName = Value(attributes, ZT("sAMAccountName"));
  record.QualifiedName = domain + ZT("\\") + record.AccountName;
  record.HomeDirectory = Value(attributes, ZT("homeDirectory"));
  record.Description = Value(attributes, ZT("description"));
  record.ScriptPath = Value(attributes, ZT("scriptPath"));
  record.DisplayName = Value(attributes, ZT("displayName"));
  record.LastLogon = ParseDateValue(Value(attributes, ZT("lastLogon")));
  record.AccountExpires = ParseDateValue(Value(attributes, ZT("accountExpires")));
  record.PasswordAge = now - ParseDateValue(Value(attributes, ZT("pwdLastSet")));
  record.ProfilePath = Value(attributes, ZT("profilePath"));
  record.Sid = Value(attributes, ZT("objectSid"));
  record.DistinguishedName = Value(attributes, ZT("distinguishedName"));
  record.PrincipalName = Value(attributes, ZT("userPrincipalName"));
  record.Guid = Value(attributes, ZT("objectGUID"));
  record.Container = ContainerOf(record.DistinguishedName);
  FillGroups(Value(attributes, ZT("tokenGroups")), record);
}

}  // namespace

void SetUserLookupForTesting(UserLookupFunction lookup) {
  UserCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.lock);
  cache.override_lookup = std::move(lookup);
  cache.records.clear();
}

void ClearUserCache() {
  UserCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.lock);
  cache.records.clear();
  cache.cleared = 0;
}

uint64_t DirectoryLookupCount() { return directory_lookups.load(); }

void LookupUser(const Text& account_name, UserRecord& record) {
  UserCache& cache = Cache();
  UserLookupFunction override_lookup;
  {
    std::lock_guard<std::mutex> guard(cache.lock);
    override_lookup = cache.override_lookup;
    if (!override_lookup) {
      const int64_t now = platform::LocalNow();
      if (cache.cleared == 0) cache.cleared = now;
      if (cache.records.size() > kCacheLimit || now - cache.cleared > kCacheLifetimeSeconds) {
        cache.records.clear();
        cache.cleared = now;
      }
      const auto found = cache.records.find(account_name);
      if (found != cache.records.end() && now - found->second.LookupTime < kCacheSeconds) {
        record = found->second;
        return;
      }
    }
  }
  record = UserRecord();
  if (override_lookup) {
    record.LookupTime = platform::LocalNow();
    override_lookup(account_name, record);
    return;
  }
  LookupInDirectory(account_name, record);
  // Only found accounts are kept: an account that is being created is
  // looked up before it exists and again right after.
  if (record.AccountName.empty()) return;
  std::lock_guard<std::mutex> guard(cache.lock);
  cache.records[NormaliseAccountName(account_name)] = record;
}

}  // namespace zefa
