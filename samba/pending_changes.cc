#include "samba/pending_changes.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "samba/host_log.h"

namespace zefa::host {

namespace {

// Samba takes the time of a change when the operation begins, before it
// runs its check-password hook, and gives the hook at most ten seconds.
constexpr int64_t kStampLeadTicks = 10 * 10000000LL;  // 100-ns intervals

std::string AccountText(const Text& account) { return Printable(TextToUtf8(account)); }

}  // namespace

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool ChangeConfirmed(const PendingChange& change, const AccountStamp& stamp) {
  if (!stamp.found || stamp.pwd_last_set <= 0) return false;
  if (change.baseline_known) return stamp.pwd_last_set > change.baseline;
  return stamp.pwd_last_set >= change.accepted_at - kStampLeadTicks;
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
    auto same = std::find_if(watcher.pending.begin(), watcher.pending.end(),
                             [&](const PendingChange& p) { return p.account == change.account; });
    if (same != watcher.pending.end()) {
      *same = std::move(change);  // the older password is wiped here
      ++watcher.counters.replaced;
    } else if (watcher.pending.size() >= watcher.settings.max_pending) {
      ++watcher.counters.refused;
      return false;
    } else {
      watcher.pending.push_back(std::move(change));
    }
  }
  watcher.wake.notify_all();
  return true;
}

void WatchRound(ChangeWatcher& watcher, int64_t now_ms) {
  std::vector<StampQuery> queries;
  {
    std::lock_guard<std::mutex> guard(watcher.lock);
    for (const PendingChange& change : watcher.pending) queries.push_back({change.account, false, {}});
  }
  if (queries.empty()) return;
  if (watcher.read_stamps) watcher.read_stamps(queries);

  std::vector<std::pair<PendingChange, uint32_t>> confirmed;
  std::vector<PendingChange> expired;
  {
    std::lock_guard<std::mutex> guard(watcher.lock);
    for (size_t i = 0; i < watcher.pending.size();) {
      PendingChange& change = watcher.pending[i];
      auto query = std::find_if(queries.begin(), queries.end(),
                                [&](const StampQuery& q) { return q.account == change.account; });
      if (query != queries.end() && query->read && ChangeConfirmed(change, query->stamp)) {
        confirmed.emplace_back(std::move(change), query->stamp.relative_id);
        ++watcher.counters.confirmed;
      } else if (now_ms >= change.deadline_ms) {
        expired.push_back(std::move(change));
        ++watcher.counters.expired;
      } else {
        ++i;
        continue;
      }
      watcher.pending.erase(watcher.pending.begin() + static_cast<std::ptrdiff_t>(i));
    }
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
