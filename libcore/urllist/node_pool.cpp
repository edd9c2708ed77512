// The node pool and the id tables (urllist_node.h).
#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

#include "urllist/urllist_node.h"
#include "util/sanitizer.h"

void* urllist_node_chunks[URLLIST_ID_CHUNKS];
void* urllist_extra_chunks[URLLIST_ID_CHUNKS];

namespace {

constexpr uint32_t chunk_size = uint32_t{1} << URLLIST_ID_CHUNK_BITS;

// Ids handed out from chunks of `chunk_size`, with a free list of given-back ids (threaded
// through `link`, which stores the next free id of a free id). Id 0 is never handed out.
// Guarded by a mutex: separate lists may be filled on separate threads.
class id_space {
 public:
  // A free id; `grow(chunk)` makes chunk `chunk` usable first when the id is in a new one.
  template <typename Grow, typename Link>
  uint32_t take(Grow&& grow, Link&& link) {
    if (free_ != 0) {
      uint32_t id = free_;
      free_ = link(id);
      return id;
    }
    const uint32_t chunk = next_ >> URLLIST_ID_CHUNK_BITS;
    if (chunk == made_chunks_) {
      if (chunk >= URLLIST_ID_CHUNKS) throw std::bad_alloc();  // 2^31 ids in use
      grow(chunk);                                             // may throw: nothing taken yet
      made_chunks_ = chunk + 1;
    }
    return next_++;
  }
  template <typename Link>
  void give(uint32_t id, Link&& set_link) noexcept {
    set_link(id, free_);
    free_ = id;
  }

 private:
  uint32_t free_ = 0;
  uint32_t next_ = 1;
  uint32_t made_chunks_ = 0;
};

struct node_space {
  std::mutex mutex;
  id_space ids;
  std::atomic<size_t> live{0};
};

node_space& nodes() {
  static auto* s = new node_space();  // never destroyed: lists may outlive static objects
  return *s;
}

// Normal builds: a chunk is one array of node blocks. Past the first, chunks sit on 2 MB
// boundaries and the kernel is asked to back them with huge pages (a descent hops between
// nodes spread over hundreds of megabytes; with 4 KB pages nearly every hop would also miss
// the TLB). The first chunk stays in small pages, touched only as far as it is used, so that
// small lists stay small.
void grow_pool(uint32_t chunk) {
  const size_t bytes = size_t{chunk_size} * sizeof(urllist_item);
  const bool huge = chunk > 0;
  constexpr size_t huge_page = size_t{2} << 20;
  const size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
  void* p = huge ? std::aligned_alloc(huge_page, rounded)
                 : std::aligned_alloc(alignof(urllist_item), bytes);
  if (p == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
  if (huge) madvise(p, rounded, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
  urllist_node_chunks[chunk] = p;  // raw memory for the life of the process
}

// AddressSanitizer builds: chunks of inverted block addresses.
void grow_table(void** chunks, uint32_t chunk) {
  auto* table = static_cast<uintptr_t*>(std::calloc(chunk_size, sizeof(uintptr_t)));
  if (table == nullptr) throw std::bad_alloc();
  chunks[chunk] = table;
}

uintptr_t& table_entry(void* const* chunks, uint32_t id) {
  return static_cast<uintptr_t*>(chunks[id >> URLLIST_ID_CHUNK_BITS])[id & (chunk_size - 1)];
}

struct extra_space {
  std::mutex mutex;
  id_space ids;
};

extra_space& extras() {
  static auto* s = new extra_space();
  return *s;
}

}  // namespace

urllist_item* urllist_node_make() {
  node_space& s = nodes();
  void* block;
  uint32_t id;
  {
    std::lock_guard<std::mutex> hold(s.mutex);
    if constexpr (cv_address_sanitizer) {
      block = ::operator new(sizeof(urllist_item));  // may throw: nothing taken yet
      try {
        id = s.ids.take([](uint32_t chunk) { grow_table(urllist_node_chunks, chunk); },
                        [&](uint32_t free_id) {
                          return static_cast<uint32_t>(table_entry(urllist_node_chunks, free_id));
                        });
      } catch (...) {
        ::operator delete(block);
        throw;
      }
      table_entry(urllist_node_chunks, id) = ~reinterpret_cast<uintptr_t>(block);
    } else {
      id = s.ids.take(
          [](uint32_t chunk) { grow_pool(chunk); },
          [&](uint32_t free_id) { return *reinterpret_cast<uint32_t*>(urllist_node_at(free_id)); });
      block = urllist_node_at(id);
    }
  }
  auto* node = ::new (block) urllist_item();
  node->self = id;
  s.live.fetch_add(1, std::memory_order_relaxed);
  return node;
}

void urllist_node_free(urllist_item* node) noexcept {
  if (node == nullptr) return;
  node_space& s = nodes();
  const uint32_t id = node->self;
  node->~urllist_item();
  std::lock_guard<std::mutex> hold(s.mutex);
  if constexpr (cv_address_sanitizer) {
    ::operator delete(static_cast<void*>(node));
    s.ids.give(id, [](uint32_t free_id, uint32_t next) {
      table_entry(urllist_node_chunks, free_id) = next;
    });
  } else {
    s.ids.give(id, [node](uint32_t, uint32_t next) { *reinterpret_cast<uint32_t*>(node) = next; });
  }
  s.live.fetch_sub(1, std::memory_order_relaxed);
}

size_t urllist_node_live_count() { return nodes().live.load(std::memory_order_relaxed); }

uint32_t urllist_extra_register(urllist_item_extra* extra) {
  extra_space& s = extras();
  std::lock_guard<std::mutex> hold(s.mutex);
  void** chunks = urllist_extra_chunks;
  uint32_t id = s.ids.take(
      [chunks](uint32_t chunk) { grow_table(chunks, chunk); },
      [&](uint32_t free_id) { return static_cast<uint32_t>(table_entry(chunks, free_id)); });
  table_entry(chunks, id) = ~reinterpret_cast<uintptr_t>(extra);
  return id;
}

void urllist_extra_unregister(uint32_t id) noexcept {
  extra_space& s = extras();
  std::lock_guard<std::mutex> hold(s.mutex);
  void** chunks = urllist_extra_chunks;
  s.ids.give(id, [&](uint32_t free_id, uint32_t next) { table_entry(chunks, free_id) = next; });
}
