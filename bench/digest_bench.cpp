// SHA-1 digest of a URL plus a lookup among 1,000,000 digest entries.
//
// The store holds 1,000,000 keys: the digests of half of the sample URLs and pseudo-random
// 20-byte keys for the rest, all generated from fixed seeds. Each iteration takes the next
// sample URL, forgets its cached digest (so SHA-1 runs every time) and looks it up; half of
// the lookups hit. The 65,536 sample URLs are about 70 bytes long, with mixed-case hosts.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "urllist/digest.h"
#include "urllist/exploded_url.h"

namespace {

constexpr size_t store_size = 1000000;
constexpr size_t sample_count = 65536;

struct splitmix64 {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
};

std::string make_url(splitmix64& rng) {
  static const char* const schemes[] = {"http", "https", "HTTP"};
  static const char* const tlds[] = {"com", "net", "ORG", "de", "co.uk"};
  char buf[160];
  const uint64_t r = rng.next();
  std::snprintf(buf, sizeof buf, "%s://Www.Site%05u.%s/Section%u/Article-%08x.html?id=%u",
                schemes[r % 3], static_cast<unsigned>((r >> 8) % 100000), tlds[(r >> 32) % 5],
                static_cast<unsigned>((r >> 40) % 50), static_cast<unsigned>(rng.next()),
                static_cast<unsigned>((r >> 48) % 10000));
  return buf;
}

struct fixture {
  std::unique_ptr<urllist_digest_store> store;
  std::vector<urllist_exploded_url_ptr> urls;
  urllist_action_ref action =
      urllist_action_share(urllist_action_new(URLLIST_ACTION_DENY, nullptr, -1));

  fixture() {
    splitmix64 rng{42};
    store = std::make_unique<urllist_digest_store>();
    for (size_t i = 0; i < sample_count; i++) {
      urls.push_back(urllist_explode_charset(make_url(rng), nullptr, 0, 0, nullptr));
      if (i % 2 == 0) {
        const unsigned char* d = urllist_digest_compute(urls.back().get());
        store->insert(urllist_digest_key({d, 20}), action);
      }
    }
    while (store->size() < store_size) {
      unsigned char key[20];
      for (int i = 0; i < 20; i += 4) {
        const uint64_t r = rng.next();
        for (int j = 0; j < 4; j++) key[i + j] = static_cast<unsigned char>(r >> (8 * j));
      }
      store->insert(urllist_digest_key({key, 20}), action);
    }
  }
};

fixture& data() {
  static fixture f;
  return f;
}

void BM_DigestLookup(benchmark::State& state) {
  fixture& f = data();
  size_t i = 0, hits = 0;
  for (auto _ : state) {
    urllist_exploded_url* url = f.urls[i++ & (sample_count - 1)].get();
    url->digest.reset();
    urllist_action* a = urllist_digest_lookup(f.store.get(), url, nullptr);
    hits += a != nullptr;
    benchmark::DoNotOptimize(a);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["hit_ratio"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DigestLookup);

// The SHA-1 alone, for comparison.
void BM_DigestComputeOnly(benchmark::State& state) {
  fixture& f = data();
  size_t i = 0;
  for (auto _ : state) {
    urllist_exploded_url* url = f.urls[i++ & (sample_count - 1)].get();
    url->digest.reset();
    benchmark::DoNotOptimize(urllist_digest_compute(url));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DigestComputeOnly);

}  // namespace

BENCHMARK_MAIN();
