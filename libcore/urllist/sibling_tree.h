#pragma once
// Private to the list engine: the sibling trees of the URL tree, and the one order they keep.
//
// The nodes of one level below one parent form a height-balanced (AVL) tree threaded through
// the nodes' left, right and balance fields, under one total order:
//
//   non-port nodes  <  port nodes
//   non-port nodes by (hash as signed 64-bit, kind); port nodes by their low bound
//
// Port nodes of an equal low bound but another hash go after the node met (so they may sit on
// either side of one another after rotations). The order, and the shape that the load order
// gives a tree, decide the dump order and which of several overlapping port ranges a lookup
// reaches, so neither may change: insertion, lookup and dump all walk the trees through this
// module.
//
// Thread safety: none of its own. Finding reads the tree; inserting changes it and needs the
// owning list's write lock.

#include <cstdint>

#include "urllist/urllist_node.h"

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
    n = c < 0 ? n->left : n->right;
  }
  return nullptr;
}

// The first port node met in `tree` whose range holds `port` (port -1: only a node of
// 0-65535 matches, and the descent steers by port 0), or null. Which of several overlapping
// ranges is met depends on the tree's shape.
const urllist_item* urllist_sibling_find_port(const urllist_item* tree, int port);

// The child in sibling tree *slot that matches part `part` of an entry with explode flags
// `flags` (non-port parts by their node hash and kind, port parts by their low bound and node
// hash), created and inserted when absent. Throws std::bad_alloc (the tree is then unchanged).
// REQUIRES: the write lock of a shared list.
urllist_item* urllist_sibling_find_or_insert(urllist_item** slot, const urllist_url_part& part,
                                             int flags);

// A new node for `part` with node hash `hash`, inserted into *slot. Throws std::bad_alloc (the
// tree is then unchanged). REQUIRES: no node of *slot matches the part; the write lock.
urllist_item* urllist_sibling_insert_new(urllist_item** slot, const urllist_url_part& part,
                                         int flags, urllist_hash_value hash);
