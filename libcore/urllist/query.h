#pragma once
// Query-parameter entries: list entries that end in a query, such as h.test/p?a=1&b.
//
// Such an entry matches a URL at the same host and path whose query holds every parameter of
// the entry, in any order, whatever other parameters the URL carries. An entry parameter with
// a value ("a=1") matches a URL parameter with exactly that text; one without a value ("b" or
// "b=") matches any URL parameter of that name, with a value or without. Entries keep hashes
// only, never text: every parameter is reduced to two 64-bit hashes (hashing.h) when it is
// loaded, and a looked-up URL's parameters once per exploded URL.
//
//   parameter text     entry: full hash / name hash     URL: full hash / name hash
//   "a=1"              H("a=1") / H("a")                H("a=1") / H("a")
//   "a=" or "a"        H("a")   / H("a")                H("a=") or H("a") / H("a")
//
// Where entries live. Every node of the list tree (urllist_item) embeds one
// urllist_query_trees record: 8 bytes, null until the first query entry ends at that node.
// It then points to a pair of query trees, one for entries stored case-sensitively and one
// for entries of the case-insensitive type flag ("c"), each made when its first item arrives.
// A query tree owns its items (in insertion order) and indexes them by the full hash of each
// of their parameters; the candidate list of one hash is ordered so that the first entry that
// matches is the most specific one (more parameters first, then fewer parameters without a
// value, then the earlier entry).
//
// The URL side. The first lookup that reaches a node with query entries splits the exploded
// URL's query in place, hashes its parameters and keeps them, with the sorted multiset used to
// test candidates, as the URL's query state (urllist_exploded_url::query_state); every further
// node of the same lookup reuses it, and it goes with the exploded URL.
//
// Thread safety. Adding and cloning change a node's trees and must run under the list's
// write lock. A lookup only reads the trees and writes the exploded URL's query state, so
// lookups with different exploded URLs may run in parallel under the read lock; one exploded
// URL must not be looked up from two threads at once.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "records/action.h"
#include "urllist/exploded_url.h"
#include "urllist/hashing.h"

// At most this many pieces come out of one query text: after 4998 separators the rest of the
// text, separators included, stays in the last piece.
inline constexpr uint32_t URLLIST_QUERY_MAX_PIECES = 4999;

// Query item flags.
enum urllist_query_item_flag : uint32_t {
  // The entry names some parameter text twice or more: each of its parameters then needs a
  // URL parameter of its own ("a=1&a=1" does not match "?a=1").
  URLLIST_QUERY_REPEATED = 1,
  // The item lives in the case-insensitive tree (its texts were lowercased before hashing).
  URLLIST_QUERY_NOCASE = 2,
  // The entry URL had a fragment: its last parameter came after "#" (diagnostic text only).
  URLLIST_QUERY_FRAGMENT = 4,
  // Built from hash texts: the item has full hashes only, no name hashes.
  URLLIST_QUERY_HASHED = 8,
};

// Selects the URL hashes a lookup uses.
enum urllist_query_case_mode : int {
  URLLIST_QUERY_CASE_SENSITIVE = 0,
  URLLIST_QUERY_CASE_INSENSITIVE = 1,
};

// One stored query entry: its parameters' hashes, counts, flags and action. 32 bytes plus
// one array of 16 bytes per parameter (8 for a hashed item).
struct urllist_query_item {
  uint32_t flags = 0;            // urllist_query_item_flag bits
  uint32_t name_only_count = 0;  // parameters without a value (their two hashes are equal)
  uint64_t count = 0;            // parameters, at least 1
  // Full hashes in [0, count), then, unless the item is hashed, the name hashes in
  // [count, 2 * count); both in the order of the entry's text.
  std::unique_ptr<urllist_hash_value[]> hashes;
  urllist_action_ref action;  // attached by the list store after urllist_query_add

  std::span<const urllist_hash_value> full_hashes() const { return {hashes.get(), count}; }
  // Empty for a hashed item.
  std::span<const urllist_hash_value> name_hashes() const {
    if (flags & URLLIST_QUERY_HASHED) return {};
    return {hashes.get() + count, count};
  }
};
static_assert(sizeof(urllist_query_item) == 32);

// Orders two hashes by their signed value: -1, 0 or 1. (The list format's own order of
// parameter hashes; the index below needs no order.)
int urllist_query_cmp(urllist_hash_value a, urllist_hash_value b);

// Items are never found by comparison: candidate lists are walked in their own order. Always 0.
int urllist_query_item_compare(const urllist_query_item* a, const urllist_query_item* b);

