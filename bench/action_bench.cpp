// Carrying actions out on URLs, and the memory that a million stored actions take.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "records/action.h"

namespace {

std::unique_ptr<urllist_action> make(const char* word, const char* arg) {
  int32_t kind = 0;
  return urllist_action_create(word, arg, -1, &kind);
}

void run_action(benchmark::State& state, const char* word, const char* arg, const char* url) {
  auto a = make(word, arg);
  category_set set;
  std::string text;
  for (auto _ : state) {
    set.clear();
    const int r = urllist_action_process_action(a.get(), &set, url, &text, nullptr);
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ModifyQuery(benchmark::State& state) {
  run_action(state, "Q", "-utm_source -utm_medium +safe=active",
             "www.example.com/search/results?q=shoes&utm_source=news&page=2&utm_medium=mail&x=1");
}
void BM_ModifyQueryNoChange(benchmark::State& state) {
  run_action(state, "Q", "-utm_source +safe=active",
             "www.example.com/search/results?q=shoes&page=2&lang=en&x=1&safe=active");
}
void BM_SearchReplace(benchmark::State& state) {
  run_action(state, "S", "http:// https://", "http://www.example.com/a/b/c?u=http://x.example/");
}
void BM_RegexpReplace(benchmark::State& state) {
  run_action(state, "R", "^www\\.example\\.com/(.*)$ www.example.org/$1",
             "www.example.com/search/results?q=shoes&page=2");
}
void BM_Category(benchmark::State& state) {
  run_action(state, "C", "3,17,44,101", "www.example.com/");
}

// Heap bytes per stored category action (record, set object and its numbers) and per deny
// action, measured with the allocator's own statistics.
void BM_MemoryPerAction(benchmark::State& state, const char* word, const char* arg) {
  constexpr int n = 1000000;
  double per = 0;
  for (auto _ : state) {
    std::vector<urllist_action_ref> slots;
    slots.reserve(n);
    const size_t before = mallinfo2().uordblks;
    for (int i = 0; i < n; ++i) slots.push_back(urllist_action_share(make(word, arg)));
    const size_t after = mallinfo2().uordblks;
    per = static_cast<double>(after - before) / n + sizeof(urllist_action_ref);
  }
  state.counters["bytes_per_entry"] = per;
}

}  // namespace

BENCHMARK(BM_ModifyQuery);
BENCHMARK(BM_ModifyQueryNoChange);
BENCHMARK(BM_SearchReplace);
BENCHMARK(BM_RegexpReplace);
BENCHMARK(BM_Category);
BENCHMARK_CAPTURE(BM_MemoryPerAction, deny, "D", nullptr)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_MemoryPerAction, category, "C", "3,17")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
