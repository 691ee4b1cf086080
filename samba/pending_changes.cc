#include "samba/pending_changes.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>

#include "samba/frame_io.h"
#include "samba/host_log.h"

namespace zefa::host {

namespace {

std::string AccountText(const Text& account) { return Printable(TextToUtf8(account)); }

int64_t* ValueOf(std::vector<std::pair<Text, int64_t>>& values, const Text& account) {
  for (auto& [name, value] : values)
    if (name == account) return &value;
  return nullptr;
}

// Sets the account's value to `value` unless it holds a later one.
void Remember(std::vector<std::pair<Text, int64_t>>& values, const Text& account, int64_t value) {
  if (int64_t* known = ValueOf(values, account))
    *known = std::max(*known, value);
  else
    values.emplace_back(account, value);
}

// Logs a dropped change in the host's log and hands it to the watcher's
// drop notifier (the filter's log); nothing of the password is told.
void ReportDrop(ChangeWatcher& watcher, const PendingChange& change, DropReason reason) {
  const std::string account = AccountText(change.account);
  switch (reason) {
    case DropReason::kNotConfirmed:
      HostLog(
          "password change of %s not seen in the directory, read up to %d s past the check; "
          "dropped",
          account.c_str(), static_cast<int>(kStampLeadTicks / 10000000));
      break;
    case DropReason::kListFull:
      HostLog("password change of %s dropped unconfirmed: %zu changes wait for the directory",
              account.c_str(), watcher.settings.max_pending);
      break;
    case DropReason::kTooOld:
      HostLog(
          "password change of %s dropped unconfirmed: the directory did not answer within %lld s",
          account.c_str(), static_cast<long long>(watcher.settings.max_age_ms / 1000));
      break;
  }
  if (watcher.dropped) watcher.dropped(change, reason);
}

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
  return AddPendingChange(watcher, std::move(change), MonotonicMs());
}

bool AddPendingChange(ChangeWatcher& watcher, PendingChange&& change, int64_t now_ms) {
  change.added_ms = now_ms;
  std::vector<PendingChange> crowded_out;
  {
    std::lock_guard<std::mutex> guard(watcher.lock);
    if (watcher.stopping) return false;
    // The list keeps the order of arrival: the oldest are in front.
    const size_t room = std::max<size_t>(watcher.settings.max_pending, 1);
    if (watcher.pending.size() >= room) {
      const auto end =
          watcher.pending.begin() + static_cast<std::ptrdiff_t>(watcher.pending.size() - room + 1);
      for (auto old = watcher.pending.begin(); old != end; ++old)
        Remember(watcher.dropped_checks, old->account, old->accepted_at);
      std::move(watcher.pending.begin(), end, std::back_inserter(crowded_out));
      watcher.pending.erase(watcher.pending.begin(), end);
      watcher.counters.crowded_out += crowded_out.size();
    }
    watcher.pending.push_back(std::move(change));
  }
  watcher.wake.notify_all();
  for (const PendingChange& old : crowded_out) ReportDrop(watcher, old, DropReason::kListFull);
  return true;
}

namespace {

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
  const int64_t current_to = watcher.read_stamps ? watcher.read_stamps(queries) : 0;

  std::vector<std::pair<PendingChange, uint32_t>> confirmed;
  std::vector<std::pair<PendingChange, DropReason>> dropped;
  {
    std::lock_guard<std::mutex> guard(watcher.lock);
    for (const StampQuery& query : queries) {
      if (!query.read) continue;
      const int64_t* used = ValueOf(watcher.used_stamps, query.account);
      if (used != nullptr && query.stamp.pwd_last_set <= *used) continue;
      const size_t shown = CheckShownBy(watcher, query.account, query.stamp);
      if (shown == watcher.pending.size()) continue;
      // The stamp shows the earliest check at or after it; when that was a
      // dropped one, no pending check is shown.
      const int64_t* dropped_at = ValueOf(watcher.dropped_checks, query.account);
      if (dropped_at == nullptr || *dropped_at < query.stamp.pwd_last_set ||
          *dropped_at > watcher.pending[shown].accepted_at) {
        confirmed.emplace_back(std::move(watcher.pending[shown]), query.stamp.relative_id);
        watcher.pending.erase(watcher.pending.begin() + static_cast<std::ptrdiff_t>(shown));
        ++watcher.counters.confirmed;
      }
      Remember(watcher.used_stamps, query.account, query.stamp.pwd_last_set);
    }
    // A check's stamp lies at most kStampLeadTicks before it; answers
    // current to a time past that show it if the domain committed it.
    for (size_t i = 0; i < watcher.pending.size();) {
      const PendingChange& change = watcher.pending[i];
      DropReason reason;
      if (current_to != 0 && current_to > change.accepted_at + kStampLeadTicks) {
        reason = DropReason::kNotConfirmed;
        ++watcher.counters.expired;
      } else if (now_ms - change.added_ms >= watcher.settings.max_age_ms) {
        reason = DropReason::kTooOld;
        ++watcher.counters.too_old;
      } else {
        ++i;
        continue;
      }
      Remember(watcher.dropped_checks, change.account, change.accepted_at);
      dropped.emplace_back(std::move(watcher.pending[i]), reason);
      watcher.pending.erase(watcher.pending.begin() + static_cast<std::ptrdiff_t>(i));
    }
    // A used stamp matters only while a check that it could show may arrive
    // or wait: checks arrive at most kStampLeadTicks after their stamp and
    // wait at most max_age_ms.
    const int64_t oldest_useful =
        DirectoryTimeNow() - kStampLeadTicks - watcher.settings.max_age_ms * 10000;
    const auto outdated = [&](const std::pair<Text, int64_t>& known) {
      return known.second < oldest_useful;
    };
    std::erase_if(watcher.used_stamps, outdated);
    std::erase_if(watcher.dropped_checks, outdated);
  }
  // The library is called outside the lock; each password is wiped when its
  // change leaves this scope.
  for (auto& [change, relative_id] : confirmed) {
    HostLog("password change of %s confirmed by the directory; change notification sent",
            AccountText(change.account).c_str());
    if (watcher.notify) watcher.notify(change, relative_id);
  }
  for (const auto& [change, reason] : dropped) ReportDrop(watcher, change, reason);
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
