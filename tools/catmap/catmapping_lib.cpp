#include "catmapping_lib.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>
#include <new>
#include <system_error>
#include <unordered_map>
#include <vector>

namespace {

std::atomic<bool> append_general{true};
std::atomic<bool> keep_new_url{false};

// The error text is process-wide; a mutex keeps two failing threads from tearing it.
std::mutex error_mutex;
std::optional<std::string> error_text;

void clear_error() {
  std::lock_guard<std::mutex> g(error_mutex);
  error_text.reset();
}

bool is_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

// A rule field reads like atoi: leading white space, an optional sign, the digits that
// follow; anything else reads as 0. Values beyond int saturate instead of overflowing.
int parse_int_field(std::string_view f) {
  size_t i = 0;
  while (i < f.size() && is_space(static_cast<unsigned char>(f[i]))) ++i;
  bool neg = false;
  if (i < f.size() && (f[i] == '+' || f[i] == '-')) neg = f[i++] == '-';
  int64_t v = 0;
  for (; i < f.size() && is_digit(static_cast<unsigned char>(f[i])); ++i) {
    v = v * 10 + (f[i] - '0');
    if (v > int64_t{INT_MAX} + 1) v = int64_t{INT_MAX} + 1;
  }
  if (neg) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  return static_cast<int>(v);
}

// Category numbers are unsigned in sets and plain ints in rules; a rule's category is carried
// into sets bit for bit, as the rule trees of the mapping files have always been keyed.
uint32_t to_cat(int c) { return static_cast<uint32_t>(c); }

// Clean-up sets other than the empty set: sets that keep 254 when the flag is off.
bool is_new_url_companion_set(const category_set& set) {
  if (set.count() == 1) return set[0] == CATMAPPING_CAT_NEW_URL;
  if (set.count() != 2 || set[1] != CATMAPPING_CAT_NEW_URL) return false;
  uint32_t other = set[0];
  return other == CATMAPPING_CAT_SERVICE_UNAVAILABLE || other == CATMAPPING_CAT_HOST_IS_IP ||
         other == CATMAPPING_CAT_SERVICE_TIMEOUT;
}

void cleanup(category_set& set) {
  if (set.empty()) {
    set.add(CATMAPPING_CAT_GENERAL);
    return;
  }
  if (append_general.load(std::memory_order_relaxed) && set.count() == 1 &&
      (set[0] == CATMAPPING_CAT_HTTP || set[0] == CATMAPPING_CAT_HTTPS)) {
    set.add(CATMAPPING_CAT_GENERAL);
    return;
  }
  if (keep_new_url.load(std::memory_order_relaxed)) return;
  if (is_new_url_companion_set(set)) return;
  set.remove(CATMAPPING_CAT_NEW_URL);
}

// One rule X->Y of the accumulated rules against the next rules `n` (see the composition).
void catmapping_lib_accumulate_callback(int x, int y, const catmapping_rules& n,
                                        catmapping_rules& result, std::vector<int>& removal) {
  auto it = n.find(y);
  if (it == n.end()) {
    result[x] = y;
  } else if (it->second == x) {
    removal.push_back(x);
    removal.push_back(y);
  } else {
    result[x] = it->second;
  }
}

void catmapping_lib_duplicate_callback(int src, int dst, catmapping_rules& copy) {
  copy.emplace_hint(copy.end(), src, dst);
}

void catmapping_lib_srccats_callback(int src, category_set& srccats) { srccats.add(to_cat(src)); }

void write_rules(FILE* stream, int version, const catmapping_rules& rules) {
  for (const auto& [src, dst] : rules) fprintf(stream, "%d %d %d\n", version, src, dst);
}

}  // namespace

int catmapping_lib_compare(const int* a, const int* b) {
  if (!a || !b) return 0;
  return *a < *b ? -1 : (*a > *b ? 1 : 0);
}

int catmapping_lib_initialize(int keep) {
  keep_new_url.store(keep != 0);
  return 0;
}

void catmapping_lib_append_general(int flag) { append_general.store(flag != 0); }

void catmapping_lib_terminate() { clear_error(); }

