#include "samba/pending_changes.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "samba/frame_io.h"
#include "samba/host_log.h"

namespace zefa::host {

namespace {

std::string AccountText(const Text& account) { return Printable(TextToUtf8(account)); }

}  // namespace

bool StampShowsCheck(int64_t accepted_at, const AccountStamp& stamp) {
  if (!stamp.found || stamp.pwd_last_set <= 0) return false;
  return stamp.pwd_last_set <= accepted_at && stamp.pwd_last_set >= accepted_at - kStampLeadTicks;
}

bool MakePendingChange(const Text& account, const char16_t* password, size_t length,
                       PendingChange& change) {
  change.account = account;
  if (!AllocateSecureBuffer(change.password, length * sizeof(char16_t))) return false;
  if (length > 0) std::memcpy(change.password.data, password, length * sizeof(char16_t));
  change.password_length = length;
  return true;
}

bool AddPendingChange(ChangeWatcher& watcher, PendingChange&& change) {
  change.deadline_ms = MonotonicMs() + watcher.settings.window_ms;
  {
    std::lock_guard<std::mutex> guard(watcher.lock);
    if (watcher.stopping) return false;
    if (watcher.pending.size() >= watcher.settings.max_pending) {
      ++watcher.counters.refused;
      return false;
    }
    watcher.pending.push_back(std::move(change));
  }
  watcher.wake.notify_all();
  return true;
}

namespace {

int64_t* UsedStamp(ChangeWatcher& watcher, const Text& account) {
  for (auto& [name, stamp] : watcher.used_stamps)
    if (name == account) return &stamp;
  return nullptr;
}

// The pending check that `stamp` shows, or pending.size() when none: the
// earliest that arrived at or after the stamp.
size_t CheckShownBy(const ChangeWatcher& watcher, const Text& account, const AccountStamp& stamp) {
  size_t best = watcher.pending.size();
  for (size_t i = 0; i < watcher.pending.size(); ++i) {
    const PendingChange& change = watcher.pending[i];
    if (change.account != account || !StampShowsCheck(change.accepted_at, stamp)) continue;
    if (best == watcher.pending.size() || change.accepted_at < watcher.pending[best].accepted_at)
      best = i;
  }
  return best;
}

}  // namespace

void WatchRound(ChangeWatcher& watcher, int64_t now_ms) {
  std::vector<StampQuery> queries;
  {
    std::lock_guard<std::mutex> guard(watcher.lock);
    for (const PendingChange& change : watcher.pending) {
      const bool listed = std::any_of(queries.begin(), queries.end(), [&](const StampQuery& q) {
        return q.account == change.account;
      });
      if (!listed) queries.push_back({change.account, false, {}});
    }
  }
  if (queries.empty()) return;
  if (watcher.read_stamps) watcher.read_stamps(queries);

  std::vector<std::pair<PendingChange, uint32_t>> confirmed;
  std::vector<PendingChange> expired;
  {
    std::lock_guard<std::mutex> guard(watcher.lock);
    for (const StampQuery& query : queries) {
      if (!query.read) continue;
      int64_t* used = UsedStamp(watcher, query.account);
      if (used != nullptr && query.stamp.pwd_last_set <= *used) continue;
      const size_t shown = CheckShownBy(watcher, query.account, query.stamp);
      if (shown == watcher.pending.size()) continue;
      confirmed.emplace_back(std::move(watcher.pending[shown]), query.stamp.relative_id);
      watcher.pending.erase(watcher.pending.begin() + static_cast<std::ptrdiff_t>(shown));
      ++watcher.counters.confirmed;
      if (used != nullptr)
        *used = query.stamp.pwd_last_set;
      else
        watcher.used_stamps.emplace_back(query.account, query.stamp.pwd_last_set);
    }
    for (size_t i = 0; i < watcher.pending.size();) {
      if (now_ms < watcher.pending[i].deadline_ms) {
        ++i;
        continue;
      }
      expired.push_back(std::move(watcher.pending[i]));
      watcher.pending.erase(watcher.pending.begin() + static_cast<std::ptrdiff_t>(i));
      ++watcher.counters.expired;
    }
    // A used stamp matters only while a check that it could show may arrive
    // or wait: checks arrive at most kStampLeadTicks after their stamp and
    // wait at most the window.
    const int64_t oldest_useful = DirectoryTimeNow() - kStampLeadTicks -
                                  static_cast<int64_t>(watcher.settings.window_ms) * 10000;
    std::erase_if(watcher.used_stamps, [&](const std::pair<Text, int64_t>& used) {
      return used.second < oldest_useful;
    });
  }
  // The library is called outside the lock; each password is wiped when its
  // change leaves this scope.
  for (auto& [change, relative_id] : confirmed) {
    HostLog("password change of %s confirmed by the directory; change notification sent",
            AccountText(change.account).c_str());
    if (watcher.notify) watcher.notify(change, relative_id);
  }
  for (const PendingChange& change : expired)
    HostLog("password change of %s not seen in the directory within %d ms; dropped",
            AccountText(change.account).c_str(), watcher.settings.window_ms);
}

namespace {

void WatchLoop(ChangeWatcher* watcher) {
  std::unique_lock<std::mutex> guard(watcher->lock);
  for (;;) {
    watcher->wake.wait(guard, [&] { return watcher->stopping || !watcher->pending.empty(); });
    if (watcher->stopping) return;
    watcher->wake.wait_for(guard, std::chrono::milliseconds(watcher->settings.poll_ms),
                           [&] { return watcher->stopping; });
    if (watcher->stopping) return;
    guard.unlock();
    WatchRound(*watcher, MonotonicMs());
    guard.lock();
  }
}

}  // namespace

bool StartChangeWatcher(ChangeWatcher& watcher) {
  std::lock_guard<std::mutex> guard(watcher.lock);
  if (watcher.thread.joinable()) return true;
  watcher.stopping = false;
  try {
    watcher.thread = std::thread(WatchLoop, &watcher);
  } catch (...) {
    return false;
  }
  return true;
}

size_t StopChangeWatcher(ChangeWatcher& watcher) {
  std::thread finishing;
  {
    std::lock_guard<std::mutex> guard(watcher.lock);
    watcher.stopping = true;
    finishing = std::move(watcher.thread);
  }
  watcher.wake.notify_all();
  if (finishing.joinable()) finishing.join();
  std::lock_guard<std::mutex> guard(watcher.lock);
  const size_t dropped = watcher.pending.size();
  watcher.pending.clear();  // wipes every password still held
  return dropped;
}

size_t PendingCount(ChangeWatcher& watcher) {
  std::lock_guard<std::mutex> guard(watcher.lock);
  return watcher.pending.size();
}

WatchCounters Counters(ChangeWatcher& watcher) {
  std::lock_guard<std::mutex> guard(watcher.lock);
  return watcher.counters;
}

}  // namespace zefa::host
