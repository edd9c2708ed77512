#pragma once
// Category mapping: rewrites the categories of a list entry from the newest version of the
// category numbering to an older one.
//
// A category mapping file lists, version by version, which category becomes which:
//
//   #VERSION FROMCAT TOCAT
//   2 10 20        <- categories of version 3 (the newest) turn into those of version 2
//   1 20 30        <- categories of version 2 turn into those of version 1
//   1 7            <- two fields: TOCAT is 0
//
// The rules under version V turn categories of version V+1 into categories of version V, so
// the newest version is one above the highest version of the file. Mapping to destination D
// composes ("cascades") the rules of highest, highest-1, ..., D. A cascade is built the first
// time a destination is asked for and kept with the mapping object. A custom rule set can be
// composed on top of a cascade (a custom mapping object).
//
// A mapped set then gets fixed clean-up rules: an empty set becomes {45} (general); with the
// append-general flag on, exactly {301} or {302} gets 45 added; otherwise, with the
// keep-new-URL flag off, 254 (new URL) is removed unless the set is exactly {254},
// {246, 254}, {244, 254} or {252, 254}.
//
// Threads: mapping and dump calls on one mapping object may run in several threads at once;
// a missing cascade is created under the object's exclusive lock, existing ones are found
// under its shared lock and then read without any lock (they never change once made). Custom
// objects are immutable after creation. The module flags and the error text are process-wide;
// set the flags before mapping starts.

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "util/category_set.h"

// Fixed category numbers of the clean-up rules.
enum catmapping_category : uint32_t {
  CATMAPPING_CAT_GENERAL = 45,
  CATMAPPING_CAT_HOST_IS_IP = 244,
  CATMAPPING_CAT_SERVICE_TIMEOUT = 246,
  CATMAPPING_CAT_SERVICE_UNAVAILABLE = 252,
  CATMAPPING_CAT_NEW_URL = 254,
  CATMAPPING_CAT_HTTP = 301,
  CATMAPPING_CAT_HTTPS = 302,
};

// Orders two category or version keys: negative, zero or positive for less, equal, greater.
// A null key compares equal to anything.
int catmapping_lib_compare(const int* a, const int* b);

struct catmapping_lib_less {
  bool operator()(int a, int b) const { return catmapping_lib_compare(&a, &b) < 0; }
};

// Rule tree: source category -> destination category, in ascending source order.
using catmapping_rules = std::map<int, int, catmapping_lib_less>;

// A composed rule set with the set of its source categories (the rule keys, as unsigned
// numbers) and a flat table of the rules for the small categories, so that rewriting a set
// costs an array read per category. Build it with catmapping_lib_make_cascade; it does not
// change afterwards.
struct catmapping_cascade {
  struct slot {
    int dst = 0;
    bool has = false;
  };
  category_set srccats;
  catmapping_rules rules;
  std::vector<slot> small;  // index: source category below small.size() (at most 65536)

  // True with *dst set when category `c` has a rule.
  bool find(uint32_t c, int* dst) const {
    if (c < small.size()) {
      *dst = small[c].dst;
      return small[c].has;
    }
    auto it = rules.find(static_cast<int>(c));
    if (it == rules.end()) return false;
    *dst = it->second;
    return true;
  }
};

// A loaded category mapping file. Created by catmapping_lib_load only.
struct catmappingobj {
  int highest = 0;  // 0 while no rule has been read
  int lowest = 0;
  uint64_t rule_count = 0;  // rules read, replaced ones included
  category_set removing;    // destinations that make a hit vanish instead of being replaced
  std::map<int, catmapping_rules, catmapping_lib_less> versions;

  // Destination version -> cascade, filled on demand. Guarded by `lock`; entries are never
  // removed or changed before the object is freed, so a found cascade may be used unlocked.
  std::map<int, std::unique_ptr<catmapping_cascade>, catmapping_lib_less> cascades;
  mutable std::shared_mutex lock;
};

