#pragma once
// rdnscache: which host names resolve to which IP addresses, so that an address can be mapped
// back to the names seen for it (reverse DNS built from forward answers), kept between runs in
// a cache file.
//
// The cache holds IP entries (one per address, found through an IP list by exact prefix and
// chained in a list from least to most recently added or used), host entries (name -> the
// addresses it resolved to, each with its own expiry) and no-IP hosts (names that currently
// have no usable address, for example because every address they resolved to already carries
// the maximum number of names). Invariants, true whenever the lock is free:
//   - a host entry has at least one address;
//   - an IP entry lists exactly the host entries that carry its address, and has at least
//     one.
//
// Times are seconds since the epoch. "Live at time t" means expiry + remove delay >= t (the
// sum saturates, so huge expiries read from a file cannot overflow). Pruning during adds, the
// expiry of hosts moved to the no-IP set, transfers and the expired-host walk use the cache
// clock, which is the wall clock unless a test sets another; lookups, imports and buffer dumps
// take their reference time as an argument.
//
// Thread safety: every public operation takes the cache's read/write lock (read for plain
// lookups, forward lookups, walks and dumps; write for everything that changes the cache,
// including rdnscache_have_host, which clears a mark, and lookups in LRU mode, which reorder
// the list). Any operation may be called from any thread once rdnscache_initialize returned
// and until rdnscache_destroy. Callbacks run under the read lock and must not call back into
// the same cache.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "records/cvnet.h"
#include "stores/iplist.h"
#include "string_list.h"
#include "util/rwl.h"

enum rdnscache_mode : unsigned { RDNSCACHE_PLAIN = 0, RDNSCACHE_LRU = 1 };

enum rdnscache_option : int {
  RDNSCACHE_OPT_MAX_HOSTS_PER_IP = 1,  // unsigned, default 10; 0 = unlimited
  RDNSCACHE_OPT_REMOVE_DELAY = 2,      // seconds, default 86400
  RDNSCACHE_OPT_SKIP_NO_IP = 3,        // flag: imports and transfers drop no-IP hosts
  RDNSCACHE_OPT_MARK_LOADED = 4,       // flag: imported entries are marked until asked for
  RDNSCACHE_OPT_NO_IP_DELAY = 5,       // seconds a name moved to the no-IP set stays there
};

enum rdnscache_flag : uint32_t {
  RDNSCACHE_FLAG_HASHED = 1,  // the name is a hashed form (" H" in the cache file)
  RDNSCACHE_FLAG_LOADED = 2,  // loaded while option 4 was on and not asked for since
};

struct rdns_host;

// One address and the names that carry it. The host pointers are not owned.
struct rdns_ipentry {
  cvnet_ipaddr ip;
  std::vector<rdns_host*> hosts;
  rdns_ipentry* next = nullptr;
  rdns_ipentry* prev = nullptr;
};

struct rdns_addr_slot {
  cvnet_ipaddr ip;
  int64_t expiry = 0;
};

// One name with addresses. `name` points at the key of the host tree's node.
struct rdns_host {
  int64_t expiry = 0;
  std::vector<rdns_addr_slot> addrs;
  uint32_t flags = 0;
  const std::string* name = nullptr;
};

struct rdns_noip_host {
  uint64_t expiry = 0;
  uint32_t flags = 0;
};

using rdnscache_clock_fn = time_t (*)();

struct rdnscache {
  rwl lock;
  std::unique_ptr<iplist> ip_index;  // owns the IP entries
  rdns_ipentry* memo = nullptr;      // last IP entry found by an LRU lookup
  uint64_t ip_count = 0;
  uint64_t host_count = 0;
  uint64_t noip_count = 0;
  std::map<std::string, rdns_host, std::less<>> hosts;
  std::map<std::string, rdns_noip_host, std::less<>> noip_hosts;
  uint32_t max_hosts_per_ip = 10;
  int64_t remove_delay = 86400;
  bool skip_no_ip = false;
  bool mark_loaded = false;
  uint32_t noip_delay = 86400;
  // The IP entry list runs from head.next to tail.prev.
  rdns_ipentry head;
  rdns_ipentry tail;
  uint32_t max_ip_entries = 0;  // 0 = no limit
  unsigned mode = RDNSCACHE_PLAIN;
  rdnscache_clock_fn clock = nullptr;
  bool initialized = false;
};

// Sets the defaults, the lock, the IP index and both trees. Returns 0, or 1 when the lock
// cannot be created (nothing is left set up). REQUIRES: the cache is not initialised.
int rdnscache_initialize(rdnscache* cache, unsigned mode, unsigned max_ip_entries);

// Sets option 1..5 (see rdnscache_option); other numbers and a null cache are ignored.
void rdnscache_set_opt(rdnscache* cache, int option, int64_t value);

// Replaces the cache clock (null: the wall clock). For tests.
void rdnscache_set_clock(rdnscache* cache, rdnscache_clock_fn clock);

