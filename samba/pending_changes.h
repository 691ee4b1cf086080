// Password changes that the host has accepted but that the domain has not
// confirmed yet. A Samba DC says nothing after a change, so the host keeps
// the accepted password (in locked memory, for a short window only) and
// watches the account's pwdLastSet: once it has moved past what it was when
// the password was accepted, the change happened and the library's change
// notification runs; a change that is not seen within the window is dropped.
// Either way the password is wiped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "samba/account_stamps.h"
#include "samba/secure_buffer.h"

namespace zefa::host {

struct PendingChange {
  Text account;
  SecureBuffer password;  // UTF-16 code units
  size_t password_length = 0;
  bool baseline_known = false;
  int64_t baseline = 0;   // pwdLastSet when the password was accepted
  int64_t accepted_at = 0;  // DirectoryTimeNow() at acceptance
  int64_t deadline_ms = 0;  // monotonic milliseconds
};

// A change is confirmed once the account's pwdLastSet lies past the one
// read at acceptance; without that reading (the account did not exist yet,
// or the directory did not answer), once it is at most ten seconds older
// than the acceptance (the domain stamps the change when the operation
// begins, before it asks the hook). A pwdLastSet of 0 ("must change") never
// confirms.
bool ChangeConfirmed(const PendingChange& change, const AccountStamp& stamp);

// Copies a password into a new pending change. False when no memory could
// be had.
bool MakePendingChange(const Text& account, const char16_t* password, size_t length,
                       PendingChange& change);

using StampReader = std::function<void(std::vector<StampQuery>&)>;
using ChangeNotifier = std::function<void(const PendingChange&, uint32_t relative_id)>;

struct WatchSettings {
  int poll_ms = 250;
  int window_ms = 15000;
  size_t max_pending = 1024;
};

struct WatchCounters {
  uint64_t confirmed = 0;
  uint64_t expired = 0;
  uint64_t replaced = 0;
  uint64_t refused = 0;  // over max_pending
};

struct ChangeWatcher {
  WatchSettings settings;
  StampReader read_stamps;
  ChangeNotifier notify;
  std::mutex lock;  // guards the fields below
  std::condition_variable wake;
  std::vector<PendingChange> pending;
  WatchCounters counters;
  bool stopping = false;
  std::thread thread;
};

int64_t MonotonicMs();

// Adds a change (its deadline is set here). A pending change of the same
// account is replaced: the newer accepted password is the one being set.
// False when the list is full.
bool AddPendingChange(ChangeWatcher& watcher, PendingChange&& change);

// One pass: reads the stamps of every pending account, notifies and removes
// the confirmed ones, drops those past their deadline.
void WatchRound(ChangeWatcher& watcher, int64_t now_ms);

// Runs WatchRound every poll_ms while something is pending.
bool StartChangeWatcher(ChangeWatcher& watcher);

// Ends the thread and wipes whatever is still pending. Returns how many
// changes were dropped.
size_t StopChangeWatcher(ChangeWatcher& watcher);

size_t PendingCount(ChangeWatcher& watcher);
WatchCounters Counters(ChangeWatcher& watcher);

}  // namespace zefa::host
