#include "stores/iplist.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace {

using v4trie = patricia<uint32_t>;
using v6trie = patricia<patricia_u128>;

uint32_t key4(const cvnet_ipaddr& ip) {
  return (uint32_t{ip.addr[0]} << 24) | (uint32_t{ip.addr[1]} << 16) | (uint32_t{ip.addr[2]} << 8) |
         uint32_t{ip.addr[3]};
}

patricia_u128 key6(const cvnet_ipaddr& ip) {
  patricia_u128 k = 0;
  for (int i = 0; i < 16; ++i) k = (k << 8) | ip.addr[i];
  return k;
}

// Address of a family from a number (IPv4 numbers use the low 32 bits).
cvnet_ipaddr addr_from_number(int32_t family, patricia_u128 v) {
  cvnet_ipaddr ip;
  ip.family = family;
  int n = cvnet_family_bits(family) / 8;
  for (int i = n - 1; i >= 0; --i) {
    ip.addr[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
  return ip;
}

bool cidr_fits(int32_t family, int cidr) {
  int bits = cvnet_family_bits(family);
  return bits != 0 && cidr >= 0 && cidr <= bits;
}

}  // namespace

iplist::~iplist() {
  v4.clear(release_);
  v6.clear(release_);
}

std::unique_ptr<iplist> iplist_init(iplist_release_fn release, iplist_match_filter filter) {
  return std::make_unique<iplist>(release, filter);
}

void iplist_terminate(std::unique_ptr<iplist> list) { list.reset(); }

void urllist_iplist_terminate(void* list) {
  // The container handed over ownership as an untyped pointer taken from a unique_ptr.
  std::unique_ptr<iplist> owned(static_cast<iplist*>(list));
}

int iplist_add_cidr(iplist* list, const cvnet_ipaddr& ip, int cidr, void* data) {
  if (list == nullptr) return -3;
  if (!cidr_fits(ip.family, cidr)) return -1;
  try {
    if (ip.family == CVNET_AF_INET) return list->v4.insert(key4(ip), cidr, data);
    return list->v6.insert(key6(ip), cidr, data);
  } catch (const std::bad_alloc&) {
    return -3;
  }
}

void* iplist_find_data(const iplist* list, const cvnet_ipaddr& ip) {
  if (list == nullptr) return nullptr;
  if (ip.family == CVNET_AF_INET) {
    auto n = list->v4.best_match(key4(ip), list->filter());
    return n == v4trie::kNone ? nullptr : list->v4.data(n);
  }
  if (ip.family == CVNET_AF_INET6) {
    auto n = list->v6.best_match(key6(ip), list->filter());
    return n == v6trie::kNone ? nullptr : list->v6.data(n);
  }
  return nullptr;
}

int iplist_find(const iplist* list, const cvnet_ipaddr& ip) {
  if (list == nullptr) return 1;
  if (ip.family == CVNET_AF_INET)
    return list->v4.best_match(key4(ip), list->filter()) == v4trie::kNone ? 1 : 0;
  if (ip.family == CVNET_AF_INET6)
    return list->v6.best_match(key6(ip), list->filter()) == v6trie::kNone ? 1 : 0;
  return 1;
}

void* iplist_find_exact_data(const iplist* list, const cvnet_ipaddr& ip, int cidr) {
  if (list == nullptr || !cidr_fits(ip.family, cidr)) return nullptr;
  if (ip.family == CVNET_AF_INET) {
    auto n = list->v4.find_exact(key4(ip), cidr);
    return n == v4trie::kNone ? nullptr : list->v4.data(n);
  }
  auto n = list->v6.find_exact(key6(ip), cidr);
  return n == v6trie::kNone ? nullptr : list->v6.data(n);
}

namespace {
// Removes ip/cidr; hands its data to the release callback only when `release` is true.
int delete_prefix(iplist* list, const cvnet_ipaddr& ip, int cidr, bool release) {
  if (list == nullptr) return 1;
  if (ip.family != CVNET_AF_INET && ip.family != CVNET_AF_INET6) return 1;
  if (!cidr_fits(ip.family, cidr)) return -1;
  void* data = nullptr;
  int r = ip.family == CVNET_AF_INET ? list->v4.remove(key4(ip), cidr, &data)
                                     : list->v6.remove(key6(ip), cidr, &data);
  if (r == 0 && release && list->release() != nullptr && data != nullptr) list->release()(data);
  return r;
}
}  // namespace

int iplist_delete_cidr(iplist* list, const cvnet_ipaddr& ip, int cidr) {
  return delete_prefix(list, ip, cidr, true);
}

iplist_anchor iplist_get_overlapped(const iplist* list, const cvnet_ipaddr& ip, int cidr,
                                    void** exact, void** covering) {
  if (exact != nullptr) *exact = nullptr;
  if (covering != nullptr) *covering = nullptr;
  iplist_anchor anchor;
  if (list == nullptr || !cidr_fits(ip.family, cidr)) return anchor;
  uint32_t e, c, a;
  auto fill = [&](const auto& trie, auto key) {
    trie.overlapped(key, cidr, &e, &c, &a);
    if (exact != nullptr && e != 0) *exact = trie.data(e);
    if (covering != nullptr && c != 0) *covering = trie.data(c);
  };
  if (ip.family == CVNET_AF_INET) {
    fill(list->v4, key4(ip));
  } else {
    fill(list->v6, key6(ip));
  }
  if (a != 0) {
    anchor.list = list;
    anchor.family = ip.family;
    anchor.node = a;
  }
  return anchor;
}

int iplist_get_smaller_subnets(const iplist_anchor& anchor, const cvnet_ipaddr& ip, int cidr,
                               std::vector<void*>* out) {
  if (out == nullptr) return -1;
  out->clear();
  if (!anchor || anchor.family != ip.family || !cidr_fits(ip.family, cidr)) return 0;
  try {
    auto collect = [out](const auto& trie) {
      return [out, &trie](uint32_t n) {
        if (out->size() == out->capacity()) out->reserve(out->size() + 32);
        out->push_back(trie.data(n));
        return true;
      };
    };
    if (ip.family == CVNET_AF_INET) {
      anchor.list->v4.for_each_within(anchor.node, key4(ip), cidr, collect(anchor.list->v4));
    } else {
      anchor.list->v6.for_each_within(anchor.node, key6(ip), cidr, collect(anchor.list->v6));
    }
  } catch (const std::bad_alloc&) {
    out->clear();
    out->shrink_to_fit();
    return -1;
  }
  return static_cast<int>(out->size());
}

size_t iplist_walk(const iplist* list,
                   const std::function<void(const iplist_subnet& prefix, void* data)>& fn) {
  if (list == nullptr) return 0;
  size_t count = list->v4.walk([&](uint32_t n) {
    iplist_subnet s{addr_from_number(CVNET_AF_INET, list->v4.prefix_key(n)),
                    list->v4.prefix_len(n)};
    fn(s, list->v4.data(n));
  });
  count += list->v6.walk([&](uint32_t n) {
    iplist_subnet s{addr_from_number(CVNET_AF_INET6, list->v6.prefix_key(n)),
                    list->v6.prefix_len(n)};
    fn(s, list->v6.data(n));
  });
  return count;
}

int iplist_iprange_to_subnets(const cvnet_ipaddr& first, const cvnet_ipaddr& last,
                              std::vector<iplist_subnet>* out, int max_count) {
  return iplist_iprange_to_subnets_limited(first, last, out, max_count, 128);
}

int iplist_iprange_to_subnets_limited(const cvnet_ipaddr& first, const cvnet_ipaddr& last,
                                      std::vector<iplist_subnet>* out, int max_count,
                                      int host_bits) {
  // Ends of different families used to be split as IPv6 numbers, giving prefixes of a
  // family neither end has; they are refused instead.
  int width = cvnet_family_bits(first.family);
  if (out == nullptr || width == 0 || first.family != last.family || host_bits < 0) {
    errno = EINVAL;
    return -1;
  }
  out->clear();
  patricia_u128 s = width == 32 ? key4(first) : key6(first);
  patricia_u128 end = width == 32 ? key4(last) : key6(last);
  if (s > end) {
    errno = EINVAL;
    return -1;
  }
  const patricia_u128 top = width == 32 ? patricia_u128{0xffffffffu} : ~patricia_u128{0};
  int limit = host_bits < width ? host_bits : width;
  auto ones = [](int k) -> patricia_u128 {
    return k >= 128 ? ~patricia_u128{0} : (patricia_u128{1} << k) - 1;
  };
  try {
    for (;;) {
      if (static_cast<int>(out->size()) >= max_count) {
        out->clear();
        errno = ENOMEM;
        return -1;
      }
      // The largest block aligned to its own size that starts at s and stays within end.
      int k = 0;
      while (k < limit && (s & ones(k + 1)) == 0 && s + ones(k + 1) <= end) ++k;
      out->push_back(iplist_subnet{addr_from_number(first.family, s), width - k});
      patricia_u128 block_end = s + ones(k);
      if (block_end == top || block_end >= end) return static_cast<int>(out->size());
      s = block_end + 1;
    }
  } catch (const std::bad_alloc&) {
    out->clear();
    errno = ENOMEM;
    return -1;
  }
}

int iplist_rangestring_to_ips(std::string_view text, cvnet_ipaddr* first, cvnet_ipaddr* last) {
  size_t dash = text.find('-');
  if (dash == std::string_view::npos || dash > 46) return -1;
  if (cvnet_aton(text.substr(0, dash), first) != 0) return -1;
  if (cvnet_aton(text.substr(dash + 1), last) != 0) return -1;
  return 0;
}

namespace {
bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
}  // namespace

int iplist_hostname_is_ip_range(std::string_view host, bool bracketed) {
  size_t nul = host.find('\0');
  if (nul != std::string_view::npos) host = host.substr(0, nul);
  if (host.empty()) return 0;
  int dashes = 0;
  if (bracketed || host[0] == '[') {
    for (size_t i = host[0] == '[' ? 1 : 0; i < host.size(); ++i) {
      char c = host[i];
      if (c == '-') {
        if (++dashes > 1) return 0;
      } else if (!is_hex(c) && c != ':' && c != '.') {
        return 0;
      }
    }
    return dashes == 1 ? 1 : 0;
  }
  // Where the scan is: a digit must come next, or inside a number of the given kind.
  enum { kNeedDigit, kDecimal, kOctal, kHexStart, kHex } state = kNeedDigit;
  bool first_zero = false;  // the number so far is the single digit "0"
  for (char c : host) {
    switch (state) {
      case kNeedDigit:
        if (c >= '1' && c <= '9') {
          state = kDecimal;
        } else if (c == '0') {
          state = kOctal;
          first_zero = true;
          continue;
        } else {
          return 0;
        }
        break;
      case kHexStart:
        if (!is_hex(c)) return 0;
        state = kHex;
        break;
      case kDecimal:
      case kOctal:
      case kHex:
        if (c == '.' || c == '-') {
          if (c == '-' && ++dashes > 1) return 0;
          state = kNeedDigit;
        } else if (state == kDecimal ? (c >= '0' && c <= '9')
                   : state == kOctal ? (c >= '0' && c <= '7')
                                     : is_hex(c)) {
          // stays in the number
        } else if (state == kOctal && first_zero && (c == 'x' || c == 'X')) {
          state = kHexStart;
        } else {
          return 0;
        }
        break;
    }
    first_zero = false;
  }
  return (state == kDecimal || state == kOctal || state == kHex) && dashes == 1 ? 1 : 0;
}

int iplist_subnetstring_to_ip_and_cidr(std::string_view text, cvnet_ipaddr* ip, int* cidr) {
  size_t slash = text.find('/');
  std::string_view address = text.substr(0, slash);
  bool v6 = address.find(':') != std::string_view::npos;
  if (!v6) {
    // Four dotted parts of one to three decimal digits.
    int parts = 0, digits = 0;
    for (char c : address) {
      if (c >= '0' && c <= '9') {
        if (++digits > 3) return -1;
      } else if (c == '.' && digits > 0 && parts < 3) {
        ++parts;
        digits = 0;
      } else {
        return -1;
      }
    }
    if (parts != 3 || digits == 0) return -1;
  }
  cvnet_ipaddr parsed;
  if (cvnet_aton(address, &parsed) != 0) return -1;
  if ((parsed.family == CVNET_AF_INET6) != v6) return -1;
  int width = cvnet_family_bits(parsed.family);
  int len = width;
  if (slash != std::string_view::npos) {
    std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return -1;
    len = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return -1;
      len = len * 10 + (c - '0');
    }
    if (len > width) return -1;
  } else {
    static const uint8_t kZero[16] = {};
    if (std::memcmp(parsed.addr, kZero, width / 8) == 0) len = 0;
  }
  *ip = parsed;
  *cidr = len;
  return 0;
}

