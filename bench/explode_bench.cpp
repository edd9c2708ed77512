// Speed of explode with part hashing over typical URLs, and of CityHash64 on short texts.
//
// The URLs are generated here, deterministically (fixed seed): 60-120 bytes, 2-5 host
// labels, 0-4 path segments, a third with a query, a mix of schemes and scheme-less list
// style entries. Run: make bench, or build-bench/bin/bench_explode.

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "urllist/cityhash.h"
#include "urllist/exploded_url.h"
#include "util/category_set.h"

namespace {

std::string random_word(std::mt19937& rng, size_t len) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789-";
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    size_t k = rng() % (i == 0 || i + 1 == len ? 36 : 37);  // no "-" at the ends
    out += kChars[k];
  }
  return out;
}

std::vector<std::string> make_urls(size_t count) {
  std::mt19937 rng(20240611);
  std::vector<std::string> urls;
  static const char* const kSchemes[] = {"http://", "https://", "", ""};
  static const char* const kTlds[] = {"com", "net", "org", "de", "test", "co.uk"};
  static const char* const kExts[] = {".html", ".php", ".js", ".png", "", "", ""};
  while (urls.size() < count) {
    const size_t target = 60 + rng() % 61;
    const int labels = 2 + static_cast<int>(rng() % 4);
    const int segments = static_cast<int>(rng() % 5);
    const bool query = rng() % 3 == 0;
    // Start with short pieces, then lengthen random ones until the target length.
    std::vector<size_t> label_len(labels - 1, 3), segment_len(segments, 3);
    std::vector<size_t> query_len(query ? 1 + rng() % 3 : 0, 3);
    auto build = [&] {
      std::string url = kSchemes[rng() % 4];
      for (size_t l : label_len) {
        url += random_word(rng, l);
        url += '.';
      }
      url += kTlds[rng() % 6];
      for (size_t s : segment_len) {
        url += '/';
        url += random_word(rng, s);
      }
      if (segments > 0) url += kExts[rng() % 7];
      for (size_t q = 0; q < query_len.size(); ++q) {
        url += q == 0 ? '?' : '&';
        url += random_word(rng, 2);
        url += '=';
        url += random_word(rng, query_len[q]);
      }
      return url;
    };
    std::string url = build();
    std::vector<size_t*> pieces;
    for (auto& l : label_len) pieces.push_back(&l);
    for (auto& s : segment_len) pieces.push_back(&s);
    for (auto& q : query_len) pieces.push_back(&q);
    size_t guard = 0;
    while (url.size() < target && guard++ < 200) {
      size_t* p = pieces[rng() % pieces.size()];
      if (*p < 40) ++*p;
      url = build();
    }
    if (url.size() >= 60 && url.size() <= 120) urls.push_back(url);
  }
  return urls;
}

const std::vector<std::string>& urls() {
  static const std::vector<std::string> list = make_urls(4096);
  return list;
}

void BM_ExplodeAndHash(benchmark::State& state) {
  const auto& list = urls();
  size_t i = 0;
  uint64_t sum = 0;
  for (auto _ : state) {
    auto url = urllist_explode_charset(list[i], nullptr, 0, 0, nullptr);
    if (!url) state.SkipWithError("explode failed");
    for (const urllist_url_part& part : url->part_span()) sum += part.hash;
    if (++i == list.size()) i = 0;
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["URLs/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExplodeAndHash);

// The same with a category set (as the list tools pass one) and case-insensitive texts of
// the path parts (what a case-insensitive lookup asks for).
void BM_ExplodeWithNocase(benchmark::State& state) {
  const auto& list = urls();
  size_t i = 0;
  uint64_t sum = 0;
  category_set categories;
  for (auto _ : state) {
    auto url = urllist_explode_charset(list[i], &categories, 0, 0, nullptr);
    for (urllist_url_part& part : url->part_span()) {
      if (part.kind == URL_PART_PATH) urllist_get_nocase_url(url.get(), &part);
      sum += part.hash ^ part.nocase_hash;
    }
    if (++i == list.size()) i = 0;
  }
  benchmark::DoNotOptimize(sum);
  state.counters["URLs/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExplodeWithNocase);

void BM_CityHash64(benchmark::State& state) {
  const size_t len = static_cast<size_t>(state.range(0));
  std::mt19937 rng(7);
  const std::string text = random_word(rng, 64 + len);
  size_t offset = 0;
  uint64_t sum = 0;
  for (auto _ : state) {
    sum += cityhash64(text.data() + offset, len);
    offset = (offset + 1) & 63;
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}
BENCHMARK(BM_CityHash64)
    ->Arg(1)
    ->Arg(3)
    ->Arg(4)
    ->Arg(8)
    ->Arg(9)
    ->Arg(16)
    ->Arg(17)
    ->Arg(24)
    ->Arg(32);

// Lengths 1-32 mixed, as URL parts come.
void BM_CityHash64Mixed(benchmark::State& state) {
  std::mt19937 rng(11);
  const std::string text = random_word(rng, 128);
  std::vector<std::pair<size_t, size_t>> slices;
  for (int i = 0; i < 1024; ++i) slices.emplace_back(rng() % 64, 1 + rng() % 32);
  size_t i = 0;
  uint64_t sum = 0;
  for (auto _ : state) {
    sum += cityhash64(text.data() + slices[i].first, slices[i].second);
    i = (i + 1) & 1023;
  }
  benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_CityHash64Mixed);

}  // namespace

BENCHMARK_MAIN();
