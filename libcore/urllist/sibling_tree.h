#pragma once
// Private to the list engine: sibling trees, and the one order they keep.
//
// Where the shape of a set of siblings decides an answer, the siblings form a height-balanced
// (AVL) tree, linked through their extra records (urllist_item_extra::left, right, balance),
// under one total order:
//
//   non-port nodes  <  port nodes
//   non-port nodes by (hash as signed 64-bit, kind); port nodes by their low bound
//
// Port nodes of an equal low bound but another hash go after the node met (so they may sit on
// either side of one another after rotations). The order, and the shape that inserting the
// siblings in load order gives a tree, decide the dump order, which of several overlapping
// port ranges a lookup reaches, and which node a lookup meets first where case-sensitive and
// case-insensitive path siblings mix; so neither may change. A tree is therefore always the
// one that inserting its nodes one by one in load order builds (urllist_sibling_tree_build
// rebuilds exactly that tree from a load-order list), and the insertion, the lookup and the
// dump all go through this module.
//
// Thread safety: none of its own. Finding reads the tree; inserting changes it and needs the
// owning list's write lock.

#include <cstdint>
#include <vector>

#include "urllist/urllist_node.h"

// The tree links of `n` (null when it has no extra record).
inline const urllist_item* urllist_sibling_left(const urllist_item* n) {
  return n->extra_id != 0 ? n->extra()->left : nullptr;
}
inline const urllist_item* urllist_sibling_right(const urllist_item* n) {
  return n->extra_id != 0 ? n->extra()->right : nullptr;
}

// Where a non-port key (hash, kind) stands relative to node `n` in the order: <0 before,
// >0 after, 0 the node's own place.
inline int urllist_sibling_order(urllist_hash_value hash, uint8_t kind, const urllist_item* n) {
  if (n->is_port()) return -1;
  auto a = static_cast<int64_t>(hash);
  auto b = static_cast<int64_t>(n->hash);
  if (a != b) return a < b ? -1 : 1;
  if (kind != n->kind) return kind < n->kind ? -1 : 1;
  return 0;
}

// The non-port node of `tree` whose (hash, kind) equals the key, or null. `hash_for(node)`
// gives the key's hash as node `node` must be compared: the lookup compares a case-insensitive
// node with the hash of the lowercased part, so the key may change along the descent.
template <typename HashFor>
const urllist_item* urllist_sibling_find(const urllist_item* tree, uint8_t kind,
                                         HashFor&& hash_for) {
  for (const urllist_item* n = tree; n != nullptr;) {
    int c = urllist_sibling_order(hash_for(n), kind, n);
    if (c == 0) return n;
    n = c < 0 ? urllist_sibling_left(n) : urllist_sibling_right(n);
  }
  return nullptr;
}

// The first port node met in `tree` whose range holds `port` (port -1: only a node of
// 0-65535 matches, and the descent steers by port 0), or null. Which of several overlapping
// ranges is met depends on the tree's shape.
const urllist_item* urllist_sibling_find_port(const urllist_item* tree, int port);

// The node of tree `root` with this key (non-port: hash and kind; port: low bound `port_low`
// and hash, on either side of equal low bounds), or null.
urllist_item* urllist_sibling_find_key(urllist_item* root, urllist_hash_value hash, uint8_t kind,
                                       uint16_t port_low);

// Inserts `fresh` into the tree *root (its links are reset first). REQUIRES: fresh has an
// extra record; no node of the tree has its key; the write lock.
void urllist_sibling_insert(urllist_item** root, urllist_item* fresh);

// Rebuilds, into *root, the tree of the nodes `load_order` (oldest first): exactly the tree
// that inserting them one by one gives. REQUIRES: every node has an extra record.
void urllist_sibling_tree_build(urllist_item** root, const std::vector<urllist_item*>& load_order);

// A copy of a tree's shape kept beside the list, for readers that must not change the list
// (the dump): nodes[i].left and right are indices into `nodes`, -1 for none.
struct urllist_sibling_shadow {
  struct node {
    const urllist_item* item;
    int32_t left;
    int32_t right;
    int8_t balance;
  };
  std::vector<node> nodes;
  int32_t root = -1;
};

// Builds into `shadow` the tree that inserting the nodes `load_order` (oldest first) one by
// one gives: the same shape as urllist_sibling_tree_build. Throws std::bad_alloc.
void urllist_sibling_shadow_build(urllist_sibling_shadow& shadow,
                                  const std::vector<const urllist_item*>& load_order);
