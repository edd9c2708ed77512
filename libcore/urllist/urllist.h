#pragma once
// URL lists: the store that holds the entries of one or more list files.
//
// URL-shaped entries (hosts, paths, ports, schemes, queries) live in trees of urllist_item
// nodes, one level per URL part in the order explode gives them: scheme, domain labels from
// the top-level label down, port, path segments. The nodes of one level below one parent
// form a height-balanced (AVL) sibling tree threaded through the nodes themselves, under one
// total order:
//
//   non-port nodes  <  port nodes
//   non-port nodes by (hash as signed 64-bit, kind); port nodes by their low bound
//
// That order decides the dump order and which of several overlapping port ranges a lookup
// reaches, so it must not change. Every other kind of entry goes to a store of its own:
// IP addresses and ranges to per-scheme IP lists (and the default IP list for scheme "*"),
// keywords, extensions, regular expressions and digests to their stores, "N" lines to the
// default action and "T" lines to the policy-event table.
//
// Node layout (64 bytes, one cache line, allocated from a pool without per-block overhead):
//
//   hash 8 | left 8 | right 8 | child 8 | wildcard 8 | action 8 | extra 8 | kind balance flags 4
//
// The rarely used fields (case-insensitive child, query trees, port bounds and text, IP host
// text) sit behind `extra`, which stays null for most nodes. There is no parent link: the
// insertion keeps its descent path on the stack.
//
// Thread safety. A list created with URLLIST_FLAG_SHARED has a read/write lock: the adding
// functions that say so take the write lock, the lookups (lookup.h) take the read lock. A list
// without that flag (every tool's list) must be used from one thread at a time.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "records/action.h"
#include "urllist/exploded_url.h"
#include "urllist/hashing.h"

class category_set;
class iplist;
class extlist;
struct keywordlist;
struct rwl;
struct urllist_regexp_chain;
class urllist_digest_store;
struct urllist_item_extra;

// List flags, fixed at creation.
enum urllist_flag : uint32_t {
  URLLIST_FLAG_SHARED = 1,      // several threads: every operation takes the list's lock
  URLLIST_FLAG_NO_DEFAULT = 2,  // lookups never fall back to the default action
};

// Result codes of the adding operations.
enum urllist_add_result : int {
  URLLIST_ADD_OK = 0,             // stored (also: duplicate keyword, taken policy-event slot)
  URLLIST_ADD_MISSING = -1,       // no entry text, no list or no action word
  URLLIST_ADD_NO_MEMORY = -2,     // memory, IP list, range split, callback refusal
  URLLIST_ADD_INVALID = -3,       // invalid URL, bad digest text, IP list internal error
  URLLIST_ADD_BAD_REGEXP = -5,    // the regular expression does not compile
  URLLIST_ADD_UNKNOWN_TYPE = -6,  // unknown type word
  URLLIST_ADD_BAD_EXTENSION = -7,
  URLLIST_ADD_BAD_KEYWORD = -8,
  URLLIST_ADD_BAD_ACTION = -9,  // unknown action word, bad argument, unknown event name
};

// Number of policy events (slots of the policy-event table).
inline constexpr int URLLIST_POLICY_EVENTS = 9;

// ---- Tree nodes -----------------------------------------------------------------------------

struct urllist_item {
  urllist_hash_value hash = 0;          // part hash (0 for IP host nodes)
  urllist_item* left = nullptr;         // sibling tree: smaller keys
  urllist_item* right = nullptr;        // sibling tree: greater keys
  urllist_item* child = nullptr;        // root of the next level's sibling tree
  urllist_item* wildcard = nullptr;     // the "*" part (or any-port part) below this node
  urllist_action_ref action;            // the entry that ends here, or empty
  urllist_item_extra* extra = nullptr;  // owned; null unless one of its fields is used
  uint8_t kind = 0;                     // urllist_url_part_kind
  int8_t balance = 0;                   // AVL: height(right) - height(left), -1..1
  uint8_t nocase = 0;   // created by a case-insensitive entry (hash of the lowercase text)
  uint8_t ip_host = 0;  // IP host node (kept in an IP list, not in a sibling tree)