void catmapping_lib_set_error(std::string_view text) {
  std::lock_guard<std::mutex> g(error_mutex);
  if (error_text)
    error_text->assign(text);
  else
    error_text.emplace(text);
}

std::optional<std::string> catmapping_lib_error() {
  std::lock_guard<std::mutex> g(error_mutex);
  return error_text;
}

int catmapping_lib_has_error() {
  std::lock_guard<std::mutex> g(error_mutex);
  return error_text ? 1 : 0;
}

std::optional<std::string> catmapping_lib_read_file(const char* path) {
  if (!path) {
    errno = EINVAL;
    return std::nullopt;
  }
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;  // a directory gives EISDIR here
      close(fd);
      errno = e;
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return data;
}

size_t catmapping_lib_parse_categories(std::string_view text, category_set& out) {
  // Numbers are appended in any order and put in order once at the end: one by one, a long
  // field in descending order would shift the whole set per number.
  const size_t before = out.count();
  size_t pos = 0;
  for (;;) {
    size_t comma = text.find(',', pos);
    std::string_view piece =
        text.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
    if (!piece.empty()) {
      if (!is_digit(static_cast<unsigned char>(piece[0]))) break;
      uint64_t v = 0;
      bool too_big = false;
      for (size_t i = 0; i < piece.size() && is_digit(static_cast<unsigned char>(piece[i])); ++i) {
        v = v * 10 + static_cast<uint64_t>(piece[i] - '0');
        if (v > UINT32_MAX) {
          too_big = true;
          break;
        }
      }
      if (too_big) break;
      out.append_unsorted(static_cast<uint32_t>(v));
    }
    if (comma == std::string_view::npos) break;
    pos = comma + 1;
  }
  out.normalize();
  return out.count() - before;
}

int catmapping_lib_create_versionmappings_buffer(catmappingobj* obj, std::string_view text) {
  uint64_t rules_read = 0;
  size_t pos = 0;
  for (;;) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) break;  // an unterminated last line is not a rule
    std::string_view line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (size_t cr = line.find('\r'); cr != std::string_view::npos) line = line.substr(0, cr);
    size_t start = 0;
    while (start < line.size() && is_space(static_cast<unsigned char>(line[start]))) ++start;
    line.remove_prefix(start);
    if (line.empty() || line[0] == '#') continue;

    // Every space separates, so "2  10 20" has four fields and is not a rule.
    std::string_view fields[3];
    size_t nfields = 0;
    size_t fpos = 0;
    for (;;) {
      size_t sp = line.find(' ', fpos);
      std::string_view f =
          line.substr(fpos, sp == std::string_view::npos ? std::string_view::npos : sp - fpos);
      if (nfields < 3) fields[nfields] = f;
      ++nfields;
      if (sp == std::string_view::npos || nfields > 3) break;
      fpos = sp + 1;
    }
    if (nfields != 2 && nfields != 3) continue;

    int version = parse_int_field(fields[0]);
    int from = parse_int_field(fields[1]);
    int to = nfields == 3 ? parse_int_field(fields[2]) : 0;
    obj->versions[version][from] = to;
    ++rules_read;
    // 0 stands for "none yet", so a version-0 rule lets the next rule take over the bound.
    if (version > obj->highest || obj->highest == 0) obj->highest = version;
    if (version < obj->lowest || obj->lowest == 0) obj->lowest = version;
  }
  obj->rule_count += rules_read;
  if (rules_read == 0) {
    catmapping_lib_set_error("No valid mapping rules in the category mapping file.\n");
    return -1;
  }
  return 0;
}

std::unique_ptr<catmappingobj> catmapping_lib_load(const char* path, std::string_view removing) {
  clear_error();
  try {
    auto obj = std::make_unique<catmappingobj>();
    catmapping_lib_parse_categories(removing, obj->removing);
    std::optional<std::string> text = catmapping_lib_read_file(path);
    if (!text) {
      const int e = errno;
      catmapping_lib_set_error("Could not open category mapping file.\n");
      errno = e;
      return nullptr;
    }
    if (catmapping_lib_create_versionmappings_buffer(obj.get(), *text) != 0) {
      errno = 0;
      return nullptr;
    }
    return obj;
  } catch (const std::bad_alloc&) {
    catmapping_lib_set_error("Category mappings allocation failed\n");
    errno = ENOMEM;
    return nullptr;
  }
}

