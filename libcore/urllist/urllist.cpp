#include "urllist/urllist.h"

#include <strings.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <tuple>

#include "stores/iplist.h"
#include "stores/keywordlist.h"
#include "stores/regexp_entries.h"
#include "urllist/digest.h"
#include "urllist/ext_entries.h"
#include "urllist/urllist_node.h"
#include "util/category_set.h"
#include "util/cvlog.h"
#include "util/rwl.h"

// ---- Nodes ------------------------------------------------------------------------------------

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool node_pool_enabled = false;  // GCC with AddressSanitizer
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool node_pool_enabled = false;  // clang with AddressSanitizer
#else
constexpr bool node_pool_enabled = true;
#endif
#else
constexpr bool node_pool_enabled = true;
#endif

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

urllist_item::~urllist_item() {
  // Nodes own their extra record; the subtrees are released by the iterative walk of
  // urllist_terminate_urllist_item, which detaches them first.
  delete extra;  // owned raw pointer: the node must stay 64 bytes
}

urllist_item* urllist_item::nocase_child() const { return extra ? extra->nocase_child : nullptr; }
uint16_t urllist_item::port_low() const { return extra ? extra->port_low : 0; }
uint16_t urllist_item::port_high() const { return extra ? extra->port_high : 0; }
std::string_view urllist_item::text() const {
  return extra ? std::string_view(extra->text) : std::string_view();
}
bool urllist_item::has_queries() const { return extra != nullptr && !extra->queries.empty(); }

urllist_item_extra& urllist_item_get_extra(urllist_item* node) {
  if (node->extra == nullptr) node->extra = new urllist_item_extra();  // owned by the node
  return *node->extra;
}

void urllist_terminate_urllist_item_data(urllist_item* node) {
  if (node == nullptr) return;
  if (node->extra != nullptr) urllist_terminate_query_trees(&node->extra->queries);
  node->action.reset();
}

void urllist_terminate_urllist_item(urllist_item* node) {
  if (node == nullptr) return;
  // Iterative: a list of long paths is thousands of levels deep. The first 64 pending nodes
  // wait in a local array, so that releasing a small tree allocates nothing: this runs on
  // the clean-up paths of a failed allocation, where asking for memory again would fail
  // again (and leak the node, or end the program from a destructor).
  urllist_item* local[64];
  size_t in_local = 0;
  std::vector<urllist_item*> spill;
  auto push = [&](urllist_item* n) {
    if (in_local < std::size(local)) {
      local[in_local++] = n;
    } else {
      spill.push_back(n);
    }
  };
  push(node);
  while (in_local > 0 || !spill.empty()) {
    urllist_item* n;
    if (!spill.empty()) {
      n = spill.back();
      spill.pop_back();
    } else {
      n = local[--in_local];
    }
    for (urllist_item* sub : {n->left, n->right, n->child, n->wildcard, n->nocase_child()}) {
      if (sub != nullptr) push(sub);
    }
    delete n;  // nodes are plain heap records linked by raw pointers (see urllist.h)
  }
}

namespace {

uint16_t parse_port_bound(const char* p) {
  unsigned long v = 0;
  while (*p >= '0' && *p <= '9') {
    v = v * 10 + static_cast<unsigned long>(*p - '0');
    if (v > 0xffffffffUL) v = 0xffffffffUL;  // keep going without overflow
    ++p;
  }
  return static_cast<uint16_t>(v);  // cut to 16 bits, as the stored bounds are
}

}  // namespace

std::pair<uint16_t, uint16_t> urllist_port_text_bounds(const char* text) {
  if (text == nullptr) return {0, 0};
  uint16_t low = parse_port_bound(text);
  const char* dash = std::strchr(text, '-');
  return {low, dash ? parse_port_bound(dash + 1) : low};
}

namespace {

// The hash a node made from this part text and these flags carries.
urllist_hash_value node_hash_of(std::string_view text, int flags) {
  if (flags & EXPLODE_HASHED) {
    urllist_hash_value h = 0;
    if (urllist_str2hash(text, &h) == 0) return h;
    return urllist_hash(text);
  }
  if (flags & EXPLODE_NOCASE) {
    std::string lower(text);
    for (char& c : lower) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return urllist_hash(lower);
  }
  return urllist_hash(text);
}

void set_port_bounds(urllist_item* node, std::string_view text) {
  urllist_item_extra& x = urllist_item_get_extra(node);
  x.text.assign(text);
  std::tie(x.port_low, x.port_high) = urllist_port_text_bounds(x.text.c_str());
}

}  // namespace

urllist_item* urllist_new_urllist_item(std::string_view text, int kind, int flags) {
  auto* node = new urllist_item();  // raw: linked into sibling trees by pointer
  node->kind = static_cast<uint8_t>(kind);
  node->nocase = (flags & EXPLODE_NOCASE) ? 1 : 0;
  try {
    if (kind == URL_PART_PORT) set_port_bounds(node, text);
    node->hash = node_hash_of(text, flags);
  } catch (...) {
    delete node;
    throw;
  }
  return node;
}

urllist_item* urllist_new_urllist_nohashed_item(std::string_view text, int kind) {
  auto* node = new urllist_item();
  node->kind = static_cast<uint8_t>(kind);
  try {
    urllist_item_get_extra(node).text.assign(text);
  } catch (...) {
    delete node;
    throw;
  }
  return node;
}

