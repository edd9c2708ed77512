#include "rate_limiter.h"

#include <time.h>

#include <cerrno>

int64_t rate_limiter_monotonic_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * rate_limiter::second + ts.tv_nsec;
}

rate_limiter::rate_limiter(uint64_t rate, clock_fn clock)
    : rate_(rate == 0 ? 1 : rate), clock_(clock != nullptr ? clock : rate_limiter_monotonic_ns) {
  if (rate_ <= guard_limit) ring_.assign(rate_, 0);
}

int64_t rate_limiter::now() const { return clock_(); }

bool rate_limiter::try_acquire(int64_t* wait_ns, size_t* ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  int64_t now = clock_();
  if (!started_) {
    started_ = true;
    origin_ = now;
    k_ = 0;
  }
  // Slot k is due at origin + ceil(k * 1e9 / rate).
  auto slot_time = [this](uint64_t k) {
    unsigned __int128 ns = static_cast<unsigned __int128>(k) * second + rate_ - 1;
    return origin_ + static_cast<int64_t>(ns / rate_);
  };
  int64_t due = slot_time(k_);
  if (now - due > max_lag) {
    origin_ = now - max_lag;
    k_ = 0;
    due = origin_;
  }
  int64_t wait = due > now ? due - now : 0;
  if (!ring_.empty() && sent_ >= rate_) {
    int64_t free_at = ring_[pos_] + second;
    if (free_at > now && free_at - now > wait) wait = free_at - now;
  }
  if (wait > 0) {
    if (wait_ns != nullptr) *wait_ns = wait;
    return false;
  }
  ++k_;
  ++sent_;
  if (ticket != nullptr) *ticket = pos_;
  if (!ring_.empty()) {
    ring_[pos_] = now;
    pos_ = pos_ + 1 == ring_.size() ? 0 : pos_ + 1;
  }
  return true;
}

void rate_limiter::sent(size_t ticket) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ticket >= ring_.size()) return;
  int64_t now = clock_();
  if (now > ring_[ticket]) ring_[ticket] = now;
}

void rate_limiter::acquire(size_t* ticket) {
  int64_t wait = 0;
  while (!try_acquire(&wait, ticket)) {
    // Sleeping at least 1 ms lets the slots that fall due meanwhile go out together: a few
    // sends per wake-up instead of one, at high rates far fewer context switches. The
    // schedule still allows them (they are due), and the guard still holds every window.
    if (wait < min_sleep) wait = min_sleep;
    timespec ts{static_cast<time_t>(wait / second), static_cast<long>(wait % second)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
}