// The hash index of a query tree: full hash -> candidate list, the items that have a
// parameter with that full hash in candidate order (more parameters first, then fewer
// parameters without a value, then insertion order). An item that repeats a full hash stands
// in that list once per repetition, side by side. No list is ever empty.
//
// An open-addressing hash table rather than an ordered tree: nothing ever walks the index in
// key order, and a lookup probes one cache line where a tree descent chases a dozen nodes
// (the matching of a URL makes up to two index lookups per parameter). 16 bytes per slot at
// most half full, plus the list. for_each visits the lists in no particular order.
class urllist_query_index {
 public:
  using list = std::vector<urllist_query_item*>;

  // The candidate list of `hash`, or null. Valid until the next add.
  const list* find(urllist_hash_value hash) const;
  // Inserts `item` into the list of `hash` at its candidate position (after the items of
  // equal rank), creating the list when new. Throws std::bad_alloc leaving the index as it
  // was. REQUIRES: item non-null.
  void add(urllist_hash_value hash, urllist_query_item* item);
  size_t size() const { return lists_.size(); }
  bool empty() const { return lists_.empty(); }
  template <class F>
  void for_each(F&& f) const {
    for (const slot& s : slots_) {
      if (s.list != 0) f(s.key, lists_[s.list - 1]);
    }
  }

 private:
  struct slot {
    urllist_hash_value key;
    uint32_t list;  // 0: empty slot; else index + 1 into lists_
  };
  size_t home(urllist_hash_value hash) const;
  std::vector<slot> slots_;  // a power of two in size, or empty
  std::vector<list> lists_;
};

// The items of one node stored under one case mode.
struct urllist_query_tree {
  urllist_query_index index;
  // Every item of the tree, in insertion order; the tree owns them.
  std::vector<std::unique_ptr<urllist_query_item>> items;
};

// The pair of query trees of one node; either may be null.
struct urllist_query_tree_pair {
  std::unique_ptr<urllist_query_tree> sensitive;
  std::unique_ptr<urllist_query_tree> nocase;
};

// What a list tree node embeds: null until a query entry ends at the node.
struct urllist_query_trees {
  std::unique_ptr<urllist_query_tree_pair> pair;

  // True when the node holds no query tree at all.
  bool empty() const { return pair == nullptr; }
  // The tree of a case mode (URLLIST_QUERY_CASE_*), or null.
  const urllist_query_tree* tree(int case_mode) const {
    if (!pair) return nullptr;
    return (case_mode & 1) ? pair->nocase.get() : pair->sensitive.get();
  }
};
static_assert(sizeof(urllist_query_trees) == sizeof(void*));

// ---- Splitting ------------------------------------------------------------------------------

// Splits `text` at every "?", "&" and "#", overwriting each separator with NUL, and returns a
// new null-terminated array of pointers to the non-empty pieces in order, with their number
// in *count. Splitting stops after URLLIST_QUERY_MAX_PIECES - 1 separators; the last piece then
// keeps the rest of the text. Returns null, with *count 0, when the text is null or empty or
// holds no non-empty piece; null with *count untouched when memory runs out. The pieces point
// into `text` and stay valid as long as it. REQUIRES: count non-null; text NUL-terminated.
std::unique_ptr<char*[]> urllist_query_parse(char* text, uint32_t* count);

// ---- Items and trees -----------------------------------------------------------------------

// Builds an item, without action, from an entry's query text (the part after "?"; it ends at
// its first NUL). `flags` are explode flags: EXPLODE_NOCASE hashes lowercased texts (unless
// EXPLODE_HASHED is set too); with EXPLODE_HASHED every parameter is a hash text read with
// urllist_str2hash and becomes a full hash (a text that does not parse keeps the value the
// parser left), and the item has no name hashes. Sets URLLIST_QUERY_REPEATED when two
// parameters have the same text (after lowercasing), URLLIST_QUERY_HASHED for hashed items.
// Returns null when the text has no parameter or memory runs out. The text is not changed.
std::unique_ptr<urllist_query_item> urllist_new_urllist_query_item(std::string_view text,
                                                                   int flags);

// Releases an item (its hash array and its reference to the action). Accepts null.
void urllist_terminate_query_item(urllist_query_item* item);

// A new empty tree, or null when memory runs out.
std::unique_ptr<urllist_query_tree> urllist_new_urllist_query_tree();

// Releases a tree with its index and every item. Accepts null.
void urllist_terminate_query_tree(urllist_query_tree* tree);

