// URL-shaped entries ("U", "S", "P", "Q"): explode the entry, then walk or grow the tree
// below the root it belongs to (main, path or query root, or an IP host node of the scheme's
// IP list), and attach the action where the entry ends.

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "stores/iplist.h"
#include "urllist/children.h"
#include "urllist/urllist_impl.h"
#include "util/category_set.h"
#include "util/cvlog.h"

namespace {

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
      if (node->wildcard_id == 0) {
        node->set_wildcard(
            urllist_new_urllist_item(std::string_view(p.text, p.len), p.kind, flags));
      }
      node = node->wildcard();
      continue;
    }
    const bool nocase_slot =
        (flags & EXPLODE_NOCASE) && p.kind == URL_PART_PATH && node->kind != URL_PART_PATH;
    urllist_index_next next;
    if (i + 1 < url->part_count && !(flags & EXPLODE_HASHED)) {
      const urllist_url_part& q = url->parts[i + 1];
      if ((q.kind == URL_PART_DOMAIN || q.kind == URL_PART_PATH) && !is_wildcard_part(*url, q)) {
        next = {q.hash, q.kind};  // q's node hash (urllist_part_node_hash)
      }
    }
    node = urllist_child_find_or_add(list, node, nocase_slot, p, flags, next);
  }
  attach_action(node->action, action, mode);
  return 0;
}

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
    if (covering->has_queries()) {
      if (urllist_clone_urllist_item_query(covering->extra()->queries,
                                           &urllist_item_get_extra(node).queries) != 0) {
        throw std::bad_alloc();
      }
    }
    urllist_children_copy(list, covering, node);
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
    rc = urllist_add_to_tree(list, list->path_root, url.get(), 0, action, ATTACH_MERGE, flags);
  } else if (kind_letter == 'Q') {
    rc = urllist_add_to_tree(list, list->query_root, url.get(), 0, action, ATTACH_MERGE, flags);
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
      rc = urllist_add_to_tree(list, list->root, url.get(), 0, action, ATTACH_MERGE, flags);
    }
  }
  if (rc != 0) return rc;
  list->stats.url_stored[idx]++;
  list->stats.entries++;
  return 0;
}
