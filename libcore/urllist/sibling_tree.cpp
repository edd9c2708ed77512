#include "urllist/sibling_tree.h"

namespace {

urllist_item*& left_of(urllist_item* n) { return n->extra()->left; }
urllist_item*& right_of(urllist_item* n) { return n->extra()->right; }

// The key of a node being inserted.
struct node_key {
  urllist_hash_value hash;
  uint8_t kind;
  uint16_t port;  // low bound for port nodes
};

node_key key_of(const urllist_item* n) { return node_key{n->hash, n->kind, n->port_low()}; }

// <0 key before node, >0 after, 0 equal. Port keys with an equal low bound but another hash
// go after (a search for an equal port node looks on both sides separately).
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
      n = right_of(n);
      continue;
    }
    uint16_t low = n->port_low();
    if (k.port < low) {
      n = left_of(n);
    } else if (k.port > low) {
      n = right_of(n);
    } else {
      if (n->hash == k.hash) return n;
      if (urllist_item* l = find_port_node(left_of(n), k)) return l;
      n = right_of(n);
    }
  }
  return nullptr;
}

// The height-balanced insertion, written once for the two places links live: the nodes' own
// extra records (the list's trees) and a shadow array (the dump's trees, built without
// touching the list). `T` gives left(h), right(h), balance(h) as references and node(h), for
// a handle type H whose null is T::none.
template <typename T, typename H>
H rotate_left(T& t, H a) {
  H b = t.right(a);
  t.right(a) = t.left(b);
  t.left(b) = a;
  return b;
}
template <typename T, typename H>
H rotate_right(T& t, H a) {
  H b = t.left(a);
  t.left(a) = t.right(b);
  t.right(b) = a;
  return b;
}

// Rebalances the subtree `a` whose balance reached +-2; returns the new root.
template <typename T, typename H>
H rebalance(T& t, H a) {
  if (t.balance(a) > 1) {
    H b = t.right(a);
    if (t.balance(b) >= 0) {
      H r = rotate_left(t, a);
      t.balance(a) = 0;
      t.balance(b) = 0;
      return r;
    }
    H c = t.left(b);
    t.right(a) = rotate_right(t, b);
    H r = rotate_left(t, a);
    t.balance(a) = t.balance(c) > 0 ? -1 : 0;
    t.balance(b) = t.balance(c) < 0 ? 1 : 0;
    t.balance(c) = 0;
    return r;
  }
  H b = t.left(a);
  if (t.balance(b) <= 0) {
    H r = rotate_right(t, a);
    t.balance(a) = 0;
    t.balance(b) = 0;
    return r;
  }
  H c = t.right(b);
  t.left(a) = rotate_left(t, b);
  H r = rotate_right(t, a);
  t.balance(a) = t.balance(c) < 0 ? 1 : 0;
  t.balance(b) = t.balance(c) > 0 ? -1 : 0;
  t.balance(c) = 0;
  return r;
}

// Inserts `fresh` below *slot; returns true when the subtree grew in height.
template <typename T, typename H>
bool avl_insert(T& t, H* slot, H fresh, const node_key& k) {
  H n = *slot;
  if (n == T::none) {
    *slot = fresh;
    return true;
  }
  int c = key_compare(k, t.node(n));
  if (c < 0) {
    if (!avl_insert(t, &t.left(n), fresh, k)) return false;
    if (--t.balance(n) == 0) return false;
    if (t.balance(n) == -1) return true;
  } else {
    if (!avl_insert(t, &t.right(n), fresh, k)) return false;
    if (++t.balance(n) == 0) return false;
    if (t.balance(n) == 1) return true;
  }
  *slot = rebalance(t, n);
  return false;
}

// Links in the nodes' extra records.
struct extra_links {
  static constexpr urllist_item* none = nullptr;
  urllist_item*& left(urllist_item* n) { return n->extra()->left; }
  urllist_item*& right(urllist_item* n) { return n->extra()->right; }
  int8_t& balance(urllist_item* n) { return n->extra()->balance; }
  const urllist_item* node(urllist_item* n) { return n; }
};

// Links in a shadow array.
struct shadow_links {
  static constexpr int32_t none = -1;
  urllist_sibling_shadow& s;
  int32_t& left(int32_t i) { return s.nodes[static_cast<size_t>(i)].left; }
  int32_t& right(int32_t i) { return s.nodes[static_cast<size_t>(i)].right; }
  int8_t& balance(int32_t i) { return s.nodes[static_cast<size_t>(i)].balance; }
  const urllist_item* node(int32_t i) { return s.nodes[static_cast<size_t>(i)].item; }
};

}  // namespace

const urllist_item* urllist_sibling_find_port(const urllist_item* n, int port) {
  int steer = port < 0 ? 0 : port;
  while (n != nullptr) {
    if (!n->is_port()) {
      n = urllist_sibling_right(n);
      continue;
    }
    bool holds = port == -1 ? n->port_low() == 0 && n->port_high() == 65535
                            : port >= n->port_low() && port <= n->port_high();
    if (holds) return n;
    n = steer < n->port_low() ? urllist_sibling_left(n) : urllist_sibling_right(n);
  }
  return nullptr;
}

urllist_item* urllist_sibling_find_key(urllist_item* root, urllist_hash_value hash, uint8_t kind,
                                       uint16_t port_low) {
  node_key k{hash, kind, port_low};
  if (kind == URL_PART_PORT) return find_port_node(root, k);
  for (urllist_item* n = root; n != nullptr;) {
    int c = key_compare(k, n);
    if (c == 0) return n;
    n = c < 0 ? left_of(n) : right_of(n);
  }
  return nullptr;
}

void urllist_sibling_insert(urllist_item** root, urllist_item* fresh) {
  fresh->extra()->left = nullptr;
  fresh->extra()->right = nullptr;
  fresh->extra()->balance = 0;
  extra_links links;
  avl_insert(links, root, fresh, key_of(fresh));
}

void urllist_sibling_tree_build(urllist_item** root, const std::vector<urllist_item*>& load_order) {
  *root = nullptr;
  for (urllist_item* n : load_order) urllist_sibling_insert(root, n);
}

void urllist_sibling_shadow_build(urllist_sibling_shadow& shadow,
                                  const std::vector<const urllist_item*>& load_order) {
  shadow.nodes.clear();
  shadow.root = -1;
  shadow.nodes.reserve(load_order.size());
  shadow_links links{shadow};
  for (const urllist_item* n : load_order) {
    shadow.nodes.push_back({n, -1, -1, 0});
    avl_insert(links, &shadow.root, static_cast<int32_t>(shadow.nodes.size() - 1), key_of(n));
  }
}
