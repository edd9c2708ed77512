// Best-match lookups in an IP list holding 1,000,000 IPv4 addresses (/32) and 10,000 ranges
// split into prefixes. All data comes from a fixed-seed generator, so every run measures
// the same list and the same addresses.
//
// Counters: bytes_per_entry (trie memory / stored prefixes) and allocs_per_lookup (global
// operator new calls during the timed loop, divided by the lookups; must stay 0).

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>
#include <unordered_set>
#include <vector>

#include "stores/iplist.h"

namespace {

std::atomic<uint64_t> allocations{0};

}  // namespace

// Counting every allocation of the process lets the benchmark prove the lookups make none.
// These replace the global operators, so malloc/free are the matching pair; GCC cannot see
// that once it inlines them into library code and would warn.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

constexpr int kHosts = 1000000;
constexpr int kRanges = 10000;
constexpr int kQueries = 1 << 20;

cvnet_ipaddr v4(uint32_t a) {
  cvnet_ipaddr ip;
  ip.family = CVNET_AF_INET;
  ip.addr[0] = static_cast<uint8_t>(a >> 24);
  ip.addr[1] = static_cast<uint8_t>(a >> 16);
  ip.addr[2] = static_cast<uint8_t>(a >> 8);
  ip.addr[3] = static_cast<uint8_t>(a);
  return ip;
}

struct Fixture {
  std::unique_ptr<iplist> list = iplist_init(nullptr, nullptr);
  std::vector<uint32_t> hosts;
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  std::vector<char> payload = std::vector<char>(16);  // the data pointers point in here
  size_t prefixes = 0;

  Fixture() {
    std::mt19937_64 rng(20240611);
    std::unordered_set<uint32_t> seen;
    seen.reserve(kHosts * 2);
    while (static_cast<int>(hosts.size()) < kHosts) {
      uint32_t a = static_cast<uint32_t>(rng());
      if (!seen.insert(a).second) continue;
      hosts.push_back(a);
      iplist_add_cidr(list.get(), v4(a), 32, &payload[1]);
    }
    std::vector<iplist_subnet> subnets;
    while (static_cast<int>(ranges.size()) < kRanges) {
      uint32_t first = static_cast<uint32_t>(rng());
      uint32_t size = 1 + static_cast<uint32_t>(rng() % 4096);
      if (first > UINT32_MAX - size) continue;
      uint32_t last = first + size - 1;
      if (iplist_iprange_to_subnets(v4(first), v4(last), &subnets, 256) < 0) std::abort();
      for (auto& s : subnets) iplist_add_cidr(list.get(), s.ip, s.cidr, &payload[2]);
      ranges.emplace_back(first, last);
    }
    prefixes = iplist_count(list.get());
  }

  // 40% stored addresses, 20% addresses inside ranges, 40% random addresses (mostly misses).
  std::vector<cvnet_ipaddr> queries(int hit_pct, int range_pct, uint64_t seed) const {
    std::mt19937_64 rng(seed);
    std::vector<cvnet_ipaddr> q;
    q.reserve(kQueries);
    for (int i = 0; i < kQueries; ++i) {
      int r = static_cast<int>(rng() % 100);
      if (r < hit_pct) {
        q.push_back(v4(hosts[rng() % hosts.size()]));
      } else if (r < hit_pct + range_pct) {
        auto [first, last] = ranges[rng() % ranges.size()];
        q.push_back(v4(first + static_cast<uint32_t>(rng() % (uint64_t{last} - first + 1))));
      } else {
        q.push_back(v4(static_cast<uint32_t>(rng())));
      }
    }
    return q;
  }
};

const Fixture& fixture() {
  static Fixture f;
  return f;
}

void run_lookups(benchmark::State& state, int hit_pct, int range_pct) {
  const Fixture& f = fixture();
  const std::vector<cvnet_ipaddr> q = f.queries(hit_pct, range_pct, 7 + hit_pct);
  size_t i = 0;
  uint64_t found = 0;
  uint64_t before = allocations.load();
  for (auto _ : state) {
    found += iplist_find_data(f.list.get(), q[i]) != nullptr;
    i = (i + 1) & (kQueries - 1);
  }
  uint64_t allocs = allocations.load() - before;
  benchmark::DoNotOptimize(found);
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs_per_lookup"] =
      static_cast<double>(allocs) / static_cast<double>(state.iterations());
  state.counters["found_pct"] =
      100.0 * static_cast<double>(found) / static_cast<double>(state.iterations());
  state.counters["prefixes"] = static_cast<double>(f.prefixes);
  state.counters["bytes_per_entry"] =
      static_cast<double>(iplist_memory_bytes(f.list.get())) / static_cast<double>(f.prefixes);
}

void BM_IplistBestMatchMixed(benchmark::State& state) { run_lookups(state, 40, 20); }
void BM_IplistBestMatchStoredHosts(benchmark::State& state) { run_lookups(state, 100, 0); }
void BM_IplistBestMatchRandom(benchmark::State& state) { run_lookups(state, 0, 0); }

}  // namespace

BENCHMARK(BM_IplistBestMatchMixed);
BENCHMARK(BM_IplistBestMatchStoredHosts);
BENCHMARK(BM_IplistBestMatchRandom);

BENCHMARK_MAIN();
