// Fuzzes the two parsers of cvlistrdns: the input-line rules (every line of the input, with
// and without -a) and the cache-file reader, after which the cache must still hold its
// invariants: every name listed under an address carries that address, and the counts match.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "listrdns_input.h"
#include "rdnscache.h"
#include "util/cvlog.h"

namespace {

struct check_context {
  rdnscache* cache;
  uint64_t lines = 0;
};

int check_entry(void* vctx, const rdns_ipentry* entry, const char* name, int64_t, uint32_t) {
  auto* ctx = static_cast<check_context*>(vctx);
  ++ctx->lines;
  for (const rdns_host* h : entry->hosts) {
    bool carries = false;
    for (const rdns_addr_slot& s : h->addrs) carries = carries || cvnet_compare(s.ip, entry->ip) == 0;
    if (!carries) __builtin_trap();
  }
  if (name == nullptr) __builtin_trap();
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cvlog_set_silent(true);
  std::string text(reinterpret_cast<const char*>(data), size);
  for (bool all : {false, true}) {
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      std::string_view host = listrdns_line_host(line.data(), all);
      if (!host.empty() && (host.find('*') != std::string_view::npos || host.size() > line.size())) {
        __builtin_trap();
      }
      start = end + 1;
    }
  }

  static const std::string path = "/tmp/fuzz_listrdns." + std::to_string(getpid());
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return 0;
  fwrite(data, 1, size, f);
  fclose(f);
  rdnscache cache;
  if (rdnscache_initialize(&cache, size % 2 == 0 ? RDNSCACHE_PLAIN : RDNSCACHE_LRU,
                           static_cast<unsigned>(size % 5)) != 0) {
    unlink(path.c_str());
    return 0;
  }
  rdnscache_set_opt(&cache, RDNSCACHE_OPT_MAX_HOSTS_PER_IP, size % 3);
  rdnscache_set_opt(&cache, RDNSCACHE_OPT_MARK_LOADED, size % 7 == 0);
  rdnscache_import_file(&cache, 1000000, 64, nullptr, path.c_str());
  unlink(path.c_str());
  check_context ctx{&cache};
  rdnscache_dump_file_custom(&cache, check_entry, &ctx);
  char buf[256];
  int count = 0;
  rdnscache_dump_buff(&cache, 0, buf, sizeof buf, &count);
  uint64_t ips = 0, hosts = 0, noip = 0;
  rdnscache_get_sizes(&cache, &ips, &hosts, &noip);
  if (cache.hosts.size() != hosts || cache.noip_hosts.size() != noip) __builtin_trap();
  rdnscache_destroy(&cache);
  return 0;
}
