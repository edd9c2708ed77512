// cvlistrdns: reads URL list files, resolves their host names through DNS at a bounded rate
// and writes an RDNS list: for every IP address the names that resolve to it, each with a
// time until which the line holds. A cache file carries the answers from one run to the next
// so that names still fresh are not asked again; names that cannot be resolved, and names
// refused because their address already carries the maximum number of names, can be written
// to files of their own.
//
// Two threads: this one reads the input and sends the names; the resolver's receiver thread
// collects the answers and stores them in the cache. The three name sets and the counters are
// shared between them.
//
// Exit status: 0; 1 after a start-up failure, an input that cannot be opened, a failed
// output, a receiver that stopped on a failure, or an option value that is refused.

#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dns_resolver.h"
#include "listrdns_input.h"
#include "rdnscache.h"
#include "urllist/hashing.h"
#include "util/program.h"
#include "util/version.h"
#include "util/cvlog.h"
#include "util/output_file.h"

// This program's messages channel: every message, then a newline, on standard error.
void cvlog_send(int /*type*/, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vfprintf(stderr, format, ap);
  va_end(ap);
  fputc('\n', stderr);
}

namespace {

constexpr const char* option_string = "ahvVm:k:r:s:t:i:o:c:u:d:x";
constexpr size_t cache_line_length = 1024;

const char* const usage_lines[] = {
    "usage: cvlistrdns options",
    "\t-h\t\tDisplay this help.",
    "\t-a\t\tResolve all URL hostname including http://... URLs",
    "\t-m\t\tThe max hosts per IP cache limit. Default: 10 hosts. Extra hosts are discarded and "
    "can be saved in -x filename",
    "\t-k\t\tThe time to keep IP addresses after TTL expiration (IP remove delay) in seconds. "
    "Default: 1 week.",
    "\t-r\t\tThe number of repeat attempts for temporary unresolved hosts. Default: 10 times",
    "\t-s\t\tThe sending rate (requests per second). Default: 10,000 requests.",
    "\t-t\t\tThe record minimal 'time to live' in seconds. Default: 86400 (1 day).",
    "\t-x\t\tOutput hashed host names.",
    "\t-i filename\tThe file to resolve. If absent or is \"-\" input is stdin.",
    "\t-o filename\tThe output file. If absent or is \"-\" output is stdout.",
    "\t-c filename\tThe saved cache file (input and output).",
    "\t-u filename\tThe file for unresolved host names. \"-\" for stdout.",
    "\t-d filename\tThe file for host names discarded because of cache limit. \"-\" for stdout.",
    "\t-v\t\tDisplay the version of this tool.",
    "\t-V\t\tVerbose.",
};

void usage() {
  for (const char* line : usage_lines) {
    fputs(line, stdout);
    fputc('\n', stdout);
  }
}

struct rdns_options {
  bool verbose = false;
  bool resolve_all = false;
  bool hashed = false;
  uint64_t send_rate = 10000;
  unsigned repeat = 10;
  uint32_t max_hosts = 10;
  uint32_t min_ttl = 86400;
  int64_t remove_delay = 604800;
  const char* output = nullptr;
  const char* unresolved = nullptr;
  const char* discarded = nullptr;
  const char* cache = nullptr;
  std::vector<std::string> inputs;
};

// A decimal number in [min, max]: digits only. Negative, empty, partly numeric or too large
// values are refused, so that a mistyped value never turns into a huge limit or 0.
bool parse_number(const char* text, uint64_t min, uint64_t max, uint64_t* out) {
  if (text == nullptr || *text == '\0') return false;
  uint64_t v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    if (v > (UINT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<uint64_t>(*p - '0');
  }
  if (v < min || v > max) return false;
  *out = v;
  return true;
}

// Ordered set of names with its own lock; the sets are touched by both threads.
class host_set {
 public:
  bool contains(std::string_view name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_.find(name) != names_.end();
  }
  void insert(std::string_view name) {
    std::lock_guard<std::mutex> lock(mutex_);
    names_.emplace(name);
  }
  void erase(std::string_view name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = names_.find(name);
    if (it != names_.end()) names_.erase(it);
  }
  // Only once the receiver is idle.
  const std::set<std::string, std::less<>>& names() const { return names_; }

 private:
  std::mutex mutex_;
  std::set<std::string, std::less<>> names_;
};

class listrdns_run : public dns_result_handler {
 public:
  explicit listrdns_run(const rdns_options& opt) : opt_(opt) {}
  ~listrdns_run() override {
    resolver_.terminate();
    if (cache_ready_) rdnscache_destroy(&cache_);
  }

  bool cache_initialize();
  bool dns_init() { return resolver_.init(this, opt_.repeat, opt_.send_rate); }
  int load_file(const std::string& path);
  bool cache_load_finish() { return resolver_.wait_for_completion(&batch_); }
  // Writes the output, the cache file, the unresolved and discarded files. False when any
  // of them failed.
  bool write_results();
  void print_summary() const {
    fprintf(stderr,
            "Read host names: %d; Unique hosts: %d; Resolved hosts: %d; Unresolved hosts %d; "
            "Discarded hosts: %d\n",
            read_.load(), unique_.load(), resolved_.load(), unresolved_count_.load(),
            discarded_count_.load());
  }
  int read_count() const { return read_.load(); }
  int unique_count() const { return unique_.load(); }
  bool resolver_failed() const { return resolver_.failed(); }

  void dns_resolved(const std::string& name, int64_t expiry,
                    std::span<const cvnet_ipaddr> addrs) override {
    cache_add_dns_result(name, expiry, addrs);
  }
  void dns_unresolved(const std::string& name) override { cache_add_unresolved(name); }

 private:
  void cache_load_host(std::string_view name);
  void cache_add_dns_result(const std::string& name, int64_t expiry,
                            std::span<const cvnet_ipaddr> addrs);
  void cache_add_unresolved(const std::string& name);
  void cache_add_dropped(const std::string& name);
  bool cache_dump_rdns();
  bool dump_name_list(const char* path, const host_set& set, const char* what);
  static int cache_dump_rdns_cb(void* ctx, const rdns_ipentry* entry, const char* name,
                                int64_t expiry, uint32_t flags);

  const rdns_options& opt_;
  rdnscache cache_;
  bool cache_ready_ = false;
  host_set pending_, unresolved_, discarded_;
  std::atomic<int> read_{0}, unique_{0}, resolved_{0}, unresolved_count_{0},
      discarded_count_{0};
  dns_resolver resolver_;
  dns_batch batch_;
};

bool listrdns_run::cache_initialize() {
  if (rdnscache_initialize(&cache_, RDNSCACHE_PLAIN, 0) != 0) {
    fprintf(stderr, "RDNS hash allocation error\n");
    return false;
  }
  cache_ready_ = true;
  rdnscache_set_opt(&cache_, RDNSCACHE_OPT_MAX_HOSTS_PER_IP, opt_.max_hosts);
  rdnscache_set_opt(&cache_, RDNSCACHE_OPT_REMOVE_DELAY, opt_.remove_delay);
  if (opt_.cache != nullptr) {
    // A cache that cannot be read only costs the answers it held; its message says why.
    rdnscache_import_file(&cache_, static_cast<int64_t>(time(nullptr)), cache_line_length,
                          nullptr, opt_.cache);
  }
  return true;
}

void listrdns_run::cache_load_host(std::string_view name) {
  ++read_;
  if (pending_.contains(name) || unresolved_.contains(name) || discarded_.contains(name)) return;
  int64_t expiry = 0;
  if (rdnscache_have_host(&cache_, name.data(), name.data() + name.size(), &expiry) > 0 &&
      expiry > static_cast<int64_t>(time(nullptr))) {
    return;
  }
  pending_.insert(name);
  ++unique_;
  std::string copy(name);
  if (resolver_.send(copy, &batch_) != 0) cache_add_unresolved(copy);
}

int listrdns_run::load_file(const std::string& path) {
  bool is_stdin = path == "-";
  FILE* in = is_stdin ? stdin : fopen(path.c_str(), "r");
  if (in == nullptr) {
    fprintf(stderr, "Can't open input file: %s\n", strerror(errno));
    return -1;
  }
  char* buf = nullptr;  // getline's buffer: malloc'd by the C library, grows with the line
  size_t cap = 0;
  ssize_t n;
  while (!resolver_.failed() && (n = getline(&buf, &cap, in)) >= 0) {
    size_t len = static_cast<size_t>(n);
    if (len > 0 && buf[len - 1] == '\n') buf[--len] = '\0';
    std::string_view host = listrdns_line_host(buf, opt_.resolve_all);
    if (!host.empty()) cache_load_host(host);
  }
  free(buf);
  if (!is_stdin) fclose(in);
  return 0;
}

void listrdns_run::cache_add_dns_result(const std::string& name, int64_t expiry,
                                        std::span<const cvnet_ipaddr> addrs) {
  if (rdnscache_add(&cache_, name.data(), name.data() + name.size(),
                    static_cast<int>(addrs.size()), addrs.data(), expiry, 0) == 0) {
    ++resolved_;
    pending_.erase(name);
  } else {
    cache_add_dropped(name);
  }
}

void listrdns_run::cache_add_unresolved(const std::string& name) {
  unresolved_.insert(name);
  pending_.erase(name);
  ++unresolved_count_;
}

void listrdns_run::cache_add_dropped(const std::string& name) {
  discarded_.insert(name);
  pending_.erase(name);
  ++discarded_count_;
}

struct dump_context {
  FILE* out;
  int64_t floor;  // now + minimal time to live
  bool hashed;
};

int listrdns_run::cache_dump_rdns_cb(void* vctx, const rdns_ipentry* entry, const char* name,
                                     int64_t expiry, uint32_t /*flags*/) {
  auto* ctx = static_cast<dump_context*>(vctx);
  char text[INET6_ADDRSTRLEN + 1];
  if (cvnet_ntop(entry->ip, text, sizeof text) == nullptr) return 0;
  uint64_t t = static_cast<uint64_t>(expiry > ctx->floor ? expiry : ctx->floor);
  if (!ctx->hashed) {
    fprintf(ctx->out, "%s %s %" PRIu64 "\n", text, name, t);
    return 0;
  }
  fputs(text, ctx->out);
  fputc(' ', ctx->out);
  // Label by label; an empty label (two dots, a trailing dot) ends the name.
  const char* p = name;
  for (bool first = true; *p != '\0'; first = false) {
    const char* dot = strchr(p, '.');
    size_t len = dot != nullptr ? static_cast<size_t>(dot - p) : strlen(p);
    if (len == 0) break;
    char hash_text[63];
    urllist_hash_value h;
    urllist_hash(p, len, &h);
    urllist_hash2str(h, hash_text, sizeof hash_text);
    if (!first) fputc('.', ctx->out);
    fputs(hash_text, ctx->out);
    if (dot == nullptr) break;
    p = dot + 1;
  }
  fprintf(ctx->out, " %" PRIu64 " H\n", t);
  return 0;
}

bool listrdns_run::cache_dump_rdns() {
  bool ok = true;
  output_file out;
  if (!out.open(opt_.output)) {
    fprintf(stderr, "Can't open output file: %s\n", strerror(errno));
    ok = false;
  } else {
    int64_t now = static_cast<int64_t>(time(nullptr));
    dump_context ctx{out.stream(), now + static_cast<int64_t>(opt_.min_ttl), opt_.hashed};
    rdnscache_dump_file_custom(&cache_, cache_dump_rdns_cb, &ctx);
    if (!out.commit()) {
      fprintf(stderr, "Failed to write %s: %s\n", out.name(), strerror(out.error()));
      ok = false;
    }
  }
  // The cache is written even when the output failed: it holds every answer received.
  if (opt_.cache != nullptr && rdnscache_dump_file(&cache_, opt_.cache) != 0) ok = false;
  return ok;
}

bool listrdns_run::dump_name_list(const char* path, const host_set& set, const char* what) {
  if (path == nullptr) return true;
  output_file out;
  if (!out.open(path)) {
    fprintf(stderr, "Can't open file for %s hosts: %s\n", what, strerror(errno));
    return false;
  }
  for (const std::string& name : set.names()) {
    fputs(name.c_str(), out.stream());
    fputc('\n', out.stream());
  }
  if (!out.commit()) {
    fprintf(stderr, "Failed to write %s: %s\n", out.name(), strerror(out.error()));
    return false;
  }
  return true;
}

bool listrdns_run::write_results() {
  bool ok = cache_dump_rdns();
  ok = dump_name_list(opt_.unresolved, unresolved_, "unresolved") && ok;
  ok = dump_name_list(opt_.discarded, discarded_, "discarded") && ok;
  return ok;
}

// Parses the options. Returns -1 to go on, or the exit status.
int parse_options(int argc, char** argv, rdns_options* o) {
  int c;
  auto keep_first = [](const char** slot, const char* value, const char* message) {
    if (*slot == nullptr) {
      *slot = value;
    } else {
      fprintf(stderr, message, value);
    }
  };
  while ((c = getopt(argc, argv, option_string)) != -1) {
    uint64_t v = 0;
    bool bad = false;
    switch (c) {
      case 'h':
        usage();
        return 0;
      case 'v':
        printf("Corvane List RDNS %s Build: %s\n", CV_VERSION, cv_build_stamp());
        return 0;
      case 'a':
        o->resolve_all = true;
        break;
      case 'V':
        o->verbose = true;
        break;
      case 'x':
        o->hashed = true;
        break;
      case 'm':
        bad = !parse_number(optarg, 0, UINT32_MAX, &v);
        o->max_hosts = static_cast<uint32_t>(v);
        break;
      case 'k':
        bad = !parse_number(optarg, 0, INT64_MAX / 2, &v);
        o->remove_delay = static_cast<int64_t>(v);
        break;
      case 'r':
        bad = !parse_number(optarg, 0, UINT32_MAX, &v);
        o->repeat = static_cast<unsigned>(v);
        break;
      case 's':
        bad = !parse_number(optarg, 1, UINT32_MAX, &v);
        o->send_rate = v;
        break;
      case 't':
        bad = !parse_number(optarg, 0, UINT32_MAX, &v);
        o->min_ttl = static_cast<uint32_t>(v);
        break;
      case 'i':
        o->inputs.emplace_back(optarg);
        break;
      case 'o':
        keep_first(&o->output, optarg, "Ignore extra output file %s\n");
        break;
      case 'c':
        keep_first(&o->cache, optarg, "Ignore extra cache file %s\n");
        break;
      case 'u':
        keep_first(&o->unresolved, optarg, "Ignore extra unresolved hosts file %s\n");
        break;
      case 'd':
        keep_first(&o->discarded, optarg, "Ignore extra discarded hosts file %s\n");
        break;
      default:
        break;  // getopt has complained already
    }
    if (bad) {
      fprintf(stderr, "Invalid value '%s' for option -%c\n", optarg, c);
      usage();
      return 1;
    }
  }
  if (o->inputs.empty()) o->inputs.emplace_back("-");
  return -1;
}

}  // namespace

static int listrdns_run_program(int argc, char** argv) {
  rdns_options opt;
  int status = parse_options(argc, argv, &opt);
  if (status >= 0) {
    // -h, -v and option errors: what they printed is the result of the run.
    if (!cv_stdout_close_checked() && status == 0) status = 1;
    return status;
  }

  listrdns_run run(opt);
  if (!run.cache_initialize()) return 1;
  if (!run.dns_init()) return 1;

  bool ok = true;
  for (const std::string& input : opt.inputs) {
    if (run.load_file(input) != 0) {
      // The names sent so far are still waited for and written: their answers are not lost.
      ok = false;
      break;
    }
    if (opt.verbose) {
      if (input == "-") {
        fprintf(stderr, "The input file is loaded. Start DNS resolving.\n");
      } else {
        fprintf(stderr, "The file '%s' is loaded. Start DNS resolving.\n", input.c_str());
      }
      fprintf(stderr, "%d unique hosts from %d host names\n", run.unique_count(),
              run.read_count());
    }
    if (run.resolver_failed()) break;
  }
  if (!run.cache_load_finish()) ok = false;

  if (opt.verbose) {
    if (opt.output == nullptr || strcmp(opt.output, "-") == 0) {
      fprintf(stderr, "Host names are resolved. Output RDNS cache\n");
    } else {
      fprintf(stderr, "Host names are resolved. Write RDNS cache file '%s'\n", opt.output);
    }
  }
  if (!run.write_results()) ok = false;
  run.print_summary();
  return ok ? 0 : 1;
}

int main(int argc, char** argv) {
  if (!cv_program_init()) return 1;
  return cv_program_run([&] { return listrdns_run_program(argc, argv); });
}
