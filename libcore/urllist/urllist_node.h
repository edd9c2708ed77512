#pragma once
// Private to the list engine and its tests: the tree node of URL-shaped entries, the pool it
// comes from, and the node operations the store, the lookup and the dump share.
//
// The children of a node are kept in two slots: the child slot, and the case-insensitive slot
// (first path segments of case-insensitive entries below a host or port node). Each slot is a
// list in load order (newest first, through `next`); children.h says how a child is found
// (the list's child index, or a sibling tree where the tree's shape decides an answer).
// Node layout (48 bytes, from a pool without per-block overhead):
//
//   hash 8 | action 8 | child 4 | next 4 | wildcard 4 | extra 4 | parent 4 | self 4
//   | kind flags 4 | port bounds 4
//
// The rarely used fields (case-insensitive slot, query trees, port text that its bounds do
// not spell, IP host text, sibling-tree links) sit in an extra record, which most nodes lack.
//
// Thread safety: nodes have no lock of their own; they belong to a list and are read and
// changed under its rules (urllist.h).

#include <cstdint>
#include <string>
#include <string_view>

#include "records/action.h"
#include "urllist/exploded_url.h"
#include "urllist/hashing.h"
#include "urllist/query.h"
#include "util/sanitizer.h"

struct urllist_item_extra;

// Where the text of a port node is: most port texts are what their bounds spell ("80",
// "8000-8080", "0-65535"), and those are shared by the whole process instead of kept in an
// extra record per node; any other text ("0090", "70000") stays in the node's extra record.
enum urllist_port_text_form : uint8_t {
  URLLIST_PORT_TEXT_KEPT = 0,    // extra->text (or no text)
  URLLIST_PORT_TEXT_DIGITS = 1,  // the low bound's digits
  URLLIST_PORT_TEXT_RANGE = 2,   // low bound, "-", high bound
};

// Bits of urllist_item::child_flags (the child slot) and urllist_item_extra::nocase_flags.
enum urllist_slot_flag : uint8_t {
  URLLIST_SLOT_TREE = 1,         // the slot keeps a sibling tree (root in the extra record)
  URLLIST_SLOT_PLAIN_PATH = 2,   // a path child made by a case-sensitive entry
  URLLIST_SLOT_NOCASE_PATH = 4,  // a path child made by a case-insensitive entry
  URLLIST_SLOT_INDEXED = 8,      // the slot's non-port children are in the child index
};

// Nodes and their extra records are named by 32-bit ids (0: none) instead of pointers: the
// links of the tree are most of a node. Ids stay below 2^31 (a slot key adds a bit).
using urllist_node_id = uint32_t;

struct urllist_item {
  urllist_hash_value hash = 0;      // part hash (0 for IP host nodes)
  urllist_action_ref action;        // the entry that ends here, or empty
  urllist_node_id child_id = 0;     // newest child of the child slot
  urllist_node_id next_id = 0;      // next older sibling in the parent's slot
  urllist_node_id wildcard_id = 0;  // the "*" part (or any-port part) below this node
  uint32_t extra_id = 0;            // owned extra record (urllist_extra_at); 0 for most nodes
  // The slot this node is a child of (urllist_slot_key): the parent's id, with the top bit
  // for its case-insensitive slot; 0 for roots, wildcard nodes and IP host nodes.
  uint32_t parent = 0;
  urllist_node_id self = 0;   // this node's own id
  uint8_t kind = 0;           // urllist_url_part_kind
  uint8_t nocase = 0;         // created by a case-insensitive entry (hash of the lowercase text)
  uint8_t ip_host : 1 = 0;    // IP host node (kept in an IP list, not in a slot)
  uint8_t port_text : 2 = 0;  // urllist_port_text_form of a port node
  uint8_t child_flags = 0;    // urllist_slot_flag bits of the child slot
  uint16_t port_lo = 0;       // port bounds of a port node (0 otherwise)
  uint16_t port_hi = 0;

  urllist_item() = default;
  urllist_item(const urllist_item&) = delete;
  urllist_item& operator=(const urllist_item&) = delete;
  // Releases the node's own data only (extra, query trees, action reference); the subtrees
  // are released by urllist_terminate_urllist_item.
  ~urllist_item();

  // Nodes are made and released only by urllist_node_make and urllist_node_free.
  static void* operator new(size_t) = delete;
  static void operator delete(void*) = delete;

  inline urllist_item* child() const;
  inline urllist_item* next() const;
  inline urllist_item* wildcard() const;
  inline urllist_item_extra* extra() const;
  void set_child(const urllist_item* n) { child_id = n ? n->self : 0; }
  void set_next(const urllist_item* n) { next_id = n ? n->self : 0; }
  void set_wildcard(const urllist_item* n) { wildcard_id = n ? n->self : 0; }

  bool is_port() const { return kind == URL_PART_PORT; }
  // Root of the case-insensitive slot's sibling tree (that slot always keeps one). Null when
  // the slot is empty.
  urllist_item* nocase_child() const;
  // Port bounds (port nodes; 0 otherwise).
  uint16_t port_low() const { return port_lo; }
  uint16_t port_high() const { return port_hi; }
  // Port text of a port node, host text of an IP host node; empty otherwise. Valid as long as
  // the process (a port text that its bounds spell) or the node (any other).
  std::string_view text() const;
  // True when a query entry ends at this node.
  bool has_queries() const;
};
static_assert(sizeof(urllist_item) == 48, "the list tree is the memory bill: keep nodes small");

