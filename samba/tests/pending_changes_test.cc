// Accepted changes waiting for the directory: confirmation by the stamp
// that shows a check, expiry, bursts of checks of one account, the limit,
// and the wiping of what was held. The directory is given as a table of
// stamps that the test changes between rounds.
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

  // Accepts a password the way the host does: nothing is read from the
  // directory, the time of the check is all that is kept.
  bool Accept(const Text& account, const std::u16string& password, int64_t accepted_at) {
    PendingChange change;
    EXPECT_TRUE(MakePendingChange(account, password.data(), password.size(), change));
    change.accepted_at = accepted_at;
    return AddPendingChange(watcher, std::move(change));
  }
};

constexpr int64_t kSecond = 10'000'000;  // in the directory's 100-ns intervals
const int64_t kNow = DirectoryTimeNow();

AccountStamp Stamp(int64_t pwd_last_set, uint32_t rid = 1104) {
  return AccountStamp{true, pwd_last_set, rid};
}

TEST(StampShowsCheck, TheStampLiesAtMostTheHookTimeBeforeTheCheck) {
  const int64_t checked = 1000 * kSecond;
  EXPECT_TRUE(StampShowsCheck(checked, Stamp(checked)));
  EXPECT_TRUE(StampShowsCheck(checked, Stamp(checked - 3)));                  // stamped, then asked
  EXPECT_TRUE(StampShowsCheck(checked, Stamp(checked - 10 * kSecond)));       // Samba's limit
  EXPECT_FALSE(StampShowsCheck(checked, Stamp(checked - 10 * kSecond - 1)));  // an older change
  EXPECT_FALSE(StampShowsCheck(checked, Stamp(checked + 1)));  // a later operation's stamp
  EXPECT_FALSE(StampShowsCheck(checked, AccountStamp{}));      // account gone
  EXPECT_FALSE(StampShowsCheck(checked, Stamp(0)));            // "must change at next logon"
}

TEST(WatchRound, AConfirmedChangeIsNotifiedOnceWithItsPasswordAndRelativeId) {
  Fixture f;
  f.directory.accounts[u"alice"] = Stamp(kNow - 60 * kSecond, 1105);  // an older change
  ASSERT_TRUE(f.Accept(u"alice", u"N\u00e9w-Secret-1", kNow));
  WatchRound(f.watcher, MonotonicMs());
  EXPECT_TRUE(f.notified.empty()) << "nothing changed yet";
  EXPECT_EQ(PendingCount(f.watcher), 1u);

  f.directory.accounts[u"alice"] = Stamp(kNow - 2000, 1105);  // stamped just before the check
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
  f.directory.accounts[u"bob"] = Stamp(kNow - 60 * kSecond);
  ASSERT_TRUE(f.Accept(u"bob", u"never-set", kNow));
  WatchRound(f.watcher, MonotonicMs() + 500);
  EXPECT_EQ(PendingCount(f.watcher), 1u);
  WatchRound(f.watcher, MonotonicMs() + 1001);
  EXPECT_EQ(PendingCount(f.watcher), 0u);
  EXPECT_TRUE(f.notified.empty());
  EXPECT_EQ(Counters(f.watcher).expired, 1u);
}

TEST(WatchRound, ADirectoryThatDoesNotAnswerConfirmsNothing) {
  Fixture f;
  ASSERT_TRUE(f.Accept(u"carol", u"pw", kNow));
  f.directory.answering = false;
  f.directory.accounts[u"carol"] = Stamp(kNow - 100);
  WatchRound(f.watcher, MonotonicMs());
  EXPECT_TRUE(f.notified.empty());
  f.directory.answering = true;
  WatchRound(f.watcher, MonotonicMs());
  EXPECT_EQ(f.notified.size(), 1u);
}

