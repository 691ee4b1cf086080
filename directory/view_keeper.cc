#include "directory/view_keeper.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "logging/log.h"
#include "platform/time.h"
#include "platform/system.h"
#include "platform/directory.h"
#include "util/text_util.h"

namespace zefa {

namespace {

constexpr int kPageSize = 1000;
// A page of a large domain may take the server longer than one request's
// usual bound.
constexpr int64_t kPageMilliseconds = 30000;

const WChar* const kBuildFilter =
    ZT("(|(objectClass=user)(objectClass=group)(objectClass=organizationalUnit)(objectClass="
       "container))");

std::vector<Text> ViewAttributes() {
  return {ZT("objectGUID"),
          ZT("objectClass"),
          ZT("isDeleted"),
          ZT("sAMAccountName"),
          ZT("userPrincipalName"),
          ZT("displayName"),
          ZT("objectSid"),
          ZT("sAMAccountType"),
          ZT("groupType"),
          ZT("primaryGroupID"),
          ZT("msDS-SecondaryKrbTgtNumber"),
          ZT("member"),
          ZT("uSNChanged"),
          ZT("pwdLastSet")};
}

struct KeeperState {
  std::shared_mutex view_lock;  // guards view
  std::unique_ptr<DirectoryView> view;
  Text netbios_domain;  // for the qualified names
  std::atomic<bool> ready{false};
  // DirectoryTimeNow() at the start of the last successful build or poll,
  // stored after the view took its changes.
  std::atomic<int64_t> current_to{0};
  std::atomic<int64_t> brisk_until{0};  // SteadyMilliseconds()
  std::atomic<uint64_t> generation{0};  // moves on with every change of the view

  std::mutex read_lock;  // one build or poll at a time; guards the fields below
  platform::DirectoryHandle* connection = nullptr;
  int64_t last_change = 0;    // highestCommittedUSN the view is current to
  int64_t failing_since = 0;  // local date value of the first failed read, 0 when none