// A custom rule set, already composed after the cascade of its mapping object if it had one.
struct custommappingobj {
  int64_t srcversion = 0;  // highest + 1 of the mapping object, or as given
  int dstversion = 0;
  catmapping_cascade mapping;  // rules and source set; never empty
  category_set removing;
};

// ---- Module state ----

// Stores the keep-new-URL flag and makes the module ready. The fixed category sets of the
// clean-up rules are constants here, so this cannot fail; returns 0.
int catmapping_lib_initialize(int keep_new_url);
// Sets the append-general flag (on until changed).
void catmapping_lib_append_general(int flag);
// Frees the error text. The flags keep their values.
void catmapping_lib_terminate();

// The current error text (a copy), or nullopt when there is none.
std::optional<std::string> catmapping_lib_error();
// 1 when an error text is set, else 0.
int catmapping_lib_has_error();

// ---- Mapping objects ----

// Reads the mapping file at `path` (the whole file, until end of file) and the removing list
// `removing` (decimal numbers separated by ","; empty pieces are skipped and a piece that does
// not begin with a digit ends the list). Clears the error text first. Returns null with the
// error text set when the file cannot be read ("Could not open category mapping file.\n") or
// holds no rule ("No valid mapping rules in the category mapping file.\n"). A null path is
// treated as unreadable. On null, errno tells why the file could not be read (ENOMEM when
// memory ran out), or is 0 when the file was read but holds no rule.
std::unique_ptr<catmappingobj> catmapping_lib_load(const char* path, std::string_view removing);

// Rewrites `set` in place for destination version `version`, creating the cascade if needed.
// When no cascade can be had (version outside lowest..highest) the set is left untouched and
// the error text says why. A null object or set does nothing.
void catmapping_lib_mapcats(catmappingobj* obj, int version, category_set* set);

// Writes the cascade for `version` as "%d %d %d\n" lines (version, source, destination) in
// ascending source order and returns 0. When no cascade can be had, writes
// "No mapping rules for the category version %d\n" and returns 1. Null object or stream: -1.
int catmapping_lib_dump_mapping(catmappingobj* obj, FILE* stream, int version);

// Writes every rule of every version and then every cascade made so far, each block under its
// title and the "#VERSION FROMCAT TOCAT" header. 0, or 1 for a null object or stream.
int catmapping_lib_dump_mappings(catmappingobj* obj, FILE* stream);

// Frees an object; null is accepted. Same as letting the unique_ptr go.
void catmapping_lib_terminate_catmappingobj(std::unique_ptr<catmappingobj> obj);

// ---- Custom objects ----

// Builds a custom object for destination `version` from the custom rules file at `path`:
// the source version is highest + 1 of `obj` (0 without object); when the destination is
// below it the cascade of `obj` comes first and the custom rules (those of the lowest version
// of the custom file) are composed after it. Clears the error text first. Null, with the error
// text set, when the file cannot be read, when the cascade cannot be built, or when no rule
// results.
std::unique_ptr<custommappingobj> catmapping_lib_custom_create(catmappingobj* obj, int version,
                                                               const char* path,
                                                               std::string_view removing);
// The same from rules text in memory.
std::unique_ptr<custommappingobj> catmapping_lib_custom_create_buffer(catmappingobj* obj,
                                                                      int version,
                                                                      std::string_view rules,
                                                                      std::string_view removing);
// Loads a mapping object from `mapping_path`, checks the versions against it, builds the custom
// object from source version `srcversion` to `dstversion` and frees the mapping object again.
// A source version above highest + 1 or a destination below lowest gives null with the error
// text set. When the mapping file cannot be read or parsed, the custom object is built from
// the custom file alone (the load's error text stays set).
std::unique_ptr<custommappingobj> catmapping_lib_custom_load(int64_t srcversion, int dstversion,
                                                             const char* mapping_path,
                                                             const char* custom_path,
                                                             std::string_view removing);