void catmapping_lib_terminate_catmappingobj(std::unique_ptr<catmappingobj> obj) { obj.reset(); }

catmapping_rules catmapping_lib_duplicate(const catmapping_rules& rules) {
  catmapping_rules copy;
  for (const auto& [src, dst] : rules) catmapping_lib_duplicate_callback(src, dst, copy);
  return copy;
}

void catmapping_lib_srccats(const catmapping_rules& rules, category_set& srccats) {
  for (const auto& rule : rules) catmapping_lib_srccats_callback(rule.first, srccats);
}

std::unique_ptr<catmapping_cascade> catmapping_lib_make_cascade(catmapping_rules rules) {
  // Category numbers are small in practice (a few hundred); larger or negative keys stay in
  // the tree only, so the table never grows past 65536 slots.
  constexpr uint32_t small_limit = 65536;
  auto cascade = std::make_unique<catmapping_cascade>();
  cascade->rules = std::move(rules);
  catmapping_lib_srccats(cascade->rules, cascade->srccats);
  uint32_t size = 0;
  for (uint32_t c : cascade->srccats.items())
    if (c < small_limit) size = c + 1;
  cascade->small.resize(size);
  for (const auto& [src, dst] : cascade->rules) {
    uint32_t c = to_cat(src);
    if (c < size) cascade->small[c] = {dst, true};
  }
  return cascade;
}

std::optional<catmapping_rules> catmapping_lib_accumulate_mappings(const catmapping_rules* p,
                                                                   const catmapping_rules* n) {
  if (!p && !n) return std::nullopt;
  if (!n) return catmapping_lib_duplicate(*p);
  if (!p) return catmapping_lib_duplicate(*n);
  catmapping_rules result = catmapping_lib_duplicate(*n);
  std::vector<int> removal;
  for (const auto& [x, y] : *p) catmapping_lib_accumulate_callback(x, y, *n, result, removal);
  for (int c : removal) result.erase(c);
  return result;
}

namespace {

// Composes rule sets one after the other as catmapping_lib_accumulate_mappings does, without
// copying the accumulated rules at every step: copying made a file of N versions with one
// new rule each cost N squared (25 s for 20,000 versions).
//
// The accumulated rules are kept grouped by destination: every source category points to
// the group of the sources that share its destination, and the group holds that destination.
// A step with rules k -> z touches only the group of destination k, which takes destination
// z, merging the smaller of two groups into the larger when z has a group already. So a step
// costs the size of its own rules plus the members moved, and a member moves only into a
// group at least twice as large as the one it leaves: n log n over the whole cascade.
class cascade_builder {
 public:
  void step(const catmapping_rules& next) {
    if (!started_) {
      started_ = true;
      for (const auto& [k, z] : next) add_source(k, z);
      return;
    }
    // Everything is decided on the rules accumulated before this step. Groups whose
    // destination the step maps are taken out first, so that two rules of one step (1->2,
    // 2->3) never carry a source twice.
    struct move {
      uint32_t group;
      int to;
    };
    std::vector<move> moves;
    std::vector<std::pair<int, int>> added;
    std::vector<int> removed;
    for (const auto& [k, z] : next) {
      if (auto g = by_destination_.find(k); g != by_destination_.end()) {
        // A source z mapped to k, while the step maps k back to z: both leave the rules.
        if (auto src = group_of_.find(z); src != group_of_.end() && src->second == g->second) {
          removed.push_back(z);
          removed.push_back(k);
        }
        moves.push_back({g->second, z});
        by_destination_.erase(g);
      }
      if (group_of_.find(k) == group_of_.end()) added.emplace_back(k, z);
    }
    for (const move& m : moves) attach(m.group, m.to);
    for (const auto& [k, z] : added) add_source(k, z);
    for (int c : removed) group_of_.erase(c);
  }

