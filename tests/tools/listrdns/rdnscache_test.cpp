// The reverse-DNS cache: limits, pruning, modes, lookups, transfers and the cache file.

#include "rdnscache.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "support/run_process.h"

namespace {

constexpr time_t clock_value = 1000000;
time_t fixed_clock() { return clock_value; }

cvnet_ipaddr ip(const char* text) {
  cvnet_ipaddr a;
  EXPECT_EQ(cvnet_aton(text, &a), 0) << text;
  return a;
}

std::vector<std::string> names(const std::unique_ptr<string_list>& l) {
  std::vector<std::string> v;
  if (!l) return v;
  for (size_t i = 0; i < string_list_get_size(l.get()); ++i) {
    v.push_back(string_list_get_str(l.get(), i));
  }
  return v;
}

class RdnscacheTest : public ::testing::Test {
 protected:
  void SetUp() override { init(RDNSCACHE_PLAIN, 0); }
  void TearDown() override { EXPECT_EQ(rdnscache_destroy(&c_), 0); }
  void init(unsigned mode, unsigned max) {
    ASSERT_EQ(rdnscache_initialize(&c_, mode, max), 0);
    rdnscache_set_clock(&c_, fixed_clock);
  }
  void reinit(unsigned mode, unsigned max) {
    rdnscache_destroy(&c_);
    init(mode, max);
  }
  int add(const char* name, std::vector<const char*> addrs, int64_t expiry, uint32_t flags = 0) {
    std::vector<cvnet_ipaddr> v;
    for (const char* a : addrs) v.push_back(ip(a));
    return rdnscache_add(&c_, name, nullptr, static_cast<int>(v.size()), v.data(), expiry, flags);
  }
  std::string dump() {
    std::string p = dir_.path() + "/dump";
    EXPECT_EQ(rdnscache_dump_file(&c_, p.c_str()), 0);
    return dir_.read(p);
  }
  std::string import(const std::string& content, int64_t ref, int* lines = nullptr,
                     int* result = nullptr) {
    std::string p = dir_.write("in", content);
    testing::internal::CaptureStderr();
    int r = rdnscache_import_file(&c_, ref, 1024, lines, p.c_str());
    if (result != nullptr) *result = r;
    return testing::internal::GetCapturedStderr();
  }
  uint64_t sizes(int which) {
    uint64_t s[3];
    rdnscache_get_sizes(&c_, &s[0], &s[1], &s[2]);
    return s[which];
  }

