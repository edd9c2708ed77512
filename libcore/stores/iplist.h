#pragma once
// IP lists: IPv4 and IPv6 prefixes mapped to opaque data pointers, answering which stored
// prefix is the most specific one containing an address. Also the splitting of address
// ranges into aligned prefixes and the recognition and conversion of range host texts.
//
// Data ownership. The list stores `void*` data and never looks at it. When the list is
// created with a release callback, the list owns the data of every stored prefix: the
// callback is called once per stored prefix when that prefix is deleted (iplist_delete_*)
// or when the list is released; data that is null is never passed to it. Without a
// callback (the URL list's case: its tree nodes are released by the URL list) the data
// stays the caller's. A failed add never takes ownership. Data stored under several
// prefixes (iplist_add_range) is released once per prefix, so such data needs a callback
// that tolerates it (reference counting) or a list without callback.
//
// Thread safety: no locking of its own. Lookups (iplist_find*, iplist_get_overlapped,
// iplist_get_smaller_subnets, iplist_walk) may run on several threads at once; every change
// needs exclusive access (the owner's write lock). Lookups allocate nothing.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "records/cvnet.h"
#include "stores/patricia.h"

using iplist_release_fn = void (*)(void* data);
// Asked by the best-match search before it accepts a prefix: true accepts, false makes the
// search take the next shorter prefix.
using iplist_match_filter = bool (*)(void* data);

// A prefix: address (bits past the length cleared) and prefix length.
struct iplist_subnet {
  cvnet_ipaddr ip;
  int32_t cidr = 0;
};

class iplist {
 public:
  iplist(iplist_release_fn release, iplist_match_filter filter)
      : release_(release), filter_(filter) {}
  ~iplist();
  iplist(const iplist&) = delete;
  iplist& operator=(const iplist&) = delete;

  patricia<uint32_t> v4;
  patricia<patricia_u128> v6;
  iplist_release_fn release() const { return release_; }
  iplist_match_filter filter() const { return filter_; }

 private:
  iplist_release_fn release_;
  iplist_match_filter filter_;
};

// Where iplist_get_smaller_subnets starts: a node of one of the list's tries. Empty (false)
// when the trie of the address's family is empty. Valid until the list next changes.
struct iplist_anchor {
  const iplist* list = nullptr;
  int32_t family = 0;
  uint32_t node = 0;
  explicit operator bool() const { return list != nullptr; }
};

// A new list with two empty tries. Either callback may be null. Never null (memory
// exhaustion throws std::bad_alloc).
std::unique_ptr<iplist> iplist_init(iplist_release_fn release, iplist_match_filter filter);

// Releases the list: the release callback (when set) receives the data of every stored
// prefix. Accepts null.
void iplist_terminate(std::unique_ptr<iplist> list);
// The same for containers that hold the list as an untyped pointer and release their values
// through a callback (the URL list's scheme table). Accepts null.
void urllist_iplist_terminate(void* list);

// Stores `data` under the prefix ip/cidr (address bits past cidr are cleared first).
// Returns 0 added; -1 cidr outside 0..32 (IPv4) or 0..128 (IPv6), or an address of another
// family; -2 exactly this prefix is already stored (its data is left alone, the new data
// stays the caller's); -3 the trie could not insert it (memory). REQUIRES list != null.
int iplist_add_cidr(iplist* list, const cvnet_ipaddr& ip, int cidr, void* data);

// Data of the longest stored prefix containing `ip` (and accepted by the match filter), or
// null; null for a null list or another family.
void* iplist_find_data(const iplist* list, const cvnet_ipaddr& ip);

// 0 when some stored prefix contains `ip` (as iplist_find_data finds), else 1.
int iplist_find(const iplist* list, const cvnet_ipaddr& ip);

// Data of the prefix stored exactly as ip/cidr (ip compared on cidr bits), or null; null for
// a null list, another family or a cidr outside the family's range.
void* iplist_find_exact_data(const iplist* list, const cvnet_ipaddr& ip, int cidr);

// Removes the prefix stored exactly as ip/cidr and passes its data to the release callback
// when one is set. Returns 0 removed; 1 not stored, null list or another family; -1 cidr
// outside the family's range.
int iplist_delete_cidr(iplist* list, const cvnet_ipaddr& ip, int cidr);

// For the prefix ip/cidr: *exact receives the data of the prefix stored exactly so,
// *covering the data of the longest stored prefix strictly shorter that contains it (null
// when absent; the out pointers may be null when not wanted). Returns the anchor for
// iplist_get_smaller_subnets: empty only when the family's trie is empty, or for a null
// list, another family or a cidr outside the family's range.
iplist_anchor iplist_get_overlapped(const iplist* list, const cvnet_ipaddr& ip, int cidr,
                                    void** exact, void** covering);

