// Writes the data of the category mapping benchmark, the same bytes on every run:
//   catmap_benchgen MAPPINGFILE LISTFILE [LINES [VERSIONS [RULES]]]
// The mapping file has VERSIONS versions (default 5) of RULES rules each (default 300); the
// list has LINES lines (default 1000000) of "URL LENGTH CATEGORIES" with one to four
// categories, a comment line now and then.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

uint64_t state = 0x9e3779b97f4a7c15ULL;

uint32_t next_random(uint32_t bound) {
  // xorshift64*: small, fast and the same everywhere.
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return static_cast<uint32_t>(((state * 0x2545f4914f6cdd1dULL) >> 32) % bound);
}

// Categories 1..400 without 254 (new URL), which would make the tool drop the line.
uint32_t random_category() {
  uint32_t c = 1 + next_random(400);
  return c == 254 ? 253 : c;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s MAPPINGFILE LISTFILE [LINES [VERSIONS [RULES]]]\n", argv[0]);
    return 2;
  }
  long lines = argc > 3 ? atol(argv[3]) : 1000000;
  long versions = argc > 4 ? atol(argv[4]) : 5;
  long rules = argc > 5 ? atol(argv[5]) : 300;

  FILE* m = fopen(argv[1], "w");
  if (!m) return perror(argv[1]), 1;
  fputs("#VERSION FROMCAT TOCAT\n", m);
  for (long v = versions; v >= 1; --v) {
    for (long r = 0; r < rules; ++r) {
      // One rule in fifty removes its category (destination 0, the default removing list).
      uint32_t to = next_random(50) == 0 ? 0 : random_category();
      fprintf(m, "%ld %u %u\n", v, random_category(), to);
    }
  }
  if (fclose(m) != 0) return perror(argv[1]), 1;

  FILE* l = fopen(argv[2], "w");
  if (!l) return perror(argv[2]), 1;
  static const char* const tlds[] = {"com", "net", "org", "de", "co.uk", "info"};
  std::string url;
  for (long i = 0; i < lines; ++i) {
    if (i % 10000 == 0) fprintf(l, "# block %ld\n", i / 10000);
    url = "www.site" + std::to_string(next_random(200000)) + "." + tlds[next_random(6)];
    if (next_random(3) != 0) url += "/path" + std::to_string(next_random(1000)) + "/index.html";
    fprintf(l, "%s %zu %u", url.c_str(), url.size(), random_category());
    for (uint32_t k = next_random(4); k > 0; --k) fprintf(l, ",%u", random_category());
    fputc('\n', l);
  }
  if (fclose(l) != 0) return perror(argv[2]), 1;
  return 0;
}
