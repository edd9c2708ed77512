#pragma once
// Private to the list engine and its tests: the tree node of URL-shaped entries, the pool it
// comes from, and the node operations the store, the lookup and the dump share.
//
// The nodes of one level below one parent form a height-balanced sibling tree threaded
// through the nodes themselves (sibling_tree.h holds its one order). Node layout (64 bytes,
// one cache line, from a pool without per-block overhead):
//
//   hash 8 | left 8 | right 8 | child 8 | wildcard 8 | action 8 | extra 8 | kind balance flags 4
//
// The rarely used fields (case-insensitive child, query trees, port bounds and text, IP host
// text) sit behind `extra`, which stays null for most nodes. There is no parent link: the
// insertion keeps its descent path on the stack.
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

struct urllist_item_extra;

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

// A node that keeps `text` and has hash 0 (IP host nodes). Throws std::bad_alloc.
urllist_item* urllist_new_urllist_nohashed_item(std::string_view text, int kind);

// Deep copy of `node` with its sibling sides, child tree and wildcard child (not the
// case-insensitive child). The copies hold one more reference to each action; query entries
// are copied too. Returns 0 with *copy set (null for a null node), or -1 when memory runs out
// (*copy null, nothing leaked). REQUIRES: the owning list's write lock.
int urllist_clone_urllist_item(const urllist_item* node, urllist_item** copy);

// The same deep copy for callers that let std::bad_alloc travel (nothing is leaked when it
// does). Null for a null node. REQUIRES: the owning list's write lock.
urllist_item* urllist_clone_tree(const urllist_item* node);

// Releases an action record (used as the release function of the other stores).
void urllist_destroy_item_data(urllist_action* action);

// Lives behind urllist_item::extra; made on first use of any of its fields.
struct urllist_item_extra {
  urllist_item* nocase_child = nullptr;  // owned subtree
  urllist_query_trees queries;
  uint16_t port_low = 0;
  uint16_t port_high = 0;
  std::string text;  // port text, or the host text of an IP host node
};

// Inline forms of urllist_item::nocase_child() and has_queries() for the lookup, which asks
// them at nearly every node it reaches.
inline urllist_item* urllist_item_nocase_child(const urllist_item* node) {
  return node->extra != nullptr ? node->extra->nocase_child : nullptr;
}
inline bool urllist_item_has_queries(const urllist_item* node) {
  return node->extra != nullptr && !node->extra->queries.empty();
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
