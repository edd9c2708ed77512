#include <sys/mman.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "urllist/urllist_node.h"
#include "util/sanitizer.h"

namespace {

// Sanitizer builds use the plain heap, so that misuse of a released node is caught.
constexpr bool node_pool_enabled = !cv_address_sanitizer;

// Blocks of sizeof(urllist_item) bytes carved from chunks; released blocks go to a free list
// and are reused. Chunks are kept for the life of the process. Guarded by a mutex: separate
// lists may be filled on separate threads.
//
// The first chunks are 64 KB, so that small lists stay small. Past 2 MB of nodes the chunks
// are 2 MB blocks on 2 MB boundaries that the kernel is asked to back with huge pages: a
// lookup or insertion in a big list hops between nodes spread over hundreds of megabytes,
// and with 4 KB pages nearly every hop also misses the TLB.
class node_pool {
 public:
  void* take() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (free_ != nullptr) {
      void* p = free_;
      free_ = *static_cast<void**>(p);
      return p;
    }
    if (next_ == end_) grow();
    return next_++;
  }
  void give(void* p) noexcept {
    std::lock_guard<std::mutex> hold(mutex_);
    *static_cast<void**>(p) = free_;
    free_ = p;
  }

 private:
  // Aligned to the cache line: a 64-byte node at the 16-byte alignment of a plain heap chunk
  // straddles two lines, so every step of a sibling-tree descent (hash at the start, kind at
  // the end) would touch two.
  struct alignas(64) block {
    unsigned char bytes[sizeof(urllist_item)];
  };
  static constexpr size_t small_chunk = 65536;
  static constexpr size_t huge_chunk = size_t{2} << 20;
  static constexpr size_t small_chunks = huge_chunk / small_chunk;

  void grow() {
    chunks_.reserve(chunks_.size() + 1);  // may throw; nothing allocated yet
    bool huge = chunks_.size() >= small_chunks;
    size_t bytes = huge ? huge_chunk : small_chunk;
    // Raw memory for the life of the process (the pool is never destroyed).
    void* p = std::aligned_alloc(huge ? huge_chunk : alignof(block), bytes);
    if (p == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (huge) madvise(p, bytes, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
    chunks_.push_back(p);
    next_ = static_cast<block*>(p);
    end_ = next_ + bytes / sizeof(block);
  }

  std::mutex mutex_;
  void* free_ = nullptr;
  block* next_ = nullptr;
  block* end_ = nullptr;
  std::vector<void*> chunks_;
};

node_pool& the_node_pool() {
  // Never destroyed: lists held in static objects may release their nodes during exit.
  static node_pool* pool = new node_pool();
  return *pool;
}

}  // namespace

void* urllist_item::operator new(size_t size) {
  if (!node_pool_enabled || size != sizeof(urllist_item)) return ::operator new(size);
  return the_node_pool().take();
}

void urllist_item::operator delete(void* p) noexcept {
  if (p == nullptr) return;
  if (!node_pool_enabled) {
    ::operator delete(p);
    return;
  }
  the_node_pool().give(p);
}