  std::mutex thread_lock;  // guards thread, stop
  std::condition_variable wake;
  std::thread thread;
  bool stop = false;
};

// Never destroyed: the library's unload may still stop the thread late.
KeeperState& State() {
  static KeeperState* state = new KeeperState;
  return *state;
}

// 100-ns intervals from 1601-01-01 to 1970-01-01 (both UTC).
constexpr int64_t kUnixEpochUnits = 116444736000000000;
constexpr int64_t kBriskSpanMilliseconds = 2000;

int64_t DirectoryTimeNow() {
  const auto since_1970 = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return kUnixEpochUnits + since_1970.count() * 10;
}

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool SameName(const Text& a, const WChar* b) { return ToLower(a) == ToLower(Text(b)); }

int64_t IntegerValue(const std::string& text) {
  int64_t value = 0;
  bool negative = false;
  size_t i = 0;
  if (!text.empty() && text[0] == '-') {
    negative = true;
    i = 1;
  }
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10 + (text[i] - '0');
  return negative ? -value : value;
}

int64_t HighestChange(const platform::DirectoryEntry& root, Text& domain) {
  int64_t highest = -1;
  for (const platform::DirectoryAttribute& attribute : root.attributes) {
    if (attribute.values.empty()) continue;
    if (SameName(attribute.name, ZT("highestCommittedUSN")))
      highest = IntegerValue(attribute.values[0]);
    if (SameName(attribute.name, ZT("defaultNamingContext")))
      domain = Utf8ToText(attribute.values[0]);
  }
  return highest;
}

}  // namespace

bool CompleteMembers(platform::DirectoryHandle* handle, ViewChange& change) {
  while (change.MoreMembersFrom != 0) {
    const size_t from = change.Members.size();
    std::vector<platform::DirectoryEntry> entries;
    const Text wanted = ZT("member;range=") + IntegerToText(static_cast<int64_t>(from)) + ZT("-*");
    if (platform::DirectorySearch(handle, Utf8ToText(change.Dn), 0, Text(), {wanted}, 0, entries) !=
            0 ||
        entries.empty()) {
      return false;
    }
    change.MoreMembersFrom = 0;
    for (const platform::DirectoryAttribute& attribute : entries.front().attributes) {
      const Text name = ToLower(attribute.name);
      if (!StartsWith(name, ZT("member;range="))) continue;
      change.Members.insert(change.Members.end(), attribute.values.begin(), attribute.values.end());
      if (!attribute.values.empty() && name.substr(name.size() - 2) != ZT("-*"))
        change.MoreMembersFrom = change.Members.size();
    }
  }
  return true;
}

namespace {

// The changes of one paged search, in pages.
int ReadChanges(platform::DirectoryHandle* handle, const Text& base, const Text& filter,
                bool show_deleted, const std::function<void(std::vector<ViewChange>&)>& on_batch) {
  const platform::DirectoryRequestAllowance allowance(kPageMilliseconds);
  bool complete = true;
  const int rc = platform::DirectoryPagedSearch(
      handle, base, 2, filter, ViewAttributes(), kPageSize, show_deleted,
      [&](std::vector<platform::DirectoryEntry>& page) {
        std::vector<ViewChange> batch;
        batch.reserve(page.size());
        for (const platform::DirectoryEntry& entry : page) {
          ViewChange change;
          if (!ReadViewChange(entry, change)) continue;
          if (!CompleteMembers(handle, change)) complete = false;
          batch.push_back(std::move(change));
        }
        page.clear();
        on_batch(batch);
      });
  return rc != 0 ? rc : complete ? 0 : -1;
}

void LogOutage(KeeperState& state, bool answered) {
  const int64_t now = platform::LocalNow();
  if (!answered && state.failing_since == 0) {
    state.failing_since = now;
    LogWarning(state.ready.load()
                   ? ZT("The directory does not answer: password checks go on with the accounts "
                        "and groups as last read")
                   : ZT("The directory does not answer: passwords are refused until it has been "
                        "read"));
  } else if (answered && state.failing_since != 0) {
    LogInfo(ZT("The directory answers again after ") + IntegerToText(now - state.failing_since) +
            ZT(" seconds; its changes meanwhile were read"));
    state.failing_since = 0;
  }
}

// The work of one refresh; the read lock is held.
bool RefreshLocked(KeeperState& state) {
  const int64_t began = DirectoryTimeNow();
  if (platform::DirectoryConnectionLost(state.connection)) {
    platform::DirectoryClose(state.connection);
    state.connection = platform::DirectoryOpen();
    if (state.connection == nullptr) return false;
  }
  std::vector<platform::DirectoryEntry> root;
  if (platform::DirectorySearch(state.connection, Text(), 0, Text(),
                                {ZT("highestCommittedUSN"), ZT("defaultNamingContext")}, 0,
                                root) != 0 ||
      root.empty()) {
    return false;
  }
  Text domain;
  const int64_t highest = HighestChange(root.front(), domain);
  if (highest < 0 || domain.empty()) return false;

  if (!state.ready.load()) {
    auto view = std::make_unique<DirectoryView>();
    view->SetDomain(TextToUtf8(domain));
    const int rc = ReadChanges(state.connection, domain, kBuildFilter, false,
                               [&](std::vector<ViewChange>& batch) { view->ApplyObjects(batch); });
    if (rc != 0) return false;
    view->ResolveMembers();
    view->Trim();
    const Text netbios_domain = platform::NetbiosDomainName();
    {
      std::unique_lock<std::shared_mutex> guard(state.view_lock);
      state.view = std::move(view);
      state.netbios_domain = netbios_domain;
    }
    state.last_change = highest;
    state.current_to.store(began);
    state.generation.fetch_add(1);
    state.ready.store(true);
    return true;
  }
  if (highest <= state.last_change) {  // nothing committed since
    state.current_to.store(began);
    return true;
  }
  std::vector<ViewChange> changes;
  int64_t seen = highest;
  const int rc = ReadChanges(state.connection, domain,
                             ZT("(uSNChanged>=") + IntegerToText(state.last_change + 1) + ZT(")"),
                             true, [&](std::vector<ViewChange>& batch) {
                               for (ViewChange& change : batch) {
                                 seen = std::max(seen, change.ChangeNumber);
                                 changes.push_back(std::move(change));
                               }
                             });
  if (rc != 0) return false;
  {
    std::unique_lock<std::shared_mutex> guard(state.view_lock);
    state.view->Apply(changes);
  }
  if (!changes.empty()) state.generation.fetch_add(1);
  // The domain controller commits one write at a time, so every change up
  // to the highest one read is in.
  state.last_change = seen;
  state.current_to.store(began);
  return true;
}

void KeeperLoop() {
  KeeperState& state = State();
  for (;;) {
    RefreshDirectoryView();
    const int64_t regular = SteadyMilliseconds() + kViewPollMilliseconds;
    std::unique_lock<std::mutex> guard(state.thread_lock);
    for (;;) {
      if (state.wake.wait_for(guard, std::chrono::milliseconds(kBriskPollMilliseconds),
                              [&] { return state.stop; })) {
        return;
      }
      const int64_t now = SteadyMilliseconds();
      if (now >= regular || now < state.brisk_until.load()) break;
    }
  }
}

}  // namespace

bool ReadViewChange(const platform::DirectoryEntry& entry, ViewChange& change) {
  bool wanted = false;
  bool guid = false;
  change.Dn = TextToUtf8(entry.dn);
  for (const platform::DirectoryAttribute& attribute : entry.attributes) {
    if (attribute.values.empty()) continue;
    const std::string& value = attribute.values.front();
    const Text name = ToLower(attribute.name);
    if (name == ZT("objectguid") && value.size() == 16) {
      std::copy(value.begin(), value.end(), change.Guid.begin());
      guid = true;
    } else if (name == ZT("objectclass")) {
      for (const std::string& object_class : attribute.values) {
        if (object_class == "user" || object_class == "group" ||
            object_class == "organizationalUnit" || object_class == "container")
          wanted = true;
      }
    } else if (name == ZT("isdeleted")) {
      change.Deleted = value == "TRUE";
    } else if (name == ZT("samaccountname")) {
      change.AccountName = value;
    } else if (name == ZT("userprincipalname")) {
      change.PrincipalName = value;
    } else if (name == ZT("displayname")) {
      change.DisplayName = value;
    } else if (name == ZT("objectsid")) {
      change.Sid = value;
    } else if (name == ZT("samaccounttype")) {
      change.AccountType = IntegerValue(value);
    } else if (name == ZT("grouptype")) {
      change.GroupType = IntegerValue(value) & 0xffffffffLL;
    } else if (name == ZT("primarygroupid")) {
      change.PrimaryGroupId = static_cast<uint32_t>(IntegerValue(value));
    } else if (name == ZT("msds-secondarykrbtgtnumber")) {
      change.SecondaryKrbtgt = true;
    } else if (name == ZT("member")) {
      change.Members = attribute.values;
    } else if (StartsWith(name, ZT("member;range="))) {
      change.Members = attribute.values;
      const Text range = name.substr(13);
      const size_t dash = range.find(ZT('-'));
      if (dash != Text::npos && range.substr(dash + 1) != ZT("*"))
        change.MoreMembersFrom = attribute.values.size();
    } else if (name == ZT("usnchanged")) {
      change.ChangeNumber = IntegerValue(value);
    } else if (name == ZT("pwdlastset")) {
      change.PwdLastSet = IntegerValue(value);
    }
  }
  return guid && (wanted || change.Deleted);
}

void StartViewKeeper() {
  KeeperState& state = State();
  std::lock_guard<std::mutex> guard(state.thread_lock);
  if (state.thread.joinable()) return;
  state.stop = false;
  state.thread = std::thread(KeeperLoop);
}

void StopViewKeeper() {
  KeeperState& state = State();
  std::thread finishing;
  {
    std::lock_guard<std::mutex> guard(state.thread_lock);
    if (!state.thread.joinable()) return;
    state.stop = true;
    finishing = std::move(state.thread);
  }
  state.wake.notify_all();
  finishing.join();
}

bool DirectoryViewReady() { return State().ready.load(); }

bool RefreshDirectoryView() {
  KeeperState& state = State();
  std::lock_guard<std::mutex> guard(state.read_lock);
  const bool answered = RefreshLocked(state);
  LogOutage(state, answered);
  return answered;
}

bool LookupAccountInView(const Text& name, UserRecord& record, AccountKind& kind) {
  KeeperState& state = State();
  if (!state.ready.load()) return false;
  std::shared_lock<std::shared_mutex> guard(state.view_lock);
  return state.view != nullptr && state.view->Lookup(name, state.netbios_domain, record, kind);
}

bool ForEachAccountInView(const std::function<void(const UserRecord&, AccountKind)>& visit) {
  KeeperState& state = State();
  if (!state.ready.load()) return false;
  std::shared_lock<std::shared_mutex> guard(state.view_lock);
  if (state.view == nullptr) return false;
  state.view->ForEachAccount(state.netbios_domain, visit);
  return true;
}

uint64_t DirectoryViewGeneration() {
  KeeperState& state = State();
  return state.ready.load() ? state.generation.load() : 0;
}

ViewStatistics CurrentViewStatistics() {
  KeeperState& state = State();
  std::shared_lock<std::shared_mutex> guard(state.view_lock);
  return state.view != nullptr ? state.view->Statistics() : ViewStatistics();
}

int64_t ReadPasswordStamps(std::vector<PasswordStampQuery>& queries) {
  KeeperState& state = State();
  if (!state.ready.load()) return 0;
  // Read before the view: a poll that completes meanwhile only makes the
  // answers newer than the time says.
  const int64_t current_to = state.current_to.load();
  std::shared_lock<std::shared_mutex> guard(state.view_lock);
  if (state.view == nullptr) return 0;
  for (PasswordStampQuery& query : queries) {
    query.PwdLastSet = 0;
    query.RelativeId = 0;
    query.Found = state.view->PasswordStamp(query.AccountName, query.PwdLastSet, query.RelativeId);
  }
  return current_to;
}

void PollViewBriskly() { State().brisk_until.store(SteadyMilliseconds() + kBriskSpanMilliseconds); }

void ResetDirectoryView() {
  KeeperState& state = State();
  std::lock_guard<std::mutex> read_guard(state.read_lock);
  std::unique_lock<std::shared_mutex> guard(state.view_lock);
  state.view.reset();
  state.ready.store(false);
  state.current_to.store(0);
  state.last_change = 0;
  state.failing_since = 0;
  platform::DirectoryClose(state.connection);
  state.connection = nullptr;
}

}  // namespace zefa
