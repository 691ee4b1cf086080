// Password changes that the host has accepted but that the domain has not
// confirmed yet. A Samba DC says nothing after a change, so the host keeps
// the accepted password (in locked memory) and watches the account's
// pwdLastSet in the filter library's directory view, read after the answer
// and never while Samba waits for it: the domain stamps a change when the
// operation begins, just before it asks the hook, and writes the stamp only
// when the change is committed. A stamp that shows one of the account's
// pending checks confirms that check, and the library's change notification
// runs. A check is dropped unconfirmed only once the view has read the
// directory past the time of the check (plus the hook's ten seconds) and no
// stamp showed it; while the directory does not answer, checks are kept,
// at most max_pending of them for at most max_age_ms (the oldest goes
// first). Either way the password is wiped. Every accepted check is kept on
// its own: a burst of checks of one account loses none of the changes whose
// stamps the view reads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "samba/account_stamps.h"
#include "samba/frame_io.h"
#include "samba/secure_buffer.h"

namespace zefa::host {

struct PendingChange {
  Text account;
  SecureBuffer password;  // UTF-16 code units
  size_t password_length = 0;
  int64_t accepted_at = 0;  // DirectoryTimeNow() when the check arrived
  int64_t added_ms = 0;     // monotonic milliseconds, set by AddPendingChange
};

// Samba stamps pwdLastSet when the operation begins and gives its hook at
// most ten seconds, so the stamp of a change lies at most that long before
// the check arrived (same clock: the host runs on the DC), never after it.
constexpr int64_t kStampLeadTicks = 10 * 10000000LL;  // 100-ns intervals

// Whether `stamp` can be the stamp of the change checked at `accepted_at`.
// A pwdLastSet of 0 ("must change at next logon") shows no change.
bool StampShowsCheck(int64_t accepted_at, const AccountStamp& stamp);

// Copies a password into a new pending change. False when no memory could
// be had.
bool MakePendingChange(const Text& account, const char16_t* password, size_t length,
                       PendingChange& change);

// Reads the queries; returns the directory time to which the answers are
// current (ReadStampsFromLibrary), 0 when the directory could not be read.
using StampReader = std::function<int64_t(std::vector<StampQuery>&)>;
using ChangeNotifier = std::function<void(const PendingChange&, uint32_t relative_id)>;

enum class DropReason { kNotConfirmed, kListFull, kTooOld };
using DropNotifier = std::function<void(const PendingChange&, DropReason)>;

struct WatchSettings {
  int poll_ms = 250;
  int64_t max_age_ms = 3600 * 1000;  // the longest a change waits for the directory
  size_t max_pending = 10000;
};

struct WatchCounters {
  uint64_t confirmed = 0;
  uint64_t expired = 0;      // the directory caught up without showing them
  uint64_t too_old = 0;      // waited max_age_ms
  uint64_t crowded_out = 0;  // the oldest, when a change came to a full list
};

struct ChangeWatcher {
  WatchSettings settings;
  StampReader read_stamps;
  ChangeNotifier notify;
  DropNotifier dropped;  // called outside the lock for every change dropped
  std::mutex lock;       // guards the fields below
  std::condition_variable wake;
  std::vector<PendingChange> pending;
  // The stamp that last confirmed a check of each account: the same stamp
  // never confirms a second one. Forgotten once no check can match it.
  std::vector<std::pair<Text, int64_t>> used_stamps;
  // The arrival of each account's latest dropped check: a stamp at or
  // before it shows that check (or an earlier one), never a later pending
  // one. Forgotten as the used stamps are.
  std::vector<std::pair<Text, int64_t>> dropped_checks;
  WatchCounters counters;
  bool stopping = false;
  std::thread thread;
};

// Adds a change (added_ms is set here); pending checks of the same account
// stay. On a full list the oldest change is dropped (kListFull) to make
// room. False only once the watcher is stopping.
bool AddPendingChange(ChangeWatcher& watcher, PendingChange&& change);
// The same at a given MonotonicMs() value.
bool AddPendingChange(ChangeWatcher& watcher, PendingChange&& change, int64_t now_ms);

// One pass: reads the stamp of every account with pending checks; a stamp
// that shows checks confirms the earliest of them that arrived at or after
// the stamp (the check of the operation that stamped it: the domain commits
// one password operation at a time). Notifies and removes the confirmed
// ones; drops (kNotConfirmed) the checks that arrived more than
// kStampLeadTicks before the time the answers are current to, and
// (kTooOld) those added max_age_ms or more before `now_ms`.
void WatchRound(ChangeWatcher& watcher, int64_t now_ms);

// Runs WatchRound every poll_ms while something is pending.
bool StartChangeWatcher(ChangeWatcher& watcher);

// Ends the thread and wipes whatever is still pending. Returns how many
// changes were dropped.
size_t StopChangeWatcher(ChangeWatcher& watcher);

size_t PendingCount(ChangeWatcher& watcher);
WatchCounters Counters(ChangeWatcher& watcher);

}  // namespace zefa::host
