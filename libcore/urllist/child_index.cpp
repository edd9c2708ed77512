#include "urllist/child_index.h"

namespace {

// Places a node with mixed hash `mix` into `slots` (a free slot exists).
void place(std::vector<uintptr_t>& slots, bool tagged, size_t mix, urllist_item* node) {
  const size_t mask = slots.size() - 1;
  size_t i = mix & mask;
  while (slots[i] != 0) i = (i + 1) & mask;
  slots[i] = reinterpret_cast<uintptr_t>(node) | (tagged ? urllist_index_tag(mix) : 0);
}

size_t mix_of(const urllist_item* n) { return urllist_index_mix(n->parent, n->hash, n->kind); }

}  // namespace

void urllist_index_reserve(urllist_child_index& ix, size_t more) {
  size_t size = ix.slots.size();
  if ((ix.count + more) * 5 <= size * 4) return;
  if (size == 0) size = 1024;
  const size_t want = ix.count + more > ix.expected ? ix.count + more : ix.expected;
  while (want * 5 > size * 4) size *= 2;
  std::vector<uintptr_t> bigger(size);
  const uintptr_t address_mask = ix.tagged ? URLLIST_INDEX_ADDRESS_MASK : ~uintptr_t{0};
  for (uintptr_t s : ix.slots) {
    if (s == 0) continue;
    auto* n = reinterpret_cast<urllist_item*>(s & address_mask);
    place(bigger, ix.tagged, mix_of(n), n);
  }
  ix.slots.swap(bigger);
}

void urllist_index_insert(urllist_child_index& ix, urllist_item* node) {
  if (ix.tagged && (reinterpret_cast<uintptr_t>(node) & ~URLLIST_INDEX_ADDRESS_MASK) != 0) {
    // An address with high bits set: strip the tags from every slot and go on untagged.
    for (uintptr_t& s : ix.slots) s &= URLLIST_INDEX_ADDRESS_MASK;
    ix.tagged = false;
  }
  place(ix.slots, ix.tagged, mix_of(node), node);
  ix.count++;
}
