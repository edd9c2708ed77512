#include "util/rwl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

// These tests never rely on timing for their verdict: a thread's progress is observed through
// the lock's own counters (a thread counted as waiting is inside its wait loop) and through
// atomic sequence numbers, polled with a generous bound that only a broken lock exceeds.

namespace {

struct counters {
  int r_active, w_active, r_wait, w_wait, u_wait;
};

counters snapshot(rwl& l) {
  pthread_mutex_lock(&l.mutex);
  counters c{l.r_active, l.w_active, l.r_wait, l.w_wait, l.u_wait};
  pthread_mutex_unlock(&l.mutex);
  return c;
}

bool wait_until(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class RwlTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(rwl_init_internal(&l_), 0); }
  void TearDown() override {
    if (l_.valid == rwl::valid_marker) {
      EXPECT_EQ(rwl_destroy(&l_), 0);
    }
  }
  rwl l_;
};

}  // namespace

TEST_F(RwlTest, ReaderArrivingWhileAWriterWaitsBlocksUntilThatWriterIsDone) {
  ASSERT_EQ(rwl_readlock(&l_), 0);
  std::atomic<int> seq{0}, writer_in{-1}, writer_out{-1}, reader_in{-1};
  std::atomic<bool> release_writer{false};

  std::thread writer([&] {
    EXPECT_EQ(rwl_writelock(&l_), 0);
    writer_in = seq++;
    wait_until([&] { return release_writer.load(); });
    writer_out = seq++;
    EXPECT_EQ(rwl_writeunlock(&l_), 0);
  });
  ASSERT_TRUE(wait_until([&] { return snapshot(l_).w_wait == 1; }));

  std::thread reader([&] {
    EXPECT_EQ(rwl_readlock(&l_), 0);
    reader_in = seq++;
    EXPECT_EQ(rwl_readunlock(&l_), 0);
  });
  ASSERT_TRUE(wait_until([&] { return snapshot(l_).r_wait == 1; }));
  EXPECT_EQ(reader_in, -1) << "a waiting writer must hold back new readers";

  // The try operations are not held back by a waiting writer, only by an active one.
  EXPECT_EQ(rwl_readtrylock(&l_), 0);
  EXPECT_EQ(rwl_readunlock(&l_), 0);
  EXPECT_EQ(rwl_writetrylock(&l_), RWL_BUSY);

  EXPECT_EQ(rwl_readunlock(&l_), 0);  // the last reader leaves: the writer goes first
  ASSERT_TRUE(wait_until([&] { return writer_in.load() >= 0; }));
  counters c = snapshot(l_);
  EXPECT_EQ(c.w_active, 1);
  EXPECT_EQ(c.r_wait, 1);
  EXPECT_EQ(reader_in, -1);
  EXPECT_EQ(rwl_readtrylock(&l_), RWL_BUSY);

  release_writer = true;
  writer.join();
  reader.join();
  EXPECT_LT(writer_out, reader_in);
  c = snapshot(l_);
  EXPECT_EQ(c.r_active + c.w_active + c.r_wait + c.w_wait + c.u_wait, 0);
}

TEST_F(RwlTest, DestroyOfAHeldLockIsBusyAndLeavesItUsable) {
  ASSERT_EQ(rwl_readlock(&l_), 0);
  EXPECT_EQ(rwl_destroy(&l_), RWL_BUSY);
  EXPECT_EQ(rwl_readlock(&l_), 0) << "still usable";
  EXPECT_EQ(rwl_readunlock(&l_), 0);
  EXPECT_EQ(rwl_readunlock(&l_), 0);

  ASSERT_EQ(rwl_writelock(&l_), 0);
  EXPECT_EQ(rwl_destroy(&l_), RWL_BUSY);
  EXPECT_EQ(rwl_writeunlock(&l_), 0);

  // Busy also while someone only waits.
  ASSERT_EQ(rwl_readlock(&l_), 0);
  std::thread writer([&] {
    EXPECT_EQ(rwl_writelock(&l_), 0);
    EXPECT_EQ(rwl_writeunlock(&l_), 0);
  });
  ASSERT_TRUE(wait_until([&] { return snapshot(l_).w_wait == 1; }));
  EXPECT_EQ(rwl_readunlock(&l_), 0);
  writer.join();
  ASSERT_TRUE(wait_until([&] { return snapshot(l_).w_wait == 0; }));

  ASSERT_EQ(rwl_writelock(&l_), 0);
  EXPECT_EQ(rwl_writeunlock(&l_), 0);
}

