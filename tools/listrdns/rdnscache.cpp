#include "rdnscache.h"

#include <netinet/in.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "util/cvlog.h"
#include "util/output_file.h"
#include "util/string.h"

namespace {

std::string_view name_view(const char* name, const char* end) {
  return end != nullptr ? std::string_view(name, static_cast<size_t>(end - name))
                        : std::string_view(name);
}

int64_t add_sat(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
  return r;
}

bool live_at(int64_t expiry, int64_t delay, int64_t ref) { return add_sat(expiry, delay) >= ref; }

int64_t cache_now(const rdnscache* c) {
  return static_cast<int64_t>(c->clock != nullptr ? c->clock() : time(nullptr));
}

int full_prefix(const cvnet_ipaddr& ip) { return cvnet_family_bits(ip.family); }

// The IP index owns the entries: this is its release callback.
void rdnscache_entry_free(void* data) { delete static_cast<rdns_ipentry*>(data); }

// Holds one side of the cache lock for a scope.
class cache_lock {
 public:
  cache_lock(rdnscache* c, bool write) : c_(c), write_(write) {
    ok_ = (write ? rwl_writelock(&c->lock) : rwl_readlock(&c->lock)) == 0;
  }
  ~cache_lock() {
    if (ok_) write_ ? rwl_writeunlock(&c_->lock) : rwl_readunlock(&c_->lock);
  }
  cache_lock(const cache_lock&) = delete;
  cache_lock& operator=(const cache_lock&) = delete;
  bool ok() const { return ok_; }