int iplist_subnet_size_to_bits(uint64_t size) {
  if (size == 0) return -1;
  int k = 0;
  while (k < 64 && (uint64_t{1} << k) < size) ++k;
  return k;
}

int iplist_add_string(iplist* list, std::string_view text, void* data) {
  cvnet_ipaddr ip;
  int cidr;
  if (iplist_subnetstring_to_ip_and_cidr(text, &ip, &cidr) != 0) return -1;
  return iplist_add_cidr(list, ip, cidr, data);
}

int iplist_add_subnet(iplist* list, const cvnet_ipaddr& ip, const cvnet_ipaddr& netmask,
                      void* data) {
  if (netmask.family != ip.family) return -1;
  int cidr = cvnet_netmask_prefix(netmask);
  if (cidr < 0) return -1;
  return iplist_add_cidr(list, ip, cidr, data);
}

int iplist_delete_subnet(iplist* list, const cvnet_ipaddr& ip, const cvnet_ipaddr& netmask) {
  if (netmask.family != ip.family) return -1;
  int cidr = cvnet_netmask_prefix(netmask);
  if (cidr < 0) return -1;
  return iplist_delete_cidr(list, ip, cidr);
}

namespace {
// Splits an IPv4 range text into at most 256 prefixes: 0, -1 (no IPv4 range) or -4.
int split_ipv4_range_text(std::string_view text, std::vector<iplist_subnet>* subnets) {
  if (iplist_hostname_is_ip_range(text, false) != 1) return -1;
  cvnet_ipaddr first, last;
  if (iplist_rangestring_to_ips(text, &first, &last) != 0) return -1;
  if (first.family != CVNET_AF_INET || last.family != CVNET_AF_INET) return -1;
  if (key4(first) > key4(last)) std::swap(first, last);
  try {
    subnets->reserve(256);
  } catch (const std::bad_alloc&) {
    return -4;
  }
  return iplist_iprange_to_subnets(first, last, subnets, 256) < 0 ? -4 : 0;
}
}  // namespace