TEST_F(RwlTest, EveryOperationOnADestroyedLockIsInvalid) {
  ASSERT_EQ(rwl_destroy(&l_), 0);
  EXPECT_EQ(l_.valid, 0);
  EXPECT_EQ(rwl_readlock(&l_), RWL_INVALID);
  EXPECT_EQ(rwl_readunlock(&l_), RWL_INVALID);
  EXPECT_EQ(rwl_writelock(&l_), RWL_INVALID);
  EXPECT_EQ(rwl_writeunlock(&l_), RWL_INVALID);
  EXPECT_EQ(rwl_readtrylock(&l_), RWL_INVALID);
  EXPECT_EQ(rwl_writetrylock(&l_), RWL_INVALID);
  EXPECT_EQ(rwl_upgrade(&l_), RWL_INVALID);
  EXPECT_EQ(rwl_downgrade(&l_), RWL_INVALID);
  EXPECT_EQ(rwl_destroy(&l_), RWL_INVALID);
  EXPECT_EQ(rwl_readlock(nullptr), RWL_INVALID);
  EXPECT_EQ(rwl_init_internal(nullptr), RWL_INVALID);

  rwl never_initialised;
  EXPECT_EQ(rwl_writelock(&never_initialised), RWL_INVALID);

  // Initialising again brings it back.
  ASSERT_EQ(rwl_init_internal(&l_), 0);
  EXPECT_EQ(rwl_writelock(&l_), 0);
  EXPECT_EQ(rwl_writeunlock(&l_), 0);
}

TEST_F(RwlTest, TryOperations) {
  EXPECT_EQ(rwl_writetrylock(&l_), 0);
  EXPECT_EQ(rwl_readtrylock(&l_), RWL_BUSY);
  EXPECT_EQ(rwl_writetrylock(&l_), RWL_BUSY);
  EXPECT_EQ(rwl_writeunlock(&l_), 0);
  EXPECT_EQ(rwl_readtrylock(&l_), 0);
  EXPECT_EQ(rwl_readtrylock(&l_), 0);
  EXPECT_EQ(rwl_writetrylock(&l_), RWL_BUSY);
  EXPECT_EQ(snapshot(l_).r_active, 2);
  EXPECT_EQ(rwl_readunlock(&l_), 0);
  EXPECT_EQ(rwl_readunlock(&l_), 0);
}

TEST_F(RwlTest, ReleasingWhatIsNotHeldIsRefusedAndChangesNothing) {
  EXPECT_EQ(rwl_readunlock(&l_), RWL_NOT_HELD);
  EXPECT_EQ(rwl_writeunlock(&l_), RWL_NOT_HELD);
  EXPECT_EQ(rwl_upgrade(&l_), RWL_NOT_HELD);
  EXPECT_EQ(rwl_downgrade(&l_), RWL_NOT_HELD);
  counters c = snapshot(l_);
  EXPECT_EQ(c.r_active + c.w_active + c.r_wait + c.w_wait + c.u_wait, 0);
  ASSERT_EQ(rwl_readlock(&l_), 0);
  EXPECT_EQ(rwl_writeunlock(&l_), RWL_NOT_HELD);
  EXPECT_EQ(rwl_downgrade(&l_), RWL_NOT_HELD);
  EXPECT_EQ(snapshot(l_).r_active, 1);
  EXPECT_EQ(rwl_readunlock(&l_), 0);
}

TEST_F(RwlTest, SoleReaderUpgradesAtOnceAndDowngradesBack) {
  ASSERT_EQ(rwl_readlock(&l_), 0);
  ASSERT_EQ(rwl_upgrade(&l_), 0);
  counters c = snapshot(l_);
  EXPECT_EQ(c.w_active, 1);
  EXPECT_EQ(c.r_active, 0) << "the read hold is given up";
  EXPECT_EQ(rwl_readtrylock(&l_), RWL_BUSY);
  ASSERT_EQ(rwl_downgrade(&l_), 0);
  c = snapshot(l_);
  EXPECT_EQ(c.w_active, 0);
  EXPECT_EQ(c.r_active, 1);
  EXPECT_EQ(rwl_writetrylock(&l_), RWL_BUSY);
  EXPECT_EQ(rwl_readtrylock(&l_), 0);
  EXPECT_EQ(rwl_readunlock(&l_), 0);
  EXPECT_EQ(rwl_readunlock(&l_), 0);
}

