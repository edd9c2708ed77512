#pragma once
// What the data generators of the benchmarks share: the random source and the earlier list
// mix's pieces (bench/listcheck_gen.cpp --shape=simple, bench/listreduce_gen.cpp). Every
// figure recorded in bench/README.md was measured on data these functions wrote, so a change
// here changes the data: keep them as they are.

#include <cstdint>
#include <string>

namespace gen {

// xorshift64: the same sequence on every machine for the same seed.
struct rng {
  uint64_t x;
  explicit rng(uint64_t seed) : x(seed) {}
  uint64_t next() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
  // True with probability per_mille / 1000.
  bool chance(uint32_t per_mille) { return below(1000) < per_mille; }
};

inline std::string ipv4(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}

// The earlier mix: syllable names, 16 top-level domains, 20 path words, 1-3 categories.
namespace simple {

inline const char* const kSyllables[] = {
    "ka", "lo", "mi", "ne", "po", "ru", "si", "ta", "ve", "xo", "ba", "de", "fi", "go", "hu",
    "ja", "ze", "wy", "qu", "ci", "an", "el", "or", "us", "im", "et", "ol", "ar", "in", "um"};
inline const char* const kTlds[] = {"com", "com", "com", "com", "net", "org", "de", "info",
                                    "io",  "fr",  "uk",  "ru",  "nl",  "br",  "it", "pl"};
inline const char* const kWords[] = {"index", "news",  "img",   "video", "a",    "b",      "login",
                                     "shop",  "blog",  "2019",  "en",    "api",  "static", "p",
                                     "q",     "media", "files", "dl",    "home", "search"};

// A label of 2-4 syllables, plus a number for 3/4 of them (keeps 1,000,000 hosts mostly
// distinct while looking like names). `salt` separates the names of misses from listed ones.
inline std::string label(rng& r, char salt = 0) {
  std::string s;
  int n = 2 + static_cast<int>(r.below(3));
  for (int i = 0; i < n; ++i) s += kSyllables[r.below(30)];
  if (salt) s += salt;
  if (r.below(4) != 0) s += std::to_string(r.below(1000));
  return s;
}

inline std::string host(rng& r, char salt = 0) {
  int labels = 2 + static_cast<int>(r.below(3));
  std::string h;
  for (int i = 0; i < labels - 1; ++i) h += label(r, salt) + ".";
  return h + kTlds[r.below(16)];
}

inline std::string path(rng& r, int segments) {
  std::string p;
  for (int i = 0; i < segments; ++i) {
    p += "/";
    p += kWords[r.below(20)];
    if (r.below(2)) p += std::to_string(r.below(100));
  }
  return p;
}

inline std::string categories(rng& r) {
  int n = 1 + static_cast<int>(r.below(3));
  std::string c;
  for (int i = 0; i < n; ++i) {
    if (i) c += ",";
    c += std::to_string(1 + r.below(300));
  }
  return c;
}

}  // namespace simple
}  // namespace gen