  urllist_item() = default;
  urllist_item(const urllist_item&) = delete;
  urllist_item& operator=(const urllist_item&) = delete;
  // Releases the node's own data only (extra, query trees, action reference); the subtrees
  // are released by urllist_terminate_urllist_item.
  ~urllist_item();

  // Nodes come from a process-wide pool of 64-byte blocks (no allocator header per node);
  // sanitizer builds use the plain heap so that misuse of a released node is caught.
  static void* operator new(size_t size);
  static void operator delete(void* p) noexcept;

  bool is_port() const { return kind == URL_PART_PORT; }
  // Case-insensitive child: first path segment of case-insensitive entries below a host or
  // port node. Null when none.
  urllist_item* nocase_child() const;
  // Port bounds (port nodes; 0 otherwise).
  uint16_t port_low() const;
  uint16_t port_high() const;
  // Port text of a port node, host text of an IP host node; empty otherwise. Valid as long as
  // the node.
  std::string_view text() const;
  // True when a query entry ends at this node.
  bool has_queries() const;
};
static_assert(sizeof(urllist_item) == 64, "the list tree is the memory bill: keep nodes small");

// Releases a whole subtree: the node, its sibling sides, child, case-insensitive and
// wildcard subtrees, with their data. Iterative (any depth). Accepts null.
void urllist_terminate_urllist_item(urllist_item* node);

// Releases only the node's query trees and its action reference.
void urllist_terminate_urllist_item_data(urllist_item* node);

// A new node for a part (`text` as written, `kind` urllist_url_part_kind, `flags` the explode
// flags of the entry): port nodes keep their text and bounds ("8000-8080"; without "-" the
// high bound is the low bound; values are cut to 16 bits); with EXPLODE_HASHED the hash is the
// parsed hash text, or CityHash64 of the text when it is no valid hash text; with
// EXPLODE_NOCASE it is the hash of the lowercased text and the node is marked case-insensitive.
// Throws std::bad_alloc. The caller owns the node (release with urllist_terminate_urllist_item).
urllist_item* urllist_new_urllist_item(std::string_view text, int kind, int flags);

// The bounds a port node takes from its part text: the leading digits, and those after the
// first "-" (else the low bound again), each cut to 16 bits ("8080" gives 8080-8080,
// "1-1024" gives 1-1024, "" gives 0-0). Null text: 0-0. Writers of list text that must load
// back into the same port node compare or write these bounds.
std::pair<uint16_t, uint16_t> urllist_port_text_bounds(const char* text);

// A node that keeps `text` and has hash 0 (IP host nodes). Throws std::bad_alloc.
urllist_item* urllist_new_urllist_nohashed_item(std::string_view text, int kind);

// Deep copy of `node` with its sibling sides, child tree and wildcard child (not the
// case-insensitive child). The copies hold one more reference to each action; query entries
// are copied too. Returns 0 with *copy set (null for a null node), or -1 when memory runs out
// (*copy null, nothing leaked). REQUIRES: the owning list's write lock.
int urllist_clone_urllist_item(const urllist_item* node, urllist_item** copy);

// Releases an action record (used as the release function of the other stores).
void urllist_destroy_item_data(urllist_action* action);

// ---- The list -------------------------------------------------------------------------------

using urllist_add_callback_fn = void (*)(void* user, urllist_exploded_url* url);
using urllist_add_action_callback_fn = int (*)(void* user, urllist_action* action);

// Statistics counters: diagnostics only, the engine never reads them.
struct urllist_stats {
  uint32_t entries = 0;  // entries stored
  uint32_t lines = 0;    // list lines handled
  // Per entry kind: [0] URL "U", [1] scheme "S", [2] path "P", [3] query "Q".
  uint32_t url_attempts[4] = {};
  uint32_t url_stored[4] = {};
  uint32_t ip_entries = 0;  // URL entries stored in an IP list (included in url_stored)
  uint32_t regexp_attempts = 0, regexp_stored = 0;
  uint32_t ext_attempts = 0, ext_stored = 0;
  // Keywords by type letter: [0] "K", [1] "W", [2] "k", [3] "w".
  uint32_t keyword_attempts[4] = {};
  uint32_t keyword_stored[4] = {};
  uint32_t digest_attempts = 0, digest_stored = 0;
  uint32_t event_attempts = 0, event_stored = 0;
  uint32_t defaults = 0;  // "N" lines stored
};

