#include "urllist/child_index.h"

namespace {

size_t index_mix(const urllist_item* parent, urllist_hash_value hash, uint8_t kind) {
  uint64_t x = hash ^ (reinterpret_cast<uintptr_t>(parent) * 0x9E3779B97F4A7C15ull) ^ kind;
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 32;
  return static_cast<size_t>(x);
}

}  // namespace

urllist_item* urllist_index_find(const urllist_child_index& index, const urllist_item* parent,
                                 urllist_hash_value hash, uint8_t kind) {
  const auto& slots = index.slots;
  if (slots.empty()) return nullptr;
  size_t mask = slots.size() - 1;
  for (size_t i = index_mix(parent, hash, kind) & mask;; i = (i + 1) & mask) {
    const urllist_child_index::slot& s = slots[i];
    if (s.node == nullptr) return nullptr;
    if (s.parent == parent && s.node->hash == hash && s.node->kind == kind) return s.node;
  }
}

void urllist_index_reserve(urllist_child_index& ix) {
  if ((ix.count + 1) * 5 > ix.slots.size() * 4) {
    std::vector<urllist_child_index::slot> bigger(ix.slots.empty() ? 1024 : ix.slots.size() * 2);
    size_t mask = bigger.size() - 1;
    for (const auto& s : ix.slots) {
      if (s.node == nullptr) continue;
      size_t i = index_mix(s.parent, s.node->hash, s.node->kind) & mask;
      while (bigger[i].node != nullptr) i = (i + 1) & mask;
      bigger[i] = s;
    }
    ix.slots.swap(bigger);
  }
}

void urllist_index_insert(urllist_child_index& ix, const urllist_item* parent, urllist_item* node) {
  urllist_index_reserve(ix);
  size_t mask = ix.slots.size() - 1;
  size_t i = index_mix(parent, node->hash, node->kind) & mask;
  while (ix.slots[i].node != nullptr) i = (i + 1) & mask;
  ix.slots[i] = {parent, node};
  ix.count++;
}
