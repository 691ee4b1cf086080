// Accepted changes waiting for the directory: confirmation, expiry,
// replacement, the limit, and the wiping of what was held. The directory is
// given as a table of stamps that the test changes between rounds.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "samba/pending_changes.h"

namespace zefa::host {
namespace {

struct Directory {
  std::mutex lock;  // the watcher's thread reads while the test writes
  std::map<Text, AccountStamp> accounts;
  bool answering = true;
  int rounds = 0;
};

struct Notified {
  Text account;
  std::u16string password;
  uint32_t relative_id;
};

struct Fixture {
  Directory directory;
  std::vector<Notified> notified;
  ChangeWatcher watcher;

  Fixture() {
    watcher.settings.window_ms = 1000;
    watcher.settings.max_pending = 3;
    watcher.read_stamps = [this](std::vector<StampQuery>& queries) {
      std::lock_guard<std::mutex> guard(directory.lock);
      ++directory.rounds;
      if (!directory.answering) return;
      for (StampQuery& query : queries) {
        query.read = true;
        auto found = directory.accounts.find(query.account);
        if (found != directory.accounts.end()) query.stamp = found->second;
      }
    };
    watcher.notify = [this](const PendingChange& change, uint32_t relative_id) {
      notified.push_back({change.account,
                          std::u16string(reinterpret_cast<const char16_t*>(change.password.data),
                                         change.password_length),
                          relative_id});
    };
  }