// A new default node with its id. Throws std::bad_alloc.
urllist_item* urllist_node_make();
// Destroys the node (its own data, as ~urllist_item) and gives its id back.
void urllist_node_free(urllist_item* node) noexcept;
// Nodes alive in the process (made and not freed): for tests that look for lost nodes.
size_t urllist_node_live_count();

// The id of a new extra record (owned by the node that holds the id), and its release.
// Register throws std::bad_alloc.
uint32_t urllist_extra_register(urllist_item_extra* extra);
void urllist_extra_unregister(uint32_t id) noexcept;

// ---- Ids to addresses -----------------------------------------------------------------------
//
// Ids index chunks of 131,072: a normal build carves nodes from pooled chunks of blocks, so an
// id is the block's place (no allocator header, no table); an AddressSanitizer build gives
// every node its own heap block, so that misuse and leaks still show, and a chunk holds the
// blocks' addresses, stored inverted so that the table does not keep leaked nodes reachable.
// Extra records are always heap objects named through such a table. A chunk, once made, never
// moves, so reading an id needs no lock.

inline constexpr uint32_t URLLIST_ID_CHUNK_BITS = 17;  // 6 MB of nodes: three huge pages
inline constexpr uint32_t URLLIST_ID_CHUNKS = uint32_t{1} << (31 - URLLIST_ID_CHUNK_BITS);
extern void* urllist_node_chunks[URLLIST_ID_CHUNKS];
extern void* urllist_extra_chunks[URLLIST_ID_CHUNKS];

inline urllist_item* urllist_node_at(urllist_node_id id) {
  if (id == 0) return nullptr;
  const uint32_t i = id & ((uint32_t{1} << URLLIST_ID_CHUNK_BITS) - 1);
  void* chunk = urllist_node_chunks[id >> URLLIST_ID_CHUNK_BITS];
  if constexpr (cv_address_sanitizer) {
    return reinterpret_cast<urllist_item*>(~static_cast<uintptr_t*>(chunk)[i]);
  } else {
    return static_cast<urllist_item*>(chunk) + i;
  }
}

inline urllist_item_extra* urllist_extra_at(uint32_t id) {
  if (id == 0) return nullptr;
  const uint32_t i = id & ((uint32_t{1} << URLLIST_ID_CHUNK_BITS) - 1);
  const void* chunk = urllist_extra_chunks[id >> URLLIST_ID_CHUNK_BITS];
  return reinterpret_cast<urllist_item_extra*>(~static_cast<const uintptr_t*>(chunk)[i]);
}

inline urllist_item* urllist_item::child() const { return urllist_node_at(child_id); }
inline urllist_item* urllist_item::next() const { return urllist_node_at(next_id); }
inline urllist_item* urllist_item::wildcard() const { return urllist_node_at(wildcard_id); }
inline urllist_item_extra* urllist_item::extra() const { return urllist_extra_at(extra_id); }

// Releases the node, the older siblings that follow it through `next`, and below each their
// child, case-insensitive and wildcard subtrees, with their data. Iterative (any depth).
// Accepts null. Does not touch the list's child index: release only whole lists, or nodes
// that were never entered in it.
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

// The same with the node hash given (urllist_part_node_hash). Throws std::bad_alloc.
urllist_item* urllist_new_urllist_item_with_hash(std::string_view text, int kind, int flags,
                                                 urllist_hash_value hash);

// The node hash of part `part` of an entry exploded with `flags`: the same value as
// urllist_node_hash of the part's text, without hashing the text again where explode already
// did.
urllist_hash_value urllist_part_node_hash(const urllist_url_part& part, int flags);

// A node that keeps `text` and has hash 0 (IP host nodes). Throws std::bad_alloc.
urllist_item* urllist_new_urllist_nohashed_item(std::string_view text, int kind);

// Releases an action record (used as the release function of the other stores).
void urllist_destroy_item_data(urllist_action* action);

// Lives behind urllist_item::extra; made on first use of any of its fields.
struct urllist_item_extra {
  urllist_item* nocase_child = nullptr;  // root of the case-insensitive slot's tree (owned)
  urllist_item* nocase_head = nullptr;   // newest child of that slot (the list through next)
  urllist_item* child_tree = nullptr;    // root of the child slot's tree (URLLIST_SLOT_TREE)
  // This node's links in its parent slot's sibling tree, when that slot keeps one.
  urllist_item* left = nullptr;
  urllist_item* right = nullptr;
  int8_t balance = 0;  // height(right) - height(left), -1..1
  uint8_t nocase_flags = URLLIST_SLOT_TREE;
  urllist_query_trees queries;
  std::string text;  // port text that its bounds do not spell, or the host text of an IP host
};

// Inline forms of urllist_item::nocase_child() and has_queries() for the lookup, which asks
// them at nearly every node it reaches.
inline urllist_item* urllist_item_nocase_child(const urllist_item* node) {
  return node->extra_id != 0 ? node->extra()->nocase_child : nullptr;
}
inline bool urllist_item_has_queries(const urllist_item* node) {
  return node->extra_id != 0 && !node->extra()->queries.empty();
}

// The extra record of `node`, made when absent. Throws std::bad_alloc.
urllist_item_extra& urllist_item_get_extra(urllist_item* node);

// The hash a node made from part text `text` under explode flags `flags` carries: with
// EXPLODE_HASHED the parsed hash text (CityHash64 of the text when it is no hash text), with
// EXPLODE_NOCASE the hash of the lowercased text, else the hash of the text.
urllist_hash_value urllist_node_hash(std::string_view text, int flags);

// The low bound a port node takes from its part text: the leading digits of `text`, cut to
// 16 bits (urllist_port_text_bounds gives both bounds). REQUIRES: text not null.
uint16_t urllist_port_low_bound(const char* text);