namespace {

// Deep copy; throws std::bad_alloc after releasing what it made.
urllist_item* clone_rec(const urllist_item* src, bool with_siblings) {
  if (src == nullptr) return nullptr;
  auto* copy = new urllist_item();
  try {
    copy->hash = src->hash;
    copy->kind = src->kind;
    copy->balance = src->balance;
    copy->nocase = src->nocase;
    copy->ip_host = src->ip_host;
    copy->action = src->action;
    if (src->extra != nullptr) {
      urllist_item_extra& x = urllist_item_get_extra(copy);
      x.port_low = src->extra->port_low;
      x.port_high = src->extra->port_high;
      x.text = src->extra->text;
      if (urllist_clone_urllist_item_query(src->extra->queries, &x.queries) != 0) {
        throw std::bad_alloc();
      }
    }
    if (with_siblings) {
      copy->left = clone_rec(src->left, true);
      copy->right = clone_rec(src->right, true);
    }
    copy->child = clone_rec(src->child, true);
    copy->wildcard = clone_rec(src->wildcard, true);
  } catch (...) {
    urllist_terminate_urllist_item(copy);
    throw;
  }
  return copy;
}

}  // namespace

int urllist_clone_urllist_item(const urllist_item* node, urllist_item** copy) {
  if (copy == nullptr) return -1;
  *copy = nullptr;
  try {
    *copy = clone_rec(node, true);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

void urllist_destroy_item_data(urllist_action* action) {
  if (action == nullptr) return;
  // The stores that use this as their release function own exactly one reference.
  urllist_action_drop(action);
}

// ---- Sibling trees ----------------------------------------------------------------------------

namespace {

// The key of a part being inserted.
struct node_key {
  urllist_hash_value hash;
  uint8_t kind;
  uint16_t port;  // low bound for port parts
};

// <0 key before node, >0 after, 0 equal. Port parts with an equal low bound but another hash
// go after (the caller looks for an equal port node separately).
int key_compare(const node_key& k, const urllist_item* n) {
  bool kp = k.kind == URL_PART_PORT;
  if (kp != n->is_port()) return kp ? 1 : -1;
  if (kp) {
    uint16_t low = n->port_low();
    if (k.port != low) return k.port < low ? -1 : 1;
    return k.hash == n->hash ? 0 : 1;
  }
  auto a = static_cast<int64_t>(k.hash);
  auto b = static_cast<int64_t>(n->hash);
  if (a != b) return a < b ? -1 : 1;
  if (k.kind != n->kind) return k.kind < n->kind ? -1 : 1;
  return 0;
}

// A port node with the key's hash; nodes of an equal low bound may sit on either side of one
// another after rotations, so both sides are searched there.
urllist_item* find_port_node(urllist_item* n, const node_key& k) {
  while (n != nullptr) {
    if (!n->is_port()) {
      n = n->right;
      continue;
    }
    uint16_t low = n->port_low();
    if (k.port < low) {
      n = n->left;
    } else if (k.port > low) {
      n = n->right;
    } else {
      if (n->hash == k.hash) return n;
      if (urllist_item* l = find_port_node(n->left, k)) return l;
      n = n->right;
    }
  }
  return nullptr;
}

urllist_item* rotate_left(urllist_item* a) {
  urllist_item* b = a->right;
  a->right = b->left;
  b->left = a;
  return b;
}
urllist_item* rotate_right(urllist_item* a) {
  urllist_item* b = a->left;
  a->left = b->right;
  b->right = a;
  return b;
}

// Rebalances the subtree `a` whose balance reached +-2; returns the new root and whether the
// height went back to what it was before the insertion.
urllist_item* rebalance(urllist_item* a) {
  if (a->balance > 1) {
    urllist_item* b = a->right;
    if (b->balance >= 0) {
      urllist_item* r = rotate_left(a);
      a->balance = 0;
      b->balance = 0;
      return r;
    }
    urllist_item* c = b->left;
    a->right = rotate_right(b);
    urllist_item* r = rotate_left(a);
    a->balance = c->balance > 0 ? -1 : 0;
    b->balance = c->balance < 0 ? 1 : 0;
    c->balance = 0;
    return r;
  }
  urllist_item* b = a->left;
  if (b->balance <= 0) {
    urllist_item* r = rotate_right(a);
    a->balance = 0;
    b->balance = 0;
    return r;
  }
  urllist_item* c = b->right;
  a->left = rotate_left(b);
  urllist_item* r = rotate_right(a);
  a->balance = c->balance < 0 ? 1 : 0;
  b->balance = c->balance > 0 ? -1 : 0;
  c->balance = 0;
  return r;
}

// Inserts `fresh` below *slot; returns true when the subtree grew in height.
bool avl_insert(urllist_item** slot, urllist_item* fresh, const node_key& k) {
  urllist_item* n = *slot;
  if (n == nullptr) {
    *slot = fresh;
    return true;
  }
  int c = key_compare(k, n);
  if (c < 0) {
    if (!avl_insert(&n->left, fresh, k)) return false;
    if (--n->balance == 0) return false;
    if (n->balance == -1) return true;
  } else {
    if (!avl_insert(&n->right, fresh, k)) return false;
    if (++n->balance == 0) return false;
    if (n->balance == 1) return true;
  }
  *slot = rebalance(n);
  return false;
}

// A new node for the part, inserted into the sibling tree *slot. REQUIRES: no sibling matches.
urllist_item* insert_new(urllist_item** slot, const urllist_url_part& part, int flags,
                         urllist_hash_value hash) {
  urllist_item* fresh =
      urllist_new_urllist_item(std::string_view(part.text, part.len), part.kind, flags);
  avl_insert(slot, fresh, node_key{hash, part.kind, fresh->port_low()});
  return fresh;
}

// The sibling of *slot that matches the part, created and inserted when absent.
urllist_item* find_or_insert(urllist_item** slot, const urllist_url_part& part, int flags) {
  std::string_view text(part.text, part.len);
  node_key k{node_hash_of(text, flags), part.kind, 0};
  if (part.kind == URL_PART_PORT) {
    k.port = parse_port_bound(part.text);
    if (urllist_item* found = find_port_node(*slot, k)) return found;
  } else {
    for (urllist_item* n = *slot; n != nullptr;) {
      int c = key_compare(k, n);
      if (c == 0) return n;
      n = c < 0 ? n->left : n->right;
    }
  }
  urllist_item* fresh = urllist_new_urllist_item(text, part.kind, flags);
  avl_insert(slot, fresh, k);
  return fresh;
}

size_t index_mix(const urllist_item* parent, urllist_hash_value hash, uint8_t kind) {
  uint64_t x = hash ^ (reinterpret_cast<uintptr_t>(parent) * 0x9E3779B97F4A7C15ull) ^ kind;
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 32;
  return static_cast<size_t>(x);
}

enum attach_mode { ATTACH_MERGE, ATTACH_KEEP, ATTACH_REPLACE };

void attach_action(urllist_action_ref& slot, const urllist_action_ref& action, attach_mode mode) {
  if (!slot) {
    slot = action;
    return;
  }
  if (slot.get() == action.get() || mode == ATTACH_KEEP) return;
  // Merging moves the new action's rules into the present one. When the new action is already
  // stored elsewhere too (a range spread over several prefixes), moving its rules would empty
  // that other slot's action, so it then replaces instead.
  if (mode == ATTACH_MERGE && action->refcount <= 1 &&
      urllist_action_append_action_data(slot.get(), action.get())) {
    slot->expiry = action->expiry;
    return;
  }
  slot = action;
}

bool is_wildcard_part(const urllist_exploded_url& url, const urllist_url_part& p) {
  if (p.text != nullptr && p.len == 1 && p.text[0] == '*') return true;
  if (p.hash == URLLIST_HASH_STAR && p.kind != URL_PART_QUERY) return true;
  return p.kind == URL_PART_PORT && url.port == -1;
}

// Walks the entry's parts from `start`, creating nodes as needed, and attaches the action
// where the entry ends. Returns 0 or -2.
int urllist_add_to_tree(urllist* list, urllist_item* start, urllist_exploded_url* url,
                        uint32_t first, const urllist_action_ref& action, attach_mode mode,
                        int flags) {
  if (url->part_count == 0 || first >= url->part_count) return -2;
  if (first == 0 && url->parts[0].text == nullptr) return -2;
  urllist_item* node = start;
  for (uint32_t i = first; i < url->part_count; ++i) {
    urllist_url_part& p = url->parts[i];
    if (p.kind == URL_PART_END) break;
    if (p.kind == URL_PART_QUERY) {
      const char* qtext = p.text ? p.text : "";
      urllist_query_item* item =
          urllist_query_add(url, qtext, &urllist_item_get_extra(node).queries, flags);
      if (item != nullptr) {
        attach_action(item->action, action, mode);
        return 0;
      }
      // Readers of a shared list must never see a query entry turn into a path entry.
      if (list->shared()) return -2;
      break;  // attached to the node reached
    }
    if (is_wildcard_part(*url, p)) {
      if (node->wildcard == nullptr) {
        node->wildcard = urllist_new_urllist_item(std::string_view(p.text, p.len), p.kind, flags);
      }
      node = node->wildcard;
      continue;
    }
    urllist_item** slot = &node->child;
    if ((flags & EXPLODE_NOCASE) && p.kind == URL_PART_PATH && node->kind != URL_PART_PATH) {
      slot = &urllist_item_get_extra(node).nocase_child;
    }
    if (start == &list->root && i == URLLIST_INDEXED_PART && p.kind == URL_PART_DOMAIN &&
        slot == &node->child) {
      urllist_item* parent = node;
      urllist_hash_value h =
          (flags & EXPLODE_HASHED) ? node_hash_of(std::string_view(p.text, p.len), flags) : p.hash;
      node = urllist_index_find(list, parent, h, p.kind);
      if (node == nullptr) {
        // The index holds every child here: a miss means the node is new. Room first, so
        // that a node never stands in the tree without its index entry.
        urllist_index_reserve(list);
        node = insert_new(slot, p, flags, h);
        urllist_index_insert(list, parent, node);
      }
      continue;
    }
    node = find_or_insert(slot, p, flags);
  }
  attach_action(node->action, action, mode);
  return 0;
}

}  // namespace

urllist_item* urllist_index_find(const urllist* list, const urllist_item* parent,
                                 urllist_hash_value hash, uint8_t kind) {
  const auto& slots = list->index.slots;
  if (slots.empty()) return nullptr;
  size_t mask = slots.size() - 1;
  for (size_t i = index_mix(parent, hash, kind) & mask;; i = (i + 1) & mask) {
    const urllist::child_index::slot& s = slots[i];
    if (s.node == nullptr) return nullptr;
    if (s.parent == parent && s.node->hash == hash && s.node->kind == kind) return s.node;
  }
}

void urllist_index_reserve(urllist* list) {
  auto& ix = list->index;
  if ((ix.count + 1) * 5 > ix.slots.size() * 4) {
    std::vector<urllist::child_index::slot> bigger(ix.slots.empty() ? 1024 : ix.slots.size() * 2);
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

void urllist_index_insert(urllist* list, const urllist_item* parent, urllist_item* node) {
  urllist_index_reserve(list);
  auto& ix = list->index;
  size_t mask = ix.slots.size() - 1;
  size_t i = index_mix(parent, node->hash, node->kind) & mask;
  while (ix.slots[i].node != nullptr) i = (i + 1) & mask;
  ix.slots[i] = {parent, node};
  ix.count++;
}

namespace {

// ---- Locking ---------------------------------------------------------------------------------

// The lock an add takes: the list's, or none for a list that is not shared.
rwl* lock_of(const urllist* l) { return l->shared() ? l->lock.get() : nullptr; }

}  // namespace

// ---- The list ---------------------------------------------------------------------------------

urllist::urllist() {
  // The roots are not part of any URL: a kind that no part has keeps the case-insensitive
  // rule ("not itself a path segment") true for them.
  root.kind = URL_PART_END;
  path_root.kind = URL_PART_END;
  query_root.kind = URL_PART_END;
}

urllist::~urllist() {
  for (urllist_item* r : {&root, &path_root, &query_root}) {
    urllist_terminate_urllist_item(r->child);
    urllist_terminate_urllist_item(r->wildcard);
    urllist_terminate_urllist_item(r->nocase_child());
    r->child = r->wildcard = nullptr;
    if (r->extra) r->extra->nocase_child = nullptr;
  }
  schemes.clear();
  default_iplist.reset();
  for (urllist_item* h : ip_hosts) {
    // An IP host node is the root of its own tree; it has no siblings.
    urllist_terminate_urllist_item(h);
  }
  ip_hosts.clear();
  for (const auto& s : interned.slots) urllist_action_drop(s.action);  // accepts null
  interned.slots.clear();
  if (lock) rwl_destroy(lock.get());
}

urllist_ptr urllist_with_extra_initialize(uint32_t flags, void* extra, const char* charset_name) {
  try {
    auto list = std::make_unique<urllist>();
    list->flags = flags;
    list->extra_data = extra;
    if (charset_name != nullptr) {
      list->charset = urllist_init_charset(charset_name);
      if (!list->charset) return nullptr;
    }
    if (flags & URLLIST_FLAG_SHARED) {
      list->lock = std::make_unique<rwl>();
      if (rwl_init_internal(list->lock.get()) != 0) {
        list->lock.reset();
        return nullptr;
      }
    }
    return list;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

urllist_ptr urllist_initialize(uint32_t flags) {
  return urllist_with_extra_initialize(flags, nullptr, nullptr);
}
urllist_ptr urllist_with_data_initialize(uint32_t flags, void* extra) {
  return urllist_with_extra_initialize(flags, extra, nullptr);
}
urllist_ptr urllist_with_charset_initialize(uint32_t flags, const char* charset_name) {
  return urllist_with_extra_initialize(flags, nullptr, charset_name);
}

void urllist_terminate(urllist_ptr list) { list.reset(); }

void urllist_set_addcallback(urllist* list, urllist_add_callback_fn fn, void* user) {
  if (list == nullptr) return;
  list->add_callback = fn;
  list->add_callback_data = user;
}

void urllist_set_add_action_callback(urllist* list, urllist_add_action_callback_fn fn, void* user) {
  if (list == nullptr) return;
  list->add_action_callback = fn;
  list->add_action_callback_data = user;
}

urllist_action* urllist_get_default_data(const urllist* list) {
  return list ? list->default_action.get() : nullptr;
}

int urllist_parent_url_path_offset_number(const urllist_exploded_url* url, int* first, int* count) {
  int f = static_cast<int>(url->label_count) + 2;
  int c = static_cast<int>(url->segment_count);
  if (first) *first = f;
  if (count) *count = c;
  return c == 0 ? 1 : 0;
}

static const char* const policy_event_names[URLLIST_POLICY_EVENTS] = {
    "policy", "bandwidth", "interim", "virus", "auth", "decrypt", "connect", "unknown", "keyword"};

int policyevent_aton(const char* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < URLLIST_POLICY_EVENTS; ++i) {
    if (strncasecmp(name, policy_event_names[i], 4) == 0) return i;
  }
  return -1;
}

const char* policyevent_ntoa(int number) {
  if (number < 0 || number >= URLLIST_POLICY_EVENTS) return nullptr;
  return policy_event_names[number];
}

iplist* urllist_add_iplist_for_scheme(urllist* list, urllist_hash_value scheme_hash) {
  if (list == nullptr) return nullptr;
  try {
    auto& slot = list->schemes[scheme_hash];
    if (!slot) slot = iplist_init(nullptr, nullptr);
    return slot.get();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// ---- URL entries -------------------------------------------------------------------------------

namespace {

int url_kind_index(char letter) {
  switch (letter) {
    case 'S':
      return 1;
    case 'P':
      return 2;
    case 'Q':
      return 3;
    default:
      return 0;
  }
}

iplist* iplist_for_entry(urllist* list, const urllist_exploded_url& url) {
  const urllist_url_part& scheme = url.parts[0];
  bool star = (scheme.text != nullptr && scheme.len == 1 && scheme.text[0] == '*') ||
              scheme.hash == URLLIST_HASH_STAR;
  if (star) {
    if (!list->default_iplist) list->default_iplist = iplist_init(nullptr, nullptr);
    return list->default_iplist.get();
  }
  return urllist_add_iplist_for_scheme(list, url.scheme_hash);
}

// Host text of an IP host node: cut to 46 characters, IPv6 inside brackets.
std::string ip_node_text(std::string_view host, bool v6) {
  if (!host.empty() && host.front() == '[') host.remove_prefix(1);
  if (!host.empty() && host.back() == ']') host.remove_suffix(1);
  host = host.substr(0, 46);
  if (!v6) return std::string(host);
  std::string t = "[";
  t.append(host);
  t.push_back(']');
  return t;
}

bool entry_has_path_or_query(const urllist_exploded_url& url) {
  return url.first_path_part != nullptr || url.query_part != nullptr;
}

// A new IP host node for ip/cidr, inheriting the covering node's content when the entry has a
// path or query. Returns the node (owned by the list's chain), or null with *rc set.
urllist_item* new_ip_host(urllist* list, iplist* ipl, const cvnet_ipaddr& ip, int cidr,
                          std::string text, const urllist_exploded_url& url, urllist_item* covering,
                          bool* inherited, int* rc) {
  urllist_item* node = urllist_new_urllist_nohashed_item(text, URL_PART_DOMAIN);
  node->ip_host = 1;
  try {
    list->ip_hosts.push_back(node);
  } catch (...) {
    urllist_terminate_urllist_item(node);
    throw;
  }
  *inherited = false;
  if (covering != nullptr && entry_has_path_or_query(url)) {
    node->action = covering->action;
    if (covering->extra != nullptr && !covering->extra->queries.empty()) {
      if (urllist_clone_urllist_item_query(covering->extra->queries,
                                           &urllist_item_get_extra(node).queries) != 0) {
        throw std::bad_alloc();
      }
    }
    node->child = clone_rec(covering->child, true);
    node->wildcard = clone_rec(covering->wildcard, true);
    *inherited = true;
  }
  int r = iplist_add_cidr(ipl, ip, cidr, node);
  if (r == -3) {
    cvlog_send(4, "urllist_add: iplist internal error\n");
    *rc = -3;
    return nullptr;
  }
  if (r != 0) {
    *rc = r == -1 ? -3 : -2;
    return nullptr;
  }
  return node;
}

int add_ip_address(urllist* list, urllist_exploded_url* url, uint32_t rest,
                   const urllist_action_ref& action, int flags) {
  iplist* ipl = iplist_for_entry(list, *url);
  if (ipl == nullptr) {
    cvlog_send(4, "urllist_add: couldn't allocate an iplist\n");
    return -2;
  }
  const cvnet_ipaddr& ip = url->address;
  int bits = cvnet_family_bits(ip.family);
  void* exact = nullptr;
  void* covering = nullptr;
  iplist_get_overlapped(ipl, ip, bits, &exact, &covering);
  if (exact != nullptr) {
    return urllist_add_to_tree(list, static_cast<urllist_item*>(exact), url, rest, action,
                               ATTACH_MERGE, flags);
  }
  bool inherited = false;
  int rc = 0;
  urllist_item* node =
      new_ip_host(list, ipl, ip, bits, ip_node_text(url->host_view(), ip.family == CVNET_AF_INET6),
                  *url, static_cast<urllist_item*>(covering), &inherited, &rc);
  if (node == nullptr) return rc;
  return urllist_add_to_tree(list, node, url, rest, action,
                             inherited ? ATTACH_REPLACE : ATTACH_MERGE, flags);
}

// Returns 1 when the host is no usable range (the entry is then stored as a host name).
int add_ip_range(urllist* list, urllist_exploded_url* url, uint32_t rest,
                 const urllist_action_ref& action, int flags, bool all_v4, bool all_v6, int* rc) {
  cvnet_ipaddr first{};
  cvnet_ipaddr last{};
  std::string range_text;
  if (all_v4) {
    first.family = last.family = CVNET_AF_INET;
    std::memset(last.addr, 0xff, 4);
    range_text = "0.0.0.0-255.255.255.255";
  } else if (all_v6) {
    first.family = last.family = CVNET_AF_INET6;
    std::memset(last.addr, 0xff, 16);
    range_text = "::-ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";
  } else {
    std::string_view host = url->host_view();
    std::string copy(host);
    std::string_view h = copy;
    if (url->bracketed && h.size() >= 2 && h.front() == '[' && h.back() == ']') {
      h = h.substr(1, h.size() - 2);
    }
    if (iplist_rangestring_to_ips(h, &first, &last) != 0) return 1;
    range_text.assign(h);
  }
  iplist* ipl = iplist_for_entry(list, *url);
  if (ipl == nullptr) {
    cvlog_send(4, "urllist_add: couldn't allocate an iplist\n");
    *rc = -2;
    return 0;
  }
  if (first.family == CVNET_AF_INET && last.family == CVNET_AF_INET &&
      std::memcmp(last.addr, first.addr, 4) < 0) {
    std::swap(first, last);
  }
  std::vector<iplist_subnet> subnets;
  if (iplist_iprange_to_subnets(first, last, &subnets, 256) < 0) {
    cvlog_send(4, "urllist_add: divide range to subnets\n");
    // The divider says ENOMEM for a range of more than 256 prefixes too; that is a bad entry,
    // not a shortage of memory, and must not stop a load (listfile.h).
    errno = ERANGE;
    *rc = -2;
    return 0;
  }
  bool v6 = first.family == CVNET_AF_INET6;
  std::vector<void*> inside;
  for (const iplist_subnet& s : subnets) {
    void* exact = nullptr;
    void* covering = nullptr;
    iplist_anchor anchor = iplist_get_overlapped(ipl, s.ip, s.cidr, &exact, &covering);
    // Entries stored earlier inside the prefix keep their own actions; those without one
    // take the range's (whatever the order of the lines, and whether or not anything covers
    // the prefix).
    if (iplist_get_smaller_subnets(anchor, s.ip, s.cidr, &inside) < 0) throw std::bad_alloc();
    for (void* d : inside) {
      auto* n = static_cast<urllist_item*>(d);
      if (n->action) continue;
      int r = urllist_add_to_tree(list, n, url, rest, action, ATTACH_KEEP, flags);
      if (r != 0) {
        *rc = r;
        return 0;
      }
    }
    int r;
    if (exact != nullptr) {
      r = urllist_add_to_tree(list, static_cast<urllist_item*>(exact), url, rest, action,
                              ATTACH_MERGE, flags);
    } else {
      bool inherited = false;
      urllist_item* node = new_ip_host(list, ipl, s.ip, s.cidr, ip_node_text(range_text, v6), *url,
                                       static_cast<urllist_item*>(covering), &inherited, &r);
      if (node == nullptr) {
        *rc = r;
        return 0;
      }
      r = urllist_add_to_tree(list, node, url, rest, action,
                              inherited ? ATTACH_REPLACE : ATTACH_MERGE, flags);
    }
    if (r != 0) {
      *rc = r;
      return 0;
    }
  }
  *rc = 0;
  return 0;
}

bool address_is_zero(const urllist_ip_address& a, int family) {
  if (a.family != family) return false;
  size_t n = family == CVNET_AF_INET ? 4 : 16;
  for (size_t i = 0; i < n; ++i) {
    if (a.addr[i] != 0) return false;
  }
  return true;
}

}  // namespace

int urllist_add_url(urllist* list, const char* text, char kind_letter, int flags,
                    const urllist_action_ref& action) {
  int idx = url_kind_index(kind_letter);
  list->stats.url_attempts[idx]++;
  // The list's own set: a fresh one would cost an allocation per entry.
  category_set& scratch = list->explode_markers;
  scratch.clear();
  urllist_exploded_url_ptr url =
      urllist_explode_charset(text, &scratch, 0, flags, list->charset.get());
  if (!url) return scratch.contains(CATEGORY_INVALID_URL) ? -3 : -2;
  int rc = 0;
  if (kind_letter == 'P') {
    rc = urllist_add_to_tree(list, &list->path_root, url.get(), 0, action, ATTACH_MERGE, flags);
  } else if (kind_letter == 'Q') {
    rc = urllist_add_to_tree(list, &list->query_root, url.get(), 0, action, ATTACH_MERGE, flags);
  } else {
    uint32_t rest = 1 + url->label_count;  // scheme, the address, then port, path, query
    bool all_v4 = url->is_ip && address_is_zero(url->address, CVNET_AF_INET);
    bool all_v6 = url->is_ip && address_is_zero(url->address, CVNET_AF_INET6);
    bool handled = false;
    if (url->is_ip && !all_v4 && !all_v6) {
      rc = add_ip_address(list, url.get(), rest, action, flags);
      handled = true;
    } else if (all_v4 || all_v6 || iplist_hostname_is_ip_range(url->host_view(), url->bracketed)) {
      handled = add_ip_range(list, url.get(), rest, action, flags, all_v4, all_v6, &rc) == 0;
    }
    if (handled) {
      if (rc == 0) list->stats.ip_entries++;
    } else {
      if (list->add_callback != nullptr && !(flags & EXPLODE_HASHED)) {
        list->add_callback(list->add_callback_data, url.get());
      }
      rc = urllist_add_to_tree(list, &list->root, url.get(), 0, action, ATTACH_MERGE, flags);
    }
  }
  if (rc != 0) return rc;
  list->stats.url_stored[idx]++;
  list->stats.entries++;
  return 0;
}

// ---- Dispatch ----------------------------------------------------------------------------------

namespace {

int type_flags(const char* type) {
  int flags = 0;
  for (const char* p = type + 1; *p; ++p) {
    if (*p == 'c') flags |= EXPLODE_NOCASE;
    if (*p == 'h') flags |= EXPLODE_HASHED;
    if (*p == 'p') flags |= EXPLODE_ANY_PORT;
  }
  return flags;
}

int keyword_index(char letter) {
  switch (letter) {
    case 'W':
      return 1;
    case 'k':
      return 2;
    case 'w':
      return 3;
    default:
      return 0;
  }
}

// Stores the entry with a built action. Returns the result code; *dropped tells that the
// entry was deliberately not stored (duplicate keyword, taken policy-event slot).
int store_entry(urllist* list, const char* text, const char* type, const urllist_action_ref& action,
                bool* dropped) {
  *dropped = false;
  char letter;
  int flags = 0;
  const char* type_word = type;
  if (type != nullptr && type[0] != '\0') {
    letter = type[0];
    flags = type_flags(type);
  } else {
    size_t n = std::strlen(text);
    char c0 = text[0];
    if ((c0 == '\'' || c0 == '/' || c0 == '|') && n >= 1 && text[n - 1] == c0) {
      letter = 'R';
    } else if (std::strstr(text, "://") != nullptr) {
      letter = 'U';
    } else if (c0 == '.') {
      letter = 'E';
    } else {
      letter = 'K';
      type_word = "K";
    }
  }
  switch (letter) {
    case 'D': {
      list->stats.digest_attempts++;
      int r = urllist_add_digest(list->digests, text, action);
      if (r == 0) list->stats.digest_stored++;
      return r;
    }
    case 'E': {
      list->stats.ext_attempts++;
      int r = urllist_add_ext(list->extensions, text, action);
      if (r == 0) list->stats.ext_stored++;
      return r;
    }
    case 'K':
    case 'W':
    case 'k':
    case 'w': {
      int i = keyword_index(letter);
      list->stats.keyword_attempts[i]++;
      int r = keywordlist_add_entry(list->keywords, text, action.get(), type_word);
      if (r == -10) {
        *dropped = true;
        return 0;
      }
      if (r == 0) {
        list->stats.keyword_stored[i]++;
        return 0;
      }
      return r == -2 ? -2 : -8;
    }
    case 'N':
      list->default_action = action;
      list->stats.defaults++;
      return 0;
    case 'R': {
      list->stats.regexp_attempts++;
      if (!list->regexps) list->regexps = std::make_unique<urllist_regexp_chain>();
      int r = urllist_add_regexp(*list->regexps, text, action, flags);
      if (r == 0) list->stats.regexp_stored++;
      if (r == -5) {
        // Say why, so that whoever keeps the list can tell a guard refusal from a typo.
        if (const char* why = urllist_regexp_refusal(urllist_regexp_pattern(text).c_str())) {
          cvlog_send(4, "urllist_add: regular expression '%s' refused: %s\n", text, why);
        }
      }
      return r;
    }
    case 'S': {
      if (std::strstr(text, "://") == nullptr) {
        std::string t(text);
        t.append("://");
        return urllist_add_url(list, t.c_str(), 'S', flags, action);
      }
      return urllist_add_url(list, text, 'S', flags, action);
    }
    case 'P':
    case 'Q':
    case 'U':
      return urllist_add_url(list, text, letter, flags, action);
    case 'T': {
      list->stats.event_attempts++;
      int ev = policyevent_aton(text);
      if (ev < 0) return -9;
      if (list->events[ev]) {
        *dropped = true;
        return 0;
      }
      list->events[ev] = action;
      list->stats.event_stored++;
      return 0;
    }
    default:
      return -6;
  }
}

int add_shared(urllist* list, const char* text, const char* type,
               const urllist_action_ref& action) {
  list->stats.lines++;
  if (text == nullptr) return -1;
  try {
    bool dropped = false;
    int rc = store_entry(list, text, type, action, &dropped);
    if (rc != 0 || dropped) return rc;
    if (list->add_action_callback != nullptr &&
        list->add_action_callback(list->add_action_callback_data, action.get()) < 0) {
      return -2;
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return -2;
  }
}

int add_built(urllist* list, const char* text, const char* type,
              std::unique_ptr<urllist_action> record) {
  urllist_action_ref action;
  try {
    action = urllist_action_share(std::move(record));
  } catch (const std::bad_alloc&) {
    return -2;
  }
  return add_shared(list, text, type, action);
}

// ---- Shared category actions ---------------------------------------------------------------

uint64_t category_key_hash(const category_set& set, int64_t expiry) {
  uint64_t h = static_cast<uint64_t>(expiry) * 0x9E3779B97F4A7C15ull ^ set.count();
  for (uint32_t n : set.items()) {
    h = (h ^ n) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  return h;
}

bool same_category_action(const urllist_action* a, const category_set& set, int64_t expiry) {
  const category_set* c = urllist_action_categories(a);
  return a->expiry == expiry && c != nullptr && *c == set;
}

// The shared category action for the numbers in list->interned.scratch and `expiry`, made on
// first use. Empty only when memory runs out.
urllist_action_ref interned_category_action(urllist* list, int64_t expiry) {
  auto& t = list->interned;
  const category_set& key = t.scratch;
  const uint64_t h = category_key_hash(key, expiry);
  const uint32_t size_class = std::min<uint32_t>(key.count(), 4) - 1;
  auto& sc = t.classes[size_class];
  const bool probe = sc.probes < sc.sample || sc.hits * 10 >= sc.probes;
  if (probe && !t.slots.empty()) {
    size_t mask = t.slots.size() - 1;
    for (size_t i = h & mask; t.slots[i].action != nullptr; i = (i + 1) & mask) {
      // The stored hash spares the three dependent cache misses (record, set, numbers) of
      // comparing with every record met along the probe sequence.
      const auto& slot = t.slots[i];
      if (slot.hash == h && same_category_action(slot.action, key, expiry)) {
        if (sc.probes < sc.sample) {
          sc.probes++;
          sc.hits++;
        }
        return urllist_action_ref(slot.action);
      }
    }
  }
  if (sc.probes < sc.sample) sc.probes++;
  // A new record. The set is filled number by number, as parsing fills it, so that it is
  // exactly what an unshared entry would hold (room included).
  urllist_action_ref action;
  try {
    auto set = std::make_unique<category_set>();
    set->add_all(key);
    action = urllist_action_share(urllist_action_new(URLLIST_ACTION_CATEGORY, nullptr, expiry));
    urllist_action_set_raw_data(action.get(), set.release());  // owned by the record now
    if (!probe) return action;
    if ((t.count + 1) * 4 > t.slots.size() * 3) {
      std::vector<urllist::category_intern::slot> bigger(t.slots.empty() ? 1024
                                                                         : t.slots.size() * 2);
      size_t mask = bigger.size() - 1;
      for (const auto& s : t.slots) {
        if (s.action == nullptr) continue;
        size_t i = s.hash & mask;
        while (bigger[i].action != nullptr) i = (i + 1) & mask;
        bigger[i] = s;
      }
      t.slots.swap(bigger);
    }
  } catch (const std::bad_alloc&) {
    return action;  // stored unshared (or, when even the record failed, not at all)
  }
  size_t mask = t.slots.size() - 1;
  size_t i = h & mask;
  while (t.slots[i].action != nullptr) i = (i + 1) & mask;
  urllist_action_hold(action.get());  // the table's reference
  t.slots[i] = {h, action.get()};
  t.count++;
  return action;
}

// True when the entry's category action may be shared: a category action word, numbers that
// parse (left in list->interned.scratch), and no add-action callback to see distinct records.
bool can_share_category(urllist* list, const char* action_word, const char* argument) {
  if (list->add_action_callback != nullptr) return false;
  if (action_word[0] != 'C' && action_word[0] != 'c') return false;
  return urllist_action_parse_category_list(argument, &list->interned.scratch);
}

}  // namespace

int urllist_add_internal(urllist* list, const char* text, const char* type, int32_t kind,
                         void* data, int64_t expiry) {
  std::unique_ptr<urllist_action> record;
  try {
    record = urllist_action_new(kind, data, expiry);
  } catch (const std::bad_alloc&) {
    urllist_action tmp;  // releases the data the record would have owned
    tmp.kind = kind;
    tmp.data = data;
    return -2;
  }
  if (list == nullptr) return -1;
  return add_built(list, text, type, std::move(record));
}

int urllist_add(urllist* list, const char* text, const char* type, const char* action_word,
                const char* argument, int64_t expiry) {
  if (list == nullptr || text == nullptr || action_word == nullptr) return -1;
  rwl_write_guard guard(lock_of(list));
  if (!guard.ok()) return -1;  // a lock that cannot be taken: the list is not usable
  if (can_share_category(list, action_word, argument)) {
    urllist_action_ref action = interned_category_action(list, expiry);
    if (!action) {
      list->stats.lines++;
      return -2;
    }
    int rc = add_shared(list, text, type, action);
    if (rc != 0) cvlog_send(4, "urllist_add: failed to add url '%s'\n", text);
    return rc;
  }
  int32_t kind = 0;
  std::unique_ptr<urllist_action> record;
  try {
    record = urllist_action_create(action_word, argument, expiry, &kind);
  } catch (const std::bad_alloc&) {
    return -2;
  }
  if (!record) {
    list->stats.lines++;
    if (kind == URLLIST_ACTION_BAD_ARGUMENT) {
      cvlog_send(4,
                 "urllist_add: failed to add url '%s' bad action argument '%s' for action '%s'\n",
                 text, argument ? argument : "(null)", action_word);
    } else {
      cvlog_send(4, "urllist_add: failed to add url '%s' unknown action '%s'\n", text, action_word);
    }
    return -9;
  }
  int rc = add_built(list, text, type, std::move(record));
  if (rc != 0) cvlog_send(4, "urllist_add: failed to add url '%s'\n", text);
  return rc;
}

int urllist_add_category(urllist* list, const char* text, const char* type,
                         const category_set* categories, int64_t expiry) {
  if (list == nullptr || text == nullptr) return -1;
  rwl_write_guard guard(lock_of(list));
  if (!guard.ok()) return -1;  // a lock that cannot be taken: the list is not usable
  std::unique_ptr<urllist_action> record;
  try {
    category_set empty;
    record = urllist_action_new_category(categories ? *categories : empty, expiry);
  } catch (const std::bad_alloc&) {
    return -2;
  }
  return add_built(list, text, type, std::move(record));
}

int urllist_add_category_string(urllist* list, const char* text, const char* categories) {
  if (list == nullptr || text == nullptr) return -1;
  rwl_write_guard guard(lock_of(list));
  if (!guard.ok()) return -1;  // a lock that cannot be taken: the list is not usable
  if (can_share_category(list, "C", categories)) {
    urllist_action_ref action = interned_category_action(list, -1);
    if (!action) return -2;
    return add_shared(list, text, nullptr, action);
  }
  int32_t kind = 0;
  std::unique_ptr<urllist_action> record;
  try {
    record = urllist_action_create("C", categories, -1, &kind);
  } catch (const std::bad_alloc&) {
    return -2;
  }
  if (!record) return -2;
  return add_built(list, text, nullptr, std::move(record));
}

int urllist_add_data(urllist* list, const char* text, const char* type, void* data,
                     int64_t expiry) {
  if (list == nullptr || text == nullptr) return -1;
  rwl_write_guard guard(lock_of(list));
  if (!guard.ok()) return -1;  // a lock that cannot be taken: the list is not usable
  return urllist_add_internal(list, text, type, URLLIST_ACTION_NO_ACTION, data, expiry);
}
