#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "urllist/urllist.h"
#include "urllist/urllist_node.h"

urllist_item::~urllist_item() {
  // Nodes own their extra record; the subtrees are released by the iterative walk of
  // urllist_terminate_urllist_item.
  if (extra_id != 0) {
    delete extra();  // owned, named by id: the node must stay small
    urllist_extra_unregister(extra_id);
  }
}

urllist_item* urllist_item::nocase_child() const {
  return extra_id != 0 ? extra()->nocase_child : nullptr;
}
namespace {

// "low", or "low-high" for a range. Throws std::bad_alloc.
std::string spell(uint16_t low, uint16_t high, bool range) {
  char buf[16];
  int n = range ? std::snprintf(buf, sizeof(buf), "%u-%u", unsigned{low}, unsigned{high})
                : std::snprintf(buf, sizeof(buf), "%u", unsigned{low});
  return std::string(buf, static_cast<size_t>(n));
}

// The port texts that bounds spell, shared by every list of the process: a list has few
// distinct ports, and most port nodes (every entry with a path has one) would otherwise carry
// an extra record just for their text. Entries are made when a node is made and never
// removed, so a found text lives as long as the process.
class port_texts {
 public:
  // Makes sure the text of (low, high, form) exists. Throws std::bad_alloc.
  void add(uint16_t low, uint16_t high, uint8_t form) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto [it, fresh] = texts_.try_emplace(key(low, high, form));
    if (!fresh) return;
    try {
      it->second = spell(low, high, form == URLLIST_PORT_TEXT_RANGE);
    } catch (...) {
      texts_.erase(it);
      throw;
    }
  }
  std::string_view find(uint16_t low, uint16_t high, uint8_t form) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto it = texts_.find(key(low, high, form));
    return it == texts_.end() ? std::string_view() : std::string_view(it->second);
  }

 private:
  static uint64_t key(uint16_t low, uint16_t high, uint8_t form) {
    return (uint64_t{form} << 32) | (uint64_t{low} << 16) | high;
  }
  std::mutex mutex_;
  std::unordered_map<uint64_t, std::string> texts_;  // node-based: texts never move
};

port_texts& the_port_texts() {
  static auto* texts = new port_texts();  // never destroyed: lists may outlive static objects
  return *texts;
}

}  // namespace

std::string_view urllist_item::text() const {
  if (port_text != URLLIST_PORT_TEXT_KEPT)
    return the_port_texts().find(port_lo, port_hi, port_text);
  return extra_id != 0 ? std::string_view(extra()->text) : std::string_view();
}
bool urllist_item::has_queries() const { return extra_id != 0 && !extra()->queries.empty(); }

urllist_item_extra& urllist_item_get_extra(urllist_item* node) {
  if (node->extra_id == 0) {
    auto fresh = std::make_unique<urllist_item_extra>();
    node->extra_id = urllist_extra_register(fresh.get());
    return *fresh.release();  // owned by the node from here on
  }
  return *node->extra();
}

void urllist_terminate_urllist_item_data(urllist_item* node) {
  if (node == nullptr) return;
  if (node->extra_id != 0) urllist_terminate_query_trees(&node->extra()->queries);
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
    urllist_item* nocase_head = n->extra_id != 0 ? n->extra()->nocase_head : nullptr;
    for (urllist_item* sub : {n->next(), n->child(), n->wildcard(), nocase_head}) {
      if (sub != nullptr) push(sub);
    }
    urllist_node_free(n);
  }
}

uint16_t urllist_port_low_bound(const char* p) {
  unsigned long v = 0;
  while (*p >= '0' && *p <= '9') {
    v = v * 10 + static_cast<unsigned long>(*p - '0');
    if (v > 0xffffffffUL) v = 0xffffffffUL;  // keep going without overflow
    ++p;
  }
  return static_cast<uint16_t>(v);  // cut to 16 bits, as the stored bounds are
}

std::pair<uint16_t, uint16_t> urllist_port_text_bounds(const char* text) {
  if (text == nullptr) return {0, 0};
  uint16_t low = urllist_port_low_bound(text);
  const char* dash = std::strchr(text, '-');
  return {low, dash ? urllist_port_low_bound(dash + 1) : low};
}

urllist_hash_value urllist_node_hash(std::string_view text, int flags) {
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

namespace {

void set_port_bounds(urllist_item* node, std::string_view text) {
  const std::string t(text);
  std::tie(node->port_lo, node->port_hi) = urllist_port_text_bounds(t.c_str());
  const bool range = t.find('-') != std::string::npos;
  if (spell(node->port_lo, node->port_hi, range) == t) {
    const uint8_t form = range ? URLLIST_PORT_TEXT_RANGE : URLLIST_PORT_TEXT_DIGITS;
    the_port_texts().add(node->port_lo, node->port_hi, form);
    node->port_text = form;
  } else {
    urllist_item_get_extra(node).text = t;
  }
}

}  // namespace

urllist_item* urllist_new_urllist_item(std::string_view text, int kind, int flags) {
  return urllist_new_urllist_item_with_hash(text, kind, flags, urllist_node_hash(text, flags));
}

urllist_item* urllist_new_urllist_item_with_hash(std::string_view text, int kind, int flags,
                                                 urllist_hash_value hash) {
  urllist_item* node = urllist_node_make();
  node->kind = static_cast<uint8_t>(kind);
  node->nocase = (flags & EXPLODE_NOCASE) ? 1 : 0;
  node->hash = hash;
  try {
    if (kind == URL_PART_PORT) set_port_bounds(node, text);
  } catch (...) {
    urllist_node_free(node);
    throw;
  }
  return node;
}

urllist_hash_value urllist_part_node_hash(const urllist_url_part& part, int flags) {
  // Explode hashed the part as written, and with EXPLODE_NOCASE it lowercased the whole entry
  // first: that is the node hash, unless hash texts were parsed.
  if (!(flags & EXPLODE_HASHED)) return part.hash;
  return urllist_node_hash(std::string_view(part.text, part.len), flags);
}

urllist_item* urllist_new_urllist_nohashed_item(std::string_view text, int kind) {
  urllist_item* node = urllist_node_make();
  node->kind = static_cast<uint8_t>(kind);
  try {
    urllist_item_get_extra(node).text.assign(text);
  } catch (...) {
    urllist_node_free(node);
    throw;
  }
  return node;
}

void urllist_destroy_item_data(urllist_action* action) {
  if (action == nullptr) return;
  // The stores that use this as their release function own exactly one reference.
  urllist_action_drop(action);
}