struct urllist {
  urllist();
  ~urllist();  // releases everything the list owns (the trees iteratively)
  urllist(const urllist&) = delete;
  urllist& operator=(const urllist&) = delete;

  urllist_item root;        // main root: children hold the first level of URL entries
  urllist_item path_root;   // "P" entries, matched against the path only
  urllist_item query_root;  // "Q" entries, matched against the query only
  std::unique_ptr<urllist_regexp_chain> regexps;  // created with the first "R" entry
  std::unique_ptr<extlist> extensions;
  std::unique_ptr<keywordlist> keywords;
  std::unique_ptr<urllist_digest_store> digests;
  urllist_action_ref default_action;  // last "N" entry
  urllist_action_ref events[URLLIST_POLICY_EVENTS];
  uint32_t flags = 0;
  urllist_stats stats;
  // Scheme hash -> IP list of that scheme; each created with the scheme's first IP entry.
  std::map<urllist_hash_value, std::unique_ptr<iplist>> schemes;
  std::unique_ptr<iplist> default_iplist;  // IP entries with scheme "*"
  // Every IP host node, owned here (the IP lists only point at them).
  std::vector<urllist_item*> ip_hosts;
  std::unique_ptr<rwl> lock;  // only with URLLIST_FLAG_SHARED
  urllist_add_callback_fn add_callback = nullptr;
  void* add_callback_data = nullptr;
  urllist_add_action_callback_fn add_action_callback = nullptr;
  void* add_action_callback_data = nullptr;
  void* extra_data = nullptr;  // the creator's; never used by the engine
  std::unique_ptr<urllist_charset> charset;
  // Index of the second-level domain nodes below the main root (the children of top-level
  // labels, sibling trees of hundreds of thousands of nodes in big lists): (parent, hash,
  // kind) -> node, open addressing. It finds exactly the node the sibling-tree search finds,
  // with one or two cache misses instead of about twenty. Filled on insertion.
  struct child_index {
    struct slot {
      const urllist_item* parent = nullptr;
      urllist_item* node = nullptr;
    };
    std::vector<slot> slots;  // size a power of two, or empty
    size_t count = 0;
  } index;
  // Category actions shared by the entries of this list: entries whose category action has
  // the same numbers and expiry point at one record instead of a record and a set each (a
  // 24-byte record, the set object and its room for 10 numbers: about 112 bytes per entry).
  // Category actions are never changed once parsed (only regexp actions merge), so sharing
  // is invisible to lookups, dumps and actions. Not used while an add-action callback is set:
  // that callback may keep per-entry state keyed by the action it receives. Open addressing
  // on a hash of (numbers, expiry); each slot holds one reference.
  struct category_intern {
    struct slot {
      uint64_t hash = 0;
      urllist_action* action = nullptr;
    };
    std::vector<slot> slots;  // size a power of two, or empty
    size_t count = 0;
    category_set scratch;  // the parsed numbers of the line being added
    // Sharing pays only where sets repeat. Lists where sets of some size rarely repeat (many
    // distinct three-number sets, say) would pay a table probe, a table slot and cache misses
    // per entry for nothing, so each size class (1, 2, 3, more numbers) is sampled over its
    // first `sample` entries: when fewer than 1 in 10 found a shared record, that class is
    // no longer shared (its records are built as before; the answers are the same).
    struct size_class {
      static constexpr uint32_t sample = 65536;
      uint32_t probes = 0;
      uint32_t hits = 0;
    } classes[4];
  } interned;
  category_set explode_markers;  // markers of the entry being exploded (urllist_add_url)

