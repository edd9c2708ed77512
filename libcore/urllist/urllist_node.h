#pragma once
// Private to the list engine (list store, lookup, dump): the rarely used fields of a tree
// node, the pieces of the sibling-tree order the lookup shares with insertion, and the
// optional stores whose modules may be absent from a build.

#include <cstdint>
#include <string>

#include "urllist/query.h"
#include "urllist/urllist.h"

// Lives behind urllist_item::extra; made on first use of any of its fields.
struct urllist_item_extra {
  urllist_item* nocase_child = nullptr;  // owned subtree
  urllist_query_trees queries;
  uint16_t port_low = 0;
  uint16_t port_high = 0;
  std::string text;  // port text, or the host text of an IP host node
};

// Inline forms of urllist_item::nocase_child() and has_queries() for the lookup, which asks
// them at nearly every node it reaches; the members are out of line because urllist.h cannot
// see this record.
inline urllist_item* urllist_item_nocase_child(const urllist_item* node) {
  return node->extra != nullptr ? node->extra->nocase_child : nullptr;
}
inline bool urllist_item_has_queries(const urllist_item* node) {
  return node->extra != nullptr && !node->extra->queries.empty();
}

// The extra record of `node`, made when absent. Throws std::bad_alloc.
urllist_item_extra& urllist_item_get_extra(urllist_item* node);

// Part index of the domain labels that the child index holds (the label below the top-level
// label, in a walk from the main root: scheme 0, top-level label 1).
inline constexpr uint32_t URLLIST_INDEXED_PART = 2;

// The indexed child of `parent` with this hash and kind, or null.
urllist_item* urllist_index_find(const urllist* list, const urllist_item* parent,
                                 urllist_hash_value hash, uint8_t kind);

// Makes room for one more entry. Throws std::bad_alloc (the index is then unchanged).
void urllist_index_reserve(urllist* list);

// Records `node` as a child of `parent`. Throws std::bad_alloc (the index is then unchanged).
void urllist_index_insert(urllist* list, const urllist_item* parent, urllist_item* node);