// Releases both query trees of a node; the record is empty afterwards.
void urllist_terminate_query_trees(urllist_query_trees* trees);

// Stores the query entry `query_text` (see urllist_new_urllist_query_item for `flags`) at the
// node whose record is `trees`, in its case-insensitive tree when EXPLODE_NOCASE is set.
// `entry` is the entry's exploded URL (may be null): a fragment position in it marks the item
// with URLLIST_QUERY_FRAGMENT. Returns the item that now represents this query at the node:
// an existing item with the same parameters (the same number, and the same full hashes as a
// multiset, in whatever order) or the new item, which then stands after the existing items
// of equal rank in every candidate list. The caller attaches the entry's action to it.
// Returns null, leaving the trees as they were, when the text has no parameter or memory runs
// out. The returned item lives as long as the node's trees. REQUIRES: the list's write lock.
urllist_query_item* urllist_query_add(const urllist_exploded_url* entry,
                                      std::string_view query_text, urllist_query_trees* trees,
                                      int flags);

// Copies every query entry of the node `source` to the node `destination`: the case-sensitive
// items, then the case-insensitive ones, each in insertion order. A copy keeps the item's
// hashes, counts and flags and takes one more reference to its action; where the destination
// already holds an item with the same parameters, that item takes the source's action instead.
// Returns 0, or -1 when memory runs out (the items copied so far stay).
// REQUIRES: the list's write lock; source and destination are different records.
int urllist_clone_urllist_item_query(const urllist_query_trees& source,
                                     urllist_query_trees* destination);

// ---- Matching ------------------------------------------------------------------------------

// Matches the query of `url` against one tree and returns the matching item, or null.
//
// For each URL parameter in order, the candidates are the items of the list of its full hash
// (else of its name hash); they are checked in list order and the first whose parameters are
// all present among the URL's parameter hashes wins. A candidate with URLLIST_QUERY_REPEATED
// needs one URL hash per parameter (a multiset). When nothing in a list found by the full
// hash matched, the list of the parameter's name hash is tried. A candidate whose action has
// a positive expiry not later than current_time, or that has no action, is passed over.
//
// case_mode bit 0 selects the URL's lowercased parameters (URLLIST_QUERY_CASE_INSENSITIVE).
// add_mode 1 leaves the URL's name hashes out of the multiset, so that an entry parameter
// without a value matches only a URL parameter without value (exact parameters only).
// Prepares and caches the URL's query state on first use. Returns null when the URL has no
// query parameter or memory runs out. The item stays valid as long as the tree.
const urllist_query_item* urllist_query_lookup(urllist_exploded_url* url,
                                               const urllist_query_tree* tree, int case_mode,
                                               int add_mode = 0);

// The lookup of one list node: the case-sensitive tree first, then the case-insensitive one.
// Stores the case mode of the tree that matched in *case_mode (when given). Null when neither
// matches.
const urllist_query_item* urllist_query_lookup_node(urllist_exploded_url* url,
                                                    const urllist_query_trees& trees,
                                                    int* case_mode = nullptr);

// The URL's lowercased parameter texts as a null-terminated list, building them, the shadow
// copy (urllist_get_nocase_shadow) and their hashes on first use. The texts live in the
// shadow at the offsets of the working copy. Null when the URL has no query parameter or
// memory runs out. The list stays valid as long as the exploded URL.
const char* const* urllist_get_nocase_query_list(urllist_exploded_url* url);

// The URL's parameter texts as split in place (a null-terminated list), with their number in
// *count (when given). Null when the URL has no query parameter or memory runs out. Valid as
// long as the exploded URL.
const char* const* urllist_get_query_list(urllist_exploded_url* url, uint32_t* count = nullptr);

// Appends the query of a matched item to the diagnostic text of a lookup, as the parameters
// of `url` that it matched: "?" before the first and "&" before each further one, "#" before
// the last one instead when the entry had a fragment. A parameter that is the wildcard
// (H("*")) is written "*"; one matched by a URL parameter's full hash as that parameter's
// text (lowercased for case_mode 1); one matched by a name hash only as the URL parameter's
// name followed by "="; one that matches nothing in this URL as its hash text. For an item
// with URLLIST_QUERY_REPEATED each entry parameter is given a URL parameter of its own.
// Returns 0, or -1 when memory runs out (`out` may then hold part of the text).
int urllist_query_append_diag(urllist_exploded_url* url, const urllist_query_item* item,
                              int case_mode, std::string* out);
