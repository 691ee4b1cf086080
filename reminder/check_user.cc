#include "reminder/check_user.h"

#include <map>
#include <mutex>

#include "platform/directory_names.h"
#include "platform/time.h"
#include "platform/directory.h"
#include "platform/session.h"
#include "reminder/expiry.h"
#include "reminder/reminder_message.h"
#include "util/text_util.h"

namespace zefa {

namespace {

constexpr size_t kDnCacheLimit = 1024;
constexpr int64_t kDnCacheLifetimeSeconds = 86400;

struct UserDnCache {
  std::mutex lock;
  std::map<Text, Text> names;  // account name -> DN
  int64_t cleared = 0;         // date value of the last clearing
};

UserDnCache& DnCache() {
  static UserDnCache* cache = new UserDnCache;
  return *cache;
}

// The logged-on user's DN: given by the platform where it knows it,
// otherwise looked up from the session's account name.
Text LoggedOnUserDistinguishedName(DirectoryConnection& connection) {
  const platform::SessionUser user = platform::LoggedOnUser();
  if (!user.distinguished_name.empty()) return user.distinguished_name;
  if (user.account_name.empty()) return Text();
  return FindUserDistinguishedName(connection, user.account_name);
}

}  // namespace

Text FindUserDistinguishedName(DirectoryConnection& connection, const Text& account_name) {
  UserDnCache& cache = DnCache();
  std::lock_guard<std::mutex> guard(cache.lock);
  const int64_t now = platform::LocalNow();
  if (cache.names.size() > kDnCacheLimit || now - cache.cleared > kDnCacheLifetimeSeconds) {
    cache.names.clear();
    cache.cleared = now;
  }
  const auto cached = cache.names.find(account_name);
  if (cached != cache.names.end()) return cached->second;
  const Text filter = ZT("(&(sAMAccountType=805306368)(sAMAccountName=") +
                      EscapeFilterValue(account_name) + ZT("))");
  std::vector<platform::DirectoryEntry> entries;
  Text dn;
  if (platform::DirectorySearch(connection.handle, CurrentNamingContexts().DefaultNamingContext, 2,
                                filter, {ZT("distinguishedName")}, 1, entries) == 0 &&
      !entries.empty()) {
    for (const platform::DirectoryAttribute& attribute : entries.front().attributes) {
      if (!attribute.values.empty() && ToLower(attribute.name) == ZT("distinguishedname")) {
        dn = Utf8ToText(attribute.values.front());
        break;
      }
    }
  }
  cache.names[account_name] = dn;
  return dn;
}

void ClearUserDnCache() {
  UserDnCache& cache = DnCache();
  std::lock_guard<std::mutex> guard(cache.lock);
  cache.names.clear();
  cache.cleared = 0;
}

int CheckUser(const Text& account_name, AttributeMap& user_info) {
  DirectoryConnection connection;
  if (!OpenDirectoryConnection(connection)) return 0;
  const Text dn = account_name.empty() ? LoggedOnUserDistinguishedName(connection)
                                       : FindUserDistinguishedName(connection, account_name);
  user_info.clear();
  ReadObject(connection, user_info, CurrentNamingContexts().DefaultNamingContext, ZT("maxPwdAge"));
  // An account that was not found leaves its attributes empty (an empty base
  // would read the RootDSE, which has none of them).
  if (!dn.empty()) ReadObject(connection, user_info, dn, kReminderUserAttributes);
  user_info[ZT("_passwordNeverExpires")] = PasswordNeverExpiresText(user_info);
  const Text pso = AttributeText(user_info, ZT("msDS-ResultantPSO"));
  if (user_info[ZT("_passwordNeverExpires")] == ZT("FALSE") && !pso.empty())
    ReadObject(connection, user_info, pso, kReminderPsoAttributes);
  user_info[ZT("info")] = ComposeReminderText(user_info);
  CloseDirectoryConnection(connection);
  return 1;
}

}  // namespace zefa