  rdnscache c_;
  cv_tempdir dir_;
};

TEST_F(RdnscacheTest, PerAddressLimitMovesTheLastNameToTheNoIpSet) {
  rdnscache_set_opt(&c_, RDNSCACHE_OPT_MAX_HOSTS_PER_IP, 2);
  EXPECT_EQ(add("a", {"10.0.0.1"}, 2000000), 0);
  EXPECT_EQ(add("b", {"10.0.0.1"}, 2000000), 0);
  errno = 0;
  EXPECT_EQ(add("c", {"10.0.0.1"}, 2000000), -1);
  EXPECT_EQ(errno, EFBIG);
  EXPECT_EQ(dump(),
            "10.0.0.1 a 2000000\n"
            "10.0.0.1 b 2000000\n"
            "0.0.0.0 c " + std::to_string(clock_value + 86400) + "\n");
  EXPECT_EQ(sizes(0), 1u);
  EXPECT_EQ(sizes(1), 2u);
  EXPECT_EQ(sizes(2), 1u);
  // A name with a second, free address keeps that one only.
  EXPECT_EQ(add("d", {"10.0.0.1", "10.0.0.2"}, 2000000), 0);
  int64_t e = 0;
  EXPECT_EQ(rdnscache_have_host(&c_, "d", nullptr, &e), 1);
  EXPECT_EQ(rdnscache_have_host(&c_, "c", nullptr, &e), 1);
  EXPECT_EQ(e, clock_value + 86400);
  // c resolving later to a free address leaves the no-IP set.
  EXPECT_EQ(add("c", {"10.0.0.3"}, 2000000), 0);
  EXPECT_EQ(sizes(2), 0u);
  EXPECT_EQ(rdnscache_have_host(&c_, "zz", nullptr, &e), 0);
}

TEST_F(RdnscacheTest, AddressesAreKeptOnceAndWrittenPerAddress) {
  EXPECT_EQ(add("h", {"10.0.0.1"}, 1500000), 0);
  EXPECT_EQ(add("h", {"10.0.0.1", "2001:db8::1"}, 1600000, RDNSCACHE_FLAG_HASHED), 0);
  cvnet_ipaddr out[2];
  int count = 2;
  int64_t expiry = 0;
  ASSERT_EQ(rdnscache_fwdlookup(&c_, "h", nullptr, out, &count, &expiry), 0);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(expiry, 1600000);
  EXPECT_EQ(cvnet_compare(out[0], ip("10.0.0.1")), 0);
  EXPECT_EQ(cvnet_compare(out[1], ip("2001:db8::1")), 0);
  count = 1;
  errno = 0;
  EXPECT_EQ(rdnscache_fwdlookup(&c_, "h", nullptr, out, &count, &expiry), -1);
  EXPECT_EQ(errno, ENOMEM);
  count = 2;
  EXPECT_EQ(rdnscache_fwdlookup(&c_, "none", nullptr, out, &count, nullptr), 0);
  EXPECT_EQ(count, 0);
  // Flags of an existing entry stay: no " H".
  EXPECT_EQ(dump(), "10.0.0.1 h 1600000\n2001:db8::1 h 1600000\n");
  // A name given with an end pointer.
  const char* text = "hostXYZ";
  EXPECT_EQ(rdnscache_have_host(&c_, text, text + 1, &expiry), 2);
}

TEST_F(RdnscacheTest, LookupsHonourLivenessLimitAndFlags) {
  rdnscache_set_opt(&c_, RDNSCACHE_OPT_REMOVE_DELAY, 100);
  EXPECT_EQ(add("old", {"10.0.0.1"}, 1000000), 0);
  EXPECT_EQ(add("new", {"10.0.0.1"}, 1000500, RDNSCACHE_FLAG_HASHED), 0);
  EXPECT_EQ(names(rdnscache_lookup(&c_, ip("10.0.0.1"), 1000000, 0)),
            (std::vector<std::string>{"old", "new"}));
  EXPECT_EQ(names(rdnscache_lookup_with_flags(&c_, ip("10.0.0.1"), 1000000, 0)),
            (std::vector<std::string>{"Sold", "Hnew"}));
  // At 1000101 "old" (1000000 + 100) is no longer live.
  EXPECT_EQ(names(rdnscache_lookup(&c_, ip("10.0.0.1"), 1000101, 0)),
            (std::vector<std::string>{"new"}));
  EXPECT_EQ(names(rdnscache_lookup(&c_, ip("10.0.0.1"), 1000000, 1)),
            (std::vector<std::string>{"old"}));
  EXPECT_EQ(rdnscache_lookup(&c_, ip("10.0.0.1"), 1000101, 1), nullptr);
  EXPECT_EQ(rdnscache_lookup(&c_, ip("10.0.0.2"), 0, 0), nullptr);

  char buf[64];
  int count = 0;
  EXPECT_EQ(rdnscache_dump_buff(&c_, 1000000, buf, sizeof buf, &count), 42);
  EXPECT_STREQ(buf, "10.0.0.1 old 1000000\n10.0.0.1 new 1000500\n");
  EXPECT_EQ(count, 2);
  // Only whole lines go in; the rest is counted.
  EXPECT_EQ(rdnscache_dump_buff(&c_, 1000000, buf, 30, &count), 21);
  EXPECT_STREQ(buf, "10.0.0.1 old 1000000\n");
  EXPECT_EQ(count, 2);
  EXPECT_EQ(rdnscache_dump_buff(&c_, 1000101, buf, sizeof buf, &count), 21);
  EXPECT_EQ(count, 1);
}

TEST_F(RdnscacheTest, PruningDropsExpiredAddressesAndEmptyEntries) {
  rdnscache_set_opt(&c_, RDNSCACHE_OPT_REMOVE_DELAY, 10);
  // Expired long before the clock: the add keeps nothing, and no entry is left behind.
  EXPECT_EQ(add("gone", {"10.0.0.1"}, 5), 0);
  EXPECT_EQ(sizes(0), 0u);
  EXPECT_EQ(sizes(1), 0u);
  EXPECT_EQ(dump(), "");
  // A host's old address is pruned when it is added again with a new one.
  EXPECT_EQ(add("h", {"10.0.0.2"}, clock_value), 0);
  EXPECT_EQ(add("other", {"10.0.0.2"}, clock_value + 50), 0);
  rdnscache_set_opt(&c_, RDNSCACHE_OPT_REMOVE_DELAY, -1);
  EXPECT_EQ(add("h", {"10.0.0.3"}, clock_value + 50), 0);
  EXPECT_EQ(dump(),
            "10.0.0.2 other " + std::to_string(clock_value + 50) + "\n10.0.0.3 h " +
                std::to_string(clock_value + 50) + "\n");
  // The no-IP add prunes too, and removes a host left without an address.
  EXPECT_EQ(add("x", {"10.0.0.4"}, clock_value - 1), 0);
  EXPECT_EQ(sizes(1), 2u);  // x pruned at once (delay -1)
  rdnscache_set_opt(&c_, RDNSCACHE_OPT_REMOVE_DELAY, 0);
  EXPECT_EQ(add("y", {"10.0.0.5"}, clock_value), 0);
  rdnscache_set_opt(&c_, RDNSCACHE_OPT_REMOVE_DELAY, -1);
  EXPECT_EQ(rdnscache_add_no_ip_host(&c_, "y", nullptr, 7, 0), 0);
  int64_t e = 0;
  EXPECT_EQ(rdnscache_have_host(&c_, "y", nullptr, &e), 1);
  EXPECT_EQ(e, 7);
  EXPECT_EQ(rdnscache_lookup(&c_, ip("10.0.0.5"), 0, 0), nullptr);
  EXPECT_EQ(sizes(0), 2u);
}

TEST_F(RdnscacheTest, LruModeEvictsTheLeastRecentlyUsedAndPlainModeRefuses) {
  reinit(RDNSCACHE_LRU, 2);
  EXPECT_EQ(add("a", {"10.0.0.1"}, 2000000), 0);
  EXPECT_EQ(add("b", {"10.0.0.2"}, 2000000), 0);
  // Using 10.0.0.1 makes 10.0.0.2 the least recently used.
  EXPECT_EQ(names(rdnscache_lookup(&c_, ip("10.0.0.1"), 0, 0)), (std::vector<std::string>{"a"}));
  EXPECT_EQ(add("c", {"10.0.0.3"}, 2000000), 0);
  EXPECT_EQ(rdnscache_lookup(&c_, ip("10.0.0.2"), 0, 0), nullptr);
  int64_t e;
  EXPECT_EQ(rdnscache_have_host(&c_, "b", nullptr, &e), 0);
  EXPECT_EQ(dump(), "10.0.0.1 a 2000000\n10.0.0.3 c 2000000\n");
  // One name with more addresses than the maximum keeps the most recent ones.
  EXPECT_EQ(add("many", {"10.1.0.1", "10.1.0.2", "10.1.0.3"}, 2000000), 0);
  EXPECT_EQ(sizes(0), 2u);
  EXPECT_EQ(dump(), "10.1.0.2 many 2000000\n10.1.0.3 many 2000000\n");

  reinit(RDNSCACHE_PLAIN, 1);
  EXPECT_EQ(add("a", {"10.0.0.1"}, 2000000), 0);
  errno = 0;
  EXPECT_EQ(add("b", {"10.0.0.2"}, 2000000), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(sizes(1), 1u);  // b was not left behind without an address
}

TEST_F(RdnscacheTest, ImportReportsBadLinesAndKeepsTheRest) {
  rdnscache_set_opt(&c_, RDNSCACHE_OPT_REMOVE_DELAY, 100);
  std::string long_line = "10.0.0.9 " + std::string(2000, 'l') + " 2000000\n";
  int lines = 0;
  int result = -2;
  std::string err = import(
      "# comment\n"
      "\n"
      "10.0.0.1 a 2000000\n"
      "10.0.0.1 b 2000000 Hash\n"
      "10.0.0.2 past 999950\n"    // live: 999950 + 100 >= 1000000
      "10.0.0.3 dead 999899\n"    // dropped silently
      "0.0.0.0 noip 123\n"        // no-IP hosts ignore the remove delay
      "10.0.0.4 zero 0\n"
      "10.0.0.4 onlytwo\n"
      "bogus name 2000000\n"
      "10.0.0.5 huge 9223372036854775807\n" +
          long_line + "10.0.0.6 last 2000000",  // no newline: skipped
      1000000, &lines, &result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(lines, 13);
  EXPECT_EQ(err,
            "rdns_import_file: invalid ttl '0'\n"
            "rdns_import_file: too few columns\n"
            "rdns_import_file: invalid IP format 'bogus'\n");
  EXPECT_EQ(dump(),
            "10.0.0.1 a 2000000\n"
            "10.0.0.1 b 2000000 H\n"
            "10.0.0.2 past 999950\n"
            "10.0.0.5 huge 9223372036854775807\n"
            "0.0.0.0 noip 123\n");

  // Option 3 ignores no-IP lines; a missing file is reported.
  reinit(RDNSCACHE_PLAIN, 0);
  rdnscache_set_opt(&c_, RDNSCACHE_OPT_SKIP_NO_IP, 1);
  err = import("0.0.0.0 noip 123\n", 0, nullptr, &result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(sizes(2), 0u);
  testing::internal::CaptureStderr();
  EXPECT_EQ(rdnscache_import_file(&c_, 0, 1024, nullptr, "/nonexistent/cache"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "rdns_import_file: failed to open file '/nonexistent/cache': No such file or "
            "directory\n");
}

TEST_F(RdnscacheTest, MarkedEntriesAreWrittenOnlyOnceAskedFor) {
  rdnscache_set_opt(&c_, RDNSCACHE_OPT_MARK_LOADED, 1);
  import("10.0.0.1 asked 2000000\n10.0.0.1 silent 2000000\n10.0.0.2 readded 2000000\n", 0);
  int64_t e;
  EXPECT_EQ(rdnscache_have_host(&c_, "asked", nullptr, &e), 1);
  EXPECT_EQ(add("readded", {"10.0.0.2"}, 2100000), 0);  // the mark stays: flags are kept
  EXPECT_EQ(dump(), "10.0.0.1 asked 2000000\n");
  EXPECT_EQ(rdnscache_have_host(&c_, "readded", nullptr, &e), 1);
  EXPECT_EQ(dump(), "10.0.0.1 asked 2000000\n10.0.0.2 readded 2100000\n");
}

TEST_F(RdnscacheTest, TransferWalkAndCustomDump) {
  rdnscache_set_opt(&c_, RDNSCACHE_OPT_REMOVE_DELAY, 0);
  EXPECT_EQ(add("live", {"10.0.0.1", "10.0.0.2"}, 2000000, RDNSCACHE_FLAG_HASHED), 0);
  EXPECT_EQ(add("stale", {"10.0.0.3"}, clock_value), 0);
  EXPECT_EQ(rdnscache_add_no_ip_host(&c_, "noip", nullptr, 5, 0), 0);

  rdnscache dst;
  ASSERT_EQ(rdnscache_initialize(&dst, RDNSCACHE_PLAIN, 0), 0);
  rdnscache_set_clock(&dst, [] { return clock_value + 1; });
  rdnscache_set_opt(&dst, RDNSCACHE_OPT_REMOVE_DELAY, 0);
  rdnscache_set_opt(&dst, RDNSCACHE_OPT_MARK_LOADED, 1);
  ASSERT_EQ(rdnscache_transfer(&c_, &dst), 0);
  EXPECT_EQ(rdnscache_transfer(&c_, &c_), -1);
  uint64_t ips, hosts, noip;
  rdnscache_get_sizes(&dst, &ips, &hosts, &noip);
  EXPECT_EQ(ips, 2u);  // stale.test is not live at dst's clock
  EXPECT_EQ(hosts, 1u);
  EXPECT_EQ(noip, 1u);
  std::string p = dir_.path() + "/dst";
  ASSERT_EQ(rdnscache_dump_file(&dst, p.c_str()), 0);
  EXPECT_EQ(dir_.read(p), "0.0.0.0 noip 5\n");  // everything transferred is marked
  int64_t e;
  rdnscache_have_host(&dst, "live", nullptr, &e);
  ASSERT_EQ(rdnscache_dump_file(&dst, p.c_str()), 0);
  EXPECT_EQ(dir_.read(p), "10.0.0.1 live 2000000 H\n10.0.0.2 live 2000000 H\n0.0.0.0 noip 5\n");
  EXPECT_EQ(rdnscache_destroy(&dst), 0);

  // Expired and not hashed: stale (clock not after its expiry? equal: not before) and noip.
  std::vector<std::string> seen;
  auto walk = [](void* ctx, const char* name, int64_t, const int64_t* clock) {
    EXPECT_EQ(*clock, clock_value);
    static_cast<std::vector<std::string>*>(ctx)->push_back(name);
    return 0;
  };
  EXPECT_EQ(rdnscache_expired_host_walk(&c_, walk, &seen), 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"noip"}));
  auto stop = [](void*, const char*, int64_t, const int64_t*) { return 7; };
  EXPECT_EQ(rdnscache_expired_host_walk(&c_, stop, nullptr), 7);

  std::string lines;
  auto each = [](void* ctx, const rdns_ipentry* e, const char* name, int64_t, uint32_t flags) {
    char t[64];
    *static_cast<std::string*>(ctx) += std::string(cvnet_ntop(e->ip, t, sizeof t)) + " " + name +
                                       (flags & RDNSCACHE_FLAG_HASHED ? " H" : "") + "\n";
    return 0;
  };
  EXPECT_EQ(rdnscache_dump_file_custom(&c_, each, &lines), 0);
  EXPECT_EQ(lines, "10.0.0.1 live H\n10.0.0.2 live H\n10.0.0.3 stale\n");
  auto fail = [](void*, const rdns_ipentry*, const char*, int64_t, uint32_t) { return 1; };
  EXPECT_EQ(rdnscache_dump_file_custom(&c_, fail, nullptr), -1);
}

TEST_F(RdnscacheTest, UnlimitedAddressCarriesMoreThanSixteenBitsOfNames) {
  rdnscache_set_opt(&c_, RDNSCACHE_OPT_MAX_HOSTS_PER_IP, 0);
  cvnet_ipaddr shared = ip("10.0.0.1");
  const int n = 70000;
  for (int i = 0; i < n; ++i) {
    std::string name = "n" + std::to_string(i);
    ASSERT_EQ(rdnscache_add(&c_, name.c_str(), nullptr, 1, &shared, 2000000, 0), 0) << i;
  }
  // Adding a known name again neither duplicates it nor costs a walk over all names.
  ASSERT_EQ(rdnscache_add(&c_, "n69999", nullptr, 1, &shared, 2000001, 0), 0);
  auto all = rdnscache_lookup(&c_, shared, 0, 0);
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(string_list_get_size(all.get()), static_cast<size_t>(n));
  EXPECT_STREQ(string_list_get_str(all.get(), n - 1), "n69999");
  EXPECT_EQ(sizes(1), static_cast<uint64_t>(n));
}

TEST_F(RdnscacheTest, ConcurrentAddsAndLookupsKeepTheCountsRight) {
  rdnscache_set_opt(&c_, RDNSCACHE_OPT_MAX_HOSTS_PER_IP, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 500; ++i) {
        std::string name = "h" + std::to_string(t) + "-" + std::to_string(i);
        std::string a = "10.0." + std::to_string(t) + "." + std::to_string(i % 50);
        cvnet_ipaddr addr = ip(a.c_str());
        EXPECT_EQ(rdnscache_add(&c_, name.c_str(), nullptr, 1, &addr, 2000000, 0), 0);
        int64_t e;
        EXPECT_EQ(rdnscache_have_host(&c_, name.c_str(), nullptr, &e), 1);
        EXPECT_NE(rdnscache_lookup(&c_, addr, 0, 0), nullptr);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(sizes(0), 200u);
  EXPECT_EQ(sizes(1), 2000u);
}

}  // namespace
