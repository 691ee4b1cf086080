// The library's one directory view (directory/directory_view.h): built by
// a paged read of the whole domain, then kept current by asking the domain
// controller about once a second for the objects whose uSNChanged is above
// the highestCommittedUSN of the last read (deleted ones through the
// show-deleted control). The reads run on the keeper's own thread; checks
// only read the view.
#pragma once

#include <functional>

#include "directory/directory_view.h"
#include "platform/directory.h"

namespace zefa {

// Milliseconds between two polls of the keeper's thread.
constexpr int64_t kViewPollMilliseconds = 1000;

// Milliseconds between two polls while a host waits for password changes to
// show (PollViewBriskly).
constexpr int64_t kBriskPollMilliseconds = 250;

// Starts the keeper's thread unless it runs: it builds the view at once,
// then polls. A build or poll that fails keeps the last view (checks go on
// with it) and is tried again at the next poll; the first failure logs one
// Warning, the first success after it one Info with the outage's length.
void StartViewKeeper();

// Stops the thread and waits for the read in progress.
void StopViewKeeper();

// True once a first build completed.
bool DirectoryViewReady();

// One build (while no view is ready) or poll on the calling thread: for a
// process without the keeper's thread (the test console) and for tests.
// True when the directory answered.
bool RefreshDirectoryView();

// Looks an account up in the view (DirectoryView::Lookup). False when the
// view does not know the name or no view is ready.
bool LookupAccountInView(const Text& name, UserRecord& record, AccountKind& kind);

// Calls `visit` for every account of the view (DirectoryView::ForEachAccount)
// while holding the view's read lock: `visit` must not refresh the view.
// False when no view is ready.
bool ForEachAccountInView(const std::function<void(const UserRecord&, AccountKind)>& visit);

// A number that moves on each time the view changes (a build, or a poll
// that brought changes); 0 while no view is ready. Equal numbers: the view
// is the same.
uint64_t DirectoryViewGeneration();

ViewStatistics CurrentViewStatistics();

// An account's password stamp as the view holds it.
struct PasswordStampQuery {
  Text AccountName;  // sAMAccountName
  bool Found = false;
  int64_t PwdLastSet = 0;  // 100-ns intervals since 1601; 0: must change
  uint32_t RelativeId = 0;
};

// Fills every query from the view. Returns the directory time (UTC, 100-ns
// intervals since 1601) at which the last successful build or poll began:
// every change the domain committed before it shows in the answers. 0, and
// the queries untouched, while no view is ready.
int64_t ReadPasswordStamps(std::vector<PasswordStampQuery>& queries);

// Makes the keeper's thread poll every kBriskPollMilliseconds instead of
// once a second for the next two seconds.
void PollViewBriskly();

// Forgets the view and the change number (tests: the next refresh builds).
void ResetDirectoryView();

// The parts of a directory entry the view keeps; false for an entry of no
// interest (neither an account, a group, an OU nor a container, and not
// deleted).
bool ReadViewChange(const platform::DirectoryEntry& entry, ViewChange& change);

// For a group whose members came as a range (MoreMembersFrom > 0): reads
// the rest, range by range ("member;range=N-*"), until the server marks the
// last one. False when a read failed.
bool CompleteMembers(platform::DirectoryHandle* handle, ViewChange& change);

}  // namespace zefa
