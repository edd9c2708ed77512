// The naive floor of the cvlistcheck benchmark: what the simplest correct-looking program
// costs on the same data. It keeps only the hosts of the list in a
// std::unordered_set<std::string> and answers a URL when its host or one of its parent
// domains is in the set (no paths, schemes, ports, queries, addresses or ranges: a floor,
// not an equal).
//
//   hostset_helper LIST URLS [OUT]
//
// LIST lines are read as "entry ..." (first field; "scheme://" and anything from the first
// "/", ":" or "?" on are dropped; "#" lines and empty lines skipped); URLS holds one URL per
// line. With OUT, one line per URL goes there ("URL found" or "URL NOT FOUND"), as the
// tool's -o run writes one result line per URL. Standard output gets
//   "hosts H urls U found F load_s L check_s C"
// (load: reading the list into the set; check: reading the URLs and looking them up). The
// process's wall time and peak memory are taken from outside (runstat_helper).

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_set>

namespace {

double now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The host of an entry or URL text, lower-cased.
std::string host_of(std::string_view s) {
  size_t scheme = s.find("://");
  if (scheme != std::string_view::npos) s.remove_prefix(scheme + 3);
  size_t end = s.find_first_of("/:?");
  if (end != std::string_view::npos) s = s.substr(0, end);
  std::string h(s);
  for (char& c : h) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return h;
}

FILE* open_or_die(const char* path, const char* mode) {
  FILE* f = fopen(path, mode);
  if (!f) {
    perror(path);
    exit(1);
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: %s LIST URLS [OUT]\n", argv[0]);
    return 2;
  }
  double t0 = now();
  std::unordered_set<std::string> hosts;
  char* line = nullptr;
  size_t cap = 0;
  ssize_t n;
  FILE* list = open_or_die(argv[1], "r");
  while ((n = getline(&line, &cap, list)) > 0) {
    std::string_view l(line, static_cast<size_t>(n));
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.remove_suffix(1);
    if (l.empty() || l[0] == '#') continue;
    std::string h = host_of(l.substr(0, l.find(' ')));
    if (!h.empty()) hosts.insert(std::move(h));
  }
  fclose(list);
  double t1 = now();

  FILE* urls = open_or_die(argv[2], "r");
  FILE* out = argc > 3 ? open_or_die(argv[3], "w") : nullptr;
  long count = 0, found = 0;
  std::string key;
  while ((n = getline(&line, &cap, urls)) > 0) {
    std::string_view u(line, static_cast<size_t>(n));
    while (!u.empty() && (u.back() == '\n' || u.back() == '\r')) u.remove_suffix(1);
    if (u.empty()) continue;
    ++count;
    key = host_of(u);
    bool hit = false;
    // The host, then each parent domain down to the top-level label.
    for (std::string_view h = key; !hit && !h.empty();) {
      hit = hosts.find(std::string(h)) != hosts.end();
      size_t dot = h.find('.');
      if (dot == std::string_view::npos) break;
      h.remove_prefix(dot + 1);
    }
    found += hit;
    if (out) {
      fwrite(u.data(), 1, u.size(), out);
      fputs(hit ? " found\n" : " NOT FOUND\n", out);
    }
  }
  fclose(urls);
  if (out && fclose(out) != 0) {
    perror(argv[3]);
    return 1;
  }
  free(line);
  double t2 = now();
  printf("hosts %zu urls %ld found %ld load_s %.6f check_s %.6f\n", hosts.size(), count, found,
         t1 - t0, t2 - t1);
  return 0;
}