  // The composed rules; nullopt when no step was made.
  std::optional<catmapping_rules> result() const {
    if (!started_) return std::nullopt;
    catmapping_rules rules;
    for (const auto& [src, g] : group_of_) rules.emplace(src, groups_[g].destination);
    return rules;
  }

 private:
  struct group {
    int destination = 0;
    std::vector<int> sources;  // may hold sources that left since (group_of_ tells)
  };

  void add_source(int k, int z) {
    auto g = by_destination_.find(z);
    uint32_t id;
    if (g != by_destination_.end()) {
      id = g->second;
    } else {
      id = static_cast<uint32_t>(groups_.size());
      groups_.push_back(group{z, {}});
      by_destination_.emplace(z, id);
    }
    groups_[id].sources.push_back(k);
    group_of_[k] = id;
  }

  // Gives group `id` the destination `to`, merging it with the group already there.
  void attach(uint32_t id, int to) {
    auto there = by_destination_.find(to);
    if (there == by_destination_.end()) {
      groups_[id].destination = to;
      by_destination_.emplace(to, id);
      return;
    }
    uint32_t big = there->second, small = id;
    if (groups_[small].sources.size() > groups_[big].sources.size()) std::swap(big, small);
    for (int src : groups_[small].sources) {
      auto it = group_of_.find(src);
      if (it == group_of_.end() || it->second != small) continue;  // left earlier
      it->second = big;
      groups_[big].sources.push_back(src);
    }
    groups_[small].sources.clear();
    groups_[small].sources.shrink_to_fit();
    groups_[big].destination = to;
    there->second = big;
  }

  bool started_ = false;
  std::vector<group> groups_;
  std::unordered_map<int, uint32_t> group_of_;        // source -> its group
  std::unordered_map<int, uint32_t> by_destination_;  // destination -> its group
};

}  // namespace

std::optional<catmapping_rules> catmapping_lib_cascade(const catmappingobj* obj, int64_t a,
                                                       int64_t b) {
  if (!obj || a == b || obj->versions.empty()) return std::nullopt;
  const int64_t lowest = obj->lowest, top = int64_t{obj->highest} + 1;
  if (a < lowest || b < lowest || a > top || b > top) return std::nullopt;

  // Versions without rules compose as nothing, so only the versions present on the way are
  // visited: a file with versions 1 and 2000000000 must not walk two billion empty steps.
  cascade_builder acc;
  auto step = [&](const catmapping_rules& next) { acc.step(next); };
  if (b < a) {
    // Versions a-1 down to b (all within int: b >= lowest and a-1 <= highest).
    auto first = obj->versions.lower_bound(static_cast<int>(b));
    auto last = obj->versions.upper_bound(static_cast<int>(a - 1));
    for (auto it = last; it != first;) {
      --it;
      step(it->second);
    }
  } else {
    // Versions a+1 up to b; a+1 <= b <= highest + 1.
    if (a + 1 > INT_MAX) return std::nullopt;
    auto first = obj->versions.lower_bound(static_cast<int>(a + 1));
    for (auto it = first; it != obj->versions.end() && it->first <= b; ++it) step(it->second);
  }
  return acc.result();
}

const catmapping_cascade* catmapping_lib_create_cascademappings_dynamic(catmappingobj* obj,
                                                                        int version) {
  if (version < obj->lowest || version > obj->highest) {
    catmapping_lib_set_error(
        "The destination cascade version exceeds ranges provided in catmapping file\n");
    return nullptr;
  }
  try {
    std::optional<catmapping_rules> rules =
        catmapping_lib_cascade(obj, int64_t{obj->highest} + 1, version);
    if (!rules) {
      catmapping_lib_set_error("Failed to allocate version for new cascade category mapping\n");
      return nullptr;
    }
    auto [it, inserted] =
        obj->cascades.emplace(version, catmapping_lib_make_cascade(std::move(*rules)));
    if (!inserted) {
      catmapping_lib_set_error("Failed to insert new cascade category mapping\n");
      return nullptr;
    }
    return it->second.get();
  } catch (const std::bad_alloc&) {
    catmapping_lib_set_error("Failed to allocate new cascade category mapping\n");
    return nullptr;
  }
}

