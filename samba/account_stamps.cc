#include "samba/account_stamps.h"

#include <time.h>

#include <charconv>
#include <condition_variable>
#include <mutex>

#include "platform/directory_names.h"
#include "platform/characters.h"
#include "platform/directory.h"

namespace zefa::host {

namespace {

constexpr int kScopeBase = 0;
constexpr int kScopeSubtree = 2;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

const std::string* FirstValue(const platform::DirectoryEntry& entry, const Text& name) {
  for (const platform::DirectoryAttribute& attribute : entry.attributes) {
    if (attribute.values.empty() || attribute.name.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i)
      same = platform::CharLower(attribute.name[i]) == platform::CharLower(name[i]);
    if (same) return &attribute.values.front();
  }
  return nullptr;
}

// At most this many connections, kept open between reads: a domain
// controller may start a process for every new connection, which costs far
// more than the search itself, so readers wait for a free connection rather
// than open more. Each connection serves one reader at a time.
constexpr size_t kMaxConnections = 4;

struct ConnectionPool {
  std::mutex lock;  // guards the fields below
  std::condition_variable released;
  std::vector<platform::DirectoryHandle*> idle;
  size_t open = 0;  // idle and in use
  Text base;        // the domain's naming context, once read
};

ConnectionPool& Pool() {
  static ConnectionPool* pool = new ConnectionPool;  // used until exit
  return *pool;
}

platform::DirectoryHandle* AcquireConnection() {
  ConnectionPool& pool = Pool();
  {
    std::unique_lock<std::mutex> guard(pool.lock);
    pool.released.wait(guard, [&] { return !pool.idle.empty() || pool.open < kMaxConnections; });
    if (!pool.idle.empty()) {
      platform::DirectoryHandle* handle = pool.idle.back();
      pool.idle.pop_back();
      return handle;
    }
    ++pool.open;
  }
  platform::DirectoryHandle* handle = platform::DirectoryOpen();
  if (handle == nullptr) {
    std::lock_guard<std::mutex> guard(pool.lock);
    --pool.open;
    pool.released.notify_one();
  }
  return handle;
}

// A connection whose last search failed is closed instead of kept.
void ReleaseConnection(platform::DirectoryHandle* handle, bool healthy) {
  ConnectionPool& pool = Pool();
  if (!healthy) platform::DirectoryClose(handle);
  std::lock_guard<std::mutex> guard(pool.lock);
  if (healthy)
    pool.idle.push_back(handle);
  else
    --pool.open;
  pool.released.notify_one();
}

Text DefaultNamingContext(platform::DirectoryHandle* handle) {
  std::vector<platform::DirectoryEntry> entries;
  if (platform::DirectorySearch(handle, Text(), kScopeBase, ZT("(objectClass=*)"),
                                {ZT("defaultNamingContext")}, 0, entries) != 0 ||
      entries.empty())
    return Text();
  const std::string* value = FirstValue(entries.front(), ZT("defaultNamingContext"));
  return value != nullptr ? Utf8ToText(*value) : Text();
}

}  // namespace

uint32_t RelativeIdOfSid(const std::string& sid) {
  // revision 1, count of sub-authorities, 6-byte authority, 4 bytes each
  if (sid.size() < 12 || static_cast<uint8_t>(sid[0]) != 1) return 0;
  const size_t count = static_cast<uint8_t>(sid[1]);
  if (count == 0 || sid.size() != 8 + 4 * count) return 0;
  const auto* last = reinterpret_cast<const uint8_t*>(sid.data()) + sid.size() - 4;
  return static_cast<uint32_t>(last[0]) | static_cast<uint32_t>(last[1]) << 8 |
         static_cast<uint32_t>(last[2]) << 16 | static_cast<uint32_t>(last[3]) << 24;
}

int64_t DirectoryTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<int64_t>(now.tv_sec) + kSecondsFrom1601To1970) * 10000000 + now.tv_nsec / 100;
}

namespace {

// Reads the queries that are still unread; false when the connection failed.
bool ReadWith(platform::DirectoryHandle* handle, std::vector<StampQuery>& queries) {
  ConnectionPool& pool = Pool();
  Text base;
  {
    std::lock_guard<std::mutex> guard(pool.lock);
    base = pool.base;
  }
  if (base.empty()) {
    base = DefaultNamingContext(handle);
    if (base.empty()) return false;
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.base = base;
  }
  for (StampQuery& query : queries) {
    if (query.read) continue;
    std::vector<platform::DirectoryEntry> entries;
    const Text filter =
        ZT("(&(objectClass=user)(sAMAccountName=") + EscapeFilterValue(query.account) + ZT("))");
    if (platform::DirectorySearch(handle, base, kScopeSubtree, filter,
                                  {ZT("pwdLastSet"), ZT("objectSid")}, 2, entries) != 0)
      return false;
    query.read = true;
    query.stamp = AccountStamp{};
    if (entries.size() != 1) continue;  // unknown (or, impossibly, ambiguous)
    query.stamp.found = true;
    if (const std::string* value = FirstValue(entries.front(), ZT("pwdLastSet"))) {
      int64_t number = 0;
      const auto result = std::from_chars(value->data(), value->data() + value->size(), number);
      if (result.ec == std::errc()) query.stamp.pwd_last_set = number;
    }
    if (const std::string* sid = FirstValue(entries.front(), ZT("objectSid")))
      query.stamp.relative_id = RelativeIdOfSid(*sid);
  }
  return true;
}

}  // namespace

void ReadAccountStamps(std::vector<StampQuery>& queries) {
  if (queries.empty()) return;
  // A kept connection may have gone stale (the DC restarted): one more try
  // on a new one.
  for (int attempt = 0; attempt < 2; ++attempt) {
    platform::DirectoryHandle* handle = AcquireConnection();
    if (handle == nullptr) return;
    const bool healthy = ReadWith(handle, queries);
    ReleaseConnection(handle, healthy);
    if (healthy) return;
  }
}

void CloseStampConnections() {
  ConnectionPool& pool = Pool();
  std::lock_guard<std::mutex> guard(pool.lock);
  for (platform::DirectoryHandle* handle : pool.idle) platform::DirectoryClose(handle);
  pool.open -= pool.idle.size();
  pool.idle.clear();
}

}  // namespace zefa::host