  bool shared() const { return (flags & URLLIST_FLAG_SHARED) != 0; }
};

using urllist_ptr = std::unique_ptr<urllist>;

// New empty lists; null when memory runs out or the lock cannot be set up. `flags` is a
// bit set of urllist_flag. `charset_name` (may be null) selects the character set used when
// exploding entries and looked-up URLs (urllist_init_charset); `extra` is kept for the
// creator.
urllist_ptr urllist_initialize(uint32_t flags);
urllist_ptr urllist_with_extra_initialize(uint32_t flags, void* extra, const char* charset_name);
urllist_ptr urllist_with_data_initialize(uint32_t flags, void* extra);
urllist_ptr urllist_with_charset_initialize(uint32_t flags, const char* charset_name);

// Releases the list and everything it owns. Accepts null.
void urllist_terminate(urllist_ptr list);

// ---- Adding -----------------------------------------------------------------------------------
//
// All return a urllist_add_result. `type` is the type word (null or "" to guess the kind
// from the text); `expiry` -1 means never. Failures are reported through cvlog_send level 4
// and leave the list usable. With URLLIST_FLAG_SHARED these four take the write lock, and
// return -1 without a change when it cannot be taken (a destroyed or broken lock).

// Parses `action_word` / `argument` (urllist_action_parse_action) and stores the entry.
int urllist_add(urllist* list, const char* text, const char* type, const char* action_word,
                const char* argument, int64_t expiry);

// Stores the entry with a category action owning a copy of `categories` (null: empty set).
int urllist_add_category(urllist* list, const char* text, const char* type,
                         const category_set* categories, int64_t expiry);

// Parses `categories` as the argument of action "C" (-2 when that fails) and stores the
// entry without type word and with expiry -1.
int urllist_add_category_string(urllist* list, const char* text, const char* categories);

// Stores the entry with an action of kind 0 whose data is `data` (not owned).
int urllist_add_data(urllist* list, const char* text, const char* type, void* data, int64_t expiry);

// The common path: builds the action record (kind, data, expiry; the record owns data of
// kinds 3 to 8 from here on, also on failure) and stores the entry. REQUIRES: the caller
// holds the write lock of a shared list.
int urllist_add_internal(urllist* list, const char* text, const char* type, int32_t kind,
                         void* data, int64_t expiry);

// Stores a URL-shaped entry ("U", "S", "P", "Q" kinds; `kind_letter` is that letter) with
// an already built action. REQUIRES: the write lock.
int urllist_add_url(urllist* list, const char* text, char kind_letter, int flags,
                    const urllist_action_ref& action);

// The IP list of a scheme (by the scheme's hash), created when missing. Null only when it
// cannot be made.
iplist* urllist_add_iplist_for_scheme(urllist* list, urllist_hash_value scheme_hash);

// ---- Hooks and small queries -----------------------------------------------------------------

// `fn` receives (user, exploded entry) for each URL entry whose host is a name and whose type
// word has no "h", just before the entry is stored. Null removes the callback.
void urllist_set_addcallback(urllist* list, urllist_add_callback_fn fn, void* user);

// `fn` receives (user, action) after each entry has been stored; a negative return makes the
// add report -2 (the entry stays stored). Not called for dropped entries.
void urllist_set_add_action_callback(urllist* list, urllist_add_action_callback_fn fn, void* user);

// The default action, or null (also for a null list).
urllist_action* urllist_get_default_data(const urllist* list);

// Index of the first path part (label_count + 2) in *first and the number of path parts in
// *count; returns 1 when the URL has no path part, else 0.
int urllist_parent_url_path_offset_number(const urllist_exploded_url* url, int* first, int* count);

// Policy events: "policy" 0, "bandwidth" 1, "interim" 2, "virus" 3, "auth" 4, "decrypt" 5,
// "connect" 6, "unknown" 7, "keyword" 8. aton compares the first four letters without case
// and returns -1 for no match; ntoa returns null for a number outside 0..8.
int policyevent_aton(const char* name);
const char* policyevent_ntoa(int number);
