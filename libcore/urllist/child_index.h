#pragma once
// Private to the list engine: the child index of a list, (parent, hash, kind) -> node.
//
// The second-level domain nodes below the main root (the children of top-level labels) form
// sibling trees of hundreds of thousands of nodes in big lists. The index finds exactly the
// node the sibling-tree search finds, with one or two cache misses instead of about twenty.
// It holds every node of those trees: a miss means the node is absent. Open addressing with
// linear probing, at most 80% full, size a power of two.
//
// Thread safety: as the list's trees (finding reads, inserting needs the write lock).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "urllist/urllist_node.h"

// Part index of the domain labels that the child index holds (the label below the top-level
// label, in a walk from the main root: scheme 0, top-level label 1).
inline constexpr uint32_t URLLIST_INDEXED_PART = 2;

struct urllist_child_index {
  struct slot {
    const urllist_item* parent = nullptr;
    urllist_item* node = nullptr;
  };
  std::vector<slot> slots;  // size a power of two, or empty
  size_t count = 0;
};

// The child of `parent` with this hash and kind, or null. The node lives as long as the list.
urllist_item* urllist_index_find(const urllist_child_index& index, const urllist_item* parent,
                                 urllist_hash_value hash, uint8_t kind);

// Makes room for one more entry. Throws std::bad_alloc (the index is then unchanged).
void urllist_index_reserve(urllist_child_index& index);

// Records `node` as a child of `parent`. Throws std::bad_alloc (the index is then unchanged).
// REQUIRES: no child of `parent` with the node's hash and kind is recorded.
void urllist_index_insert(urllist_child_index& index, const urllist_item* parent,
                          urllist_item* node);
