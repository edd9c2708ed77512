#pragma once
// The list reduce engine: finds the lines of one list file that another line of the same list
// already covers, so that cvlistreduce can drop them.
//
// Work happens on a sorted copy of the list (lines without "://" first) in two passes:
//
//   1. cvlistreduce_add_file loads every category line into a URL list of the engine. Each
//      stored entry is keyed by its trimmed URL text without scheme and carries an entry
//      record (listreduce_entry) as the data word of an action of kind 0: the categories,
//      whether it was written with a scheme, and the lines (occurrences) that carried it.
//   2. listreduce_reduce_file reads the copy again and judges every line with the engine's own
//      lookup: a duplicate of an earlier line, or covered by a broader entry (one query
//      parameter fewer, the parent path, the URL without its port, the parent domain) with the
//      same categories and a compatible scheme, is redundant; every other line survives.
//
// Memory. Records and extra occurrences live in two arenas (std::deque: stable addresses, no
// allocator header per record); a record is 56 bytes. Category sets are interned once each in
// one pool, so a record holds a 32-bit set number and equal sets have equal numbers.
//
// Shortcuts. Most lookups of both passes cannot change the outcome, and on a list of millions
// of lines they are most of the work: a lookup whose answer is compared with categories no
// other record carries, or with a hash no other line produced, can only fail. Small filters
// (listreduce_filter) and per-set counters say when that is certain, and the lookup is then
// skipped. A filter may answer "maybe" wrongly, never "no" wrongly, so the results are those
// of the full run; `shortcuts` turns them off to prove that.
//
// Exactness. The reduce list keeps one entry per place, while the filter keeps one per place
// and scheme subtree (an entry without scheme, one per scheme), and answers a URL of scheme s
// from the s entries before any entry without scheme, and a URL with a port from that port's
// entries first. So before a line goes, the engine also checks what would answer its URLs
// once it is gone: the scheme list (entries with a scheme, stored as the filter stores them),
// the chain of entries replaced at the line's place, the categories of the kept lines below a
// line with a scheme, the hosts with port entries and the entries without port below them.
// Where that cannot be told for sure the line stays: a line is kept too often, never removed
// wrongly. (The port check uses a counting filter: a false "maybe" keeps a line.)
//
// Thread safety: one listreduce belongs to one thread.

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "urllist/exploded_url.h"
#include "urllist/hashing.h"
#include "urllist/urllist.h"
#include "util/category_set.h"

// Scheme types. The three named schemes have the numbers of the line format's table; a line
// without scheme has 0; any other scheme gets its own value (the hash of its lowercase name
// with the top bit set), so that two different unknown schemes never count as one.
inline constexpr uint64_t LISTREDUCE_SCHEME_NONE = 0;
inline constexpr uint64_t LISTREDUCE_SCHEME_HTTPS = 1;
inline constexpr uint64_t LISTREDUCE_SCHEME_HTTP = 2;
inline constexpr uint64_t LISTREDUCE_SCHEME_FTP = 3;

// One line that carried an entry's URL (32 bytes).
struct listreduce_occurrence {
  uint64_t scheme_type = LISTREDUCE_SCHEME_NONE;
  urllist_hash_value full_hash = 0;  // CityHash64 of the trimmed URL text with its scheme
  int64_t line_number = 0;
  listreduce_occurrence* next = nullptr;
};

// The tool's record of one stored entry (56 bytes): the data word of the entry's action.
struct listreduce_entry {
  static constexpr uint32_t not_category = UINT32_MAX;
  // Set number in the category table; not_category for an entry whose action is no category
  // action: it stands in the list only to shadow what it replaces, as it does in the filter.
  uint32_t categories = not_category;
  uint32_t with_scheme = 0;  // 1: written with a scheme; 0: covers every scheme
  uint32_t reserved = 0;
  urllist_hash_value key_hash = 0;  // CityHash64 of the trimmed URL text without scheme
  listreduce_occurrence first;
  // The entry at the same place that this one replaced in the reduce list, newest first. The
  // filter keeps one entry per scheme subtree at a place (an entry without scheme, one per
  // scheme), so an entry replaced here may still answer for the schemes this one does not.
  listreduce_entry* replaced = nullptr;
};

// Interned category sets. Each distinct set gets a number; the table also counts the records
// made with each set and remembers the line that made the first one.
class listreduce_category_table {
 public:
  static constexpr uint32_t none = UINT32_MAX;

