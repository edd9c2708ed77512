// Writes the data of bench/listcheck_bench.sh and bench/exactness.sh: a list file and a file
// of URLs to check, deterministically (fixed xorshift seeds, no downloads).
//
//   listcheck_gen [--shape=real|simple] LIST URLS [ENTRIES [URL_COUNT]]
//                                                  (defaults real, 1000000 and 1000000)
//
// The "real" shape (default) follows what operators' lists and traffic look like:
//
// List: hosts of 2-5 labels (2.9 on average) under a weighted table of top-level domains
// (com, net and org take over 40%), registrable names built from syllables, words, digits and
// hyphens, a quarter of them sharing a registrable name with an earlier entry behind
// tracker-like subdomains (ads, pixel, metrics-eu, s3 ...). By share of ENTRIES:
//   ~22% host/path, 2% host/path?query (several parameters), 5% with a scheme (most with a
//   path), ~1.5% other kinds the loader takes (IPv4 addresses and /24 ranges, host:port/path,
//   P path entries, Q query entries, "*://" entries), the rest bare hosts. One line in
//   20,000 is faulty (unknown type or action, bad category argument), as real lists have
//   some, so that the load's reports are part of what is measured and compared.
// Category sets hold 1-5 numbers in 1..500: most entries draw from 2,000 common sets
// (skewed: a few sets are very frequent), 8.3% get a set of their own, which gives about
// 83,000 distinct sets per 1,000,000 entries.
//
// URLs: 58% https, 2.2 path segments and 3.0 host labels on average, 28% with a query
// string of 1-6 parameters (tokens, ids, tracking tags); 62 characters on average with a
// long tail (90th percentile near 100). About 60% are answered by an entry: the host itself,
// a subdomain of it, a longer path below a path entry, a query entry's parameters in another
// order with one more; the rest are new names and hosts of path entries with other paths.
//
// The shape measured on what was written goes to standard error.
//
// The "simple" shape is the earlier mix, kept for comparison with older figures:
//   70% hosts, 20% host/path, 5% with a scheme, 3% IPv4 (a third of them ranges), 2% queries,
//   1-3 categories in 1..300; URLs 40% exact hits, 20% hits through a parent, 40% misses.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "gen_common.h"