  // Accepts a password the way the host does: the baseline is read first.
  bool Accept(const Text& account, const std::u16string& password, int64_t accepted_at = 0) {
    PendingChange change;
    EXPECT_TRUE(MakePendingChange(account, password.data(), password.size(), change));
    std::vector<StampQuery> baseline{{account, false, {}}};
    watcher.read_stamps(baseline);
    change.baseline_known = baseline[0].read && baseline[0].stamp.found;
    change.baseline = baseline[0].stamp.pwd_last_set;
    change.accepted_at = accepted_at;
    return AddPendingChange(watcher, std::move(change));
  }
};

AccountStamp Stamp(int64_t pwd_last_set, uint32_t rid = 1104) {
  return AccountStamp{true, pwd_last_set, rid};
}

TEST(ChangeConfirmed, NeedsTheStampToMovePastTheBaseline) {
  PendingChange change;
  change.baseline_known = true;
  change.baseline = 500;
  EXPECT_FALSE(ChangeConfirmed(change, Stamp(500)));
  EXPECT_FALSE(ChangeConfirmed(change, Stamp(499)));
  EXPECT_TRUE(ChangeConfirmed(change, Stamp(501)));
  EXPECT_FALSE(ChangeConfirmed(change, AccountStamp{}));  // account gone
  EXPECT_FALSE(ChangeConfirmed(change, Stamp(0)));        // "must change at next logon"
}

TEST(ChangeConfirmed, WithoutABaselineTheStampMustNotPredateTheAcceptance) {
  PendingChange change;
  const int64_t second = 10'000'000;
  change.accepted_at = 1000 * second;
  EXPECT_FALSE(ChangeConfirmed(change, Stamp(989 * second)));  // an older change
  EXPECT_TRUE(ChangeConfirmed(change, Stamp(998 * second)));   // stamped before the hook ran
  EXPECT_TRUE(ChangeConfirmed(change, Stamp(1000 * second + 5)));
}

TEST(WatchRound, AConfirmedChangeIsNotifiedOnceWithItsPasswordAndRelativeId) {
  Fixture f;
  f.directory.accounts[u"alice"] = Stamp(100, 1105);
  ASSERT_TRUE(f.Accept(u"alice", u"N\u00e9w-Secret-1"));
  WatchRound(f.watcher, MonotonicMs());
  EXPECT_TRUE(f.notified.empty()) << "nothing changed yet";
  EXPECT_EQ(PendingCount(f.watcher), 1u);

  f.directory.accounts[u"alice"] = Stamp(200, 1105);
  WatchRound(f.watcher, MonotonicMs());
  ASSERT_EQ(f.notified.size(), 1u);
  EXPECT_EQ(f.notified[0].account, u"alice");
  EXPECT_EQ(f.notified[0].password, u"N\u00e9w-Secret-1");
  EXPECT_EQ(f.notified[0].relative_id, 1105u);
  EXPECT_EQ(PendingCount(f.watcher), 0u);
  WatchRound(f.watcher, MonotonicMs());
  EXPECT_EQ(f.notified.size(), 1u);
  EXPECT_EQ(Counters(f.watcher).confirmed, 1u);
}

TEST(WatchRound, AChangeThatNeverHappensIsDroppedAtItsDeadline) {
  Fixture f;
  f.directory.accounts[u"bob"] = Stamp(100);
  ASSERT_TRUE(f.Accept(u"bob", u"never-set"));
  WatchRound(f.watcher, MonotonicMs() + 500);
  EXPECT_EQ(PendingCount(f.watcher), 1u);
  WatchRound(f.watcher, MonotonicMs() + 1001);
  EXPECT_EQ(PendingCount(f.watcher), 0u);
  EXPECT_TRUE(f.notified.empty());
  EXPECT_EQ(Counters(f.watcher).expired, 1u);
}

TEST(WatchRound, ADirectoryThatDoesNotAnswerConfirmsNothing) {
  Fixture f;
  f.directory.accounts[u"carol"] = Stamp(100);
  ASSERT_TRUE(f.Accept(u"carol", u"pw"));
  f.directory.answering = false;
  f.directory.accounts[u"carol"] = Stamp(900);
  WatchRound(f.watcher, MonotonicMs());
  EXPECT_TRUE(f.notified.empty());
  f.directory.answering = true;
  WatchRound(f.watcher, MonotonicMs());
  EXPECT_EQ(f.notified.size(), 1u);
}

TEST(WatchRound, AnAccountCreatedWithItsPasswordIsConfirmedByTheTimeOfAcceptance) {
  Fixture f;
  const int64_t accepted_at = DirectoryTimeNow();
  ASSERT_TRUE(f.Accept(u"newbie", u"First-Pass-1", accepted_at));  // not in the directory yet
  WatchRound(f.watcher, MonotonicMs());
  EXPECT_TRUE(f.notified.empty());
  f.directory.accounts[u"newbie"] = Stamp(accepted_at + 20'000);
  WatchRound(f.watcher, MonotonicMs());
  ASSERT_EQ(f.notified.size(), 1u);
  EXPECT_EQ(f.notified[0].password, u"First-Pass-1");
}

TEST(AddPendingChange, ANewerPasswordOfTheSameAccountReplacesTheOlder) {
  Fixture f;
  f.directory.accounts[u"alice"] = Stamp(100);
  ASSERT_TRUE(f.Accept(u"alice", u"first-try"));
  ASSERT_TRUE(f.Accept(u"alice", u"second-try"));
  EXPECT_EQ(PendingCount(f.watcher), 1u);
  EXPECT_EQ(Counters(f.watcher).replaced, 1u);
  f.directory.accounts[u"alice"] = Stamp(101);
  WatchRound(f.watcher, MonotonicMs());
  ASSERT_EQ(f.notified.size(), 1u);
  EXPECT_EQ(f.notified[0].password, u"second-try");
}

TEST(AddPendingChange, TheListIsBoundedAndAStoppedWatcherTakesNothing) {
  Fixture f;
  EXPECT_TRUE(f.Accept(u"a", u"1"));
  EXPECT_TRUE(f.Accept(u"b", u"2"));
  EXPECT_TRUE(f.Accept(u"c", u"3"));
  EXPECT_FALSE(f.Accept(u"d", u"4"));
  EXPECT_EQ(Counters(f.watcher).refused, 1u);
  EXPECT_EQ(StopChangeWatcher(f.watcher), 3u);
  EXPECT_EQ(PendingCount(f.watcher), 0u);
  EXPECT_FALSE(f.Accept(u"e", u"5"));
}

TEST(ChangeWatcher, TheThreadPollsWhileChangesArePendingAndStopsAtOnce) {
  Fixture f;
  f.watcher.settings.poll_ms = 10;
  f.watcher.settings.window_ms = 60000;
  f.directory.accounts[u"dave"] = Stamp(100);
  ASSERT_TRUE(StartChangeWatcher(f.watcher));
  ASSERT_TRUE(f.Accept(u"dave", u"Watched-1"));
  // The directory moves on; the thread notices within a few rounds.
  {
    std::lock_guard<std::mutex> guard(f.directory.lock);
    f.directory.accounts[u"dave"] = Stamp(300);
  }
  for (int i = 0; i < 500 && PendingCount(f.watcher) > 0; ++i) usleep(10000);
  EXPECT_EQ(PendingCount(f.watcher), 0u);
  ASSERT_TRUE(f.Accept(u"dave", u"Watched-2"));
  EXPECT_EQ(StopChangeWatcher(f.watcher), 1u);
  ASSERT_EQ(f.notified.size(), 1u);
  EXPECT_EQ(f.notified[0].password, u"Watched-1");
}

TEST(SecureBuffer, IsWholePagesZeroFilledAndWipedOnReuse) {
  SecureBuffer buffer;
  ASSERT_TRUE(AllocateSecureBuffer(buffer, 10));
  EXPECT_GE(buffer.capacity, 4096u);
  EXPECT_EQ(buffer.data[9], 0);
  std::memset(buffer.data, 'x', buffer.capacity);
  WipeSecureBuffer(buffer, 100);
  EXPECT_EQ(buffer.data[99], 0);
  EXPECT_EQ(buffer.data[100], 'x');
  SecureBuffer moved = std::move(buffer);
  EXPECT_EQ(buffer.data, nullptr);
  EXPECT_EQ(moved.data[100], 'x');
  FreeSecureBuffer(moved);
  EXPECT_EQ(moved.data, nullptr);
}

}  // namespace
}  // namespace zefa::host
