#include "urllist/children.h"

#include <algorithm>
#include <new>
#include <string_view>
#include <vector>

#include "urllist/urllist_impl.h"

namespace {

// The children of a slot from its newest child `head`, oldest first.
void load_order(urllist_item* head, std::vector<urllist_item*>* out) {
  out->clear();
  for (urllist_item* n = head; n != nullptr; n = n->next()) out->push_back(n);
  std::reverse(out->begin(), out->end());
}

// Makes sure every node of `nodes` has an extra record (for its tree links). Throws
// std::bad_alloc; records made before the failure stay (they are harmless).
void give_extras(const std::vector<urllist_item*>& nodes) {
  for (urllist_item* n : nodes) urllist_item_get_extra(n);
}

urllist_item* new_child(const urllist_url_part& part, int flags, urllist_hash_value hash) {
  return urllist_new_urllist_item_with_hash(std::string_view(part.text, part.len), part.kind, flags,
                                            hash);
}

// Links `fresh` as the newest child of `parent`'s child slot.
void link_child(urllist_item* parent, urllist_item* fresh) {
  fresh->next_id = parent->child_id;
  fresh->parent = urllist_slot_key(parent, false);
  parent->child_id = fresh->self;
}

urllist_item* add_to_child_slot(urllist* list, urllist_item* parent, const urllist_url_part& part,
                                int flags, urllist_hash_value hash) {
  const bool port = part.kind == URL_PART_PORT;
  uint8_t want = parent->child_flags;
  if (part.kind == URL_PART_PATH) {
    want |= (flags & EXPLODE_NOCASE) ? URLLIST_SLOT_NOCASE_PATH : URLLIST_SLOT_PLAIN_PATH;
  }
  if (port || urllist_slot_mixed_paths(want)) want |= URLLIST_SLOT_TREE;
  const bool had_tree = (parent->child_flags & URLLIST_SLOT_TREE) != 0;
  const bool tree = (want & URLLIST_SLOT_TREE) != 0;

  // A slot's non-port children enter the index once there are more than a few: below that,
  // walking the list (a cache miss per child) is cheaper than probing the index (a miss for
  // the slot, another for the node), and the index stays smaller.
  std::vector<urllist_item*> to_index;
  if (!port) {
    if (want & URLLIST_SLOT_INDEXED) {
      urllist_index_reserve(list->index, 1);
    } else {
      for (urllist_item* n = parent->child(); n != nullptr; n = n->next()) {
        if (!n->is_port()) to_index.push_back(n);
      }
      if (to_index.size() + 1 > URLLIST_SLOT_LIST_MAX) {
        urllist_index_reserve(list->index, to_index.size() + 1);
        to_index.reserve(to_index.size() + 1);
        want |= URLLIST_SLOT_INDEXED;
      } else {
        to_index.clear();
      }
    }
  }
  std::vector<urllist_item*> order;
  if (tree && !had_tree) {
    load_order(parent->child(), &order);
    give_extras(order);
    order.reserve(order.size() + 1);
  }
  if (tree) urllist_item_get_extra(parent);
  urllist_item* fresh = new_child(part, flags, hash);
  if (tree) {
    try {
      urllist_item_get_extra(fresh);
    } catch (...) {
      urllist_terminate_urllist_item(fresh);
      throw;
    }
  }

  link_child(parent, fresh);
  if (tree && had_tree) {
    urllist_sibling_insert(&parent->extra()->child_tree, fresh);
  } else if (tree) {
    order.push_back(fresh);
    urllist_sibling_tree_build(&parent->extra()->child_tree, order);
  }
  parent->child_flags = want;
  if (!port && (want & URLLIST_SLOT_INDEXED)) {
    to_index.push_back(fresh);  // room reserved above
    for (urllist_item* n : to_index) urllist_index_insert(list->index, n);
  }
  return fresh;
}

urllist_item* find_or_add_nocase(urllist_item* parent, const urllist_url_part& part, int flags,
                                 urllist_hash_value hash) {
  urllist_item_extra& x = urllist_item_get_extra(parent);
  uint16_t low = part.kind == URL_PART_PORT ? urllist_port_low_bound(part.text) : 0;
  if (urllist_item* found = urllist_sibling_find_key(x.nocase_child, hash, part.kind, low)) {
    return found;
  }
  urllist_item* fresh = new_child(part, flags, hash);
  try {
    urllist_item_get_extra(fresh);
  } catch (...) {
    urllist_terminate_urllist_item(fresh);
    throw;
  }
  fresh->set_next(x.nocase_head);
  fresh->parent = urllist_slot_key(parent, true);
  x.nocase_head = fresh;
  urllist_sibling_insert(&x.nocase_child, fresh);
  return fresh;
}

// Copies `src` without its slots' children (hash, kind, flags, action, port bounds and text,
// query entries).
urllist_item* copy_node(const urllist_item* src) {
  urllist_item* copy = urllist_node_make();
  try {
    copy->hash = src->hash;
    copy->kind = src->kind;
    copy->nocase = src->nocase;
    copy->ip_host = src->ip_host;
    copy->port_text = src->port_text;
    copy->port_lo = src->port_lo;
    copy->port_hi = src->port_hi;
    copy->action = src->action;
    if (src->extra_id != 0) {
      urllist_item_extra& x = urllist_item_get_extra(copy);
      x.text = src->extra()->text;
      if (urllist_clone_urllist_item_query(src->extra()->queries, &x.queries) != 0) {
        throw std::bad_alloc();
      }
    }
  } catch (...) {
    urllist_terminate_urllist_item(copy);
    throw;
  }
  return copy;
}

// Copies src's child slot and wildcard subtree below dst (not entered in the index). On
// failure dst keeps what was copied so far; the caller releases it.
void copy_below(const urllist_item* src, urllist_item* dst) {
  if (src->wildcard_id != 0) {
    dst->set_wildcard(copy_node(src->wildcard()));
    copy_below(src->wildcard(), dst->wildcard());
  }
  if (src->child_id == 0) return;
  std::vector<urllist_item*> order;
  load_order(src->child(), &order);
  const bool tree = (src->child_flags & URLLIST_SLOT_TREE) != 0;
  if (tree) urllist_item_get_extra(dst);
  for (urllist_item*& n : order) {
    urllist_item* copy = copy_node(n);
    link_child(dst, copy);
    if (tree) urllist_item_get_extra(copy);
    copy_below(n, copy);
    n = copy;  // the copies, oldest first, for the tree
  }
  dst->child_flags = src->child_flags;
  if (tree) urllist_sibling_tree_build(&dst->extra()->child_tree, order);
}

// The non-port children of the indexed child slots below `top`: what the index holds of that
// subtree.
void indexed_below(urllist_item* top, std::vector<urllist_item*>* out) {
  std::vector<urllist_item*> stack{top};
  while (!stack.empty()) {
    urllist_item* n = stack.back();
    stack.pop_back();
    if (n->wildcard_id != 0) stack.push_back(n->wildcard());
    const bool indexed = (n->child_flags & URLLIST_SLOT_INDEXED) != 0;
    for (urllist_item* c = n->child(); c != nullptr; c = c->next()) {
      if (indexed && !c->is_port()) out->push_back(c);
      stack.push_back(c);
    }
  }
}

}  // namespace