// Copies the three counters (any out pointer may be null).
void rdnscache_get_sizes(rdnscache* cache, uint64_t* ip_entries, uint64_t* host_entries,
                         uint64_t* noip_hosts);

// Adds the name (bytes up to `end`, or up to the NUL when end is null) with `n` addresses and
// the given expiry; n = 0 adds a no-IP host. An address whose IP entry already carries the
// maximum number of names is skipped. Returns 0; -1 with errno EFBIG when every address was
// skipped (the name is then a no-IP host until cache clock + option 5); -1 with ENOMEM when the
// IP-entry maximum of plain mode is reached or memory runs out (a host entry created by the
// call and left without addresses is removed again); -1 when the lock cannot be taken.
int rdnscache_add(rdnscache* cache, const char* name, const char* end, int n,
                  const cvnet_ipaddr* addrs, int64_t expiry, uint32_t flags);

// Adds or refreshes the name as a no-IP host with this expiry (flags are set only when the
// record is new). A host entry of the same name loses its addresses that are no longer live
// at the cache clock, and is removed when none is left. Returns 0 or -1.
int rdnscache_add_no_ip_host(rdnscache* cache, const char* name, const char* end,
                             int64_t expiry, uint32_t flags);

// The names of the address that are live at `ref` among its first `max` names (max <= 0: all),
// or null when the address has no entry or no such name. The flags variant prefixes each name
// with "H" (hashed) or "S".
std::unique_ptr<string_list> rdnscache_lookup(rdnscache* cache, const cvnet_ipaddr& ip,
                                              int64_t ref, int max);
std::unique_ptr<string_list> rdnscache_lookup_with_flags(rdnscache* cache,
                                                         const cvnet_ipaddr& ip, int64_t ref,
                                                         int max);

// Copies the name's addresses into out[0..*count) and sets *count to their number and
// *expiry (when not null) to the host's expiry. A name without host entry: *count = 0, result
// 0. -1 with errno ENOMEM when *count (the room in out) is below the host's address count.
int rdnscache_fwdlookup(rdnscache* cache, const char* name, const char* end, cvnet_ipaddr* out,
                        int* count, int64_t* expiry);

// The host entry's address count, 1 for a no-IP host, 0 when the name is unknown (or the lock
// cannot be taken). *expiry receives the entry's expiry. Clears the loaded-not-seen mark.
int rdnscache_have_host(rdnscache* cache, const char* name, const char* end, int64_t* expiry);

// Calls fn(ctx, name, expiry, &clock) for every host entry and then every no-IP host (each in
// name order) whose expiry is before the cache clock and which is not hashed; stops at the
// first non-zero result and returns it. -1 when the lock cannot be taken.
using rdnscache_walk_fn = int (*)(void* ctx, const char* name, int64_t expiry,
                                  const int64_t* clock);
int rdnscache_expired_host_walk(rdnscache* cache, rdnscache_walk_fn fn, void* ctx);

// Adds every host of `src` live at the cache clock by `dst`'s remove delay to `dst`, one line
// of the cache file at a time, then (unless dst's option 3) every no-IP host. Hosts marked
// loaded-not-seen are skipped when src's option 4 is on; dst's option 4 marks what it gets.
// Returns 0, or -1 at the first failed add (or when src and dst are the same cache).
int rdnscache_transfer(rdnscache* src, rdnscache* dst);

// Loads a cache file; messages go through cvlog_send as errors. Lines longer than
// line_length + 62 bytes are skipped. *lines (when not null) receives the number of lines
// read. Returns 0, or -1 when the file cannot be opened or read or an add fails for another
// reason than the per-address limit.
int rdnscache_import_file(rdnscache* cache, int64_t ref, size_t line_length, int* lines,
                          const char* path);

// Writes the cache file ("-": standard output). A file is written to a temporary file beside
// it, created exclusively, and renamed over the old one only when every write and the close
// succeeded. Returns 0, or -1 with errno set and a message sent (the old file is then intact).
int rdnscache_dump_file(rdnscache* cache, const char* path);

// Calls fn(ctx, entry, name, expiry, flags) for every name of every IP entry in list order
// (skipping marked names when option 4 is on). A non-zero result stops the walk with -1.
using rdnscache_dump_fn = int (*)(void* ctx, const rdns_ipentry* entry, const char* name,
                                  int64_t expiry, uint32_t flags);
int rdnscache_dump_file_custom(rdnscache* cache, rdnscache_dump_fn fn, void* ctx);

// Writes "address name expiry\n" for every name live at `ref`, in list order, into buf while
// whole lines (and a terminating NUL) fit; *count receives the number of live lines in all.
// Returns the bytes written (without the NUL), or -1.
long rdnscache_dump_buff(rdnscache* cache, int64_t ref, char* buf, size_t size, int* count);

// Frees every entry and destroys the lock; returns the lock's destroy result. The record
// itself stays the caller's and may be initialised again.
int rdnscache_destroy(rdnscache* cache);
