// Line reading speed of the file buffer over a list-like file: 1,000,000 URL lines with
// categories, generated deterministically into a temporary directory (about 60 MB, read from
// the page cache after the first pass). Reports lines per second.
//
//   make bench            (all benchmarks)
//   build-bench/bin/bench_file_buffer

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "util/file.h"

namespace {

constexpr long kLines = 1000000;

// Writes the file once per process and removes it at exit.
class url_file {
 public:
  url_file() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "cvbenchXXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    dir_ = tmpl;
    path_ = dir_ + "/urls.txt";
    FILE* f = fopen(path_.c_str(), "w");
    if (f == nullptr) std::abort();
    static const char* const tlds[] = {"com", "net", "org", "de", "co.uk", "info"};
    static const char* const words[] = {"news", "shop", "video", "img", "static",
                                        "blog", "mail", "api",   "cdn", "forum"};
    uint64_t x = 0x9E3779B97F4A7C15ull;
    auto next = [&x] {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      return x;
    };
    for (long i = 0; i < kLines; i++) {
      uint64_t r = next();
      std::string line = words[r % 10];
      line.append(".example").append(std::to_string(r % 100000)).append(".");
      line.append(tlds[(r >> 8) % 6]);
      for (uint64_t s = (r >> 16) % 5; s > 0; s--) {
        line += "/";
        line += words[next() % 10];
        line += std::to_string(next() % 1000);
      }
      if ((r >> 24) % 3 == 0) {
        line.append("?id=").append(std::to_string(next() % 1000000)).append("&lang=en");
      }
      line.append(" ").append(std::to_string(r % 90 + 1)).append(",");
      line.append(std::to_string((r >> 32) % 90 + 100));
      if ((r >> 40) % 10 == 0) line += "\r";
      line += "\n";
      fputs(line.c_str(), f);
    }
    if (fclose(f) != 0) std::abort();
    bytes_ = static_cast<long>(std::filesystem::file_size(path_));
  }
  ~url_file() { std::filesystem::remove_all(dir_); }

  const char* path() const { return path_.c_str(); }
  long bytes() const { return bytes_; }

 private:
  std::string dir_, path_;
  long bytes_ = 0;
};

const url_file& the_file() {
  static url_file f;
  return f;
}

void BM_FileBufferReadString(benchmark::State& state) {
  const url_file& f = the_file();
  long lines = 0;
  for (auto _ : state) {
    auto fb = file_buffer_open(f.path());
    if (!fb) {
      state.SkipWithError("cannot open");
      return;
    }
    size_t total = 0;
    lines = 0;
    while (file_buffer_read_string(fb.get()) == 0) {
      total += fb->line_len;
      lines++;
    }
    benchmark::DoNotOptimize(total);
    if (lines != kLines || file_buffer_failed(fb.get())) {
      state.SkipWithError("wrong line count");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * lines);
  state.SetBytesProcessed(state.iterations() * f.bytes());
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations() * lines),
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FileBufferReadString)->Unit(benchmark::kMillisecond);

// The byte-by-byte stream reader, for comparison: it allocates one string per line.
void BM_FileReadString(benchmark::State& state) {
  const url_file& f = the_file();
  long lines = 0;
  for (auto _ : state) {
    file_stream s = file_open(f.path(), "r");
    lines = 0;
    while (auto line = file_read_string(s.get())) {
      benchmark::DoNotOptimize(line->data());
      lines++;
    }
    if (lines != kLines) {
      state.SkipWithError("wrong line count");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations() * lines);
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(state.iterations() * lines),
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FileReadString)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
