#pragma once
// Paces DNS requests so that no window of one second, wherever it starts, ever holds more
// sends than the rate, while the average stays at the rate.
//
// Two rules together:
//   - a schedule: send k is due at origin + k / rate. A sender that wakes late may catch up on
//     missed slots, but never on more than `max_lag` worth of them (after a longer stall the
//     schedule restarts), so the rate holds on average without bursts after stalls;
//   - a hard guard: the times of the last `rate` sends are kept, and a send is allowed only
//     when the oldest of them lies at least one second back. This is what makes the limit hold
//     in every window, whatever the sleeps and stalls do. For rates above `guard_limit` the
//     guard would cost too much memory and the schedule alone paces (bursts of at most
//     max_lag worth of sends).
//
// Thread-safe: all members may be called from several threads at once.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

class rate_limiter {
 public:
  using clock_fn = int64_t (*)();  // monotonic nanoseconds
  static constexpr int64_t second = 1000000000;
  static constexpr int64_t max_lag = 100000000;  // 100 ms
  static constexpr uint64_t guard_limit = 1u << 20;
  static constexpr int64_t min_sleep = 1000000;  // 1 ms

  // REQUIRES: rate >= 1. A null clock is the monotonic clock.
  explicit rate_limiter(uint64_t rate, clock_fn clock = nullptr);

  // Records a send and returns true when one is allowed now. Otherwise returns false and
  // *wait_ns (when not null) receives the time until the next one may be allowed. *ticket
  // (when not null) receives the send's ticket for sent().
  bool try_acquire(int64_t* wait_ns, size_t* ticket = nullptr);

  // Waits (sleeping) until a send is allowed and records it.
  void acquire(size_t* ticket = nullptr);

  // Tells that the send of `ticket` has left: its time in the guard becomes now. The guard
  // then compares the time a send is allowed with the time the sends before it had left, so
  // that a delay between the permission and the packet (a preempted thread) cannot put more
  // than `rate` packets into one second on the wire.
  void sent(size_t ticket);

  // The clock in use.
  int64_t now() const;

  uint64_t rate() const { return rate_; }

 private:
  std::mutex mutex_;
  uint64_t rate_;
  clock_fn clock_;
  bool started_ = false;
  int64_t origin_ = 0;  // time of slot 0
  uint64_t k_ = 0;      // the next slot
  std::vector<int64_t> ring_;  // times of the last sends, oldest at pos_ once full
  size_t pos_ = 0;
  uint64_t sent_ = 0;
};

// The monotonic clock in nanoseconds.
int64_t rate_limiter_monotonic_ns();
