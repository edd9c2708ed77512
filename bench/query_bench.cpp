// Query matching: URLs with 5 parameters against one node holding 1,000 query entries.
//
// The data is generated here, deterministically: parameter names p0..p99 with values 0..31,
// entries of 1 to 4 parameters (about one in eight without a value), URLs of 5 parameters
// drawn from the same names, so that about half of the URLs match some entry.
//
//   BM_QueryMatch          the lookup at a node once the URL's query state exists (as at every
//                          further node of one URL lookup)
//   BM_QueryFirstMatch     the first lookup of a freshly exploded URL: splitting and hashing
//                          its query, building its multiset, matching (explode not timed)
//   BM_QueryExplodeMatch   explode and first lookup together
//   BM_QueryAdd            storing the 1,000 entries at a node

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "urllist/query.h"

namespace {

constexpr int kEntries = 1000;
constexpr int kUrls = 1024;

// xorshift64*: the same numbers on every platform.
struct Rng {
  uint64_t s = 0x9e3779b97f4a7c15ULL;
  uint32_t next(uint32_t bound) {
    s ^= s >> 12;
    s ^= s << 25;
    s ^= s >> 27;
    return static_cast<uint32_t>((s * 0x2545f4914f6cdd1dULL) >> 33) % bound;
  }
};

std::string parameter(Rng& rng, bool entry) {
  std::string p = "p";
  p.append(std::to_string(rng.next(100)));
  if (entry && rng.next(8) == 0) return p;
  p.push_back('=');
  p.append(std::to_string(rng.next(32)));
  return p;
}

struct Data {
  std::vector<std::string> entries;  // query texts
  std::vector<std::string> urls;     // URL texts
  urllist_action_ref action;

  Data() {
    Rng rng;
    for (int i = 0; i < kEntries; ++i) {
      std::string q;
      const uint32_t n = 1 + rng.next(4);
      for (uint32_t k = 0; k < n; ++k) {
        if (k) q.push_back('&');
        q.append(parameter(rng, true));
      }
      entries.push_back(q);
    }
    for (int i = 0; i < kUrls; ++i) {
      std::string u = "http://www.example.test/search/results?";
      for (int k = 0; k < 5; ++k) {
        if (k) u.push_back('&');
        u.append(parameter(rng, false));
      }
      urls.push_back(u);
    }
    int32_t kind = 0;
    action = urllist_action_share(urllist_action_create("C", "7", -1, &kind));
  }

  void fill(urllist_query_trees* node) const {
    for (const std::string& q : entries) {
      urllist_query_item* item = urllist_query_add(nullptr, q, node, 0);
      if (item != nullptr) item->action = action;
    }
  }
};

const Data& data() {
  static const Data d;
  return d;
}

std::vector<urllist_exploded_url_ptr> explode_all() {
  std::vector<urllist_exploded_url_ptr> urls;
  for (const std::string& u : data().urls) {
    urls.push_back(urllist_explode_charset(u, nullptr, 0, 0, nullptr));
  }
  return urls;
}

void BM_QueryMatch(benchmark::State& state) {
  urllist_query_trees node;
  data().fill(&node);
  auto urls = explode_all();
  int matched = 0;
  for (auto& u : urls) matched += urllist_query_lookup_node(u.get(), node) != nullptr;
  size_t i = 0;
  for (auto _ : state) {
    const urllist_query_item* item = urllist_query_lookup_node(urls[i].get(), node);
    benchmark::DoNotOptimize(item);
    i = (i + 1) % urls.size();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["matching_urls_pct"] = 100.0 * matched / static_cast<double>(urls.size());
}

void BM_QueryFirstMatch(benchmark::State& state) {
  urllist_query_trees node;
  data().fill(&node);
  for (auto _ : state) {
    state.PauseTiming();
    auto urls = explode_all();
    state.ResumeTiming();
    for (auto& u : urls) benchmark::DoNotOptimize(urllist_query_lookup_node(u.get(), node));
    state.PauseTiming();
    urls.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kUrls);
}

void BM_QueryExplodeMatch(benchmark::State& state) {
  urllist_query_trees node;
  data().fill(&node);
  size_t i = 0;
  for (auto _ : state) {
    auto url = urllist_explode_charset(data().urls[i], nullptr, 0, 0, nullptr);
    benchmark::DoNotOptimize(urllist_query_lookup_node(url.get(), node));
    i = (i + 1) % data().urls.size();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_QueryAdd(benchmark::State& state) {
  for (auto _ : state) {
    urllist_query_trees node;
    data().fill(&node);
    benchmark::DoNotOptimize(node.pair.get());
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}

}  // namespace

BENCHMARK(BM_QueryMatch);
BENCHMARK(BM_QueryFirstMatch);
BENCHMARK(BM_QueryExplodeMatch);
BENCHMARK(BM_QueryAdd)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