urllist_item* urllist_child_find_or_add(urllist* list, urllist_item* parent, bool nocase_slot,
                                        const urllist_url_part& part, int flags,
                                        urllist_index_next next) {
  const urllist_hash_value hash = urllist_part_node_hash(part, flags);
  if (nocase_slot) return find_or_add_nocase(parent, part, flags, hash);
  if (part.kind == URL_PART_PORT) {
    if (parent->child_flags & URLLIST_SLOT_TREE) {
      uint16_t low = urllist_port_low_bound(part.text);
      if (urllist_item* found =
              urllist_sibling_find_key(parent->extra()->child_tree, hash, part.kind, low)) {
        return found;
      }
    }
  } else if (parent->child_flags & URLLIST_SLOT_INDEXED) {
    if (urllist_item* found = urllist_index_find(list->index, urllist_slot_key(parent, false), hash,
                                                 part.kind, next)) {
      return found;
    }
  } else {
    for (urllist_item* n = parent->child(); n != nullptr; n = n->next()) {
      if (n->hash == hash && n->kind == part.kind) return n;  // port nodes: kinds differ
    }
  }
  return add_to_child_slot(list, parent, part, flags, hash);
}

void urllist_children_copy(urllist* list, const urllist_item* src, urllist_item* dst) {
  auto release = [dst] {
    urllist_terminate_urllist_item(dst->child());
    urllist_terminate_urllist_item(dst->wildcard());
    dst->child_id = 0;
    dst->wildcard_id = 0;
    dst->child_flags = 0;
    if (dst->extra_id != 0) dst->extra()->child_tree = nullptr;
  };
  std::vector<urllist_item*> indexed;
  try {
    copy_below(src, dst);
    indexed_below(dst, &indexed);
    urllist_index_reserve(list->index, indexed.size());
  } catch (...) {
    release();
    throw;
  }
  for (urllist_item* n : indexed) urllist_index_insert(list->index, n);
}
