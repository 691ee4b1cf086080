// Accepted changes waiting for the directory: confirmation by the stamp
// that shows a check, dropping once the directory was read past a check,
// bursts of checks of one account, outages and the bounds, and the wiping
// of what was held. The directory is given as a table of stamps that the
// test changes between rounds, with the time its answers are current to.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "samba/pending_changes.h"

namespace zefa::host {
namespace {

constexpr int64_t kSecond = 10'000'000;  // in the directory's 100-ns intervals
const int64_t kNow = DirectoryTimeNow();

struct Directory {
  std::mutex lock;  // the watcher's thread reads while the test writes
  std::map<Text, AccountStamp> accounts;
  bool answering = true;
  int64_t current_to = kNow;  // the answers show every change committed before
  int rounds = 0;
};

struct Dropped {
  Text account;
  DropReason reason;
};

struct Notified {
  Text account;
  std::u16string password;
  uint32_t relative_id;
};

struct Fixture {
  Directory directory;
  std::vector<Notified> notified;
  std::vector<Dropped> dropped;
  ChangeWatcher watcher;

  Fixture() {
    watcher.settings.max_age_ms = 1000;
    watcher.settings.max_pending = 3;
    watcher.read_stamps = [this](std::vector<StampQuery>& queries) -> int64_t {
      std::lock_guard<std::mutex> guard(directory.lock);
      ++directory.rounds;
      if (!directory.answering) return 0;
      for (StampQuery& query : queries) {
        query.read = true;
        auto found = directory.accounts.find(query.account);
        if (found != directory.accounts.end()) query.stamp = found->second;
      }
      return directory.current_to;
    };
    watcher.dropped = [this](const PendingChange& change, DropReason reason) {
      dropped.push_back({change.account, reason});
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

// Dropped once the directory was read past the hook's ten seconds after the
// check, however long that takes, and not before.
TEST(WatchRound, AChangeThatNeverHappensIsDroppedOnceTheDirectoryIsReadPastIt) {
  Fixture f;
  f.watcher.settings.max_age_ms = 3600 * 1000;
  f.directory.accounts[u"bob"] = Stamp(kNow - 60 * kSecond);
  ASSERT_TRUE(f.Accept(u"bob", u"never-set", kNow));
  f.directory.current_to = kNow + kStampLeadTicks;
  WatchRound(f.watcher, MonotonicMs() + 600 * 1000);
  EXPECT_EQ(PendingCount(f.watcher), 1u);
  f.directory.current_to = kNow + kStampLeadTicks + 1;
  WatchRound(f.watcher, MonotonicMs());
  EXPECT_EQ(PendingCount(f.watcher), 0u);
  EXPECT_TRUE(f.notified.empty());
  EXPECT_EQ(Counters(f.watcher).expired, 1u);
  ASSERT_EQ(f.dropped.size(), 1u);
  EXPECT_EQ(f.dropped[0].reason, DropReason::kNotConfirmed);
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
  // The second check was never committed: it waits until the directory is
  // read past it.
  EXPECT_EQ(PendingCount(f.watcher), 1u);
  f.directory.current_to = kNow + kSecond + kStampLeadTicks + 1;
  WatchRound(f.watcher, MonotonicMs());
  EXPECT_EQ(PendingCount(f.watcher), 0u);
  EXPECT_EQ(f.notified.size(), 2u);
  EXPECT_EQ(Counters(f.watcher).expired, 1u);
}

TEST(AddPendingChange, TheListIsBoundedAndAStoppedWatcherTakesNothing) {
  Fixture f;
  EXPECT_TRUE(f.Accept(u"a", u"1", kNow));
  EXPECT_TRUE(f.Accept(u"b", u"2", kNow));
  EXPECT_TRUE(f.Accept(u"a", u"3", kNow));
  EXPECT_TRUE(f.Accept(u"d", u"4", kNow));  // the oldest makes room
  EXPECT_EQ(Counters(f.watcher).crowded_out, 1u);
  ASSERT_EQ(f.dropped.size(), 1u);
  EXPECT_EQ(f.dropped[0].account, u"a");
  EXPECT_EQ(f.dropped[0].reason, DropReason::kListFull);
  EXPECT_EQ(StopChangeWatcher(f.watcher), 3u);
  EXPECT_EQ(PendingCount(f.watcher), 0u);
  EXPECT_FALSE(f.Accept(u"e", u"5", kNow));
}

TEST(ChangeWatcher, TheThreadPollsWhileChangesArePendingAndStopsAtOnce) {
  Fixture f;
  f.watcher.settings.poll_ms = 10;
  f.watcher.settings.max_age_ms = 60000;
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

// Generated histories of checks, commits, outages and rounds. A change the
// domain commits is notified, once and with its own password, exactly when
// an answered read showed its stamp, unless a bound dropped it first: while
// the directory is silent nothing is dropped but by the bounds. A change
// that no read showed is dropped only after a read current to past its
// check and the hook's ten seconds. The bounds drop the oldest change
// first. Every drop is reported once.
TEST(ChangeWatcher, KeepsEveryChangeThroughOutagesWithinItsBoundsAndDropsTheOldestPastThem) {
  struct Change {
    Text account;
    std::u16string password;
    int64_t accepted_at = 0;
    int64_t added_ms = 0;
    bool committed = false;
    bool shown = false;  // an answered read returned its stamp
    int notified = 0;
    int dropped = 0;
    DropReason reason = DropReason::kNotConfirmed;
  };
  const std::vector<Text> accounts = {u"ann", u"ben", u"cat", u"dan", u"eve", u"fay"};
  std::mt19937 random(20261210);
  size_t notified_total = 0, shown_total = 0, outage_drops = 0, bound_drops = 0;
  for (int history = 0; history < 200; ++history) {
    SCOPED_TRACE("history " + std::to_string(history));
    const int64_t start_ms = 1'000'000;
    int64_t now_ms = start_ms;
    auto now_ticks = [&] { return kNow + (now_ms - start_ms) * 10000; };
    std::vector<Change> changes;
    std::map<Text, std::pair<int64_t, int>> directory;  // stamp, change index (-1: older)
    for (const Text& account : accounts) directory[account] = {kNow - 60 * kSecond, -1};
    bool answering = true;
    int64_t last_current_to = 0;

    ChangeWatcher watcher;
    watcher.settings.max_pending = 2 + random() % 12;
    watcher.settings.max_age_ms = 2000 + random() % 20000;
    watcher.read_stamps = [&](std::vector<StampQuery>& queries) -> int64_t {
      if (!answering) return 0;
      for (StampQuery& query : queries) {
        const auto& [stamp, index] = directory.at(query.account);
        query.read = true;
        query.stamp = AccountStamp{true, stamp, 1100};
        if (index >= 0) changes[index].shown = true;
      }
      last_current_to = now_ticks();  // each answer is a fresh poll
      return last_current_to;
    };
    auto find = [&](const PendingChange& change) -> Change& {
      for (Change& candidate : changes)
        if (candidate.account == change.account && candidate.accepted_at == change.accepted_at)
          return candidate;
      ADD_FAILURE() << "unknown change";
      return changes.front();
    };
    watcher.notify = [&](const PendingChange& change, uint32_t) {
      Change& known = find(change);
      EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(change.password.data),
                               change.password_length),
                known.password);
      ++known.notified;
    };
    watcher.dropped = [&](const PendingChange& change, DropReason reason) {
      Change& known = find(change);
      ++known.dropped;
      known.reason = reason;
      switch (reason) {
        case DropReason::kNotConfirmed:
          EXPECT_GT(last_current_to, change.accepted_at + kStampLeadTicks);
          break;
        case DropReason::kTooOld:
          EXPECT_GE(now_ms - change.added_ms, watcher.settings.max_age_ms);
          break;
        case DropReason::kListFull: {
          std::lock_guard<std::mutex> guard(watcher.lock);
          EXPECT_EQ(watcher.pending.size(), watcher.settings.max_pending);
          for (const PendingChange& kept : watcher.pending)
            EXPECT_LE(change.added_ms, kept.added_ms) << "a newer change went first";
          break;
        }
      }
    };

    const int steps = 40 + static_cast<int>(random() % 160);
    for (int step = 0; step < steps; ++step) {
      now_ms += 100 + random() % 700;
      const unsigned action = random() % 10;
      if (action < 5) {  // a check, committed by the domain or not
        Change change;
        change.account = accounts[random() % accounts.size()];
        change.password = u"pw-" + std::u16string(1, static_cast<char16_t>(u'a' + step % 26)) +
                          u"-" + std::u16string(1, static_cast<char16_t>(0x4e00 + history));
        change.accepted_at = now_ticks();
        change.added_ms = now_ms;
        change.committed = random() % 3 != 0;
        PendingChange pending;
        ASSERT_TRUE(MakePendingChange(change.account, change.password.data(),
                                      change.password.size(), pending));
        pending.accepted_at = change.accepted_at;
        changes.push_back(change);
        ASSERT_TRUE(AddPendingChange(watcher, std::move(pending), now_ms));
        // Stamped when the operation began, a little before the check.
        if (change.committed)
          directory[change.account] = {
              change.accepted_at - 1 - static_cast<int64_t>(random() % 500'000),
              static_cast<int>(changes.size() - 1)};
      } else if (action < 6) {
        answering = !answering;  // an outage begins or ends
      } else {
        WatchRound(watcher, now_ms);
      }
    }
    // The directory answers again and is read long past every check.
    answering = true;
    for (int round = 0; round < 3; ++round) {
      now_ms += 6000;
      WatchRound(watcher, now_ms);
    }
    EXPECT_EQ(PendingCount(watcher), 0u);
    for (const Change& change : changes) {
      EXPECT_LE(change.notified + change.dropped, 1);
      EXPECT_EQ(change.notified + change.dropped, 1) << "a change neither notified nor dropped";
      const bool bound = change.dropped == 1 && change.reason != DropReason::kNotConfirmed;
      if (change.committed && change.shown && !bound) {
        EXPECT_EQ(change.notified, 1) << "a change the directory showed was lost";
      }
      if (!change.committed || !change.shown) {
        EXPECT_EQ(change.notified, 0);
      }
      shown_total += change.shown;
      notified_total += change.notified;
      outage_drops += change.dropped == 1 && change.reason == DropReason::kNotConfirmed;
      bound_drops += bound;
    }
    StopChangeWatcher(watcher);
  }
  // The histories reach every path.
  EXPECT_GT(notified_total, 500u);
  EXPECT_GT(outage_drops, 100u);
  EXPECT_GT(bound_drops, 50u);
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