// Replaces *out with the data of every stored prefix strictly inside ip/cidr (longer than
// cidr, equal to ip on cidr bits) below the anchor, in pre-order (shorter prefix before the
// prefixes inside it, lower addresses first). Finds all of them whatever is stored at or
// above ip/cidr. Returns the count; 0 for an empty anchor or another family; -1 when the
// array cannot grow (*out is then empty). The array grows in steps of 32 entries.
int iplist_get_smaller_subnets(const iplist_anchor& anchor, const cvnet_ipaddr& ip, int cidr,
                               std::vector<void*>* out);

// Calls fn(prefix, data) for every stored prefix: IPv4 first, each trie in order left
// subtree, node, right subtree. Returns the number of calls.
size_t iplist_walk(const iplist* list,
                   const std::function<void(const iplist_subnet& prefix, void* data)>& fn);

// Splits the range first..last (both ends included) into the fewest aligned prefixes, in
// ascending order, replacing *out. Returns the count, or -1 with errno EINVAL (first after
// last, out null, ends of different families or of no IP family) or ENOMEM (more than
// max_count prefixes needed; *out is then empty). The limited variant never makes a block of
// more than 2^host_bits addresses (host_bits is cut to the family's width; negative: EINVAL).
int iplist_iprange_to_subnets(const cvnet_ipaddr& first, const cvnet_ipaddr& last,
                              std::vector<iplist_subnet>* out, int max_count);
int iplist_iprange_to_subnets_limited(const cvnet_ipaddr& first, const cvnet_ipaddr& last,
                                      std::vector<iplist_subnet>* out, int max_count,
                                      int host_bits);

// Converts "first-last" (split at the first "-"; the first part at most 46 characters; both
// parts accepted by cvnet_aton). Returns 0, or -1 (the outs may then hold anything).
int iplist_rangestring_to_ips(std::string_view text, cvnet_ipaddr* first, cvnet_ipaddr* last);

// 1 when the host text (read up to its end or a NUL) has the form of an address range:
// numbers (decimal, octal with a leading 0, or hexadecimal after 0x) joined by "." on each
// side of exactly one "-", or, when bracketed or starting with "[", hexadecimal digits, ":"
// and "." on each side of exactly one "-". 0 otherwise. Nothing is converted.
int iplist_hostname_is_ip_range(std::string_view host, bool bracketed);

// Parses "address" or "address/length": IPv4 as four dotted decimal parts, IPv6 when the
// text holds ":". A plain address is a full-length prefix, except the all-zero address,
// which is a prefix of length 0. Returns 0, or -1 for bad syntax or a length above the
// family's width.
int iplist_subnetstring_to_ip_and_cidr(std::string_view text, cvnet_ipaddr* ip, int* cidr);

// Host bits of a block of `size` addresses: the least k with 2^k >= size (1 gives 0, 256
// gives 8, 257 gives 9); -1 for 0.
int iplist_subnet_size_to_bits(uint64_t size);

// iplist_add_cidr with the prefix of iplist_subnetstring_to_ip_and_cidr (-1 for bad syntax).
int iplist_add_string(iplist* list, std::string_view text, void* data);

// iplist_add_cidr / iplist_delete_cidr with the prefix length of a contiguous netmask of the
// address's family; -1 when the mask is not contiguous or of another family.
int iplist_add_subnet(iplist* list, const cvnet_ipaddr& ip, const cvnet_ipaddr& netmask,
                      void* data);
int iplist_delete_subnet(iplist* list, const cvnet_ipaddr& ip, const cvnet_ipaddr& netmask);

// Adds the IPv4 range text (accepted by iplist_hostname_is_ip_range, converted by
// iplist_rangestring_to_ips, ends in either order) as at most 256 prefixes, each with
// `data`. Returns 0; -1 for text that is no IPv4 range; -4 when memory runs out or more than
// 256 prefixes are needed; or the first failing iplist_add_cidr result, in which case the
// prefixes added before are removed again without passing data to the release callback.
int iplist_add_range(iplist* list, std::string_view text, void* data);

// Removes every prefix of the IPv4 range text like iplist_delete_cidr. Returns 0 when all
// were stored, 1 when some were not (the others are still removed), -1 for text that is no
// IPv4 range, -4 when the split fails.
int iplist_delete_range(iplist* list, std::string_view text);

// Number of stored prefixes and bytes held by the tries (for statistics).
size_t iplist_count(const iplist* list);
size_t iplist_memory_bytes(const iplist* list);