TEST_F(RwlTest, WaitingUpgraderGoesBeforeAPlainWaitingWriter) {
  ASSERT_EQ(rwl_readlock(&l_), 0);
  std::atomic<int> seq{0}, upgrader_in{-1}, writer_in{-1};
  std::atomic<bool> release_upgrader{false};

  std::thread upgrader([&] {
    EXPECT_EQ(rwl_readlock(&l_), 0);
    EXPECT_EQ(rwl_upgrade(&l_), 0);
    upgrader_in = seq++;
    wait_until([&] { return release_upgrader.load(); });
    EXPECT_EQ(rwl_writeunlock(&l_), 0);
  });
  ASSERT_TRUE(wait_until([&] { return snapshot(l_).u_wait == 1; }));
  counters c = snapshot(l_);
  EXPECT_EQ(c.r_active, 1) << "the upgrader gave up its read hold while waiting";
  EXPECT_EQ(c.w_wait, 1);

  std::thread writer([&] {
    EXPECT_EQ(rwl_writelock(&l_), 0);
    writer_in = seq++;
    EXPECT_EQ(rwl_writeunlock(&l_), 0);
  });
  ASSERT_TRUE(wait_until([&] { return snapshot(l_).w_wait == 2; }));

  EXPECT_EQ(rwl_readunlock(&l_), 0);
  ASSERT_TRUE(wait_until([&] { return upgrader_in.load() >= 0; }));
  EXPECT_EQ(writer_in, -1);
  c = snapshot(l_);
  EXPECT_EQ(c.w_active, 1);
  EXPECT_EQ(c.u_wait, 0);
  EXPECT_EQ(c.w_wait, 1);

  release_upgrader = true;
  upgrader.join();
  writer.join();
  EXPECT_LT(upgrader_in, writer_in);
}

TEST_F(RwlTest, UpgraderIsWokenEvenWhenAPlainWriterBeganWaitingFirst) {
  // One wake-up for the writers would likely reach the older, plain writer, which must go
  // back to sleep behind the upgrader: the upgrader has to be woken as well.
  ASSERT_EQ(rwl_readlock(&l_), 0);
  std::atomic<int> seq{0}, upgrader_in{-1}, writer_in{-1};
  std::thread writer([&] {
    EXPECT_EQ(rwl_writelock(&l_), 0);
    writer_in = seq++;
    EXPECT_EQ(rwl_writeunlock(&l_), 0);
  });
  ASSERT_TRUE(wait_until([&] { return snapshot(l_).w_wait == 1; }));
  std::thread upgrader([&] {
    // readlock would wait behind the writer; the try form does not.
    EXPECT_EQ(rwl_readtrylock(&l_), 0);
    EXPECT_EQ(rwl_upgrade(&l_), 0);
    upgrader_in = seq++;
    EXPECT_EQ(rwl_writeunlock(&l_), 0);
  });
  ASSERT_TRUE(wait_until([&] { return snapshot(l_).u_wait == 1; }));
  EXPECT_EQ(rwl_readunlock(&l_), 0);
  ASSERT_TRUE(wait_until([&] { return writer_in.load() >= 0; }));
  upgrader.join();
  writer.join();
  EXPECT_LT(upgrader_in, writer_in);
}

TEST_F(RwlTest, TwoReadersUpgradingAtOnceBothGetTheWriteLock) {
  ASSERT_EQ(rwl_readlock(&l_), 0);
  std::atomic<bool> go{false};
  int inside = 0, max_inside = 0, done = 0;  // guarded by the write lock
  auto body = [&] {
    EXPECT_EQ(rwl_readlock(&l_), 0);
    wait_until([&] { return go.load(); });
    EXPECT_EQ(rwl_upgrade(&l_), 0);
    inside++;
    max_inside = std::max(max_inside, inside);
    inside--;
    done++;
    EXPECT_EQ(rwl_writeunlock(&l_), 0);
  };
  std::thread a(body), b(body);
  ASSERT_TRUE(wait_until([&] { return snapshot(l_).r_active == 3; }));
  go = true;
  ASSERT_TRUE(wait_until([&] { return snapshot(l_).u_wait == 2; }));
  EXPECT_EQ(rwl_readunlock(&l_), 0);
  a.join();
  b.join();
  EXPECT_EQ(done, 2);
  EXPECT_EQ(max_inside, 1);
}