// Rewrites `set` in place with the custom rules. Null object or set: nothing happens.
void catmapping_lib_custom_mapcats(const custommappingobj* obj, category_set* set);

// Writes the custom rules as "%d %d %d\n" lines with the custom destination version; 0, or
// -1 for a null object or stream.
int catmapping_lib_custom_dump_mapping(const custommappingobj* obj, FILE* stream);

// Frees a custom object; null is accepted.
void catmapping_lib_terminate_custommappingobj(std::unique_ptr<custommappingobj> obj);

// ---- Building blocks, exposed for the tool and for tests ----

// Parses rules text into obj->versions and the version range; lines are read up to each
// newline (text after the last one is ignored), cut at their first carriage return, leading
// white space skipped. Returns 0, or -1 with the error text set when no rule was read.
int catmapping_lib_create_versionmappings_buffer(catmappingobj* obj, std::string_view text);

// Reads a list of decimal categories separated by "," into `out` (which is not emptied first):
// empty pieces are skipped, a piece that does not begin with a digit ends the list, and a
// number is the piece's leading digits (a value beyond 32 bits also ends the list). The rule of
// category fields and removing lists. Returns the number of categories added.
size_t catmapping_lib_parse_categories(std::string_view text, category_set& out);

// Composes the rules of versions from `a` towards `b`: the rules of a-1, a-2, ..., b when
// going down, a+1, ..., b when going up. Nullopt when a == b, when the object has no rules,
// when a or b is below lowest or above highest + 1, or when no version of the way has rules.
std::optional<catmapping_rules> catmapping_lib_cascade(const catmappingobj* obj, int64_t a,
                                                       int64_t b);

// Composes accumulated rules `p` with the next rules `n` (each may be missing): X->Y of p and
// Y->Z of n give X->Z; a pair with Z == X cancels, dropping both X and Y.
std::optional<catmapping_rules> catmapping_lib_accumulate_mappings(const catmapping_rules* p,
                                                                   const catmapping_rules* n);
// A copy of the rules.
catmapping_rules catmapping_lib_duplicate(const catmapping_rules& rules);
// Adds every source category of `rules` to `srccats`.
void catmapping_lib_srccats(const catmapping_rules& rules, category_set& srccats);
// Makes a cascade of the rules: fills its source set and flat table.
std::unique_ptr<catmapping_cascade> catmapping_lib_make_cascade(catmapping_rules rules);

// Releases a cascade made by catmapping_lib_make_cascade. Null is accepted. Cascades held by
// a mapping object go with the object; this is for a caller that took one out of its holder.
void catmapping_lib_free_cascademapping(catmapping_cascade* cascade);

// Builds the cascade for destination `version` and stores it in the object. The caller holds
// obj->lock exclusively. Returns the stored cascade, or null with the error text set.
const catmapping_cascade* catmapping_lib_create_cascademappings_dynamic(catmappingobj* obj,
                                                                        int version);

// The rewrite: every category of `set` that is a source category of `mapping` (a hit) is
// removed; then the destination of each hit is added unless it is in `removing`; then the
// clean-up rules run.
void catmapping_lib_mapcats_mappings(const catmapping_cascade& mapping, category_set& set,
                                     const category_set& removing);

// Builds a custom object from source version `a` to destination `b` (see
// catmapping_lib_custom_create). Does not clear the error text.
std::unique_ptr<custommappingobj> catmapping_lib_custom_build_buffer(const catmappingobj* obj,
                                                                     int64_t a, int b,
                                                                     std::string_view rules,
                                                                     std::string_view removing);

// Replaces the error text.
void catmapping_lib_set_error(std::string_view text);

// Reads a whole file until end of file (pipes and process substitutions included).
// Nullopt, with errno set, when it cannot be opened or read.
std::optional<std::string> catmapping_lib_read_file(const char* path);
