// Writes the list of bench/listreduce_bench.sh, deterministically (fixed xorshift seed, no
// downloads): ENTRIES lines, four fifths in the mix of the cvlistcheck benchmark and one fifth
// redundant, spread evenly over the ways a line can be covered.
//
//   listreduce_gen LIST [ENTRIES]        (default 1000000)
//
// Base lines (80%), as in bench/listcheck_gen.cpp:
//   70% hosts            kalo12.mine.com U C 12,45       (2-4 labels, common top-level domains)
//   20% host/path        kalo12.mine.com/p/q U C 7       (1-3 path segments)
//    5% with a scheme    http://kalo12.mine.com/p 3,9    (http or https)
//    3% IPv4             192.0.2.7 U D  (two thirds),  198.51.100.0-198.51.100.255 U C 5
//    2% queries          kalo12.mine.com/s?a=1&b=2 U C 8
// with 1-3 category numbers in 1..300.
//
// Redundant lines (20%), each made from a random base line with its categories, one sixth each:
//   duplicate            the same line again
//   one query parameter  a query line with one more parameter          .../s?a=1&b=2&z=7
//   parent path          a host or host/path line with one more segment kalo12.mine.com/p/x
//   port                 a host line with a port                       kalo12.mine.com:8443
//   parent domain        a host line under one more label              www.kalo12.mine.com
//   scheme               a line without scheme written with http://    http://kalo12.mine.com
// All lines are shuffled, so covered lines come before and after the lines covering them.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "gen_common.h"

namespace {

using gen::ipv4;
using gen::rng;
using gen::simple::categories;
using gen::simple::host;
using gen::simple::path;

enum kind : uint8_t { HOST, HOST_PATH, SCHEME, IP, QUERY };

struct base {
  kind k;
  std::string url;  // as written, scheme included
  std::string cats;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s LIST [ENTRIES]\n", argv[0]);
    return 2;
  }
  long entries = argc > 2 ? strtol(argv[2], nullptr, 10) : 1000000;
  if (entries < 10) {
    fprintf(stderr, "%s: ENTRIES must be at least 10\n", argv[0]);
    return 2;
  }
  rng r(0x9E3779B97F4A7C15ull);
  const long base_count = entries * 4 / 5;
  std::vector<base> bases;
  std::vector<std::string> lines;
  bases.reserve(static_cast<size_t>(base_count));
  lines.reserve(static_cast<size_t>(entries));
  auto line_of = [](const base& b) {
    return b.k == SCHEME ? b.url + " " + b.cats : b.url + " U C " + b.cats;
  };
  for (long i = 0; i < base_count; ++i) {
    uint32_t pick = r.below(100);
    if (pick < 70) {
      bases.push_back({HOST, host(r), categories(r)});
    } else if (pick < 90) {
      bases.push_back(
          {HOST_PATH, host(r) + path(r, 1 + static_cast<int>(r.below(3))), categories(r)});
    } else if (pick < 95) {
      bases.push_back({SCHEME,
                       std::string(r.below(4) ? "http://" : "https://") + host(r) + path(r, 1),
                       categories(r)});
    } else if (pick < 98) {
      uint32_t a = (1 + r.below(223)) << 24 | r.below(1u << 24);
      if (r.below(3) != 0) {
        if (r.below(2)) {
          lines.push_back(ipv4(a) + " U D");
          continue;
        }
        bases.push_back({IP, ipv4(a), categories(r)});
      } else {
        a &= ~255u;
        lines.push_back(ipv4(a) + "-" + ipv4(a | 255) + " U C " + categories(r));
        continue;
      }
    } else {
      bases.push_back(
          {QUERY,
           host(r) + "/s?a=" + std::to_string(r.below(100)) + "&b=" + std::to_string(r.below(100)),
           categories(r)});
    }
    lines.push_back(line_of(bases.back()));
  }
  // The redundant fifth: pick base lines of the kind each way needs.
  const uint32_t n = static_cast<uint32_t>(bases.size());
  long way = 0;
  while (static_cast<long>(lines.size()) < entries) {
    const base& b = bases[r.below(n)];
    switch (way % 6) {
      case 0:
        lines.push_back(line_of(b));
        break;
      case 1:
        if (b.k != QUERY) continue;
        lines.push_back(b.url + "&z=" + std::to_string(r.below(100)) + " U C " + b.cats);
        break;
      case 2:
        if (b.k != HOST && b.k != HOST_PATH) continue;
        lines.push_back(b.url + path(r, 1) + " U C " + b.cats);
        break;
      case 3:
        if (b.k != HOST) continue;
        lines.push_back(b.url + ":8443 U C " + b.cats);
        break;
      case 4:
        if (b.k != HOST) continue;
        lines.push_back("www." + b.url + " U C " + b.cats);
        break;
      case 5:
        if (b.k != HOST && b.k != HOST_PATH) continue;
        lines.push_back("http://" + b.url + " " + b.cats);
        break;
    }
    ++way;
  }
  for (size_t i = lines.size() - 1; i > 0; --i) {
    std::swap(lines[i], lines[static_cast<size_t>(r.next() % (i + 1))]);
  }
  FILE* f = fopen(argv[1], "w");
  if (f == nullptr) {
    perror(argv[1]);
    return 1;
  }
  for (const std::string& l : lines) {
    if (fwrite(l.data(), 1, l.size(), f) != l.size() || fputc('\n', f) == EOF) {
      perror(argv[1]);
      return 1;
    }
  }
  if (fclose(f) != 0) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