  // The number of `set` (ascending, no duplicates), or none when no record has it.
  uint32_t find(std::span<const uint32_t> set) const;
  // The number of `set`, added when missing. Throws std::bad_alloc.
  uint32_t intern(std::span<const uint32_t> set);
  // Counts a record made with set `id` by line `line_number`.
  void note_record(uint32_t id, int64_t line_number);
  // Marks set `id` as held by more than one line (its counts no longer prove anything).
  void note_shared(uint32_t id) { info_[id].records = 2; }
  // True when at most one record carries set `id` and line `line_number` made it.
  bool only_line(uint32_t id, int64_t line_number) const {
    return info_[id].records < 2 && info_[id].creator == line_number;
  }
  size_t size() const { return offsets_.size(); }

 private:
  struct set_info {
    uint32_t records = 0;  // saturates at 2
    int64_t creator = 0;
  };
  uint64_t hash_of(std::span<const uint32_t> set) const;
  std::span<const uint32_t> set_at(uint32_t id) const;
  void grow();

  std::vector<uint32_t> pool_;     // per set: its count, then its numbers
  std::vector<uint32_t> offsets_;  // set number -> offset in pool_
  std::vector<set_info> info_;
  std::vector<uint64_t> slots_;  // open addressing, at most half full; 0 empty
};

// A filter over 64-bit hashes with small saturating counters (2 bits, two probes): count(h)
// is never below the number of times h was added, and at most 3.
class listreduce_filter {
 public:
  // Room for about `expected` different hashes (`counters_per_hash` counters each: 8 give
  // about 5% false "maybe" answers). Without reset the filter answers "maybe" (3) always.
  void reset(size_t expected, unsigned counters_per_hash);
  void add(uint64_t h);
  unsigned count(uint64_t h) const;

 private:
  unsigned get(size_t i) const { return (bits_[i >> 5] >> ((i & 31) * 2)) & 3u; }
  std::vector<uint64_t> bits_;
  size_t mask_ = 0;
};

// Run settings and the reduce list with everything it owns.
struct listreduce {
  urllist_ptr list;
  // The lines written with a scheme, stored with it as the filter stores them: the filter
  // answers a URL of scheme s from its s entries before any entry without scheme, however
  // specific, so a line with a scheme may only go when the s entries above it agree.
  urllist_ptr scheme_list;
  // For the place (normalised key hash) of every category line written with a scheme: the
  // categories of the lines without scheme at places below it (a set number, below_none,
  // below_mixed or not_category). Once the line is gone they answer for those places.
  static constexpr uint32_t below_none = UINT32_MAX - 1;
  static constexpr uint32_t below_mixed = UINT32_MAX - 2;
  std::unordered_map<uint64_t, uint32_t> below;
  listreduce_filter below_filter;  // the keys of `below`: most places have none
  // The places above the category lines with a scheme (filled by the sort): only entries
  // there can answer for such a line from the scheme list.
  listreduce_filter scheme_ancestors;
  // Hashes of the lowercase hosts that some line names with an explicit port. For such a
  // host the filter answers a URL with that port from the port's entries first, so a line
  // without port there may only go when nothing else can answer.
  std::unordered_set<uint64_t> port_hosts;
  // Hosts (and parent domains) with entries without port below them: once a line with an
  // explicit port is gone, they answer URLs with that port.
  listreduce_filter anyport_below;
  std::deque<listreduce_entry> entries;  // every record made, in making order
  std::deque<listreduce_occurrence> extra_occurrences;
  listreduce_category_table categories;

  bool compare = true;    // -c turns it off
  bool shortcuts = true;  // skip lookups that cannot change the outcome
  bool progress = false;
  long long increment = 1;

  // Counters of the shortcuts and of the lines, for the benchmark notes and the tests.
  struct counters {
    uint64_t lookups = 0;  // explode-and-lookup runs of both passes
    uint64_t skipped = 0;  // lookups a shortcut proved useless
    uint64_t written = 0;
    uint64_t redundant = 0;
  } stats;

  // ---- internal state of the passes ----
  listreduce_filter key_filter;         // key hashes of every record made
  listreduce_filter occurrence_filter;  // every hash given to an occurrence
  // Per counted line, two bits: which of its own hashes its line gave to an occurrence
  // (1 the full hash, 2 the key hash).
  std::vector<uint8_t> own_hashes;
  category_set scratch;
  std::string work;
  std::string cut;
  std::string covering;
};

// Creates the state with its empty reduce list; null when the list cannot be made.
std::unique_ptr<listreduce> listreduce_initialize();

// Sizes the shortcut filters for a copy of about `lines` lines. Without it no filter is
// used and every lookup runs.
void listreduce_prepare(listreduce* r, size_t lines);

// ---- Trimming -------------------------------------------------------------------------------

// True when a line of type word `type` (null: none) is trimmed: no type word, or one that
// begins with "U".
bool listreduce_trims(const char* type);