int iplist_add_range(iplist* list, std::string_view text, void* data) {
  std::vector<iplist_subnet> subnets;
  int r = split_ipv4_range_text(text, &subnets);
  if (r != 0) return r;
  for (size_t i = 0; i < subnets.size(); ++i) {
    r = iplist_add_cidr(list, subnets[i].ip, subnets[i].cidr, data);
    if (r != 0) {
      // The data was never the list's: take the earlier prefixes out without releasing it.
      while (i-- > 0) delete_prefix(list, subnets[i].ip, subnets[i].cidr, false);
      return r;
    }
  }
  return 0;
}

int iplist_delete_range(iplist* list, std::string_view text) {
  std::vector<iplist_subnet> subnets;
  int r = split_ipv4_range_text(text, &subnets);
  if (r != 0) return r;
  int result = 0;
  for (const auto& s : subnets) {
    if (iplist_delete_cidr(list, s.ip, s.cidr) != 0) result = 1;
  }
  return result;
}

size_t iplist_count(const iplist* list) {
  return list == nullptr ? 0 : list->v4.prefix_count() + list->v6.prefix_count();
}

size_t iplist_memory_bytes(const iplist* list) {
  return list == nullptr ? 0 : sizeof(iplist) + list->v4.memory_bytes() + list->v6.memory_bytes();
}
