#include "listreduce.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>

#include "records/action.h"
#include "urllist/cityhash.h"
#include "urllist/lookup.h"
#include "util/file.h"
#include "util/output_file.h"
#include "util/string.h"

// ---- Category table -------------------------------------------------------------------------

uint64_t listreduce_category_table::hash_of(std::span<const uint32_t> set) const {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ set.size();
  for (uint32_t n : set) {
    h = (h ^ n) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  // The slot is taken from the low bits, which the products above fill from the low bits of
  // small numbers only: mix the high bits down.
  h ^= h >> 29;
  h *= 0x94D049BB133111EBull;
  return h ^ (h >> 32);
}

std::span<const uint32_t> listreduce_category_table::set_at(uint32_t id) const {
  const uint32_t* p = pool_.data() + offsets_[id];
  return {p + 1, p[0]};
}

// A slot holds the set number + 1 in its low half and the top half of the set's hash in its
// high half, so that probing compares hashes before it reads a set from the pool.
uint32_t listreduce_category_table::find(std::span<const uint32_t> set) const {
  if (slots_.empty()) return none;
  const uint64_t h = hash_of(set);
  const uint64_t tag = h >> 32;
  const size_t mask = slots_.size() - 1;
  for (size_t i = h & mask; slots_[i] != 0; i = (i + 1) & mask) {
    if (slots_[i] >> 32 != tag) continue;
    const uint32_t id = static_cast<uint32_t>(slots_[i]) - 1;
    std::span<const uint32_t> s = set_at(id);
    if (s.size() == set.size() && std::equal(s.begin(), s.end(), set.begin())) return id;
  }
  return none;
}

void listreduce_category_table::grow() {
  std::vector<uint64_t> bigger(slots_.empty() ? 1024 : slots_.size() * 2, 0);
  const size_t mask = bigger.size() - 1;
  for (uint32_t id = 0; id < offsets_.size(); ++id) {
    const uint64_t h = hash_of(set_at(id));
    size_t i = h & mask;
    while (bigger[i] != 0) i = (i + 1) & mask;
    bigger[i] = (h >> 32 << 32) | (id + 1);
  }
  slots_.swap(bigger);
}

uint32_t listreduce_category_table::intern(std::span<const uint32_t> set) {
  uint32_t id = find(set);
  if (id != none) return id;
  if ((offsets_.size() + 1) * 2 > slots_.size()) grow();
  id = static_cast<uint32_t>(offsets_.size());
  offsets_.push_back(static_cast<uint32_t>(pool_.size()));
  info_.emplace_back();
  pool_.push_back(static_cast<uint32_t>(set.size()));
  pool_.insert(pool_.end(), set.begin(), set.end());
  const uint64_t h = hash_of(set);
  const size_t mask = slots_.size() - 1;
  size_t i = h & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = (h >> 32 << 32) | (id + 1);
  return id;
}

void listreduce_category_table::note_record(uint32_t id, int64_t line_number) {
  set_info& s = info_[id];
  if (s.records == 0) s.creator = line_number;
  if (s.records < 2) s.records++;
}

// ---- Filter ---------------------------------------------------------------------------------

void listreduce_filter::reset(size_t expected, unsigned counters_per_hash) {
  size_t want = expected * counters_per_hash;
  size_t n = 1024;
  while (n < want) n <<= 1;
  bits_.assign(n / 32, 0);
  mask_ = n - 1;
}

void listreduce_filter::add(uint64_t h) {
  if (bits_.empty()) return;
  const size_t probes[2] = {h & mask_, (h >> 32 | h << 32) * 0x9E3779B97F4A7C15ull >> 20 & mask_};
  for (size_t i : probes) {
    if (get(i) < 3) bits_[i >> 5] += uint64_t{1} << ((i & 31) * 2);
  }
}

unsigned listreduce_filter::count(uint64_t h) const {
  if (bits_.empty()) return 3;  // no filter: anything may be there
  const size_t a = h & mask_;
  const size_t b = (h >> 32 | h << 32) * 0x9E3779B97F4A7C15ull >> 20 & mask_;
  unsigned ca = get(a), cb = get(b);
  return ca < cb ? ca : cb;
}

// ---- State ----------------------------------------------------------------------------------

std::unique_ptr<listreduce> listreduce_initialize() {
  try {
    auto r = std::make_unique<listreduce>();
    r->list = urllist_initialize(0);
    r->scheme_list = urllist_initialize(0);
    if (!r->list || !r->scheme_list) return nullptr;
    return r;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void listreduce_prepare(listreduce* r, size_t lines) {
  r->anyport_below.reset(lines, 16);
  if (!r->shortcuts) return;
  r->key_filter.reset(lines, 8);
  r->occurrence_filter.reset(lines, 8);
  r->own_hashes.reserve(lines + 1);
}

// ---- Trimming -------------------------------------------------------------------------------

namespace {

// Where the scheme of `url` ends: the first "://" when no "/" or "?" comes before it (explode
// reads a later "://" as part of the path or query). Null when the URL has no scheme.
const char* scheme_end(const char* url) {
  const char* sep = strstr(url, "://");
  if (sep == nullptr) return nullptr;
  for (const char* p = url; p < sep; ++p) {
    if (*p == '/' || *p == '?') return nullptr;
  }
  return sep;
}

bool equal_nocase(std::string_view a, const char* b) {
  size_t n = strlen(b);
  return a.size() == n && strncasecmp(a.data(), b, n) == 0;
}

bool is_regexp(const char* url) {
  char c = url[0];
  if (c != '|' && c != '/' && c != '\'') return false;
  size_t n = strlen(url);
  return url[n - 1] == c;
}

}  // namespace

bool listreduce_trims(const char* type) { return type == nullptr || type[0] == 'U'; }

uint64_t listreduce_scheme_type(std::string_view scheme) {
  if (equal_nocase(scheme, "https")) return LISTREDUCE_SCHEME_HTTPS;
  if (equal_nocase(scheme, "http")) return LISTREDUCE_SCHEME_HTTP;
  if (equal_nocase(scheme, "ftp")) return LISTREDUCE_SCHEME_FTP;
  std::string lower(scheme);
  string_lcase(lower.data());
  return cityhash64(lower) | (uint64_t{1} << 63);
}

char* trim_url(char* url, const char* type, int* changed) {
  if (!listreduce_trims(type)) return url;
  size_t n = strlen(url);
  if (n > 0 && (url[n - 1] == '/' || url[n - 1] == '?')) {
    url[--n] = '\0';
    *changed = 1;
  }
  // The authority's port, for http or an entry without scheme only: another scheme's port 80
  // is no default and stays.
  const char* sep = scheme_end(url);
  if (sep != nullptr && !equal_nocase(std::string_view(url, sep - url), "http")) return url;
  size_t a = sep != nullptr ? static_cast<size_t>(sep - url) + 3 : 0;
  size_t e = a;
  while (e < n && url[e] != '/' && url[e] != '?' && url[e] != '#') ++e;
  size_t host = a;
  for (size_t i = a; i < e; ++i) {
    if (url[i] == '@') host = i + 1;  // user information ends here
  }
  size_t colon = SIZE_MAX;
  bool bracket = false;
  for (size_t i = host; i < e; ++i) {
    if (url[i] == '[') bracket = true;
    if (url[i] == ']') bracket = false;
    if (url[i] == ':' && !bracket) colon = i;
  }
  if (colon != SIZE_MAX && e - colon == 3 && url[colon + 1] == '8' && url[colon + 2] == '0') {
    memmove(url + colon, url + e, n - e + 1);
    *changed = 1;
  }
  return url;
}

char* trim_scheme(char* url, const char* type, int* changed, uint64_t* scheme_type) {
  if (!listreduce_trims(type)) return url;
  const char* sep = scheme_end(url);
  if (sep == nullptr) return url;
  *scheme_type = listreduce_scheme_type(std::string_view(url, sep - url));
  *changed = 1;
  return url + (sep - url) + 3;
}

// ---- Covering texts -------------------------------------------------------------------------

int listreduce_remove_parameter(std::string_view url, int k, std::string* out) {
  while (!url.empty() && (url.back() == '*' || url.back() == '&' || url.back() == '?')) {
    url.remove_suffix(1);
  }
  size_t q = url.find_first_of("?#");
  if (q == std::string_view::npos) return -1;
  size_t start = q + 1;
  for (int i = 1;; ++i) {
    size_t end = url.find('&', start);
    bool last = end == std::string_view::npos;
    if (last) end = url.size();
    if (i == k) {
      if (start == end) return 0;
      out->assign(url.substr(0, last ? start - 1 : start));
      if (!last) out->append(url.substr(end + 1));
      return 1;
    }
    if (last) return -1;
    start = end + 1;
  }
}

bool listreduce_parent_path(std::string_view url, std::string* out) {
  size_t i = url.size();
  while (i > 0 && strchr("/*?#", url[i - 1]) != nullptr && url[i - 1] != '\0') --i;
  while (i > 0) {
    --i;
    if (url[i] != '/') continue;
    bool doubled = (i > 0 && url[i - 1] == '/') || (i + 1 < url.size() && url[i + 1] == '/');
    if (doubled) continue;
    if (i == 0) return false;
    out->assign(url.substr(0, i));
    return true;
  }
  return false;
}

uint64_t listreduce_place_hash(std::string_view key_text) {
  size_t end = key_text.find_first_of("/?#");
  if (end == std::string_view::npos) end = key_text.size();
  char buf[256];
  if (key_text.size() < sizeof(buf)) {
    memcpy(buf, key_text.data(), key_text.size());
    for (size_t i = 0; i < end; ++i)
      buf[i] = static_cast<char>(tolower(static_cast<unsigned char>(buf[i])));
    return cityhash64(buf, key_text.size());
  }
  std::string s(key_text);
  for (size_t i = 0; i < end; ++i)
    s[i] = static_cast<char>(tolower(static_cast<unsigned char>(s[i])));
  return cityhash64(s);
}

bool listreduce_place_parent(std::string_view t, std::string_view* parent) {
  size_t q = t.find_first_of("?#");
  if (q != std::string_view::npos) {
    *parent = t.substr(0, q);
    return true;
  }
  size_t host_end = t.find('/');
  if (host_end != std::string_view::npos) {
    size_t last = t.find_last_not_of('/');
    if (last == std::string_view::npos || last < host_end) {
      *parent = t.substr(0, host_end);
    } else {
      size_t slash = t.rfind('/', last);
      *parent = t.substr(0, slash);
    }
    return !parent->empty();
  }
  size_t colon = t.rfind(':');
  if (colon != std::string_view::npos && t.find(']', colon) == std::string_view::npos) {
    *parent = t.substr(0, colon);
    return !parent->empty();
  }
  size_t dot = t.find('.');
  if (dot == std::string_view::npos || dot + 1 >= t.size()) return false;
  *parent = t.substr(dot + 1);
  return true;
}

// ---- Lookups --------------------------------------------------------------------------------

namespace {

// The record of the entry the engine's lookup reaches for `url`, whatever its categories.
listreduce_entry* find_record(listreduce* r, urllist_exploded_url* url) {
  r->stats.lookups++;
  urllist_action* action = nullptr;
  if (urllist_lookup_data(r->list.get(), url, &action) != 0) return nullptr;
  return static_cast<listreduce_entry*>(urllist_action_get_raw_data(action));
}

listreduce_entry* find_record(listreduce* r, std::string_view text) {
  urllist_exploded_url_ptr url = urllist_explode_charset(text, nullptr, 0, 0, nullptr);
  if (!url) return nullptr;
  return find_record(r, url.get());
}

// The set number of a categories text: none when no record has those categories (then no
// lookup can find equal ones). `valid` (when given) tells whether the text holds a number
// at all, as the category action needs.
uint32_t category_id(listreduce* r, const char* text, bool* valid = nullptr) {
  bool ok = urllist_action_parse_category_list(text, &r->scratch);
  if (valid != nullptr) *valid = ok;
  return r->categories.find(r->scratch.items());
}

bool same_categories(const listreduce_entry* e, uint32_t id) {
  return e->categories != listreduce_entry::not_category && e->categories == id;
}

// The occurrence search of check_duplicate_url on a record already found. 0 with *out set,
// or -1.
int duplicate_in(const listreduce_entry* e, urllist_hash_value full_hash,
                 urllist_hash_value key_hash, int64_t line_number, int* out) {
  if (e == nullptr) return -1;
  const listreduce_occurrence* found = nullptr;
  if (e->with_scheme) {
    for (const listreduce_occurrence* o = &e->first; o != nullptr; o = o->next) {
      if (o->full_hash == full_hash) {
        found = o;
        break;
      }
    }
  } else if (e->first.full_hash == key_hash) {
    found = &e->first;
  }
  if (found == nullptr) return -1;
  *out = found->line_number != line_number ? 1 : 0;
  return 0;
}

void note_own(listreduce* r, int64_t line_number, uint8_t bits) {
  if (!r->shortcuts || r->own_hashes.capacity() == 0) return;
  size_t i = static_cast<size_t>(line_number);
  if (r->own_hashes.size() <= i) r->own_hashes.resize(i + 1, 0);
  r->own_hashes[i] |= bits;
}

// A line without scheme at `key_text` answers, once a line with a scheme above it is gone,
// for its place: note its categories at every such place above it.
void note_below(listreduce* r, std::string_view key_text, uint32_t id) {
  if (r->below.empty()) return;
  std::string_view t = key_text, parent;
  while (listreduce_place_parent(t, &parent)) {
    const uint64_t h = listreduce_place_hash(parent);
    t = parent;
    if (r->below_filter.count(h) == 0) continue;
    auto it = r->below.find(h);
    if (it != r->below.end()) {
      if (it->second == listreduce::below_none) {
        it->second = id;
      } else if (it->second != id) {
        it->second = listreduce::below_mixed;
      }
    }
  }
}

// The lowercase host of `key_text` (a URL without scheme) and whether an explicit port
// follows it.
bool host_of(std::string_view key_text, std::string* host) {
  size_t end = key_text.find_first_of("/?#");
  std::string_view a = key_text.substr(0, end);
  size_t at = a.rfind('@');
  if (at != std::string_view::npos) a.remove_prefix(at + 1);
  size_t colon = a.rfind(':');
  bool port = colon != std::string_view::npos && a.find(']', colon) == std::string_view::npos;
  if (port) a = a.substr(0, colon);
  host->assign(a);
  string_lcase(host->data());
  return port;
}

void note_port_host(listreduce* r, std::string_view key_text, const char* type) {
  if (!listreduce_trims(type)) return;
  static thread_local std::string host;  // one per line: keep its room
  if (host_of(key_text, &host)) {
    r->port_hosts.insert(cityhash64(host));
    return;
  }
  std::string_view h = host;
  if (key_text.find_first_of("/?#") != std::string_view::npos) r->anyport_below.add(cityhash64(h));
  for (size_t dot = h.find('.'); dot != std::string_view::npos; dot = h.find('.')) {
    h.remove_prefix(dot + 1);
    r->anyport_below.add(cityhash64(h));
  }
}

// True when the host of `key_text` or one of its parent domains has entries with an explicit
// port while `key_text` has none.
bool near_port_entries(const listreduce* r, std::string_view key_text) {
  if (r->port_hosts.empty()) return false;
  static thread_local std::string host;
  if (host_of(key_text, &host)) return false;
  std::string_view h = host;
  for (;;) {
    if (r->port_hosts.count(cityhash64(h)) != 0) return true;
    size_t dot = h.find('.');
    if (dot == std::string_view::npos) return false;
    h.remove_prefix(dot + 1);
  }
}

// Stores a line written with a scheme in the scheme list, as the filter stores it: under its
// trimmed text with the scheme, carrying its set number (or not_category).
//
// The list only answers for the places above other lines with a scheme, so a plain host or
// path that is no such place (the sort noted them all in scheme_ancestors) is left out. Entries
// that match more than their own text (wildcards, IP literals and ranges, type words with
// flags) always go in.
void add_scheme_line(listreduce* r, const char* text, const char* type, const char* key_text,
                     uint32_t id) {
  std::string_view k(key_text);
  const bool plain = type != nullptr && strcmp(type, "U") == 0 && !k.empty() &&
                     k.find_first_of("*-[") == std::string_view::npos &&
                     !isdigit(static_cast<unsigned char>(k[0]));
  if (plain && r->scheme_ancestors.count(listreduce_place_hash(k)) == 0) return;
  void* data = reinterpret_cast<void*>(static_cast<uintptr_t>(id) + 1);
  urllist_add_internal(r->scheme_list.get(), text, type, URLLIST_ACTION_NO_ACTION, data, -1);
}

// The record a new line's record replaces at its place: `raw` (what the lookup of its URL
// found) when it stands there. Null when none.
listreduce_entry* replaced_at(listreduce_entry* raw, urllist_hash_value key) {
  return raw != nullptr && raw->key_hash == key ? raw : nullptr;
}

// True when `e` answers for URLs of `scheme_type` in the filter: it has no scheme, or a line
// of that scheme carried it.
bool applies(const listreduce_entry* e, uint64_t scheme_type) {
  if (!e->with_scheme) return true;
  if (scheme_type == LISTREDUCE_SCHEME_NONE) return false;
  for (const listreduce_occurrence* o = &e->first; o != nullptr; o = o->next) {
    if (o->scheme_type == scheme_type) return true;
  }
  return false;
}

// The record that answers for `scheme_type` at the place where the lookup found `e`: the
// newest one there that applies to it.
listreduce_entry* answering(listreduce_entry* e, uint64_t scheme_type) {
  for (; e != nullptr; e = e->replaced) {
    if (applies(e, scheme_type)) return e;
  }
  return nullptr;
}

}  // namespace

listreduce_entry* cvlistreduce_lookup(listreduce* r, const char* url, const char* categories,
                                      bool compare) {
  if (r == nullptr || url == nullptr) return nullptr;
  listreduce_entry* e = find_record(r, url);
  if (e == nullptr || e->categories == listreduce_entry::not_category) return nullptr;
  if (compare && !same_categories(e, category_id(r, categories))) return nullptr;
  return e;
}

int cvlistreduce_url_match(const listreduce_entry* entry, uint64_t scheme_type) {
  if (entry == nullptr || entry->categories == listreduce_entry::not_category) return 0;
  if (!entry->with_scheme) return 1;
  // A line without scheme stands for every scheme: no entry written with a scheme covers it.
  if (scheme_type == LISTREDUCE_SCHEME_NONE) return 0;
  for (const listreduce_occurrence* o = &entry->first; o != nullptr; o = o->next) {
    if (o->scheme_type == scheme_type) return 1;
  }
  return 0;
}

int check_duplicate_url(listreduce* r, const char* url, const char* /*categories*/,
                        urllist_hash_value full_hash, urllist_hash_value key_hash, bool /*compare*/,
                        int64_t line_number, int* out) {
  if (r == nullptr || url == nullptr) return -1;
  return duplicate_in(find_record(r, url), full_hash, key_hash, line_number, out);
}

// ---- First pass -----------------------------------------------------------------------------

namespace {

// Splits `line` in place at its first three spaces, as string_explode_limit(line, ' ', 4)
// does, without allocating.
int split_fields(char* line, char* fields[4]) {
  int n = 0;
  char* start = line;
  while (n < 3) {
    char* sep = strchr(start, ' ');
    if (sep == nullptr) break;
    fields[n++] = start;
    *sep = '\0';
    start = sep + 1;
  }
  fields[n++] = start;
  return n;
}

// A line's URL as both passes key it, trimmed in the work buffer: `text` with its scheme
// (hashed as `full`) and `key_text` without it (hashed as `key`). Valid until the work buffer
// is used again.
struct keyed_url {
  char* text;
  const char* key_text;
  urllist_hash_value full;
  urllist_hash_value key;
  int scheme_changed;
  uint64_t scheme_type;
};

keyed_url key_url(listreduce* r, const char* url, const char* type) {
  r->work.assign(url);
  keyed_url k{};
  k.text = r->work.data();
  k.scheme_type = LISTREDUCE_SCHEME_NONE;
  int changed = 0;
  trim_url(k.text, type, &changed);
  k.full = cityhash64(k.text, strlen(k.text));
  k.key_text = trim_scheme(k.text, type, &k.scheme_changed, &k.scheme_type);
  k.key = cityhash64(k.key_text, strlen(k.key_text));
  return k;
}

// Adds a line whose action is no category action. The filter loads it too, and a later line
// for the same entry replaces the earlier one there; so it stands in the reduce list as an
// entry that covers nothing but hides what it replaces. Lines the filter would refuse (an
// unknown action word or a bad argument) are left out, as the filter leaves them out.
int add_other(listreduce* r, const char* url, const char* type, const char* action,
              const char* argument, int64_t line_number) {
  void* data = nullptr;
  int32_t kind = urllist_action_parse_action(action, argument, &data);
  if (kind >= URLLIST_ACTION_UNKNOWN) return 0;
  urllist_action_new(kind, data, -1);  // only the verdict on the argument was wanted
  const auto [t, key_text, full, key, scheme_changed, scheme_type] = key_url(r, url, type);
  listreduce_entry* replaced = nullptr;
  // Lines without "://" are noted when the second pass keeps them (see surviving_below).
  if (!scheme_changed && listreduce_trims(type) && strstr(url, "://") != nullptr) {
    note_below(r, key_text, listreduce_entry::not_category);
  }
  if (scheme_changed) add_scheme_line(r, t, type, key_text, listreduce_entry::not_category);
  note_port_host(r, key_text, type);
  if (!r->shortcuts || r->key_filter.count(key) > 0)
    replaced = replaced_at(find_record(r, url), key);
  listreduce_entry& e = r->entries.emplace_back();
  e.with_scheme = static_cast<uint32_t>(scheme_changed);
  e.replaced = replaced;
  e.key_hash = key;
  e.first = {scheme_type, full, line_number, nullptr};
  if (urllist_add_internal(r->list.get(), key_text, type, URLLIST_ACTION_NO_ACTION, &e, -1) != 0) {
    r->entries.pop_back();
    return 0;
  }
  r->key_filter.add(key);
  r->occurrence_filter.add(full);
  note_own(r, line_number, 1);
  return 0;
}

}  // namespace

int cvlistreduce_add_url(listreduce* r, const char* url, const char* type, const char* categories,
                         int64_t line_number, bool compare) {
  if (r == nullptr || url == nullptr) return URLLIST_ADD_MISSING;
  try {
    bool valid = false;
    uint32_t id = category_id(r, categories, &valid);
    // The filter refuses a category action without any number; stored here it would hide
    // the entry it replaces while the filter keeps that one.
    if (!valid) return URLLIST_ADD_BAD_ACTION;
    const auto [t, key_text, full, key, scheme_changed, scheme_type] = key_url(r, url, type);

    // The entry that already covers this URL with the same categories. Only one with this
    // key hash matters; when no record has the key or the categories, there is none.
    // The record at the line's place, whatever its categories: the new record replaces it.
    // None can stand there when no record has this key.
    listreduce_entry* raw = nullptr;
    if (r->shortcuts && r->key_filter.count(key) == 0) {
      r->stats.skipped++;
    } else {
      raw = find_record(r, url);
    }
    listreduce_entry* found = raw;
    if (found != nullptr && (found->categories == listreduce_entry::not_category ||
                             (compare && found->categories != id))) {
      found = nullptr;
    }
    note_port_host(r, key_text, type);
    if (scheme_changed) {
      add_scheme_line(r, t, type, key_text, r->categories.intern(r->scratch.items()));
    } else if (listreduce_trims(type) && !r->below.empty() && strstr(url, "://") != nullptr) {
      note_below(r, key_text, r->categories.intern(r->scratch.items()));
    }
    if (found != nullptr && found->key_hash == key) {
      if (!found->with_scheme) return 0;  // it covers every scheme already
      if (!scheme_changed) {
        // This line covers every scheme: the entry becomes one without scheme.
        found->with_scheme = 0;
        found->first.full_hash = key;
        found->first.line_number = line_number;
        r->occurrence_filter.add(key);
        note_own(r, line_number, 2);
        r->categories.note_shared(found->categories);
        return 0;
      }
      listreduce_occurrence* last = &found->first;
      for (listreduce_occurrence* o = &found->first; o != nullptr; o = o->next) {
        if (o->full_hash == full) return 0;
        last = o;
      }
      listreduce_occurrence& o = r->extra_occurrences.emplace_back();
      o = {scheme_type, full, line_number, nullptr};
      last->next = &o;
      r->occurrence_filter.add(full);
      note_own(r, line_number, 1);
      r->categories.note_shared(found->categories);
      return 0;
    }

    id = r->categories.intern(r->scratch.items());
    listreduce_entry& e = r->entries.emplace_back();
    e.categories = id;
    e.with_scheme = static_cast<uint32_t>(scheme_changed);
    e.replaced = replaced_at(raw, key);
    e.key_hash = key;
    e.first = {scheme_type, full, line_number, nullptr};
    int rc = urllist_add_internal(r->list.get(), key_text, type, URLLIST_ACTION_NO_ACTION, &e, -1);
    if (rc != 0) {
      r->entries.pop_back();
      return rc;
    }
    r->key_filter.add(key);
    r->occurrence_filter.add(full);
    note_own(r, line_number, 1);
    r->categories.note_record(id, line_number);
    return 0;
  } catch (const std::bad_alloc&) {
    return URLLIST_ADD_NO_MEMORY;
  }
}

int cvlistreduce_add_line(listreduce* r, char* line, int64_t line_number, bool compare) {
  char* f[4];
  int n = split_fields(line, f);
  int rc = 0;
  const char* categories = nullptr;
  if (n == 2) {
    categories = f[1];
    rc = cvlistreduce_add_url(r, f[0], "U", categories, line_number, compare);
  } else if (n == 3 && isdigit(static_cast<unsigned char>(f[1][0]))) {
    categories = f[2];
    rc = cvlistreduce_add_url(r, f[0], "U", categories, line_number, compare);
  } else if (n == 4 && f[2][0] == 'C') {
    rc = cvlistreduce_add_url(r, f[0], f[1], f[3], line_number, compare);
  } else if (n >= 3) {
    try {
      return add_other(r, f[0], f[1], f[2], n == 4 ? f[3] : nullptr, line_number);
    } catch (const std::bad_alloc&) {
      rc = URLLIST_ADD_NO_MEMORY;
    }
  } else {
    return -3;
  }
  if (rc == 0) return 0;
  if (n == 4) {
    fprintf(stderr, "urllist_add_file: failed to add item '%s' type: '%s' action: '%s %s'\n", f[0],
            f[1], f[2], f[3]);
  } else {
    fprintf(stderr, "urllist_add_file: failed to add url '%s' with categories '%s'\n", f[0],
            categories != nullptr ? categories : "");
  }
  if (rc == URLLIST_ADD_NO_MEMORY) {
    perror("Out of memory");
    return LISTREDUCE_FATAL;
  }
  if (rc == URLLIST_ADD_MISSING) {
    perror("NULL argument");
    return LISTREDUCE_FATAL;
  }
  return 0;
}

int cvlistreduce_add_file(listreduce* r, const char* path, bool progress, long long increment,
                          bool compare) {
  if (r == nullptr || !r->list || path == nullptr) return -1;
  std::unique_ptr<file_buffer> fb = file_buffer_open(path);
  if (!fb) return -4;
  int64_t line_number = 0;
  while (file_buffer_read_string(fb.get()) == 0) {
    char* line = fb->line;
    if (line[0] == '\0' || line[0] == '#') continue;
    ++line_number;
    if (progress && line_number % increment == 0) {
      printf("...1st processing line number..%jd ", static_cast<intmax_t>(line_number));
    }
    int rc = cvlistreduce_add_line(r, line, line_number, compare);
    if (rc == LISTREDUCE_FATAL) return rc;
  }
  // A read error would look like the end of the copy and leave lines unloaded.
  return file_buffer_failed(fb.get()) ? -4 : 0;
}

// ---- Sorted copy ----------------------------------------------------------------------------

namespace {

struct c_free {
  void operator()(char* p) const { free(p); }  // getline's buffer comes from malloc
};

}  // namespace

namespace {

// The place of a category line written with a scheme, for listreduce::below.
void note_scheme_place(listreduce* r, const char* line, size_t len) {
  // Read as the second pass reads it (leading white space skipped), so that every line it
  // judges as a category line with a scheme is noted.
  size_t start = 0;
  while (start < len && isspace(static_cast<unsigned char>(line[start]))) ++start;
  std::string work(line + start, len - start);
  work.resize(strlen(work.c_str()));
  if (!work.empty() && work.back() == '\n') work.pop_back();
  char* f[4];
  int n = split_fields(work.data(), f);
  const char* type = "U";
  if (n >= 3 && !isdigit(static_cast<unsigned char>(f[1][0]))) {
    if (f[2][0] != 'C') return;
    type = f[1];
  } else if (n < 2) {
    return;
  }
  int changed = 0, scheme_changed = 0;
  uint64_t scheme_type = 0;
  trim_url(f[0], type, &changed);
  const char* key_text = trim_scheme(f[0], type, &scheme_changed, &scheme_type);
  if (scheme_changed) {
    const uint64_t h = listreduce_place_hash(key_text);
    r->below.emplace(h, listreduce::below_none);
    r->below_filter.add(h);
    std::string_view t = key_text, parent;
    while (listreduce_place_parent(t, &parent)) {
      r->scheme_ancestors.add(listreduce_place_hash(parent));
      t = parent;
    }
  }
}

}  // namespace

int cvlistreduce_sort(const char* input, const char* copy, size_t* lines, listreduce* r) {
  if (r != nullptr) {
    // Sized for the input's bytes: at least one line per 40 bytes of a list would be rare.
    struct stat st;
    const size_t guess = stat(input, &st) == 0 ? static_cast<size_t>(st.st_size) / 40 : 1 << 16;
    r->below_filter.reset(guess, 8);
    r->scheme_ancestors.reset(guess, 8);
  }
  FILE* in = fopen(input, "r");
  if (in == nullptr) {
    perror("Fail to open input file");
    return 1;
  }
  int fd = scratch_file_create(copy, 0600);
  if (fd < 0) {
    perror("Fail to open output file");
    fclose(in);
    return 1;
  }
  FILE* out = fdopen(fd, "w");
  if (out == nullptr) {
    perror("Fail to open output file");
    close(fd);
    fclose(in);
    return 1;
  }
  static char out_buffer[1 << 16];
  setvbuf(out, out_buffer, _IOFBF, sizeof(out_buffer));
  // One reading: lines with "://" wait in memory until the others are written.
  std::string later;
  size_t count = 0, later_count = 0;
  bool later_ends_open = false;  // the held lines end with a line without newline
  bool first_open = false;       // the last line written lacks its newline
  char* buf = nullptr;
  size_t cap = 0;
  ssize_t n;
  bool write_failed = false;
  while ((n = getline(&buf, &cap, in)) >= 0) {
    ++count;
    size_t len = static_cast<size_t>(n);
    bool open = len == 0 || buf[len - 1] != '\n';
    if (memmem(buf, len, "://", 3) != nullptr) {
      if (r != nullptr) note_scheme_place(r, buf, len);
      later.append(buf, len);
      later_count++;
      later_ends_open = open;
    } else if (fwrite(buf, 1, len, out) != len) {
      write_failed = true;
      break;
    } else {
      first_open = open;
    }
  }
  std::unique_ptr<char, c_free> owned(buf);
  bool read_failed = ferror(in) != 0;
  int read_errno = errno;
  fclose(in);
  if (read_failed) {
    fprintf(stderr, "Fail to read input file %s: %s\n", input, strerror(read_errno));
    fclose(out);
    return 1;
  }
  if (!write_failed && first_open && later_count > 0 && fputc('\n', out) == EOF) {
    write_failed = true;
  }
  (void)later_ends_open;
  if (!write_failed && fwrite(later.data(), 1, later.size(), out) != later.size()) {
    write_failed = true;
  }
  errno = 0;
  if (fclose(out) != 0) write_failed = true;
  if (write_failed) {
    fprintf(stderr, "Fail to write sorted copy %s: %s\n", copy,
            errno != 0 ? strerror(errno) : "write error");
    return 1;
  }
  if (lines != nullptr) *lines = count;
  return 0;
}

// ---- Second pass ----------------------------------------------------------------------------

namespace {

bool blank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

// Replaces `url` by the text one place up (its scheme kept). False at the top.
bool url_parent(std::string* url) {
  const char* sep = scheme_end(url->c_str());
  size_t start = sep != nullptr ? static_cast<size_t>(sep - url->c_str()) + 3 : 0;
  std::string_view parent;
  if (!listreduce_place_parent(std::string_view(*url).substr(start), &parent)) return false;
  std::string up = url->substr(0, start);
  up.append(parent);
  url->swap(up);
  return true;
}

// A kept line without "://" answers, once a line with a scheme above it is gone, for its
// place. Such lines all come before the lines with a scheme in the copy, so every one of them
// is noted before the first line with a scheme is judged, and lines that went are not.
void surviving_below(listreduce* r, const char* url, const char* type, uint32_t id) {
  if (r->below.empty() || !listreduce_trims(type) || strstr(url, "://") != nullptr) return;
  std::string t(url);
  int changed = 0;
  trim_url(t.data(), type, &changed);
  note_below(r, std::string_view(t.c_str()), id);
}

void put_line(FILE* f, const char* text, size_t len) {
  fwrite(text, 1, len, f);
  fputc('\n', f);
}

// The text one level above a URL with a scheme in the filter's tree: without its query, its
// last path segment, its port, or its first domain label; "scheme://" above a one-label
// host. False when it cannot be told (an IP host, a path that cannot be cut).
bool scheme_parent(urllist_exploded_url* x, const std::string& url, std::string* out) {
  if (x->query_part != nullptr) {
    size_t q = url.find_first_of("?#");
    if (q == std::string::npos) return false;
    out->assign(url, 0, q);
    return true;
  }
  if (x->first_path_part != nullptr) return listreduce_parent_path(url, out);
  if (x->is_ip || x->host == nullptr) return false;
  size_t host = static_cast<size_t>(x->host - x->source);
  size_t host_end = host + x->host_len;
  if (host_end > url.size()) return false;
  if (host_end < url.size() && url[host_end] == ':') {
    out->assign(url, 0, host_end);
  } else if (x->label_count > 1) {
    size_t dot = url.find('.', host);
    if (dot == std::string::npos || dot >= host_end) return false;
    out->assign(url, 0, host);
    out->append(url, dot + 1, std::string::npos);
  } else {
    out->assign(url, 0, host);
  }
  return true;
}

// The entry that answers for `scheme_type` at the place of `e` once the line of `e` is gone:
// the next one below it there that applies, passing over entries of that scheme whose lines
// `e` replaced with the same text (they go as duplicates). Null when none.
const listreduce_entry* next_answer(const listreduce_entry* e, uint64_t scheme_type) {
  for (const listreduce_entry* p = e->replaced; p != nullptr; p = p->replaced) {
    if (!applies(p, scheme_type)) continue;
    if (!p->with_scheme || p->categories == listreduce_entry::not_category) return p;
    for (const listreduce_occurrence* o = &p->first; o != nullptr; o = o->next) {
      if (o->scheme_type != scheme_type) continue;
      int dup = 0;
      if (duplicate_in(e, o->full_hash, 0, o->line_number, &dup) != 0) return p;  // it stays
    }
  }
  return nullptr;
}

bool answer_keeps(const listreduce* r, uint32_t answer, uint32_t id) {
  return answer != listreduce_entry::not_category && (!r->compare || answer == id);
}

// A line written with a scheme is about to go because `covering`, an entry without scheme,
// covers it. The filter answers its URL, once it is gone, from the entries with the same
// scheme above it, and only without them from the entries without scheme (`covering`, or
// one replaced at the line's own place). True when that answer keeps the line's categories.
bool scheme_answer_kept(listreduce* r, urllist_exploded_url* x, const std::string& url,
                        const char* key_text, uint32_t id, urllist_hash_value key,
                        const listreduce_entry* covering) {
  // Other query entries of the scheme at the same place may answer the line's own URL, and
  // the places above an IP host are not known here: such lines stay.
  if (x->query_part != nullptr || x->is_ip) return false;
  const listreduce_entry* star = covering;
  listreduce_entry* own = find_record(r, x);
  if (own != nullptr && own != covering) {
    if (own->key_hash == key) {
      if (const listreduce_entry* here = answering(own, LISTREDUCE_SCHEME_NONE)) star = here;
    } else {
      if (own->with_scheme) return false;
      star = own;
    }
  }
  std::string parent;
  if (!scheme_parent(x, url, &parent)) return false;
  urllist_exploded_url_ptr px = urllist_explode_charset(parent, nullptr, 0, 0, nullptr);
  if (!px) return false;
  r->stats.lookups++;
  urllist_action* a = nullptr;
  if (urllist_lookup_data(r->scheme_list.get(), px.get(), &a) == 0) {
    uintptr_t v = reinterpret_cast<uintptr_t>(urllist_action_get_raw_data(a));
    return answer_keeps(r, static_cast<uint32_t>(v - 1), id);
  }
  // No entry of the scheme above: the entries without scheme answer, also those below the
  // line's place, which the line hid until now.
  auto below = r->below.find(listreduce_place_hash(key_text));
  if (below == r->below.end() || (below->second != listreduce::below_none && below->second != id)) {
    return false;
  }
  return answer_keeps(r, star->categories, id);
}

// The set number (or not_category) of the entry of the scheme list that answers `url`.
bool scheme_list_answer(listreduce* r, const std::string& url, uint32_t* id) {
  urllist_exploded_url_ptr px = urllist_explode_charset(url, nullptr, 0, 0, nullptr);
  if (!px) return false;
  r->stats.lookups++;
  urllist_action* a = nullptr;
  if (urllist_lookup_data(r->scheme_list.get(), px.get(), &a) != 0) return false;
  *id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(urllist_action_get_raw_data(a)) - 1);
  return true;
}

// The line's outcome after its duplicate test: covered by a broader entry of the list?
// `trimmed` is the trimmed URL text; true when the line is redundant.
bool covered(listreduce* r, urllist_exploded_url* x, const std::string& trimmed,
             const char* key_text, uint32_t id, uint64_t scheme_type, urllist_hash_value full,
             urllist_hash_value key, int64_t line_number) {
  std::string& cut = r->cut;
  // The covering lookup of one cut text: equal categories and a compatible scheme, then the
  // duplicate test on it tells whether the entry found is this line's own.
  auto cannot_cover = [&]() {
    if (r->compare && id == listreduce_category_table::none) {
      // No record has these categories, so no lookup can find equal ones.
      r->stats.skipped++;
      return true;
    }
    if (r->shortcuts && r->compare && r->categories.only_line(id, line_number)) {
      // Only this line's own record has them: finding it leaves the line surviving.
      r->stats.skipped++;
      return true;
    }
    return false;
  };
  // Once covered by `e` (found for the cut text): the duplicate test on it tells whether `e`
  // is this line's own entry.
  // What stays true whatever covers the line: no entry that only this line hides comes back.
  auto nothing_resurfaces = [&]() {
    if (near_port_entries(r, key_text)) return false;
    // An entry of another action that this line replaced at its place would answer again
    // once the line is gone (such lines pass untouched): the line stays.
    const listreduce_entry* here = find_record(r, x);
    if (here != nullptr && here->key_hash == key) {
      for (const listreduce_entry* p = here; p != nullptr; p = p->replaced) {
        if (p->categories == listreduce_entry::not_category) return false;
      }
    }
    return true;
  };
  auto redundant_under = [&](const listreduce_entry* e) {
    int out = 0;
    if (duplicate_in(e, full, key, line_number, &out) == 0 && out == 0) return false;
    if (!nothing_resurfaces()) return false;
    return e->with_scheme || scheme_type == LISTREDUCE_SCHEME_NONE ||
           scheme_answer_kept(r, x, trimmed, key_text, id, key, e);
  };
  // The covering lookup of one cut text: equal categories and a compatible scheme.
  auto judge = [&]() -> bool {
    if (cannot_cover()) return false;
    if (scheme_type != LISTREDUCE_SCHEME_NONE) {
      // The filter answers this scheme from its own entries above the line first, however
      // far up, before any entry without scheme.
      uint32_t above = 0;
      if (scheme_list_answer(r, cut, &above)) {
        if (!answer_keeps(r, above, id)) return false;
        return nothing_resurfaces();
      }
    }
    listreduce_entry* e = nullptr;
    for (int step = 0; step < 64 && e == nullptr; ++step) {
      listreduce_entry* found = find_record(r, cut);
      if (found == nullptr) return false;
      e = answering(found, scheme_type);
      // A place that holds only other schemes' entries: the filter answers this scheme from
      // further up.
      if (e == nullptr && !url_parent(&cut)) return false;
    }
    if (e == nullptr || e->categories == listreduce_entry::not_category) return false;
    if (r->compare && e->categories != id) return false;
    return redundant_under(e);
  };
  if (x->query_part != nullptr) {
    // Every other query entry that the URL's parameters meet answers for it once the line is
    // gone, so each parameter's removal is looked up: any entry found that applies to the
    // line's scheme must carry the same categories, and one of them covers the line.
    if (cannot_cover()) return false;
    const listreduce_entry* first = nullptr;
    for (int k = 1;; ++k) {
      int rc = listreduce_remove_parameter(trimmed, k, &cut);
      if (rc < 0) break;
      if (rc == 0) continue;
      listreduce_entry* e = answering(find_record(r, cut), scheme_type);
      if (e == nullptr) continue;
      if (e->categories == listreduce_entry::not_category) return false;
      if (r->compare && e->categories != id) return false;
      if (first == nullptr) {
        first = e;
        r->covering.assign(cut);
      }
    }
    if (first == nullptr) return false;
    return redundant_under(first);
  }
  if (x->first_path_part != nullptr) {
    if (!listreduce_parent_path(trimmed, &cut)) return false;
    return judge();
  }
  if (x->is_ip || x->host == nullptr) return false;
  size_t host = static_cast<size_t>(x->host - x->source);
  size_t host_end = host + x->host_len;
  if (host_end > trimmed.size() || host > trimmed.size()) return false;
  if (host_end < trimmed.size() && trimmed[host_end] == ':') {
    // Entries without port below this host answer the port's URLs once the line is gone.
    std::string host;
    host_of(key_text, &host);
    if (r->anyport_below.count(cityhash64(host)) > 0) return false;
    cut.assign(trimmed, 0, host_end);
  } else if (x->label_count > 2) {
    size_t dot = trimmed.find('.', host);
    if (dot == std::string::npos || dot >= host_end) return false;
    cut.assign(trimmed, 0, host);
    cut.append(trimmed, dot + 1, std::string::npos);
  } else {
    return false;
  }
  return judge();
}

}  // namespace

int listreduce_reduce_file(listreduce* r, FILE* in, FILE* out, FILE* redundant) {
  char* buf = nullptr;
  size_t cap = 0;
  ssize_t n;
  int64_t line_number = 0;
  std::string work, trimmed;
  try {
    while ((n = getline(&buf, &cap, in)) >= 0) {
      size_t len = static_cast<size_t>(n);
      if (len > 0 && buf[len - 1] == '\n') buf[--len] = '\0';
      len = strlen(buf);  // a NUL byte ends the line, as in the first pass
      const char* line = buf;
      if (len == 0 || (len == 1 && line[0] == '\r') || line[0] == '#') continue;
      ++line_number;
      if (r->progress && line_number % r->increment == 0) {
        printf("...processing line number..%jd ", static_cast<intmax_t>(line_number));
      }
      const char* p = line;
      while (*p != '\0' && blank(*p)) ++p;
      work.assign(p);
      char* f[4];
      int count = split_fields(work.data(), f);
      if (count == 1) {
        fprintf(stderr, "list entry malformat: \"%s\"\n", line);
        put_line(out, line, len);
        r->stats.written++;
        continue;
      }
      const char* url = f[0];
      const char* type = "U";
      const char* action = "C";
      const char* categories = nullptr;
      if (count == 2) {
        categories = f[1];
      } else if (count == 3 && isdigit(static_cast<unsigned char>(f[1][0]))) {
        categories = f[2];
      } else {
        type = f[1];
        action = f[2];
        if (count == 4) categories = f[3];
      }
      if (action[0] != 'C' || is_regexp(url)) {
        put_line(out, line, len);
        r->stats.written++;
        surviving_below(r, url, type, listreduce_entry::not_category);
        continue;
      }
      trimmed.assign(url);
      int changed = 0, scheme_changed = 0;
      uint64_t scheme_type = LISTREDUCE_SCHEME_NONE;
      trim_url(trimmed.data(), type, &changed);
      trimmed.resize(strlen(trimmed.c_str()));
      const urllist_hash_value full = cityhash64(trimmed);
      const char* key_text = trim_scheme(trimmed.data(), type, &scheme_changed, &scheme_type);
      const urllist_hash_value key = cityhash64(key_text, strlen(key_text));
      uint32_t id = category_id(r, categories);

      bool is_redundant = false;
      urllist_exploded_url_ptr x = urllist_explode_charset(trimmed, nullptr, 0, 0, nullptr);
      if (x) {
        // Duplicate: another line gave its occurrence this URL's hash. Unless some other line
        // gave an occurrence one of these hashes, the search cannot find one.
        bool maybe = true;
        if (r->shortcuts) {
          size_t i = static_cast<size_t>(line_number);
          uint8_t own = i < r->own_hashes.size() ? r->own_hashes[i] : 0;
          unsigned own_full = ((own & 1) ? 1 : 0) + ((own & 2) && key == full ? 1 : 0);
          unsigned own_key = ((own & 2) ? 1 : 0) + ((own & 1) && key == full ? 1 : 0);
          maybe = r->occurrence_filter.count(full) > own_full ||
                  r->occurrence_filter.count(key) > own_key;
        }
        if (maybe) {
          int dup = 0;
          listreduce_entry* e = find_record(r, x.get());
          // At the line's own place, the entry that answers for its scheme there.
          if (e != nullptr && e->key_hash == key) {
            listreduce_entry* a = answering(e, scheme_type);
            if (a != nullptr) e = a;
          }
          int rc = duplicate_in(e, full, key, line_number, &dup);
          is_redundant = rc == 0 && dup == 1;
          if (is_redundant && !e->with_scheme && scheme_changed) {
            is_redundant = scheme_answer_kept(r, x.get(), trimmed, key_text, id, key, e);
          } else if (rc == 0 && dup == 0 && scheme_changed && e->key_hash == key) {
            // This line's own entry: what answers its scheme here once it is gone.
            const listreduce_entry* next = next_answer(e, scheme_type);
            if (next != nullptr && !next->with_scheme && answer_keeps(r, next->categories, id)) {
              is_redundant = scheme_answer_kept(r, x.get(), trimmed, key_text, id, key, next);
            }
          }
        } else {
          r->stats.skipped++;
        }
        if (!is_redundant) {
          is_redundant =
              covered(r, x.get(), trimmed, key_text, id, scheme_type, full, key, line_number);
        }
      }
      if (is_redundant) {
        if (redundant != nullptr) put_line(redundant, line, len);
        r->stats.redundant++;
      } else {
        if (changed) {
          std::optional<std::string> s = string_replace_string(line, url, trimmed.c_str());
          put_line(out, s->data(), s->size());
        } else {
          put_line(out, line, len);
        }
        r->stats.written++;
        surviving_below(
            r, url, type,
            id == listreduce_category_table::none ? listreduce_entry::not_category : id);
      }
    }
  } catch (const std::bad_alloc&) {
    free(buf);
    perror("Out of memory error");
    return LISTREDUCE_FATAL;
  }
  bool failed = ferror(in) != 0;
  free(buf);
  if (failed) {
    perror("Fail to read the sorted copy");
    return LISTREDUCE_FATAL;
  }
  return 0;
}
