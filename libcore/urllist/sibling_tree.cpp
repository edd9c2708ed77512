#include "urllist/sibling_tree.h"

#include <string_view>

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
  if (k.kind != URL_PART_PORT) return urllist_sibling_order(k.hash, k.kind, n);
  if (!n->is_port()) return 1;
  uint16_t low = n->port_low();
  if (k.port != low) return k.port < low ? -1 : 1;
  return k.hash == n->hash ? 0 : 1;
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

// Rebalances the subtree `a` whose balance reached +-2; returns the new root.
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

}  // namespace

const urllist_item* urllist_sibling_find_port(const urllist_item* n, int port) {
  int steer = port < 0 ? 0 : port;
  while (n != nullptr) {
    if (!n->is_port()) {
      n = n->right;
      continue;
    }
    bool holds = port == -1 ? n->port_low() == 0 && n->port_high() == 65535
                            : port >= n->port_low() && port <= n->port_high();
    if (holds) return n;
    n = steer < n->port_low() ? n->left : n->right;
  }
  return nullptr;
}

urllist_item* urllist_sibling_insert_new(urllist_item** slot, const urllist_url_part& part,
                                         int flags, urllist_hash_value hash) {
  urllist_item* fresh =
      urllist_new_urllist_item(std::string_view(part.text, part.len), part.kind, flags);
  avl_insert(slot, fresh, node_key{hash, part.kind, fresh->port_low()});
  return fresh;
}

urllist_item* urllist_sibling_find_or_insert(urllist_item** slot, const urllist_url_part& part,
                                             int flags) {
  std::string_view text(part.text, part.len);
  node_key k{urllist_node_hash(text, flags), part.kind, 0};
  if (part.kind == URL_PART_PORT) {
    k.port = urllist_port_low_bound(part.text);
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