namespace {

using gen::rng;

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

using gen::ipv4;

// Unicast-looking addresses: first byte 1..223, never 127.
uint32_t address(rng& r) {
  uint32_t first = 1 + r.below(223);
  if (first == 127) first = 128;
  return (first << 24) | (r.below(1u << 24));
}

// ---- The "real" shape ---------------------------------------------------------------------

namespace real {

const char* const kOnsets[] = {"b", "c", "d", "f", "g", "h",  "k",  "l",  "m",  "n",  "p",  "r",
                               "s", "t", "v", "w", "z", "br", "cl", "st", "tr", "sh", "ch", "gr"};
const char* const kVowels[] = {"a", "e", "i", "o", "u", "a", "e", "o", "ia", "ou", "y", "ai"};
const char* const kCodas[] = {"", "", "", "", "n", "r", "s", "t", "x", "m", "l", "ck"};
const char* const kWords[] = {
    "ad",     "ads",    "track",   "click",   "stat",      "metric",  "pixel",     "tag",
    "sync",   "data",   "cloud",   "media",   "cdn",       "serve",   "net",       "web",
    "shop",   "news",   "game",    "bet",     "free",      "best",    "top",       "online",
    "live",   "video",  "tube",    "mail",    "secure",    "login",   "bank",      "pay",
    "crypto", "win",    "promo",   "deal",    "smart",     "fast",    "global",    "info",
    "hub",    "zone",   "link",    "go",      "app",       "soft",    "tech",      "digital",
    "market", "social", "stream",  "photo",   "blog",      "host",    "analytics", "counter",
    "beacon", "visit",  "traffic", "partner", "affiliate", "offer",   "update",    "download",
    "cash",   "prize",  "lucky",   "verify",  "account",   "support", "service",   "portal"};
const char* const kSubs[] = {
    "www",     "ads", "ad",     "pixel",  "track",     "t",      "metrics", "stats", "cdn",
    "static",  "img", "api",    "click",  "go",        "m",      "tag",     "sync",  "beacon",
    "collect", "log", "events", "s",      "analytics", "secure", "login",   "mail",  "app",
    "eu",      "us",  "edge",   "assets", "media",     "data",   "rtb",     "bid"};
const char* const kRegions[] = {"eu",   "us",   "us-east-1", "eu-west", "ap", "de", "fr", "uk",
                                "prod", "edge", "cache",     "node",    "lb", "c",  "a",  "b"};
// Top-level domains and weights (out of 1000): com, net and org take 41%.
struct weighted {
  const char* text;
  uint32_t weight;
};
const weighted kTlds[] = {
    {"com", 340}, {"net", 75}, {"org", 45}, {"ru", 45}, {"de", 40},  {"info", 30},   {"xyz", 30},
    {"top", 30},  {"uk", 25},  {"io", 20},  {"fr", 20}, {"br", 20},  {"pl", 20},     {"jp", 20},
    {"cn", 20},   {"nl", 18},  {"it", 18},  {"in", 15}, {"biz", 15}, {"online", 15}, {"site", 15},
    {"club", 12}, {"es", 12},  {"ua", 12},  {"tk", 12}, {"cc", 10},  {"co", 10},     {"me", 10},
    {"tv", 10},   {"us", 10},  {"ca", 10},  {"au", 10}, {"kr", 8},   {"vn", 8},      {"ir", 8},
    {"cz", 8},    {"ro", 7},   {"gr", 6},   {"se", 6},  {"ch", 6},   {"be", 6},      {"at", 5},
    {"tr", 5},    {"mx", 5},   {"ar", 5},   {"id", 5},  {"dk", 4},   {"fi", 4},      {"no", 4},
    {"pt", 4},    {"hu", 4},   {"sk", 4},   {"icu", 4}, {"live", 4}};

const char* pick(rng& r, const weighted* table, size_t n) {
  uint32_t total = 0;
  for (size_t i = 0; i < n; ++i) total += table[i].weight;
  uint32_t x = r.below(total);
  for (size_t i = 0; i < n; ++i) {
    if (x < table[i].weight) return table[i].text;
    x -= table[i].weight;
  }
  return table[0].text;
}

template <size_t N>
const char* any(rng& r, const char* const (&table)[N]) {
  return table[r.below(N)];
}

std::string syllables(rng& r, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += any(r, kOnsets);
    s += any(r, kVowels);
    if (i + 1 == n || r.below(3) == 0) s += any(r, kCodas);
  }
  return s;
}

// The label that names a site: a made-up word, words joined (sometimes with a hyphen),
// digits. Long enough a space that 1,000,000 of them rarely meet.
std::string site_label(rng& r) {
  std::string s;
  uint32_t p = r.below(100);
  if (p < 40) {
    s = syllables(r, 2 + static_cast<int>(r.below(3)));
  } else if (p < 65) {
    s = std::string(any(r, kWords)) + syllables(r, 1 + static_cast<int>(r.below(2)));
  } else if (p < 85) {
    s = any(r, kWords);
    if (r.below(3) == 0) s += "-";
    s += any(r, kWords);
    s += syllables(r, 1);
  } else {
    s = syllables(r, 2 + static_cast<int>(r.below(2)));
    s += std::to_string(r.below(r.below(2) ? 100 : 10000));
  }
  if (r.below(12) == 0) s += "-" + std::string(any(r, kWords));
  return s;
}

// A subdomain label: tracker-like words, regions, numbered servers.
std::string sub_label(rng& r) {
  uint32_t p = r.below(100);
  if (p < 55) return any(r, kSubs);
  if (p < 70) return std::string(any(r, kSubs)) + std::to_string(1 + r.below(20));
  if (p < 80) return std::string(any(r, kSubs)) + "-" + any(r, kRegions);
  if (p < 88) return any(r, kRegions);
  return syllables(r, 1 + static_cast<int>(r.below(2)));
}

// A registrable name: site label and top-level domain.
std::string site(rng& r, char salt) {
  std::string s = site_label(r);
  if (salt) s += salt;
  return s + "." + pick(r, kTlds, sizeof kTlds / sizeof kTlds[0]);
}

// Labels of a listed host: 2 (38%), 3 (40%), 4 (16%), 5 (6%); 2.9 on average.
int host_labels(rng& r) {
  uint32_t p = r.below(100);
  return p < 38 ? 2 : p < 78 ? 3 : p < 94 ? 4 : 5;
}

struct hosts {
  std::vector<std::string> sites;  // registrable names seen so far, for reuse

