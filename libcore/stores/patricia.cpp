#include "stores/patricia.h"

namespace {
// Several threads may create or release tries (the reverse-DNS tool runs two), so the
// counter is atomic; it is only read by checks.
std::atomic<int> live_tries{0};
}  // namespace

int patricia_live_tries() { return live_tries.load(std::memory_order_relaxed); }

void patricia_detail::count_trie(int delta) {
  live_tries.fetch_add(delta, std::memory_order_relaxed);
}

template class patricia<uint32_t>;
template class patricia<patricia_u128>;

// The node sizes the header promises; a larger node is a memory regression on big lists.
static_assert(sizeof(patricia<uint32_t>::node) == 24);
static_assert(sizeof(patricia<patricia_u128>::node) == 48);
