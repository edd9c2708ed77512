#pragma once
// Private to the list engine: the child index of a list, (slot, hash, kind) -> child.
//
// The non-port children of every child slot that has more than a couple of them
// (children.h) are entered here, so that finding a child by its exact key takes one or two
// cache misses whatever the number of its siblings (top-level labels have hundreds of
// thousands in big lists). The key's slot is the child's
// `parent` field; a slot of the index holds only the child's id, and a probe compares
// the child's parent, hash and kind. Open addressing with linear probing, at most 80% full,
// size a power of two.
//
// A slot is 8 bytes: the child's id in the low 32 bits and 32 other bits of the key's hash
// in the high ones, so that a probe reads a node only when those agree: a miss (every new
// node) does not cost a cache miss per slot passed.
//
// Thread safety: as the list's trees (finding reads, inserting needs the write lock).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "urllist/urllist_node.h"

struct urllist_child_index {
  std::vector<uint64_t> slots;  // tag << 32 | id; 0 empty; size a power of two, or empty
  size_t count = 0;
  // How many entries the index is expected to hold in the end (0: unknown). A growth goes
  // straight to a size that holds them: every doubling reads every node again, and the last
  // ones, of millions of nodes, cost more than the whole load of a small list.
  size_t expected = 0;
};

// The key a caller will look for next below the node it is looking for now (kind 0: none).
// A descent reads a slot, then the node, then the next level's slot: each a cache miss in a
// big list. Knowing the next key, the probe asks for the next level's slot as soon as it has
// the candidate node's address, so that the two misses overlap.
struct urllist_index_next {
  urllist_hash_value hash = 0;
  uint8_t kind = 0;
};

// The child of slot `parent` (a urllist_item::parent value) with this hash and kind, or null.
// The node lives as long as the list.
inline urllist_item* urllist_index_find(const urllist_child_index& index, uint32_t parent,
                                        urllist_hash_value hash, uint8_t kind,
                                        urllist_index_next next = {});

// Makes room for `more` entries (and, when it has to grow, for `expected`). Throws
// std::bad_alloc (the index is then unchanged).
void urllist_index_reserve(urllist_child_index& index, size_t more);

// Enters `node` under its `parent` field. REQUIRES: room made by urllist_index_reserve; no
// node with the same parent, hash and kind entered.
void urllist_index_insert(urllist_child_index& index, urllist_item* node);

// ---- Implementation details -----------------------------------------------------------------

inline size_t urllist_index_mix(uint32_t parent, urllist_hash_value hash, uint8_t kind) {
  static_assert(sizeof(size_t) == 8, "the index takes 64-bit mixes");
  uint64_t x = hash ^ (static_cast<uint64_t>(parent) * 0x9E3779B97F4A7C15ull) ^ kind;
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 32;
  return static_cast<size_t>(x);
}

// The tag bits of a key's mixed hash (the position uses the low bits).
inline uint64_t urllist_index_tag(size_t mix) { return static_cast<uint64_t>(mix >> 32) << 32; }

inline urllist_item* urllist_index_find(const urllist_child_index& index, uint32_t parent,
                                        urllist_hash_value hash, uint8_t kind,
                                        urllist_index_next next) {
  const auto& slots = index.slots;
  if (slots.empty()) return nullptr;
  const size_t mix = urllist_index_mix(parent, hash, kind);
  const uint64_t tag = urllist_index_tag(mix);
  const size_t mask = slots.size() - 1;
  for (size_t i = mix & mask;; i = (i + 1) & mask) {
    const uint64_t s = slots[i];
    if (s == 0) return nullptr;
    if ((s & ~uint64_t{0xffffffff}) != tag) continue;
    urllist_item* n = urllist_node_at(static_cast<urllist_node_id>(s));
    if (next.kind != 0) {
      // The key of n's child slot (urllist_slot_key without including children.h).
      __builtin_prefetch(&slots[urllist_index_mix(n->self, next.hash, next.kind) & mask]);
    }
    if (n->hash == hash && n->parent == parent && n->kind == kind) return n;
  }
}
