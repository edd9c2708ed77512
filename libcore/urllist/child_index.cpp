#include "urllist/child_index.h"

namespace {

// Places a node with mixed hash `mix` into `slots` (a free slot exists).
void place(std::vector<uint64_t>& slots, size_t mix, const urllist_item* node) {
  const size_t mask = slots.size() - 1;
  size_t i = mix & mask;
  while (slots[i] != 0) i = (i + 1) & mask;
  slots[i] = urllist_index_tag(mix) | node->self;
}

size_t mix_of(const urllist_item* n) { return urllist_index_mix(n->parent, n->hash, n->kind); }

}  // namespace

void urllist_index_reserve(urllist_child_index& ix, size_t more) {
  size_t size = ix.slots.size();
  if ((ix.count + more) * 5 <= size * 4) return;
  if (size == 0) size = 1024;
  const size_t want = ix.count + more > ix.expected ? ix.count + more : ix.expected;
  while (want * 5 > size * 4) size *= 2;
  std::vector<uint64_t> bigger(size);
  for (uint64_t s : ix.slots) {
    if (s == 0) continue;
    const urllist_item* n = urllist_node_at(static_cast<urllist_node_id>(s));
    place(bigger, mix_of(n), n);
  }
  ix.slots.swap(bigger);
}

void urllist_index_insert(urllist_child_index& ix, urllist_item* node) {
  place(ix.slots, mix_of(node), node);
  ix.count++;
}
