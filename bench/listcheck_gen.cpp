// Writes the data of bench/listcheck_bench.sh: a list file and a file of URLs to check,
// deterministically (fixed xorshift seed, no downloads), in the forms that store URL entries.
//
//   listcheck_gen LIST URLS [ENTRIES [URL_COUNT]]      (defaults 1000000 and 1000000)
//
// List lines, by share of ENTRIES:
//   70% hosts            kalo12.mine.com U C 12,45       (2-4 labels, common top-level domains)
//   20% host/path        kalo12.mine.com/p/q U C 7       (1-3 path segments)
//    5% with a scheme    http://kalo12.mine.com/p 3,9    (http or https)
//    3% IPv4             192.0.2.7 U D  (two thirds),  198.51.100.0-198.51.100.255 U C 5
//    2% queries          kalo12.mine.com/s?a=1&b=2 U C 8
// with 1-3 category numbers in 1..300 wherever categories are written.
//
// URL lines (the URL alone), by share of URL_COUNT:
//   40% exact hits: the URL an entry names (an address inside a range for ranges)
//   20% hits through a parent: a subdomain of a host entry, or a longer path below a
//       host/path or scheme entry, or the query entry's parameters in another order
//   40% misses: new host names (same shape, other labels) and addresses nobody listed
// The hit/miss kinds are interleaved pseudo-randomly so that no run of the file is cache
// friendlier than the rest.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

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
};

const char* const kSyllables[] = {"ka", "lo", "mi", "ne", "po", "ru", "si", "ta", "ve", "xo",
                                  "ba", "de", "fi", "go", "hu", "ja", "ze", "wy", "qu", "ci",
                                  "an", "el", "or", "us", "im", "et", "ol", "ar", "in", "um"};
const char* const kTlds[] = {"com", "com", "com", "com", "net", "org", "de", "info",
                             "io",  "fr",  "uk",  "ru",  "nl",  "br",  "it", "pl"};
const char* const kWords[] = {"index", "news",  "img",   "video", "a",    "b",      "login",
                              "shop",  "blog",  "2019",  "en",    "api",  "static", "p",
                              "q",     "media", "files", "dl",    "home", "search"};

// A label of 2-4 syllables, plus a number for 3/4 of them (keeps 1,000,000 hosts mostly
// distinct while looking like names). `salt` separates the names of misses from listed ones.
std::string label(rng& r, char salt) {
  std::string s;
  int n = 2 + static_cast<int>(r.below(3));
  for (int i = 0; i < n; ++i) s += kSyllables[r.below(30)];
  if (salt) s += salt;
  if (r.below(4) != 0) s += std::to_string(r.below(1000));
  return s;
}

std::string host(rng& r, char salt = 0) {
  int labels = 2 + static_cast<int>(r.below(3));
  std::string h;
  for (int i = 0; i < labels - 1; ++i) h += label(r, salt) + ".";
  return h + kTlds[r.below(16)];
}