namespace {

// Finds the cascade for `version`, creating it under the exclusive lock when it is missing.
const catmapping_cascade* find_or_create_cascade(catmappingobj* obj, int version) {
  {
    std::shared_lock<std::shared_mutex> r(obj->lock);
    auto it = obj->cascades.find(version);
    if (it != obj->cascades.end()) return it->second.get();
  }
  std::unique_lock<std::shared_mutex> w(obj->lock);
  auto it = obj->cascades.find(version);
  if (it != obj->cascades.end()) return it->second.get();
  return catmapping_lib_create_cascademappings_dynamic(obj, version);
}

}  // namespace

void catmapping_lib_mapcats_mappings(const catmapping_cascade& mapping, category_set& set,
                                     const category_set& removing) {
  // Hits are collected before the set changes. Most entries carry a handful of categories,
  // so they fit the stack buffers and a mapping allocates nothing.
  constexpr size_t small_count = 32;
  uint32_t small_hits[small_count];
  int small_dsts[small_count];
  std::vector<uint32_t> large_hits;
  std::vector<int> large_dsts;
  uint32_t* hits = small_hits;
  int* dsts = small_dsts;
  if (set.count() > small_count) {
    large_hits.resize(set.count());
    large_dsts.resize(set.count());
    hits = large_hits.data();
    dsts = large_dsts.data();
  }
  size_t nhits = 0;
  for (uint32_t c : set.items()) {
    if (mapping.find(c, &dsts[nhits])) hits[nhits++] = c;
  }

  // Every hit goes first, then the destinations come in: a destination that equals another
  // hit is kept rather than mapped a second time.
  for (size_t i = 0; i < nhits; ++i) set.remove(hits[i]);
  for (size_t i = 0; i < nhits; ++i) {
    uint32_t dst = to_cat(dsts[i]);
    if (!removing.contains(dst)) set.add(dst);
  }
  cleanup(set);
}

void catmapping_lib_mapcats(catmappingobj* obj, int version, category_set* set) {
  if (!obj || !set) return;
  const catmapping_cascade* cascade;
  try {
    cascade = find_or_create_cascade(obj, version);
  } catch (const std::system_error&) {
    return;  // the lock could not be taken
  }
  if (!cascade) return;
  catmapping_lib_mapcats_mappings(*cascade, *set, obj->removing);
}

int catmapping_lib_dump_mapping(catmappingobj* obj, FILE* stream, int version) {
  if (!obj || !stream) return -1;
  const catmapping_cascade* cascade = find_or_create_cascade(obj, version);
  if (!cascade) {
    fprintf(stream, "No mapping rules for the category version %d\n", version);
    return 1;
  }
  write_rules(stream, version, cascade->rules);
  return 0;
}

int catmapping_lib_dump_mappings(catmappingobj* obj, FILE* stream) {
  if (!obj || !stream) return 1;
  fputs("Category Mappings for Versions\n", stream);
  fputs("#VERSION FROMCAT TOCAT\n", stream);
  for (const auto& [version, rules] : obj->versions) write_rules(stream, version, rules);
  fputs("Cascade Mappings for Versions\n", stream);
  fputs("#VERSION FROMCAT TOCAT\n", stream);
  std::shared_lock<std::shared_mutex> r(obj->lock);
  for (const auto& [version, cascade] : obj->cascades) write_rules(stream, version, cascade->rules);
  return 0;
}