// Trims `url` in place: one final "/" or "?" is removed; then, for scheme http or an entry
// without scheme, an authority port ":80" (after "://" or the start, the port the authority
// ends with). Sets *changed to 1 when the text changed. Returns `url`.
char* trim_url(char* url, const char* type, int* changed);

// The URL without its scheme: the text after the "://" that ends a scheme (a "://" after a
// "/" or "?" belongs to the path or query, as explode reads it, and is no scheme). Sets
// *changed to 1 and *scheme_type when a scheme was removed. Returns a pointer into `url`.
char* trim_scheme(char* url, const char* type, int* changed, uint64_t* scheme_type);

// The scheme type of a scheme name (compared without case, the whole name).
uint64_t listreduce_scheme_type(std::string_view scheme);

// ---- Covering texts -------------------------------------------------------------------------

// The k-th query parameter (k >= 1) of `url` removed, into *out: trailing "*", "&" and "?"
// are stripped first; a parameter starts after a "?", "#" (the first of them starts the
// query) or "&" and runs up to the next "&" or the end; it goes with the "&" after it, the
// last one with the separator before it. Returns 1 when *out holds the shortened text, 0 when
// the k-th parameter is empty (nothing to look up), -1 when there is no k-th parameter.
int listreduce_remove_parameter(std::string_view url, int k, std::string* out);

// The parent path of `url`: trailing "/", "*", "?" and "#" skipped, cut at the previous "/"
// that is not part of "//". False when nothing is cut (no such "/", or it is the first
// character).
bool listreduce_parent_path(std::string_view url, std::string* out);

// ---- The passes -----------------------------------------------------------------------------

// Results of the first pass (besides the documented 0, -1 and -4): a failure that ends the
// run with status 1 after its own message.
inline constexpr int LISTREDUCE_FATAL = -100;

// Writes the sorted copy of `input` to `copy` (created exclusively, mode 0600): every line
// without "://", then every line with it, each group in input order. A line that lacked its
// newline gets one when more lines follow it in the copy. *lines (when given) receives the
// number of lines. With `r`, the places of the category lines written with a scheme are
// noted in r->below. Returns 0, or 1 after a message ("Fail to open input file", "Fail to
// open output file", or a read or write error) with nothing usable in the copy.
int cvlistreduce_sort(const char* input, const char* copy, size_t* lines = nullptr,
                      listreduce* r = nullptr);

// The hash of a URL's place without scheme (`key_text`, trimmed), its authority lowercased.
uint64_t listreduce_place_hash(std::string_view key_text);

// The text of the place one level up (query, last path segment, port, first label removed);
// false at the top.
bool listreduce_place_parent(std::string_view key_text, std::string_view* parent);

// The first pass over `path`. Returns 0, -1 (no path or list), -4 (cannot open or read the
// file) or LISTREDUCE_FATAL.
int cvlistreduce_add_file(listreduce* r, const char* path, bool progress, long long increment,
                          bool compare);

// One line of the first pass (cut in place). Returns 0, -2 (the split failed), -3 (wrong
// number of fields) or LISTREDUCE_FATAL.
int cvlistreduce_add_line(listreduce* r, char* line, int64_t line_number, bool compare);

// Adds one category entry. Returns the list insertion's result (0 on success), -2 when memory
// runs out.
int cvlistreduce_add_url(listreduce* r, const char* url, const char* type, const char* categories,
                         int64_t line_number, bool compare);

// The record of the entry that the lookup of `url` reaches, or null; with `compare`, null
// unless its categories equal those of `categories`.
listreduce_entry* cvlistreduce_lookup(listreduce* r, const char* url, const char* categories,
                                      bool compare);

// 1 when `entry` exists and covers scheme type `scheme_type`: it has no scheme, or one of its
// occurrences has that scheme type. A non-category entry covers nothing.
int cvlistreduce_url_match(const listreduce_entry* entry, uint64_t scheme_type);

// Looks `url` up (without comparing categories) and searches the record for this line's URL:
// an occurrence with `full_hash` (record with scheme) or a first occurrence whose full hash
// is `key_hash` (record without scheme). Found: *out = 1 when it belongs to another line than
// `line_number`, else 0, and returns 0. Otherwise -1. `compare` is not used.
int check_duplicate_url(listreduce* r, const char* url, const char* categories,
                        urllist_hash_value full_hash, urllist_hash_value key_hash, bool compare,
                        int64_t line_number, int* out);

// The second pass: reads the copy from `in` and writes each surviving line to `out` and each
// redundant line to `redundant` (null: dropped). Returns 0, or LISTREDUCE_FATAL after a
// message when the copy cannot be read.
int listreduce_reduce_file(listreduce* r, FILE* in, FILE* out, FILE* redundant);
