#pragma once
// Private to the list engine: how the children of a node are kept and found.
//
// A node has two child slots: the child slot, and the case-insensitive slot (the first path
// segments of case-insensitive entries below a host or port node). Each slot lists its
// children in load order (newest first through urllist_item::next), which is all that
// releasing, copying and dumping need. Finding a child:
//
//   - the non-port children of a child slot with more than URLLIST_SLOT_LIST_MAX of them are
//     all in the list's child index (child_index.h): inserting and looking up a part are one
//     probe; a smaller slot is walked (most slots have one child);
//   - where the shape of the siblings decides an answer, the slot also keeps the sibling tree
//     that inserting its children in load order gives (sibling_tree.h): a child slot with a
//     port child (overlapping ranges: the first range the descent meets answers), a child slot
//     whose path children mix case-sensitive and case-insensitive entries (the lookup's key
//     differs by node there, so the descent decides what is found), and every
//     case-insensitive slot (a lookup starts from that tree's root as its alternative).
//
// With a single kind of path child the key is the same for every node of the slot, so the
// index finds exactly the node that a descent of the slot's tree would find.
//
// Thread safety: finding reads; adding and copying need the owning list's write lock.

#include <cstddef>
#include <cstdint>

#include "urllist/child_index.h"
#include "urllist/sibling_tree.h"
#include "urllist/urllist_node.h"

struct urllist;

// Child slots with up to this many non-port children are walked instead of indexed.
inline constexpr size_t URLLIST_SLOT_LIST_MAX = 2;

// True when a slot's flags say its path children mix case-sensitive and case-insensitive
// entries (the slot then keeps a tree, and lookups descend it).
inline bool urllist_slot_mixed_paths(uint8_t flags) {
  constexpr uint8_t both = URLLIST_SLOT_PLAIN_PATH | URLLIST_SLOT_NOCASE_PATH;
  return (flags & both) == both;
}

// The parent field of a child of `parent`'s child slot (nocase false) or case-insensitive
// slot (nocase true).
inline uint32_t urllist_slot_key(const urllist_item* parent, bool nocase) {
  return parent->self | (nocase ? uint32_t{1} << 31 : 0);
}

// The child of `parent`'s child slot (nocase_slot false) or case-insensitive slot (true) that
// matches part `part` of an entry with explode flags `flags`, created and linked when absent.
// Throws std::bad_alloc (the slot is then unchanged). REQUIRES: the write lock.
// `next`: the key the caller will add below the result next, if known (child_index.h).
urllist_item* urllist_child_find_or_add(urllist* list, urllist_item* parent, bool nocase_slot,
                                        const urllist_url_part& part, int flags,
                                        urllist_index_next next = {});

// What a lookup finds for a part of kind `kind` in `parent`'s child slot: for a port part the
// first port node whose range holds `port` in the slot's tree; else the node whose hash equals
// `hash_for(node)` (the part's hash as that node must be compared) and whose kind is `kind`.
// Null when none. The node lives as long as the list.
template <typename HashFor>
const urllist_item* urllist_child_lookup(const urllist_child_index& index,
                                         const urllist_item* parent, uint8_t kind, int port,
                                         HashFor&& hash_for) {
  if (parent->child_id == 0) return nullptr;
  const uint8_t f = parent->child_flags;
  if (kind == URL_PART_PORT) {
    if (!(f & URLLIST_SLOT_TREE)) return nullptr;  // a slot with a port child keeps a tree
    return urllist_sibling_find_port(parent->extra()->child_tree, port);
  }
  if (urllist_slot_mixed_paths(f)) {
    return urllist_sibling_find(parent->extra()->child_tree, kind, hash_for);
  }
  if (!(f & URLLIST_SLOT_INDEXED)) {
    for (const urllist_item* n = parent->child(); n != nullptr; n = n->next()) {
      if (n->kind == kind && n->hash == hash_for(n)) return n;  // port nodes: kinds differ
    }
    return nullptr;
  }
  // One kind of path child: any child stands for all in hash_for (only path parts have a
  // lowercased hash that differs from their own).
  return urllist_index_find(index, urllist_slot_key(parent, false), hash_for(parent->child()),
                            kind);
}

// A copy of `src`'s child slot and wildcard subtree into the empty `dst` (the copies hold one
// more reference to each action; query entries, port bounds and texts are copied; the
// case-insensitive slots are not), with the copies' children entered in the list's index.
// Throws std::bad_alloc (dst is then left without children and nothing is leaked).
// REQUIRES: the write lock; dst has no children and no wildcard.
void urllist_children_copy(urllist* list, const urllist_item* src, urllist_item* dst);
