// URL list engine at scale: loading a generated list of 1,000,000 entries, the memory it
// takes, and lookups of 1,000,000 generated URLs.
//
// The list is written deterministically (fixed xorshift seed, no downloads) into a temporary
// directory, in the forms that store URL entries:
//   70% hosts            a.example.com U C 12,45      (2-4 labels under common TLDs)
//   20% host/path        a.example.com/p/q U C 7
//    5% with a scheme    http://a.example.com/p 3,9
//    3% IPv4             192.0.2.7 U D, 198.51.100.0-198.51.100.255 U C 5
//    2% queries          a.example.com/s?a=1&b=2 U C 8
// with 1-3 categories in 1..300. The URLs: 40% exact hits, 20% hits through a parent domain
// or a longer path, 40% misses.
//
//   make bench, or: build-bench/bin/bench_lookup
//
// Counters: bytes_per_entry is the growth of the heap in use (mallinfo2: allocated chunks,
// their headers included, node pool chunks too) during the first load of the process,
// divided by the entries loaded.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "urllist/listfile.h"
#include "urllist/lookup.h"
#include "urllist/urllist.h"
#include "urllist/urllist_impl.h"

namespace {

constexpr int kEntries = 1000000;
constexpr int kUrls = 1000000;

struct rng {
  uint64_t x = 0x9E3779B97F4A7C15ull;
  uint64_t next() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

std::string label(rng& r) {
  static const char* const syl[] = {"ka", "lo", "mi", "ne", "po", "ru", "si", "ta", "ve", "xo",
                                    "ba", "de", "fi", "go", "hu", "ja", "ze", "wy", "qu", "ci"};
  std::string s;
  int n = 2 + static_cast<int>(r.below(3));
  for (int i = 0; i < n; ++i) s += syl[r.below(20)];
  s += std::to_string(r.below(1000));
  return s;
}

std::string host(rng& r) {
  static const char* const tlds[] = {"com", "net", "org", "de", "info", "io", "fr", "uk"};
  int labels = 2 + static_cast<int>(r.below(3));
  std::string h;
  for (int i = 0; i < labels - 1; ++i) h += label(r) + ".";
  return h + tlds[r.below(8)];
}

std::string categories(rng& r) {
  int n = 1 + static_cast<int>(r.below(3));
  std::string c;
  for (int i = 0; i < n; ++i) {
    if (i) c += ",";
    c += std::to_string(1 + r.below(300));
  }
  return c;
}

struct data_set {
  std::string dir;
  std::string list_path;
  std::vector<std::string> urls;

  data_set() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvlookupXXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    dir = tmpl;
    list_path = dir + "/list.txt";
    std::ofstream out(list_path);
    rng r;
    // URL forms of the entries, for the hits.
    std::vector<std::string> hit_hosts;
    std::vector<std::string> hit_paths;
    hit_hosts.reserve(kEntries);
    for (int i = 0; i < kEntries; ++i) {
      uint32_t k = r.below(100);
      if (k < 70) {
        std::string h = host(r);
        out << h << " U C " << categories(r) << "\n";
        hit_hosts.push_back(h);
      } else if (k < 90) {
        std::string e = host(r) + "/" + label(r) + "/" + label(r);
        out << e << " U C " << categories(r) << "\n";
        hit_paths.push_back(e);
      } else if (k < 95) {
        std::string e = host(r) + "/" + label(r);
        out << "http://" << e << " " << categories(r) << "\n";
        hit_paths.push_back(e);
      } else if (k < 98) {
        uint32_t a = r.below(200) + 11, b = r.below(256), c = r.below(256);
        if (r.below(2)) {
          out << a << "." << b << "." << c << "." << r.below(256) << " U D\n";
        } else {
          out << a << "." << b << "." << c << ".0-" << a << "." << b << "." << c
              << ".255 U C " << categories(r) << "\n";
        }
      } else {
        out << host(r) << "/s?a=" << r.below(100) << "&b=" << r.below(100) << " U C "
            << categories(r) << "\n";
      }
    }
    urls.reserve(kUrls);
    for (int i = 0; i < kUrls; ++i) {
      uint32_t k = r.below(100);
      if (k < 40) {
        if (r.below(8) < 6) {
          urls.push_back("http://" + hit_hosts[r.below(hit_hosts.size())] + "/");
        } else {
          urls.push_back("http://" + hit_paths[r.below(hit_paths.size())]);
        }
      } else if (k < 60) {
        if (r.below(2)) {
          urls.push_back("http://www." + hit_hosts[r.below(hit_hosts.size())] + "/index.html");
        } else {
          urls.push_back("http://" + hit_paths[r.below(hit_paths.size())] + "/more/x.html");
        }
      } else {
        urls.push_back("http://" + host(r) + "/" + label(r));
      }
    }
  }
  ~data_set() { std::filesystem::remove_all(dir); }
};

data_set& data() {
  static data_set d;
  return d;
}

long heap_bytes() {
  struct mallinfo2 mi = mallinfo2();
  return static_cast<long>(mi.uordblks + mi.hblkhd);
}

urllist_ptr& loaded_list() {
  static urllist_ptr list;
  return list;
}

void BM_LoadList(benchmark::State& state) {
  const std::string& path = data().list_path;
  for (auto _ : state) {
    state.PauseTiming();
    loaded_list().reset();
    long before = heap_bytes();
    state.ResumeTiming();
    auto l = urllist_with_charset_initialize(0, nullptr);
    if (urllist_add_file(l.get(), path.c_str(), 0) != 0) state.SkipWithError("load failed");
    state.PauseTiming();
    long after = heap_bytes();
    state.counters["entries"] = l->stats.entries;
    // Only the first load counts: later ones reuse the nodes the previous list gave back to
    // the node pool, which the heap figures no longer show.
    static double first_bytes = static_cast<double>(after - before) / l->stats.entries;
    state.counters["bytes_per_entry"] = first_bytes;
    loaded_list() = std::move(l);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_LoadList)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ExplodeAndLookup(benchmark::State& state) {
  if (!loaded_list()) {
    loaded_list() = urllist_with_charset_initialize(0, nullptr);
    urllist_add_file(loaded_list().get(), data().list_path.c_str(), 0);
  }
  urllist* l = loaded_list().get();
  const auto& urls = data().urls;
  size_t found = 0;
  for (auto _ : state) {
    found = 0;
    for (const std::string& u : urls) {
      auto url = urllist_explode_charset(u, nullptr, 0, 0, nullptr);
      urllist_action* a = nullptr;
      if (url && urllist_lookup_data(l, url.get(), &a) == 0) ++found;
    }
    benchmark::DoNotOptimize(found);
  }
  state.counters["hit_ratio"] = static_cast<double>(found) / urls.size();
  state.SetItemsProcessed(state.iterations() * urls.size());
}
BENCHMARK(BM_ExplodeAndLookup)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_ExplodeOnly(benchmark::State& state) {
  const auto& urls = data().urls;
  size_t parts = 0;
  for (auto _ : state) {
    for (const std::string& u : urls) {
      auto url = urllist_explode_charset(u, nullptr, 0, 0, nullptr);
      parts += url ? url->part_count : 0;
    }
    benchmark::DoNotOptimize(parts);
  }
  state.SetItemsProcessed(state.iterations() * urls.size());
}
BENCHMARK(BM_ExplodeOnly)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
