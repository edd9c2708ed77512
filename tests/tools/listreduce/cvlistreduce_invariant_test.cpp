// The reduction must not change what the filter does: on a generated list of a few thousand
// mixed entries, every URL of a probe set gets the same answer from cvlistcheck on the reduced
// list as on the original, and reducing the reduced list again removes nothing.

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_process.h"

namespace {

struct rng {
  uint64_t x;
  explicit rng(uint64_t seed) : x(seed) {}
  uint32_t below(uint32_t n) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return static_cast<uint32_t>(x % n);
  }
};

// A small pool of names and categories, so that entries meet each other often: the same
// hosts with and without subdomains, paths, ports, queries and schemes.
struct generated {
  std::string list;
  std::string probes;
  size_t entries = 0;
};

std::string pick(rng& r, std::initializer_list<const char*> words) {
  return *(words.begin() + r.below(static_cast<uint32_t>(words.size())));
}

std::string categories(rng& r) {
  static const char* const sets[] = {"1", "2", "1,2", "3", "2,1", "1", "2"};
  return sets[r.below(7)];
}

generated generate(uint64_t seed, size_t count, bool with_port_80) {
  rng r(seed);
  generated g;
  std::vector<std::string> hosts;
  for (int i = 0; i < 40; ++i) {
    hosts.push_back(pick(r, {"ka", "lo", "mi", "ne", "po"}) + std::to_string(i) + "." +
                    pick(r, {"test", "example", "invalid"}));
  }
  std::vector<std::string> urls;  // entry URLs without scheme, for the probes
  for (size_t i = 0; i < count; ++i) {
    std::string host = hosts[r.below(40)];
    uint32_t sub = r.below(4);
    if (sub == 1) host = "www." + host;
    if (sub == 2) host = pick(r, {"a", "b", "c"}) + "." + pick(r, {"www.", ""}) + host;
    std::string url = host;
    uint32_t shape = r.below(10);
    if (shape == 0) url += pick(r, {":8080", ":81"});
    if (shape == 1 && with_port_80) url += ":80";
    if (shape >= 2 && shape <= 5) {
      url += "/" + pick(r, {"p", "q", "img"});
      if (r.below(2)) url += "/" + pick(r, {"p", "q", "x"});
    }
    if (shape == 6) {
      url += "/s?" + pick(r, {"a=1", "b=2", "c=3"});
      if (r.below(2)) url += "&" + pick(r, {"a=1", "b=2", "d=4"});
    }
    if (shape == 7 && r.below(2)) url += "/";
    if (shape == 8) url = "10.0." + std::to_string(r.below(3)) + "." + std::to_string(r.below(3));
    std::string scheme = pick(r, {"", "", "", "http://", "https://", "ftp://"});
    if (shape == 1 && with_port_80 && scheme != "" && scheme != "http://") scheme = "http://";
    std::string cats = categories(r);
    uint32_t form = r.below(20);
    std::string line;
    if (form == 0) {
      line = url + " U D";
    } else if (form == 1) {
      line = url + " U A";
    } else if (scheme.empty()) {
      line = url + " U C " + cats;
    } else if (form < 10) {
      line = scheme + url + " " + cats;
    } else {
      line = scheme + url + " U C " + cats;
    }
    g.list += line + "\n";
    if (r.below(8) == 0) g.list += line + "\n";  // a plain duplicate
    urls.push_back(url);
  }
  g.entries = count;
  // Probes: each entry URL as written, under a subdomain, below its path, with another port
  // and with more query parameters, in each scheme.
  for (const std::string& u : urls) {
    std::string host = u.substr(0, u.find_first_of("/:?"));
    std::string rest = u.substr(host.size());
    std::vector<std::string> forms = {u,
                                      "www." + u,
                                      "z." + u,
                                      u + "/more",
                                      u + "/p/x",
                                      host + ":8080" + rest,
                                      u + (u.find('?') != std::string::npos ? "&e=5" : "?e=5")};
    for (const std::string& f : forms) {
      for (const char* scheme : {"http://", "https://", "ftp://"}) g.probes += scheme + f + "\n";
    }
  }
  return g;
}

// cvlistcheck's answer for each probe, one line each.
std::vector<std::string> answers(const std::string& list, const std::string& probes) {
  cv_run_result r = cv_run({"cvlistcheck", "-i", list, "-f", probes});
  EXPECT_LE(r.status, 1) << r.err;
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    if (line == "Loading Lists" || line == "Lists Loaded") continue;
    lines.push_back(line);
  }
  return lines;
}

void check_invariant(uint64_t seed, bool with_port_80, const std::vector<std::string>& options) {
  cv_tempdir dir;
  generated g = generate(seed, 3000, with_port_80);
  std::string list = dir.write("original.list", g.list);
  std::string probes = dir.write("probes.txt", g.probes);
  std::vector<std::string> argv{"cvlistreduce",
                                "-i",
                                list,
                                "-o",
                                dir.path() + "/reduced.list",
                                "-r",
                                dir.path() + "/redundant.list"};
  argv.insert(argv.end(), options.begin(), options.end());
  cv_run_result r = cv_run(argv);
  ASSERT_EQ(r.status, 0) << r.err;
  std::string reduced = dir.read("reduced.list");
  std::string redundant = dir.read("redundant.list");
  // The reduction did something: a good share of this list is covered.
  size_t removed = static_cast<size_t>(std::count(redundant.begin(), redundant.end(), '\n'));
  EXPECT_GT(removed, g.entries / 5);

  std::vector<std::string> before = answers(list, probes);
  std::vector<std::string> after = answers(dir.path() + "/reduced.list", probes);
  ASSERT_EQ(before.size(), after.size());
  ASSERT_GT(before.size(), 10000u);
  size_t differences = 0;
  for (size_t i = 0; i < before.size(); ++i) {
    if (before[i] != after[i] && ++differences <= 20) {
      ADD_FAILURE() << "original: " << before[i] << "\nreduced:  " << after[i];
    }
  }
  EXPECT_EQ(differences, 0u);

  // A reduced list is reduced: nothing more goes, and every line stays as it is.
  r = cv_run({"cvlistreduce", "-i", dir.path() + "/reduced.list", "-o", dir.path() + "/again.list",
              "-r", dir.path() + "/again.redundant"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.read("again.redundant"), "");
  EXPECT_EQ(dir.read("again.list"), reduced);
}

TEST(ListReduceInvariant, SameAnswersAfterReduction) {
  const char* many = getenv("LR_SEEDS");
  std::vector<uint64_t> seeds = {0x9E3779B97F4A7C15ull, 0xD1B54A32D192ED03ull, 12345ull, 777ull};
  if (many != nullptr)
    for (uint64_t i = 1; i <= strtoull(many, nullptr, 10); ++i) seeds.push_back(i * 1000003);
  for (uint64_t seed : seeds) {
    SCOPED_TRACE(seed);
    check_invariant(seed, getenv("LR_PORT80") != nullptr, {});
  }
}

}  // namespace