  // A quarter of hosts with subdomains reuse an earlier site, as lists hold many names of
  // one tracker or one malware domain.
  std::string make(rng& r, char salt) {
    int labels = host_labels(r);
    std::string base;
    if (labels > 2 && !sites.empty() && r.below(4) == 0) {
      base = sites[r.below(static_cast<uint32_t>(sites.size()))];
    } else {
      base = site(r, salt);
      if (!salt) sites.push_back(base);
    }
    std::string h;
    for (int i = 2; i < labels; ++i) h += sub_label(r) + ".";
    return h + base;
  }
};

const char* const kPathWords[] = {
    "index",   "news",    "img",     "images",     "video",       "js",       "css",     "static",
    "assets",  "api",     "v1",      "v2",         "en",          "de",       "fr",      "search",
    "login",   "account", "user",    "products",   "product",     "category", "blog",    "article",
    "tag",     "media",   "uploads", "wp-content", "wp-includes", "themes",   "plugins", "download",
    "files",   "ads",     "banner",  "track",      "pixel",       "collect",  "event",   "beacon",
    "sync",    "ajax",    "cgi-bin", "admin",      "cart",        "checkout", "watch",   "embed",
    "player",  "feed",    "rss",     "2023",       "2024",        "2025",     "12",      "07",
    "content", "public",  "dist",    "lib",        "vendor",      "fonts",    "share"};
const char* const kExtensions[] = {".html", ".php",  ".js",   ".gif", ".png",  ".jpg",
                                   ".css",  ".aspx", ".json", ".htm", ".webp", ".svg"};
const char* const kSlugWords[] = {"how",    "to",       "best",   "new",   "free",   "the",
                                  "for",    "with",     "review", "guide", "top",    "cheap",
                                  "online", "win",      "your",   "2024",  "update", "deal",
                                  "video",  "download", "full",   "hd"};
const char* const kHex = "0123456789abcdef";

std::string hex(rng& r, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += kHex[r.below(16)];
  return s;
}

std::string alnum(rng& r, int n) {
  static const char set[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
  std::string s;
  for (int i = 0; i < n; ++i) s += set[r.below(64)];
  return s;
}

std::string segment(rng& r, bool last) {
  uint32_t p = r.below(100);
  std::string s;
  if (p < 55) {
    s = any(r, kPathWords);
  } else if (p < 65) {
    s = std::to_string(r.below(r.below(2) ? 1000 : 10000000));
  } else if (p < 77) {  // slug
    int n = 2 + static_cast<int>(r.below(5));
    for (int i = 0; i < n; ++i) {
      if (i) s += "-";
      s += any(r, kSlugWords);
    }
  } else if (p < 84) {
    s = hex(r, r.below(3) ? 8 : 24);
  } else if (p < 90) {
    s = alnum(r, 6 + static_cast<int>(r.below(16)));
  } else {
    s = syllables(r, 1 + static_cast<int>(r.below(3)));
  }
  if (last && r.below(3) == 0) s += any(r, kExtensions);
  return s;
}

std::string path(rng& r, int segments) {
  std::string p;
  for (int i = 0; i < segments; ++i) {
    p += '/';
    p += segment(r, i + 1 == segments);
  }
  return p;
}

// Path segments of a checked URL: 0-7, 2.2 on average.
int url_segments(rng& r) {
  static const uint32_t cumulative[] = {17, 38, 61, 81, 91, 96, 99, 100};  // 0,1,...,7
  uint32_t p = r.below(100);
  int n = 0;
  while (p >= cumulative[n]) ++n;
  return n;
}

const char* const kKeys[] = {
    "utm_source", "utm_medium", "utm_campaign", "id",      "q",   "ref",   "s",       "v", "page",
    "lang",       "cb",         "sid",          "session", "uid", "gclid", "fbclid",  "t", "w",
    "h",          "format",     "callback",     "client",  "cid", "p",     "redirect"};

std::string query_value(rng& r) {
  uint32_t p = r.below(100);
  if (p < 35) return std::to_string(r.below(r.below(2) ? 100 : 100000000));
  if (p < 55) return any(r, kSlugWords);
  if (p < 75) return hex(r, 8 + static_cast<int>(r.below(3)) * 8);
  if (p < 90) return alnum(r, 10 + static_cast<int>(r.below(26)));
  return std::string(any(r, kWords)) + "_" + any(r, kWords);
}

// "k=v&k=v...": 1-6 parameters (2.4 on average).
std::string query(rng& r) {
  static const uint32_t cumulative[] = {30, 60, 78, 90, 96, 100};
  uint32_t p = r.below(100);
  int n = 1;
  while (p >= cumulative[n - 1]) ++n;
  std::string q;
  for (int i = 0; i < n; ++i) {
    if (i) q += "&";
    q += any(r, kKeys);
    q += "=";
    q += query_value(r);
  }
  return q;
}

// Category sets. The common ones are drawn with a skew so that a few dominate; 8.3% of the
// entries get a fresh set, nearly always new.
struct categories {
  std::vector<std::string> common;

  static std::string fresh(rng& r, int min_count) {
    int n = min_count + static_cast<int>(r.below(static_cast<uint32_t>(6 - min_count)));
    std::vector<uint32_t> v;
    while (static_cast<int>(v.size()) < n) {
      uint32_t c = 1 + r.below(500);
      if (std::find(v.begin(), v.end(), c) == v.end()) v.push_back(c);
    }
    std::string s;
    for (size_t i = 0; i < v.size(); ++i) {
      if (i) s += ",";
      s += std::to_string(v[i]);
    }
    return s;
  }

  explicit categories(rng& r) {
    // Single categories first (they are the most common), then pairs and more.
    for (uint32_t c = 1; c <= 500; ++c) common.push_back(std::to_string(1 + (c * 197) % 500));
    while (common.size() < 2000) common.push_back(fresh(r, 2));
  }

  std::string next(rng& r) {
    if (r.chance(83)) return fresh(r, 2);
    // Squared uniform: index 0 is the most frequent, the last ones rare but present.
    double u = static_cast<double>(r.below(1u << 20)) / (1u << 20);
    return common[static_cast<size_t>(u * u * u * static_cast<double>(common.size()))];
  }
};

std::string canonical(const std::string& set) {
  std::vector<int> v;
  for (size_t i = 0; i < set.size();) {
    v.push_back(atoi(set.c_str() + i));
    size_t c = set.find(',', i);
    if (c == std::string::npos) break;
    i = c + 1;
  }
  std::sort(v.begin(), v.end());
  std::string s;
  for (int x : v) s += std::to_string(x) + ",";
  return s;
}

enum kind : uint8_t { HOST, HOST_PATH, QUERY, SCHEME, IP, RANGE, PORT, PATH_ONLY, QUERY_ONLY };

struct entry {
  kind k;
  std::string text;  // what the URL side needs: host[/path][?query], scheme://..., address
};

const char* scheme(rng& r) { return r.below(100) < 58 ? "https://" : "http://"; }

struct list_stats {
  long entries = 0, labels = 0, hosts = 0, with_path = 0, with_scheme = 0, with_query = 0, big3 = 0,
       others = 0;
  std::unordered_set<std::string> sets;
};

struct url_stats {
  long urls = 0, chars = 0, https = 0, queries = 0, segments = 0, labels = 0, meant_hits = 0;
  std::vector<uint32_t> lengths;
};

void count_host(list_stats& s, const std::string& host) {
  s.hosts++;
  s.labels += 1 + std::count(host.begin(), host.end(), '.');
  const char* tld = strrchr(host.c_str(), '.');
  if (tld && (!strcmp(tld, ".com") || !strcmp(tld, ".net") || !strcmp(tld, ".org"))) s.big3++;
}

void count_url(url_stats& s, const std::string& u, bool hit) {
  s.urls++;
  s.chars += static_cast<long>(u.size());
  s.lengths.push_back(static_cast<uint32_t>(u.size()));
  if (u.compare(0, 8, "https://") == 0) s.https++;
  if (hit) s.meant_hits++;
  size_t start = u.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  size_t q = u.find('?', start);
  if (q != std::string::npos) s.queries++;
  std::string rest = u.substr(start, q == std::string::npos ? std::string::npos : q - start);
  size_t slash = rest.find('/');
  std::string host = rest.substr(0, slash);
  s.labels += 1 + std::count(host.begin(), host.end(), '.');
  if (slash == std::string::npos) return;
  bool in = false;
  for (size_t i = slash; i < rest.size(); ++i) {
    if (rest[i] == '/') {
      in = false;
    } else if (!in) {
      in = true;
      s.segments++;
    }
  }
}

int write(const char* list_path, const char* urls_path, long count, long url_count) {
  rng r(0x9E3779B97F4A7C15ull);
  categories cats(r);
  hosts names;
  std::vector<entry> list;
  list.reserve(static_cast<size_t>(count));
  list_stats ls;
  writer out = open_out(list_path);
  for (long i = 0; i < count; ++i) {
    if (r.below(20000) == 0) {  // a faulty line, so that the load's reports are exercised
      static const char* const faults[] = {" X C 5", " U C 12,abc", " U Z", " U C 0"};
      out.put(names.make(r, 0) + faults[r.below(4)]);
      ls.entries++;
      ls.others++;
      continue;
    }
    uint32_t pick = r.below(1000);
    entry e;
    std::string line;
    std::string set = cats.next(r);
    if (pick < 220) {  // host/path
      std::string h = names.make(r, 0);
      count_host(ls, h);
      ls.with_path++;
      e = {HOST_PATH, h + path(r, 1 + static_cast<int>(r.below(r.below(4) ? 2 : 4)))};
      line = e.text + " U C " + set;
    } else if (pick < 240) {  // host/path?query
      std::string h = names.make(r, 0);
      count_host(ls, h);
      ls.with_path++;
      ls.with_query++;
      std::string q = query(r);
      if (q.find('&') == std::string::npos) q += "&" + query(r);
      e = {QUERY, h + path(r, 1 + static_cast<int>(r.below(2))) + "?" + q};
      line = e.text + " U C " + set;
    } else if (pick < 290) {  // scheme, three in five with a path
      std::string h = names.make(r, 0);
      count_host(ls, h);
      ls.with_scheme++;
      std::string p;
      if (r.below(5) < 3) {
        p = path(r, 1 + static_cast<int>(r.below(2)));
        ls.with_path++;
      }
      e = {SCHEME, std::string(r.below(100) < 58 ? "https://" : "http://") + h + p};
      line = e.text + " U C " + set;
    } else if (pick < 296) {
      e = {IP, ipv4(address(r))};
      line = e.text + (r.below(4) ? " U C " + set : std::string(" U D"));
      ls.others++;
    } else if (pick < 298) {
      uint32_t a = address(r) & ~255u;
      e = {RANGE, ipv4(a)};
      line = e.text + "-" + ipv4(a | 255) + " U C " + set;
      ls.others++;
    } else if (pick < 301) {
      std::string h = names.make(r, 0);
      count_host(ls, h);
      ls.with_path++;
      e = {PORT, h + ":" + std::to_string(r.below(2) ? 8080 : 1024 + r.below(60000)) + path(r, 1)};
      line = e.text + " U C " + set;
    } else if (pick < 302) {
      e = {PATH_ONLY, path(r, 2)};
      line = e.text + " P C " + set;
      ls.others++;
    } else if (pick < 303) {
      e = {QUERY_ONLY, std::string(any(r, kKeys)) + "=" + query_value(r)};
      line = "?" + e.text + " Q C " + set;
      ls.others++;
    } else if (pick < 305) {  // any scheme
      std::string h = names.make(r, 0);
      count_host(ls, h);
      ls.with_scheme++;
      e = {HOST, h};
      line = "*://" + h + " U C " + set;
    } else {
      e = {HOST, names.make(r, 0)};
      count_host(ls, e.text);
      line = e.text + " U C " + set;
    }
    ls.entries++;
    if (line.find(" U D") == std::string::npos) ls.sets.insert(canonical(set));
    out.put(line);
    list.push_back(std::move(e));
  }
  out.close();

  rng u(0xD1B54A32D192ED03ull);
  url_stats us;
  writer urls = open_out(urls_path);
  hosts strangers;
  auto tail = [&](bool with_path) {
    std::string t = with_path ? path(u, url_segments(u)) : "";
    if (t.empty()) t = "/";
    if (u.below(100) < 28) t += "?" + query(u);
    return t;
  };
  for (long i = 0; i < url_count; ++i) {
    uint32_t pick = u.below(100);
    std::string url;
    bool hit = pick < 60;
    const entry& e = list[u.below(static_cast<uint32_t>(list.size()))];
    if (!hit) {
      if (pick < 72 && e.k == HOST_PATH) {  // a listed path's host, elsewhere
        url = scheme(u) + e.text.substr(0, e.text.find('/')) + tail(true);
      } else if (u.below(60) == 0) {
        url = "http://" + ipv4(address(u)) + tail(true);
      } else {
        std::string h = strangers.make(u, 'q');
        if (u.below(100) < 5) h = sub_label(u) + "." + h;
        url = scheme(u) + h + tail(true);
      }
      count_url(us, url, false);
      urls.put(url);
      continue;
    }
    switch (e.k) {
      case HOST:
        if (u.below(100) < 75) {
          url = scheme(u) + e.text + tail(true);
        } else {  // through a parent domain
          url = scheme(u) + sub_label(u) + "." + e.text + tail(true);
        }
        break;
      case HOST_PATH:
        url = scheme(u) + e.text;
        if (u.below(2)) url += path(u, 1 + static_cast<int>(u.below(3)));
        if (u.below(100) < 28) url += "?" + query(u);
        break;
      case QUERY: {  // the same parameters in another order, and one more
        size_t q = e.text.find('?');
        std::string params = e.text.substr(q + 1);
        size_t amp = params.find('&');
        url = scheme(u) + e.text.substr(0, q) + "?" + params.substr(amp + 1) + "&" +
              std::string(any(u, kKeys)) + "=" + query_value(u) + "&" + params.substr(0, amp);
        break;
      }
      case SCHEME:
        url = e.text;
        if (u.below(2)) url += path(u, 1 + static_cast<int>(u.below(2)));
        if (url.find('/', url.find("://") + 3) == std::string::npos) url += "/";
        break;
      case IP:
        url = scheme(u) + e.text + tail(true);
        break;
      case RANGE: {
        std::string base = e.text.substr(0, e.text.rfind('.') + 1);
        url = scheme(u) + base + std::to_string(u.below(256)) + tail(true);
        break;
      }
      case PORT:
        url = "http://" + e.text + (u.below(2) ? path(u, 1) : "");
        break;
      case PATH_ONLY:
        url = scheme(u) + strangers.make(u, 'p') + e.text;
        break;
      case QUERY_ONLY:
        url = scheme(u) + strangers.make(u, 'p') + path(u, url_segments(u)) + "?" + e.text;
        break;
    }
    count_url(us, url, true);
    urls.put(url);
  }
  urls.close();

  fprintf(stderr,
          "list: %ld entries; hosts %.2f labels on average, %.1f%% under com/net/org; %.1f%% with "
          "a path, %.1f%% with a scheme, %.1f%% with a query, %.1f%% other kinds; %zu distinct "
          "category sets\n",
          ls.entries, static_cast<double>(ls.labels) / std::max(ls.hosts, 1L),
          100.0 * static_cast<double>(ls.big3) / std::max(ls.hosts, 1L),
          100.0 * static_cast<double>(ls.with_path) / static_cast<double>(ls.entries),
          100.0 * static_cast<double>(ls.with_scheme) / static_cast<double>(ls.entries),
          100.0 * static_cast<double>(ls.with_query) / static_cast<double>(ls.entries),
          100.0 * static_cast<double>(ls.others) / static_cast<double>(ls.entries), ls.sets.size());
  if (us.urls > 0) {
    std::sort(us.lengths.begin(), us.lengths.end());
    double n = static_cast<double>(us.urls);
    fprintf(stderr,
            "urls: %ld; length %.1f on average, 90th percentile %u; %.1f%% https, %.1f%% with a "
            "query; %.2f path segments and %.2f host labels on average; %.1f%% meant to be "
            "answered by an entry\n",
            us.urls, static_cast<double>(us.chars) / n, us.lengths[static_cast<size_t>(0.9 * n)],
            100.0 * static_cast<double>(us.https) / n, 100.0 * static_cast<double>(us.queries) / n,
            static_cast<double>(us.segments) / n, static_cast<double>(us.labels) / n,
            100.0 * static_cast<double>(us.meant_hits) / n);
  }
  return 0;
}

}  // namespace real

namespace simple {

using gen::simple::categories;
using gen::simple::host;
using gen::simple::path;

enum kind : uint8_t { HOST, HOST_PATH, SCHEME, IP, RANGE, QUERY };

struct entry {
  kind k;
  std::string text;  // host[/path], scheme://host/path, address, first address of a range
};

int write(const char* list_path, const char* urls_path, long entries, long url_count) {
  rng r(0x9E3779B97F4A7C15ull);
  std::vector<entry> list;
  list.reserve(static_cast<size_t>(entries));
  writer out = open_out(list_path);
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
  writer urls = open_out(urls_path);
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

}  // namespace simple

}  // namespace

int main(int argc, char** argv) {
  const char* program = argv[0];
  bool real_shape = true;
  if (argc > 1 && strncmp(argv[1], "--shape=", 8) == 0) {
    if (strcmp(argv[1] + 8, "simple") == 0) {
      real_shape = false;
    } else if (strcmp(argv[1] + 8, "real") != 0) {
      fprintf(stderr, "%s: unknown shape '%s' (real or simple)\n", program, argv[1] + 8);
      return 2;
    }
    --argc;
    ++argv;
  }
  if (argc < 3) {
    fprintf(stderr, "usage: %s [--shape=real|simple] LIST URLS [ENTRIES [URL_COUNT]]\n", program);
    return 2;
  }
  long entries = argc > 3 ? strtol(argv[3], nullptr, 10) : 1000000;
  long url_count = argc > 4 ? strtol(argv[4], nullptr, 10) : 1000000;
  if (entries < 1 || url_count < 0) {
    fprintf(stderr, "%s: ENTRIES must be positive and URL_COUNT not negative\n", program);
    return 2;
  }
  return real_shape ? real::write(argv[1], argv[2], entries, url_count)
                    : simple::write(argv[1], argv[2], entries, url_count);
}