TEST_F(RwlTest, DowngradeLetsWaitingReadersInButNotWaitingWriters) {
  ASSERT_EQ(rwl_writelock(&l_), 0);
  std::atomic<bool> reader_in{false}, release_reader{false};
  std::thread reader([&] {
    EXPECT_EQ(rwl_readlock(&l_), 0);
    reader_in = true;
    wait_until([&] { return release_reader.load(); });
    EXPECT_EQ(rwl_readunlock(&l_), 0);
  });
  ASSERT_TRUE(wait_until([&] { return snapshot(l_).r_wait == 1; }));
  ASSERT_EQ(rwl_downgrade(&l_), 0);
  ASSERT_TRUE(wait_until([&] { return reader_in.load(); }));
  EXPECT_EQ(snapshot(l_).r_active, 2) << "the caller and the woken reader share the lock";
  EXPECT_EQ(rwl_readunlock(&l_), 0);
  release_reader = true;
  reader.join();

  ASSERT_EQ(rwl_writelock(&l_), 0);
  std::atomic<bool> writer_in{false};
  std::thread writer([&] {
    EXPECT_EQ(rwl_writelock(&l_), 0);
    writer_in = true;
    EXPECT_EQ(rwl_writeunlock(&l_), 0);
  });
  ASSERT_TRUE(wait_until([&] { return snapshot(l_).w_wait == 1; }));
  ASSERT_EQ(rwl_downgrade(&l_), 0);
  counters c = snapshot(l_);
  EXPECT_EQ(c.w_active, 0) << "a writer cannot enter while the downgraded reader holds on";
  EXPECT_EQ(c.r_active, 1);
  EXPECT_FALSE(writer_in);
  EXPECT_EQ(rwl_readunlock(&l_), 0);
  writer.join();
  EXPECT_TRUE(writer_in);
}

TEST_F(RwlTest, ReadersNeverSeeAHalfDoneWrite) {
  // Writers keep two values equal outside the lock's hold; readers check that they are.
  long a = 0, b = 0;
  std::atomic<int> torn{0};
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; i++) {
        if ((i + t) % 4 == 0) {
          EXPECT_EQ(rwl_writelock(&l_), 0);
          a++;
          b++;
          EXPECT_EQ(rwl_writeunlock(&l_), 0);
        } else if ((i + t) % 4 == 1) {
          EXPECT_EQ(rwl_readlock(&l_), 0);
          EXPECT_EQ(rwl_upgrade(&l_), 0);
          a++;
          b++;
          EXPECT_EQ(rwl_downgrade(&l_), 0);
          if (a != b) torn++;
          EXPECT_EQ(rwl_readunlock(&l_), 0);
        } else {
          EXPECT_EQ(rwl_readlock(&l_), 0);
          if (a != b) torn++;
          EXPECT_EQ(rwl_readunlock(&l_), 0);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(a, 2 * kRounds);
  EXPECT_EQ(b, a);
}

TEST(RwlGuard, HoldsForItsScopeAndReportsALockThatCannotBeTaken) {
  rwl l;
  ASSERT_EQ(rwl_init_internal(&l), 0);
  {
    rwl_read_guard r1(&l);
    rwl_read_guard r2(&l);
    EXPECT_TRUE(r1.ok());
    EXPECT_TRUE(r2.ok());
    EXPECT_EQ(l.r_active, 2);
    EXPECT_EQ(rwl_writetrylock(&l), RWL_BUSY);
  }
  EXPECT_EQ(l.r_active, 0);
  {
    rwl_write_guard w(&l);
    EXPECT_TRUE(w.ok());
    EXPECT_EQ(w.result(), 0);
    EXPECT_EQ(rwl_readtrylock(&l), RWL_BUSY);
  }
  EXPECT_EQ(l.w_active, 0);
  EXPECT_EQ(rwl_writetrylock(&l), 0);
  EXPECT_EQ(rwl_writeunlock(&l), 0);
  {
    // No lock (a list that is not shared): nothing to take, nothing to release.
    rwl_read_guard r(nullptr);
    rwl_write_guard w(nullptr);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(w.ok());
  }
  ASSERT_EQ(rwl_destroy(&l), 0);
  {
    // A destroyed lock: the guards hold nothing and say why; leaving the scope must not
    // unlock (which would fail the debug assertion).
    rwl_read_guard r(&l);
    rwl_write_guard w(&l);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.result(), RWL_INVALID);
    EXPECT_FALSE(w.ok());
    EXPECT_EQ(w.result(), RWL_INVALID);
  }
}
