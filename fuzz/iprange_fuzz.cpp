// Range host texts over arbitrary bytes: recognition, conversion, splitting, and adding the
// prefixes to an IP list the way the list store does. Besides crashes it checks that the
// prefixes tile the range exactly and that the list answers for both ends.
//
// Input: first byte = flags (bit 0: bracketed), the rest = host text.

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <utility>
#include <vector>

#include "stores/iplist.h"

namespace {

patricia_u128 number(const cvnet_ipaddr& ip) {
  patricia_u128 v = 0;
  int n = cvnet_family_bits(ip.family) / 8;
  for (int i = 0; i < n; ++i) v = (v << 8) | ip.addr[i];
  return v;
}

void check(bool ok) {
  if (!ok) std::abort();
}

void add_like_the_list_store(iplist* list, const std::vector<iplist_subnet>& subnets, void* data) {
  std::vector<void*> smaller;
  for (const auto& s : subnets) {
    void *exact, *covering;
    iplist_anchor anchor = iplist_get_overlapped(list, s.ip, s.cidr, &exact, &covering);
    int n = iplist_get_smaller_subnets(anchor, s.ip, s.cidr, &smaller);
    check(n >= 0 && static_cast<size_t>(n) == smaller.size());
    if (exact == nullptr) check(iplist_add_cidr(list, s.ip, s.cidr, data) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  bool bracketed = bytes[0] & 1;
  std::string_view text(reinterpret_cast<const char*>(bytes + 1), size - 1);

  int is_range = iplist_hostname_is_ip_range(text, bracketed);
  check(is_range == 0 || is_range == 1);

  cvnet_ipaddr a;
  if (cvnet_aton(text, &a) == 0) {
    auto t = cvnet_ntoa(a);
    check(t.has_value());
    cvnet_ipaddr b;
    check(cvnet_aton(*t, &b) == 0 && cvnet_compare(a, b) == 0);
  } else {
    check(cvnet_isdefaultip(a) == 1);
  }

  auto list = iplist_init(nullptr, nullptr);
  int data = 0;
  cvnet_ipaddr first, last;
  if (iplist_rangestring_to_ips(text, &first, &last) == 0) {
    if (first.family == CVNET_AF_INET && last.family == CVNET_AF_INET &&
        number(first) > number(last)) {
      std::swap(first, last);
    }
    std::vector<iplist_subnet> subnets;
    int n = iplist_iprange_to_subnets(first, last, &subnets, 256);
    if (first.family != last.family || number(first) > number(last)) {
      check(n == -1);
    } else {
      // With the full host width no range needs more than 2 * 128 - 2 prefixes.
      check(n > 0 && static_cast<size_t>(n) == subnets.size());
      patricia_u128 next = number(first);
      int width = cvnet_family_bits(first.family);
      for (const auto& s : subnets) {
        check(s.ip.family == first.family && s.cidr >= 0 && s.cidr <= width);
        check(number(s.ip) == next);
        int host = width - s.cidr;
        patricia_u128 ones = host >= 128 ? ~patricia_u128{0} : (patricia_u128{1} << host) - 1;
        check((next & ones) == 0);
        next += ones;  // the block's last address
        if (&s != &subnets.back()) ++next;
      }
      check(next == number(last));
      add_like_the_list_store(list.get(), subnets, &data);
      check(iplist_find_data(list.get(), first) == &data);
      check(iplist_find_data(list.get(), last) == &data);
      // Adding the same range again finds every prefix stored exactly.
      add_like_the_list_store(list.get(), subnets, &data);
      check(iplist_count(list.get()) == subnets.size());
    }
  }

  // The helpers that no tool calls, on the same text.
  int r = iplist_add_range(list.get(), text, &data);
  check(r == 0 || r == -1 || r == -2 || r == -4);
  r = iplist_delete_range(list.get(), text);
  check(r >= -4 && r <= 1);
  int cidr;
  if (iplist_subnetstring_to_ip_and_cidr(text, &a, &cidr) == 0) {
    check(cidr >= 0 && cidr <= cvnet_family_bits(a.family));
    r = iplist_add_string(list.get(), text, &data);
    check(r == 0 || r == -2);
    check(iplist_find_exact_data(list.get(), a, cidr) == &data);
    check(iplist_delete_cidr(list.get(), a, cidr) == 0);
  }
  check(cvnet_netmask_to_cidr(text) >= -1);
  return 0;
}