std::unique_ptr<custommappingobj> catmapping_lib_custom_build_buffer(const catmappingobj* obj,
                                                                     int64_t a, int b,
                                                                     std::string_view rules,
                                                                     std::string_view removing) {
  try {
    std::optional<catmapping_rules> cascade;
    if (obj && b < a) {
      cascade = catmapping_lib_cascade(obj, a, b);
      if (!cascade) {
        // The caller would otherwise report a failure without any reason.
        catmapping_lib_set_error(
            "The destination cascade version exceeds ranges provided in catmapping file\n");
        return nullptr;
      }
    }
    std::optional<catmapping_rules> composed;
    catmappingobj custom;
    if (catmapping_lib_create_versionmappings_buffer(&custom, rules) == 0) {
      const catmapping_rules& own = custom.versions.at(custom.lowest);
      composed = catmapping_lib_accumulate_mappings(cascade ? &*cascade : nullptr, &own);
    } else {
      composed = std::move(cascade);
    }
    if (!composed || composed->empty()) {
      if (!catmapping_lib_has_error())
        catmapping_lib_set_error("No valid mapping rules in the category mapping file.\n");
      return nullptr;
    }
    auto out = std::make_unique<custommappingobj>();
    out->mapping = std::move(*catmapping_lib_make_cascade(std::move(*composed)));
    catmapping_lib_parse_categories(removing, out->removing);
    out->srcversion = a;
    out->dstversion = b;
    return out;
  } catch (const std::bad_alloc&) {
    catmapping_lib_set_error("Failed to allocate new custom category mapping object\n");
    return nullptr;
  }
}

std::unique_ptr<custommappingobj> catmapping_lib_custom_create_buffer(catmappingobj* obj,
                                                                      int version,
                                                                      std::string_view rules,
                                                                      std::string_view removing) {
  clear_error();
  int64_t a = obj ? int64_t{obj->highest} + 1 : 0;
  return catmapping_lib_custom_build_buffer(obj, a, version, rules, removing);
}

std::unique_ptr<custommappingobj> catmapping_lib_custom_create(catmappingobj* obj, int version,
                                                               const char* path,
                                                               std::string_view removing) {
  clear_error();
  std::optional<std::string> text;
  try {
    text = catmapping_lib_read_file(path);
  } catch (const std::bad_alloc&) {
    catmapping_lib_set_error("Failed to allocate new custom category mapping object\n");
    return nullptr;
  }
  if (!text) {
    catmapping_lib_set_error("Could not open category mapping file.\n");
    return nullptr;
  }
  int64_t a = obj ? int64_t{obj->highest} + 1 : 0;
  return catmapping_lib_custom_build_buffer(obj, a, version, *text, removing);
}

std::unique_ptr<custommappingobj> catmapping_lib_custom_load(int64_t srcversion, int dstversion,
                                                             const char* mapping_path,
                                                             const char* custom_path,
                                                             std::string_view removing) {
  std::unique_ptr<catmappingobj> obj = catmapping_lib_load(mapping_path, removing);
  if (obj) {
    if (srcversion > int64_t{obj->highest} + 1) {
      catmapping_lib_set_error(
          "Source cat version given is greater than max cat version provided in catmapping "
          "file");
      return nullptr;
    }
    if (dstversion < obj->lowest) {
      catmapping_lib_set_error(
          "Destination cat version given is less than max cat version provided in catmapping "
          "file");
      return nullptr;
    }
  }
  std::optional<std::string> text;
  try {
    text = catmapping_lib_read_file(custom_path);
  } catch (const std::bad_alloc&) {
    catmapping_lib_set_error("Failed to allocate new custom category mapping object\n");
    return nullptr;
  }
  if (!text) {
    catmapping_lib_set_error("Could not open category mapping file.\n");
    return nullptr;
  }
  return catmapping_lib_custom_build_buffer(obj.get(), srcversion, dstversion, *text, removing);
}

void catmapping_lib_custom_mapcats(const custommappingobj* obj, category_set* set) {
  if (!obj || !set) return;
  catmapping_lib_mapcats_mappings(obj->mapping, *set, obj->removing);
}

int catmapping_lib_custom_dump_mapping(const custommappingobj* obj, FILE* stream) {
  if (!obj || !stream) return -1;
  write_rules(stream, obj->dstversion, obj->mapping.rules);
  return 0;
}

void catmapping_lib_terminate_custommappingobj(std::unique_ptr<custommappingobj> obj) {
  obj.reset();
}

void catmapping_lib_free_cascademapping(catmapping_cascade* cascade) {
  std::unique_ptr<catmapping_cascade> owned(cascade);
}
