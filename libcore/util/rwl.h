#pragma once
// rwl: a writer-preferring read/write lock built on one pthread mutex and two condition
// variables. It guards a shared URL list (readers look up, writers add) and the reverse-DNS
// cache.
//
// Writer preference: once a writer waits, new readers wait too (rwl_readtrylock excepted),
// so a steady stream of lookups cannot starve an addition. A reader may turn its hold into
// the write lock (rwl_upgrade) and a writer into a read hold (rwl_downgrade); a waiting
// upgrader goes before plain waiting writers.
//
// Every operation returns 0 or an error number: RWL_BUSY (16) from the try operations and
// rwl_destroy when the lock is taken or awaited, RWL_INVALID (22) when the lock is not
// initialised or already destroyed, RWL_NOT_HELD (1) when an unlock, upgrade or downgrade
// is called without the matching hold (such a call would otherwise corrupt the counters).
// All operations may be called from any thread at once, except rwl_init_internal and a
// successful rwl_destroy, which must not race with any other use of the same lock.
//
// Not recursive: a thread that holds the lock and asks for it again may deadlock.

#include <pthread.h>

#include <cassert>

enum : int {
  RWL_NOT_HELD = 1,  // EPERM
  RWL_BUSY = 16,     // EBUSY
  RWL_INVALID = 22,  // EINVAL
};

struct rwl {
  static constexpr int valid_marker = 16435934;

  pthread_mutex_t mutex;
  pthread_cond_t read;   // waiting readers sleep here
  pthread_cond_t write;  // waiting writers and upgraders sleep here
  int valid = 0;         // valid_marker while initialised, 0 otherwise
  int r_active = 0;      // readers holding the lock
  int w_active = 0;      // 1 while a writer holds it
  int r_wait = 0;        // readers waiting
  int w_wait = 0;        // writers waiting, upgraders included
  int u_wait = 0;        // upgraders waiting
};

// Zeroes the counters, creates the mutex and both conditions and marks the lock valid.
// On failure undoes what was created and returns the error. REQUIRES: the lock is not in
// use (a lock that is initialised and not destroyed must not be initialised again).
int rwl_init_internal(rwl* l);

// Takes a read hold, waiting while a writer is active or any writer (or upgrader) waits.
int rwl_readlock(rwl* l);
// Gives up a read hold. When the last reader leaves and writers wait, wakes one of them
// (all of them when an upgrader is among them, so that the upgrader can go first).
int rwl_readunlock(rwl* l);

// Takes the write lock, waiting while a writer is active, readers are active or an upgrader
// waits.
int rwl_writelock(rwl* l);
// Gives up the write lock; wakes one waiting writer (all when an upgrader waits), or else all
// waiting readers.
int rwl_writeunlock(rwl* l);

// Takes a read hold unless a writer is active (RWL_BUSY). Waiting writers do not block it.
int rwl_readtrylock(rwl* l);
// Takes the write lock unless a writer or any reader is active (RWL_BUSY).
int rwl_writetrylock(rwl* l);

// REQUIRES: the caller holds a read hold. Turns it into the write lock. When other readers
// are active the caller gives up its read hold while it waits, so another writer (only an
// upgrader: plain writers do not overtake a waiting upgrader) may change the guarded data
// before the upgrade completes. After 0 the caller holds the write lock and no read hold.
int rwl_upgrade(rwl* l);

// REQUIRES: the caller holds the write lock. Turns it into a read hold without a moment in
// which another writer could step in. Wakes waiting writers (they keep waiting while readers
// are active), or else all waiting readers, who may now share the lock with the caller.
int rwl_downgrade(rwl* l);

// Destroys the lock: RWL_BUSY, leaving the lock intact and usable, when any reader or writer
// is active or waiting; otherwise clears the marker and destroys the mutex and conditions,
// after which every operation returns RWL_INVALID until rwl_init_internal.
int rwl_destroy(rwl* l);

// Scoped holds. The constructor takes the hold (on a null lock, for a list that is not
// shared, it takes nothing and ok() is true); ok() is false when the lock could not be taken
// (RWL_INVALID: not initialised or destroyed, or a pthread error), and then the guard holds
// nothing and the caller must not touch what the lock guards. The destructor gives up the hold
// the guard took. That release cannot fail: the guard holds the lock, and rwl_destroy refuses
// a held lock; the assertion states it for debug builds.
//
// Not copyable or movable: a hold belongs to its scope.
class rwl_read_guard {
 public:
  explicit rwl_read_guard(rwl* lock) : lock_(lock), result_(lock ? rwl_readlock(lock) : 0) {}
  ~rwl_read_guard() {
    if (lock_ != nullptr && result_ == 0) {
      [[maybe_unused]] const int rc = rwl_readunlock(lock_);
      assert(rc == 0);
    }
  }
  rwl_read_guard(const rwl_read_guard&) = delete;
  rwl_read_guard& operator=(const rwl_read_guard&) = delete;

  // True when the hold was taken (or there was no lock to take).
  bool ok() const { return result_ == 0; }
  // rwl_readlock's result: 0, or the error that kept the guard from holding the lock.
  int result() const { return result_; }

 private:
  rwl* lock_;
  int result_;
};

class rwl_write_guard {
 public:
  explicit rwl_write_guard(rwl* lock) : lock_(lock), result_(lock ? rwl_writelock(lock) : 0) {}
  ~rwl_write_guard() {
    if (lock_ != nullptr && result_ == 0) {
      [[maybe_unused]] const int rc = rwl_writeunlock(lock_);
      assert(rc == 0);
    }
  }
  rwl_write_guard(const rwl_write_guard&) = delete;
  rwl_write_guard& operator=(const rwl_write_guard&) = delete;

  // True when the lock was taken (or there was no lock to take).
  bool ok() const { return result_ == 0; }
  // rwl_writelock's result: 0, or the error that kept the guard from holding the lock.
  int result() const { return result_; }

 private:
  rwl* lock_;
  int result_;
};