std::string path(rng& r, int segments) {
  std::string p;
  for (int i = 0; i < segments; ++i) {
    p += "/";
    p += kWords[r.below(20)];
    if (r.below(2)) p += std::to_string(r.below(100));
  }
  return p;
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

std::string ipv4(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}

// Unicast-looking addresses: first byte 1..223, never 127.
uint32_t address(rng& r) {
  uint32_t first = 1 + r.below(223);
  if (first == 127) first = 128;
  return (first << 24) | (r.below(1u << 24));
}

enum kind : uint8_t { HOST, HOST_PATH, SCHEME, IP, RANGE, QUERY };

struct entry {
  kind k;
  std::string text;  // host[/path], scheme://host/path, address, first address of a range
};

struct writer {
  FILE* f;
  const char* path;
  void put(const std::string& line) {
    if (fwrite(line.data(), 1, line.size(), f) != line.size() || fputc('\n', f) == EOF) {
      perror(path);
      exit(1);
    }
  }
  void close() {
    if (fclose(f) != 0) {
      perror(path);
      exit(1);
    }
  }
};

writer open_out(const char* path) {
  FILE* f = fopen(path, "w");
  if (!f) {
    perror(path);
    exit(1);
  }
  return writer{f, path};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s LIST URLS [ENTRIES [URL_COUNT]]\n", argv[0]);
    return 2;
  }
  long entries = argc > 3 ? strtol(argv[3], nullptr, 10) : 1000000;
  long url_count = argc > 4 ? strtol(argv[4], nullptr, 10) : 1000000;
  if (entries < 1 || url_count < 0) {
    fprintf(stderr, "%s: ENTRIES must be positive and URL_COUNT not negative\n", argv[0]);
    return 2;
  }

  rng r(0x9E3779B97F4A7C15ull);
  std::vector<entry> list;
  list.reserve(static_cast<size_t>(entries));
  writer out = open_out(argv[1]);
  for (long i = 0; i < entries; ++i) {
    uint32_t pick = r.below(100);
    entry e;
    std::string line;
    if (pick < 70) {
      e = {HOST, host(r)};
      line = e.text + " U C " + categories(r);
    } else if (pick < 90) {
      e = {HOST_PATH, host(r) + path(r, 1 + static_cast<int>(r.below(3)))};
      line = e.text + " U C " + categories(r);
    } else if (pick < 95) {
      e = {SCHEME, std::string(r.below(4) ? "http://" : "https://") + host(r) + path(r, 1)};
      line = e.text + " " + categories(r);
    } else if (pick < 98) {
      uint32_t a = address(r);
      if (r.below(3) != 0) {
        e = {IP, ipv4(a)};
        line = e.text + (r.below(2) ? " U D" : " U C " + categories(r));
      } else {
        a &= ~255u;
        e = {RANGE, ipv4(a)};
        line = e.text + "-" + ipv4(a | 255) + " U C " + categories(r);
      }
    } else {
      e = {QUERY,
           host(r) + "/s?a=" + std::to_string(r.below(100)) + "&b=" + std::to_string(r.below(100))};
      line = e.text + " U C " + categories(r);
    }
    out.put(line);
    list.push_back(std::move(e));
  }
  out.close();

  rng u(0xD1B54A32D192ED03ull);
  writer urls = open_out(argv[2]);
  for (long i = 0; i < url_count; ++i) {
    uint32_t pick = u.below(100);
    if (pick >= 60) {  // miss
      if (u.below(50) == 0) {
        urls.put("http://" + ipv4(address(u)) + "/");  // a few may land in a range: fine
      } else {
        urls.put("http://" + host(u, 'x') + path(u, static_cast<int>(u.below(3))));
      }
      continue;
    }
    const entry& e = list[u.below(static_cast<uint32_t>(list.size()))];
    bool exact = pick < 40;
    switch (e.k) {
      case HOST:
        urls.put(exact ? "http://" + e.text + "/" : "http://www." + e.text + path(u, 1));
        break;
      case HOST_PATH:
        urls.put("http://" + e.text + (exact ? "" : path(u, 1)));
        break;
      case SCHEME:
        urls.put(e.text + (exact ? "" : path(u, 1)));
        break;
      case IP:
        urls.put("http://" + e.text + (exact ? "/" : path(u, 1)));
        break;
      case RANGE: {
        std::string base = e.text.substr(0, e.text.rfind('.') + 1);
        urls.put("http://" + base + std::to_string(u.below(256)) + (exact ? "/" : path(u, 1)));
        break;
      }
      case QUERY: {
        if (exact) {
          urls.put("http://" + e.text);
        } else {  // same parameters, other order, one more
          size_t q = e.text.find('?');
          size_t amp = e.text.find('&', q);
          urls.put("http://" + e.text.substr(0, q) + "?" + e.text.substr(amp + 1) + "&c=1&" +
                   e.text.substr(q + 1, amp - q - 1));
        }
        break;
      }
    }
  }
  urls.close();
  return 0;
}