 private:
  rdnscache* c_;
  bool write_;
  bool ok_;
};

// --- The entry list (lock held) -------------------------------------------------------------

void list_unlink(rdns_ipentry* e) {
  e->prev->next = e->next;
  e->next->prev = e->prev;
  e->next = e->prev = nullptr;
}

void list_move_to_tail(rdnscache* c, rdns_ipentry* e) {
  if (e->next != nullptr) list_unlink(e);
  e->prev = c->tail.prev;
  e->next = &c->tail;
  c->tail.prev->next = e;
  c->tail.prev = e;
}

rdns_ipentry* ip_find(rdnscache* c, const cvnet_ipaddr& ip) {
  int bits = full_prefix(ip);
  if (bits == 0) return nullptr;
  return static_cast<rdns_ipentry*>(iplist_find_exact_data(c->ip_index.get(), ip, bits));
}

rdns_host* host_find(rdnscache* c, std::string_view name) {
  auto it = c->hosts.find(name);
  return it == c->hosts.end() ? nullptr : &it->second;
}

void host_erase(rdnscache* c, rdns_host* h) {
  c->hosts.erase(c->hosts.find(*h->name));
  --c->host_count;
}

void host_drop_address(rdns_host* h, const cvnet_ipaddr& ip) {
  for (size_t i = 0; i < h->addrs.size(); ++i) {
    if (cvnet_compare(h->addrs[i].ip, ip) == 0) {
      h->addrs.erase(h->addrs.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

// Removes the IP entry with everything that points at it. Hosts left without an address are
// removed too, except `keep`, which the caller still works on.
void rdnscache_remove_ipentry(rdnscache* c, rdns_ipentry* e, rdns_host* keep) {
  list_unlink(e);
  for (rdns_host* h : e->hosts) {
    host_drop_address(h, e->ip);
    if (h->addrs.empty() && h != keep) host_erase(c, h);
  }
  e->hosts.clear();
  if (c->memo == e) c->memo = nullptr;
  cvnet_ipaddr ip = e->ip;
  iplist_delete_cidr(c->ip_index.get(), ip, full_prefix(ip));  // frees e
  --c->ip_count;
}

// Takes the host off the IP entry of `ip`; an entry left without hosts is removed.
void rdnscache_prune_ip_host(rdnscache* c, const cvnet_ipaddr& ip, rdns_host* h) {
  rdns_ipentry* e = nullptr;
  if (c->memo != nullptr && cvnet_compare(c->memo->ip, ip) == 0) e = c->memo;
  if (e == nullptr) e = ip_find(c, ip);
  if (e == nullptr) return;
  for (size_t i = 0; i < e->hosts.size(); ++i) {
    if (e->hosts[i] == h) {
      // The order of names within an entry is not kept: the last one takes the free place.
      e->hosts[i] = e->hosts.back();
      e->hosts.pop_back();
      break;
    }
  }
  if (e->hosts.empty()) rdnscache_remove_ipentry(c, e, nullptr);
}

// Drops the host's addresses that are no longer live at the cache clock.
void prune_host_addresses(rdnscache* c, rdns_host* h) {
  int64_t now = cache_now(c);
  size_t kept = 0;
  std::vector<cvnet_ipaddr> dropped;
  for (size_t i = 0; i < h->addrs.size(); ++i) {
    if (live_at(h->addrs[i].expiry, c->remove_delay, now)) {
      h->addrs[kept++] = h->addrs[i];
    } else {
      dropped.push_back(h->addrs[i].ip);
    }
  }
  h->addrs.resize(kept);
  for (const cvnet_ipaddr& ip : dropped) rdnscache_prune_ip_host(c, ip, h);
}

int add_no_ip_locked(rdnscache* c, std::string_view name, int64_t expiry, uint32_t flags) {
  try {
    auto it = c->noip_hosts.find(name);
    if (it == c->noip_hosts.end()) {
      it = c->noip_hosts.emplace(std::string(name), rdns_noip_host{0, flags}).first;
      ++c->noip_count;
    }
    it->second.expiry = static_cast<uint64_t>(expiry);
    if (rdns_host* h = host_find(c, name)) {
      prune_host_addresses(c, h);
      if (h->addrs.empty()) host_erase(c, h);
    }
    return 0;
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
}

// The body of rdnscache_add for n >= 1, under the write lock.
int add_locked(rdnscache* c, std::string_view name, int n, const cvnet_ipaddr* addrs,
               int64_t expiry, uint32_t flags) {
  rdns_host* h = host_find(c, name);
  bool created = false;
  try {
    if (h == nullptr) {
      auto it = c->hosts.emplace(std::string(name), rdns_host{}).first;
      h = &it->second;
      h->name = &it->first;
      h->flags = flags;
      ++c->host_count;
      created = true;
    }
    if (h->addrs.size() + static_cast<size_t>(n) > UINT32_MAX) {
      errno = ENOMEM;
      return -1;
    }
    h->addrs.reserve(h->addrs.size() + static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    if (created && h->addrs.empty()) host_erase(c, h);
    errno = ENOMEM;
    return -1;
  }

  int failure = 0;
  for (int i = 0; i < n && failure == 0; ++i) {
    const cvnet_ipaddr& ip = addrs[i];
    if (full_prefix(ip) == 0) continue;  // no address of an IP family
    try {
      rdns_ipentry* e = ip_find(c, ip);
      bool is_new = false;
      bool listed = false;
      if (e != nullptr) {
        // The entry lists the host exactly when the host carries the address: asking the
        // host's few addresses, not the entry's names, keeps a shared address with many
        // thousands of names cheap.
        for (const rdns_addr_slot& slot : h->addrs) {
          if (cvnet_compare(slot.ip, ip) == 0) {
            listed = true;
            break;
          }
        }
      } else {
        if (c->mode == RDNSCACHE_PLAIN && c->max_ip_entries != 0 &&
            c->ip_count >= c->max_ip_entries) {
          failure = ENOMEM;
          break;
        }
        auto owned = std::make_unique<rdns_ipentry>();
        owned->ip = ip;
        if (c->max_hosts_per_ip >= 1 && c->max_hosts_per_ip <= 4) {
          owned->hosts.reserve(c->max_hosts_per_ip);
        } else {
          owned->hosts.reserve(5);
        }
        if (iplist_add_cidr(c->ip_index.get(), ip, full_prefix(ip), owned.get()) != 0) {
          failure = ENOMEM;
          break;
        }
        e = owned.release();  // the IP index owns it now
        ++c->ip_count;
        is_new = true;
      }
      if (!listed) {
        if (c->max_hosts_per_ip != 0 && e->hosts.size() >= c->max_hosts_per_ip) {
          continue;  // full: neither the entry nor the host records this address
        }
        if (e->hosts.size() >= UINT32_MAX) {  // a new entry holds no name yet
          failure = ENOMEM;
          break;
        }
        try {
          e->hosts.push_back(h);
        } catch (const std::bad_alloc&) {
          if (is_new) {
            list_move_to_tail(c, e);
            rdnscache_remove_ipentry(c, e, h);
          }
          throw;
        }
      }
      bool present = false;
      for (rdns_addr_slot& s : h->addrs) {
        if (cvnet_compare(s.ip, ip) == 0) {
          s.expiry = expiry;
          present = true;
          break;
        }
      }
      if (!present) h->addrs.push_back(rdns_addr_slot{ip, expiry});  // room reserved above
      if (is_new || c->mode == RDNSCACHE_LRU) list_move_to_tail(c, e);
    } catch (const std::bad_alloc&) {
      failure = ENOMEM;
    }
  }

  if (failure != 0) {
    if (h->addrs.empty()) host_erase(c, h);
    errno = failure;
    return -1;
  }
  if (h->addrs.empty()) {
    // Every address was refused by the per-address limit.
    host_erase(c, h);
    if (add_no_ip_locked(c, name, add_sat(cache_now(c), c->noip_delay), flags) != 0) return -1;
    errno = EFBIG;
    return -1;
  }
  if (c->mode == RDNSCACHE_LRU && c->max_ip_entries != 0) {
    while (c->ip_count > c->max_ip_entries && c->head.next != &c->tail) {
      rdnscache_remove_ipentry(c, c->head.next, h);
    }
  }
  h->expiry = expiry;
  prune_host_addresses(c, h);
  if (h->addrs.empty()) host_erase(c, h);
  auto it = c->noip_hosts.find(name);
  if (it != c->noip_hosts.end()) {
    c->noip_hosts.erase(it);
    --c->noip_count;
  }
  return 0;
}

std::unique_ptr<string_list> lookup(rdnscache* c, const cvnet_ipaddr& ip, int64_t ref, int max,
                                    bool with_flags) {
  bool lru = c->mode == RDNSCACHE_LRU;
  cache_lock lock(c, lru);
  if (!lock.ok()) return nullptr;
  rdns_ipentry* e = nullptr;
  if (c->memo != nullptr && cvnet_compare(c->memo->ip, ip) == 0) e = c->memo;
  if (e == nullptr) e = ip_find(c, ip);
  if (e == nullptr) return nullptr;
  if (lru) {
    list_move_to_tail(c, e);
    c->memo = e;
  }
  size_t k = e->hosts.size();
  if (max > 0 && static_cast<size_t>(max) < k) k = static_cast<size_t>(max);
  std::vector<const rdns_host*> kept;
  size_t bytes = 0;
  try {
    for (size_t i = 0; i < k; ++i) {
      const rdns_host* h = e->hosts[i];
      if (!live_at(h->expiry, c->remove_delay, ref)) continue;
      kept.push_back(h);
      bytes += h->name->size() + 2;
    }
    if (kept.empty()) return nullptr;
    auto list = std::make_unique<string_list>();
    string_list_initialize(list.get(), kept.size(), bytes / kept.size() + 1);
    for (const rdns_host* h : kept) {
      int r = with_flags ? string_list_add_v(list.get(),
                                             (h->flags & RDNSCACHE_FLAG_HASHED) ? "H" : "S",
                                             h->name->c_str(), static_cast<const char*>(nullptr))
                         : string_list_add(list.get(), h->name->c_str());
      if (r != 0) return nullptr;
    }
    return list;
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return nullptr;
  }
}

bool skip_marked(const rdnscache* c, uint32_t flags) {
  return c->mark_loaded && (flags & RDNSCACHE_FLAG_LOADED) != 0;
}

}  // namespace

int rdnscache_initialize(rdnscache* cache, unsigned mode, unsigned max_ip_entries) {
  if (rwl_init_internal(&cache->lock) != 0) return 1;
  cache->ip_index = iplist_init(rdnscache_entry_free, nullptr);
  cache->memo = nullptr;
  cache->ip_count = cache->host_count = cache->noip_count = 0;
  cache->hosts.clear();
  cache->noip_hosts.clear();
  cache->max_hosts_per_ip = 10;
  cache->remove_delay = 86400;
  cache->skip_no_ip = false;
  cache->mark_loaded = false;
  cache->noip_delay = 86400;
  cache->head = rdns_ipentry{};
  cache->tail = rdns_ipentry{};
  cache->head.next = &cache->tail;
  cache->tail.prev = &cache->head;
  cache->max_ip_entries = max_ip_entries;
  cache->mode = mode;
  cache->clock = nullptr;
  cache->initialized = true;
  return 0;
}

void rdnscache_set_opt(rdnscache* cache, int option, int64_t value) {
  if (cache == nullptr) return;
  switch (option) {
    case RDNSCACHE_OPT_MAX_HOSTS_PER_IP:
      cache->max_hosts_per_ip = static_cast<uint32_t>(value);
      break;
    case RDNSCACHE_OPT_REMOVE_DELAY:
      cache->remove_delay = value;
      break;
    case RDNSCACHE_OPT_SKIP_NO_IP:
      cache->skip_no_ip = value != 0;
      break;
    case RDNSCACHE_OPT_MARK_LOADED:
      cache->mark_loaded = value != 0;
      break;
    case RDNSCACHE_OPT_NO_IP_DELAY:
      cache->noip_delay = static_cast<uint32_t>(value);
      break;
    default:
      break;
  }
}

void rdnscache_set_clock(rdnscache* cache, rdnscache_clock_fn clock) { cache->clock = clock; }

void rdnscache_get_sizes(rdnscache* cache, uint64_t* ip_entries, uint64_t* host_entries,
                         uint64_t* noip_hosts) {
  cache_lock lock(cache, false);
  if (ip_entries != nullptr) *ip_entries = cache->ip_count;
  if (host_entries != nullptr) *host_entries = cache->host_count;
  if (noip_hosts != nullptr) *noip_hosts = cache->noip_count;
}

int rdnscache_add(rdnscache* cache, const char* name, const char* end, int n,
                  const cvnet_ipaddr* addrs, int64_t expiry, uint32_t flags) {
  if (n <= 0) return rdnscache_add_no_ip_host(cache, name, end, expiry, flags);
  cache_lock lock(cache, true);
  if (!lock.ok()) return -1;
  return add_locked(cache, name_view(name, end), n, addrs, expiry, flags);
}

int rdnscache_add_no_ip_host(rdnscache* cache, const char* name, const char* end,
                             int64_t expiry, uint32_t flags) {
  cache_lock lock(cache, true);
  if (!lock.ok()) return -1;
  return add_no_ip_locked(cache, name_view(name, end), expiry, flags);
}

std::unique_ptr<string_list> rdnscache_lookup(rdnscache* cache, const cvnet_ipaddr& ip,
                                              int64_t ref, int max) {
  return lookup(cache, ip, ref, max, false);
}

std::unique_ptr<string_list> rdnscache_lookup_with_flags(rdnscache* cache,
                                                         const cvnet_ipaddr& ip, int64_t ref,
                                                         int max) {
  return lookup(cache, ip, ref, max, true);
}

int rdnscache_fwdlookup(rdnscache* cache, const char* name, const char* end, cvnet_ipaddr* out,
                        int* count, int64_t* expiry) {
  cache_lock lock(cache, false);
  if (!lock.ok()) return -1;
  const rdns_host* h = host_find(cache, name_view(name, end));
  if (h == nullptr) {
    *count = 0;
    return 0;
  }
  if (*count < 0 || static_cast<size_t>(*count) < h->addrs.size()) {
    errno = ENOMEM;
    return -1;
  }
  for (size_t i = 0; i < h->addrs.size(); ++i) out[i] = h->addrs[i].ip;
  *count = static_cast<int>(h->addrs.size());
  if (expiry != nullptr) *expiry = h->expiry;
  return 0;
}

int rdnscache_have_host(rdnscache* cache, const char* name, const char* end, int64_t* expiry) {
  cache_lock lock(cache, true);
  if (!lock.ok()) return 0;
  std::string_view key = name_view(name, end);
  if (rdns_host* h = host_find(cache, key)) {
    h->flags &= ~RDNSCACHE_FLAG_LOADED;
    if (expiry != nullptr) *expiry = h->expiry;
    return static_cast<int>(h->addrs.size() > INT_MAX ? INT_MAX : h->addrs.size());
  }
  auto it = cache->noip_hosts.find(key);
  if (it == cache->noip_hosts.end()) return 0;
  it->second.flags &= ~RDNSCACHE_FLAG_LOADED;
  if (expiry != nullptr) *expiry = static_cast<int64_t>(it->second.expiry);
  return 1;
}

int rdnscache_expired_host_walk(rdnscache* cache, rdnscache_walk_fn fn, void* ctx) {
  cache_lock lock(cache, false);
  if (!lock.ok()) return -1;
  const int64_t now = cache_now(cache);
  for (const auto& [name, h] : cache->hosts) {
    if (h.expiry < now && (h.flags & RDNSCACHE_FLAG_HASHED) == 0) {
      if (int r = fn(ctx, name.c_str(), h.expiry, &now)) return r;
    }
  }
  for (const auto& [name, rec] : cache->noip_hosts) {
    int64_t e = static_cast<int64_t>(rec.expiry);
    if (e < now && (rec.flags & RDNSCACHE_FLAG_HASHED) == 0) {
      if (int r = fn(ctx, name.c_str(), e, &now)) return r;
    }
  }
  return 0;
}

int rdnscache_transfer(rdnscache* src, rdnscache* dst) {
  if (src == dst) {
    errno = EINVAL;
    return -1;
  }
  cache_lock lock(src, false);
  if (!lock.ok()) return -1;
  const int64_t now = cache_now(dst);
  const uint32_t mark = dst->mark_loaded ? uint32_t{RDNSCACHE_FLAG_LOADED} : 0u;
  for (rdns_ipentry* e = src->head.next; e != &src->tail; e = e->next) {
    for (const rdns_host* h : e->hosts) {
      if (skip_marked(src, h->flags)) continue;
      if (!live_at(h->expiry, dst->remove_delay, now)) continue;
      if (rdnscache_add(dst, h->name->data(), h->name->data() + h->name->size(), 1, &e->ip,
                        h->expiry, h->flags | mark) != 0) {
        return -1;
      }
    }
  }
  if (dst->skip_no_ip) return 0;
  for (const auto& [name, rec] : src->noip_hosts) {
    if (skip_marked(src, rec.flags)) continue;
    if (rdnscache_add_no_ip_host(dst, name.data(), name.data() + name.size(),
                                 static_cast<int64_t>(rec.expiry), rec.flags | mark) != 0) {
      return -1;
    }
  }
  return 0;
}

int rdnscache_import_file(rdnscache* cache, int64_t ref, size_t line_length, int* lines,
                          const char* path) {
  FILE* f = fopen(path, "r");
  if (f == nullptr) {
    cvlog_send(CVLOG_ERROR, "rdns_import_file: failed to open file '%s': %s\n", path,
               strerror(errno));
    return -1;
  }
  struct closer {
    FILE* f;
    ~closer() { fclose(f); }
  } close_at_end{f};
  size_t size = line_length + 63;
  if (size > INT_MAX) size = INT_MAX;
  std::unique_ptr<char[]> buf(new (std::nothrow) char[size]);
  if (!buf) {
    cvlog_send(CVLOG_ERROR, "rdns_import_file: memory allocation error\n");
    return -1;
  }
  int count = 0;
  bool skipping = false;  // inside the rest of a line that did not fit
  while (fgets(buf.get(), static_cast<int>(size), f) != nullptr) {
    size_t len = strlen(buf.get());
    bool complete = len > 0 && buf[len - 1] == '\n';
    if (skipping) {
      skipping = !complete;
      continue;
    }
    ++count;
    if (!complete) {
      skipping = true;  // too long, or a last line without newline
      continue;
    }
    char* line = buf.get();
    if (line[0] == '\n' || line[0] == '#') continue;
    line[len - 1] = '\0';
    std::vector<char*> fields = string_explode(line, ' ');
    if (fields.size() < 3) {
      cvlog_send(CVLOG_ERROR, "rdns_import_file: too few columns\n");
      continue;
    }
    cvnet_ipaddr ip;
    if (cvnet_aton(fields[0], &ip) != 0) {
      cvlog_send(CVLOG_ERROR, "rdns_import_file: invalid IP format '%s'\n", fields[0]);
      continue;
    }
    errno = 0;
    long long expiry = strtoll(fields[2], nullptr, 10);
    if (expiry <= 0) {
      cvlog_send(CVLOG_ERROR, "rdns_import_file: invalid ttl '%s'\n", fields[2]);
      continue;
    }
    uint32_t flags = 0;
    if (fields.size() > 3 && fields[3][0] == 'H') flags |= RDNSCACHE_FLAG_HASHED;
    if (cache->mark_loaded) flags |= RDNSCACHE_FLAG_LOADED;
    bool no_ip = ip.family == CVNET_AF_INET && ip.addr[0] == 0 && ip.addr[1] == 0 &&
                 ip.addr[2] == 0 && ip.addr[3] == 0;
    if (!no_ip) {
      if (!live_at(expiry, cache->remove_delay, ref)) continue;
      if (rdnscache_add(cache, fields[1], nullptr, 1, &ip, expiry, flags) != 0 &&
          errno != EFBIG) {
        return -1;
      }
    } else if (!cache->skip_no_ip) {
      if (rdnscache_add_no_ip_host(cache, fields[1], nullptr, expiry, flags) != 0) return -1;
    }
  }
  if (ferror(f)) return -1;
  if (lines != nullptr) *lines = count;
  return 0;
}

int rdnscache_dump_file(rdnscache* cache, const char* path) {
  output_file out;
  if (!out.open(path, 0666)) {
    int e = errno;
    cvlog_send(CVLOG_ERROR, "rdns_dump_file: failed to open file '%s': %s\n", path,
               strerror(e));
    errno = e;
    return -1;
  }
  {
    cache_lock lock(cache, false);
    if (!lock.ok()) return -1;
    FILE* s = out.stream();
    char text[INET6_ADDRSTRLEN + 1];
    for (rdns_ipentry* e = cache->head.next; e != &cache->tail; e = e->next) {
      if (cvnet_ntop(e->ip, text, sizeof text) == nullptr) continue;
      for (const rdns_host* h : e->hosts) {
        if (skip_marked(cache, h->flags)) continue;
        fprintf(s, "%s %s %" PRIu64 "%s\n", text, h->name->c_str(),
                static_cast<uint64_t>(h->expiry),
                (h->flags & RDNSCACHE_FLAG_HASHED) ? " H" : "");
      }
    }
    for (const auto& [name, rec] : cache->noip_hosts) {
      fprintf(s, "0.0.0.0 %s %" PRIu64 "\n", name.c_str(), rec.expiry);
    }
  }
  if (!out.commit()) {
    int e = errno;
    cvlog_send(CVLOG_ERROR, "Failed to write %s: %s\n", out.name(), strerror(e));
    errno = e;
    return -1;
  }
  return 0;
}

int rdnscache_dump_file_custom(rdnscache* cache, rdnscache_dump_fn fn, void* ctx) {
  cache_lock lock(cache, false);
  if (!lock.ok()) return -1;
  for (rdns_ipentry* e = cache->head.next; e != &cache->tail; e = e->next) {
    for (const rdns_host* h : e->hosts) {
      if (skip_marked(cache, h->flags)) continue;
      if (fn(ctx, e, h->name->c_str(), h->expiry, h->flags) != 0) return -1;
    }
  }
  return 0;
}

long rdnscache_dump_buff(rdnscache* cache, int64_t ref, char* buf, size_t size, int* count) {
  cache_lock lock(cache, false);
  if (!lock.ok()) return -1;
  size_t used = 0;
  bool full = false;
  int lines = 0;
  char text[INET6_ADDRSTRLEN + 1];
  std::string line;
  for (rdns_ipentry* e = cache->head.next; e != &cache->tail; e = e->next) {
    if (cvnet_ntop(e->ip, text, sizeof text) == nullptr) continue;
    for (const rdns_host* h : e->hosts) {
      if (!live_at(h->expiry, cache->remove_delay, ref)) continue;
      ++lines;
      if (full) continue;
      line = text;
      line += ' ';
      line += *h->name;
      line += ' ';
      line += std::to_string(static_cast<uint64_t>(h->expiry));
      line += '\n';
      if (used + line.size() < size) {
        memcpy(buf + used, line.data(), line.size());
        used += line.size();
      } else {
        full = true;
      }
    }
  }
  if (size > 0) buf[used] = '\0';
  if (count != nullptr) *count = lines;
  return static_cast<long>(used);
}

int rdnscache_destroy(rdnscache* cache) {
  if (!cache->initialized) return RWL_INVALID;
  iplist_terminate(std::move(cache->ip_index));
  cache->hosts.clear();
  cache->noip_hosts.clear();
  cache->memo = nullptr;
  cache->head.next = &cache->tail;
  cache->tail.prev = &cache->head;
  cache->ip_count = cache->host_count = cache->noip_count = 0;
  cache->initialized = false;
  return rwl_destroy(&cache->lock);
}