TEST(WatchRound, AnAccountCreatedWithItsPasswordIsConfirmedByTheTimeOfTheCheck) {
  Fixture f;
  ASSERT_TRUE(f.Accept(u"newbie", u"First-Pass-1", kNow));  // not in the directory yet
  WatchRound(f.watcher, MonotonicMs());
  EXPECT_TRUE(f.notified.empty());
  f.directory.accounts[u"newbie"] = Stamp(kNow - 20'000);
  WatchRound(f.watcher, MonotonicMs());
  ASSERT_EQ(f.notified.size(), 1u);
  EXPECT_EQ(f.notified[0].password, u"First-Pass-1");
}

// A burst: two checks of one account before the domain commits the first.
// Both are kept; the stamp tells which one the domain committed, and a
// stamp that confirmed one check never confirms another.
TEST(WatchRound, EveryCheckOfABurstIsKeptAndTheCommittedOneIsConfirmed) {
  Fixture f;
  f.watcher.settings.max_pending = 8;
  f.directory.accounts[u"alice"] = Stamp(kNow - 60 * kSecond);
  ASSERT_TRUE(f.Accept(u"alice", u"first-try", kNow));
  ASSERT_TRUE(f.Accept(u"alice", u"second-try", kNow + kSecond));
  ASSERT_TRUE(f.Accept(u"alice", u"third-try", kNow + 3 * kSecond));
  EXPECT_EQ(PendingCount(f.watcher), 3u);

  f.directory.accounts[u"alice"] = Stamp(kNow - 500);  // the first check's operation
  WatchRound(f.watcher, MonotonicMs());
  WatchRound(f.watcher, MonotonicMs());
  ASSERT_EQ(f.notified.size(), 1u);
  EXPECT_EQ(f.notified[0].password, u"first-try");
  EXPECT_EQ(PendingCount(f.watcher), 2u);

  f.directory.accounts[u"alice"] = Stamp(kNow + 2 * kSecond);  // the third check's operation
  WatchRound(f.watcher, MonotonicMs());
  ASSERT_EQ(f.notified.size(), 2u);
  EXPECT_EQ(f.notified[1].password, u"third-try");
  // The second check was never committed: it waits for its deadline.
  EXPECT_EQ(PendingCount(f.watcher), 1u);
  WatchRound(f.watcher, MonotonicMs() + 1001);
  EXPECT_EQ(PendingCount(f.watcher), 0u);
  EXPECT_EQ(f.notified.size(), 2u);
  EXPECT_EQ(Counters(f.watcher).expired, 1u);
}

TEST(AddPendingChange, TheListIsBoundedAndAStoppedWatcherTakesNothing) {
  Fixture f;
  EXPECT_TRUE(f.Accept(u"a", u"1", kNow));
  EXPECT_TRUE(f.Accept(u"b", u"2", kNow));
  EXPECT_TRUE(f.Accept(u"a", u"3", kNow));
  EXPECT_FALSE(f.Accept(u"d", u"4", kNow));
  EXPECT_EQ(Counters(f.watcher).refused, 1u);
  EXPECT_EQ(StopChangeWatcher(f.watcher), 3u);
  EXPECT_EQ(PendingCount(f.watcher), 0u);
  EXPECT_FALSE(f.Accept(u"e", u"5", kNow));
}

TEST(ChangeWatcher, TheThreadPollsWhileChangesArePendingAndStopsAtOnce) {
  Fixture f;
  f.watcher.settings.poll_ms = 10;
  f.watcher.settings.window_ms = 60000;
  f.directory.accounts[u"dave"] = Stamp(kNow - 60 * kSecond);
  ASSERT_TRUE(StartChangeWatcher(f.watcher));
  ASSERT_TRUE(f.Accept(u"dave", u"Watched-1", kNow));
  // The directory moves on; the thread notices within a few rounds.
  {
    std::lock_guard<std::mutex> guard(f.directory.lock);
    f.directory.accounts[u"dave"] = Stamp(kNow - 1000);
  }
  for (int i = 0; i < 500 && PendingCount(f.watcher) > 0; ++i) usleep(10000);
  EXPECT_EQ(PendingCount(f.watcher), 0u);
  ASSERT_TRUE(f.Accept(u"dave", u"Watched-2", kNow + kSecond));
  EXPECT_EQ(StopChangeWatcher(f.watcher), 1u);
  ASSERT_EQ(f.notified.size(), 1u);
  EXPECT_EQ(f.notified[0].password, u"Watched-1");
}

// Small buffers are slots of one shared locked region, larger ones whole
// pages of their own; either kind comes zero-filled, also when its memory
// held a password before, and is wiped as asked.
TEST(SecureBuffer, IsZeroFilledOnEveryReuseAndWipedAsAsked) {
  for (const size_t size : {size_t{10}, kSecureSlotBytes, kSecureSlotBytes + 1, size_t{20000}}) {
    SCOPED_TRACE(size);
    for (int round = 0; round < 3 * static_cast<int>(kSecureSlots / 100); ++round) {
      std::vector<SecureBuffer> held(100);
      for (SecureBuffer& buffer : held) {
        ASSERT_TRUE(AllocateSecureBuffer(buffer, size));
        ASSERT_GE(buffer.capacity, size);
        if (size > kSecureSlotBytes) {
          EXPECT_EQ(buffer.capacity % 4096, 0u);
        }
        for (size_t i = 0; i < buffer.capacity; ++i) ASSERT_EQ(buffer.data[i], 0) << i;
        std::memset(buffer.data, 'x', buffer.capacity);
      }
    }  // freed with their passwords in them
  }
  SecureBuffer buffer;
  ASSERT_TRUE(AllocateSecureBuffer(buffer, 10));
  std::memset(buffer.data, 'x', buffer.capacity);
  WipeSecureBuffer(buffer, 5);
  EXPECT_EQ(buffer.data[4], 0);
  EXPECT_EQ(buffer.data[5], 'x');
  SecureBuffer moved = std::move(buffer);
  EXPECT_EQ(buffer.data, nullptr);
  EXPECT_EQ(moved.data[5], 'x');
  FreeSecureBuffer(moved);
  EXPECT_EQ(moved.data, nullptr);
}

}  // namespace
}  // namespace zefa::host
