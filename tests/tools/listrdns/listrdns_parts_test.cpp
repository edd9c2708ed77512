// The parts of cvlistrdns that need no DNS: which host a line gives, and the pacing of sends.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "listrdns_input.h"
#include "rate_limiter.h"

namespace {

TEST(ListrdnsInput, LineRules) {
  struct row {
    const char* line;
    bool all;
    const char* host;  // "" = none
  } rows[] = {
      {"example.test", false, "example.test"},
      {"Example.TEST", false, "example.test"},
      {"http://h.test/p", false, ""},
      {"http://h.test/p", true, "h.test"},
      {"HTTP://h.test/p", false, ""},  // lower-cased before the test
      {"https://h.test:8443/p?q", false, "h.test"},
      {"ftp://user@h.test/p", false, "user@h.test"},
      {"h.test/path/x", false, "h.test"},
      {"h.test:81", false, "h.test"},
      {"h.test?q=1", false, "h.test"},
      {"h.test\r", false, "h.test"},
      {"https://[2001:db8::1]/", false, ""},
      {"https://[name.test]/", false, "name.test"},
      {"10.1.2.3", false, ""},
      {"10.1.2.3-10.1.2.9", false, ""},
      {"[2001:db8::1-2001:db8::9]", false, ""},
      {"10.1.2.3-2001:db8::9", false, "10.1.2.3-2001"},  // mixed families: a name
      {"*.h.test", false, ""},
      {"h*.test", false, ""},
      {"# h.test", false, ""},
      {"", false, ""},
      {"h.test 1,2", false, ""},                 // two fields, no "://"
      {"https://h.test 1,2", false, "h.test"},   // two fields, a URL
      {"1https://h.test 1,2", false, ""},        // a URL must start with a letter
      {"https://h.test 12 x", false, "h.test"},  // three fields, second a digit
      {"https://h.test x y", false, ""},         // three fields, second not a digit
      {"h.test U C 1", false, "h.test"},         // a list entry
      {"h.test Uc C 1", false, "h.test"},
      {"h.test Uh C 1", false, ""},  // hashed entries carry no names
      {"h.test D 1", false, ""},
      {"h.test U", false, ""},  // two fields
      {"https://", false, ""},
  };
  for (const row& r : rows) {
    std::string buf = r.line;
    EXPECT_EQ(std::string(listrdns_line_host(buf.data(), r.all)), r.host) << r.line;
  }
}

// A fake clock for the limiter: the test moves it.
int64_t fake_now = 0;
int64_t fake_clock() { return fake_now; }

// Counts sends in every one-second window that starts at a send.
uint64_t max_in_any_second(const std::vector<int64_t>& t) {
  uint64_t best = 0;
  size_t j = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    while (j < t.size() && t[j] < t[i] + rate_limiter::second) ++j;
    best = std::max<uint64_t>(best, j - i);
  }
  return best;
}

TEST(RateLimiter, NeverExceedsTheRateInAnyWindowAndKeepsTheAverage) {
  for (uint64_t rate : {1ull, 7ull, 100ull, 10000ull}) {
    fake_now = 1000;
    rate_limiter lim(rate, fake_clock);
    std::mt19937_64 rng(rate);
    std::vector<int64_t> sends;
    int64_t end = 20 * rate_limiter::second;
    while (fake_now < end) {
      int64_t wait = 0;
      if (lim.try_acquire(&wait)) {
        sends.push_back(fake_now);
        continue;
      }
      ASSERT_GT(wait, 0);
      // Sleeps overshoot by up to 2 ms; every 5 s the sender stalls for 150 ms (reading a
      // slow input, say): those sends are lost, never made up in a burst.
      int64_t over = static_cast<int64_t>(rng() % 2000000);
      int64_t next = fake_now + wait + over;
      if (next / (5 * rate_limiter::second) != fake_now / (5 * rate_limiter::second)) {
        next += 150000000;
      }
      fake_now = next;
    }
    EXPECT_LE(max_in_any_second(sends), rate) << "rate " << rate;
    // The average over the run stays within 5% of the rate (the 3% of stalls included).
    double achieved = static_cast<double>(sends.size()) / 20.0;
    EXPECT_GE(achieved, 0.95 * static_cast<double>(rate)) << "rate " << rate;
  }
}

TEST(RateLimiter, GuardCountsFromWhenEachSendLeft) {
  fake_now = 0;
  rate_limiter lim(2, fake_clock);
  size_t t0 = 0, t1 = 0;
  ASSERT_TRUE(lim.try_acquire(nullptr, &t0));
  fake_now = 10000000;  // the first packet leaves 10 ms after its permission
  lim.sent(t0);
  fake_now = 500000000;
  ASSERT_TRUE(lim.try_acquire(nullptr, &t1));
  lim.sent(t1);
  // A third send is due by the schedule at 1 s, but the first left at 10 ms: the wire
  // window [10 ms, 1010 ms) may hold only two.
  fake_now = 1000000000;
  int64_t wait = 0;
  EXPECT_FALSE(lim.try_acquire(&wait));
  EXPECT_EQ(wait, 10000000);
  fake_now = 1010000000;
  EXPECT_TRUE(lim.try_acquire(nullptr));
}

TEST(RateLimiter, BurstAfterAStallIsBoundedByTheOneSecondGuard) {
  fake_now = 5;
  rate_limiter lim(10, fake_clock);
  std::vector<int64_t> sends;
  // A sender that only wakes every 0.99 s and then takes all it may.
  for (int round = 0; round < 30; ++round) {
    while (lim.try_acquire(nullptr)) sends.push_back(fake_now);
    fake_now += 990000000;
  }
  EXPECT_LE(max_in_any_second(sends), 10u);
  EXPECT_GE(sends.size(), 10u);
}

}  // namespace
