#include "records/pcre_regex.h"

#include <pcre.h>
#include <sys/resource.h>

#include <climits>

// The library hands out a C object released with pcre_free; pcre_regex is only a name for
// it on our side, so the pointer is converted back and forth here and nowhere else.
struct pcre_regex {};

void pcre_regex_deleter::operator()(pcre_regex* re) const {
  if (re) pcre_free(reinterpret_cast<pcre*>(re));
}

pcre_regex_ptr pcre_regex_compile(const char* pattern, std::string* error, int* error_offset) {
  const char* err = nullptr;
  int offset = 0;
  pcre* re = pcre_compile(pattern, 0, &err, &offset, nullptr);
  if (!re) {
    if (error) *error = err ? err : "";
    if (error_offset) *error_offset = offset;
    return nullptr;
  }
  return pcre_regex_ptr(reinterpret_cast<pcre_regex*>(re));
}

namespace {

// The classic library matches by recursion on the C stack, one frame of a few hundred bytes
// per nested step, and a pattern such as "^(.)*$" nests about twice per subject byte: a URL
// of some ten thousand bytes runs an 8 MB stack out and crashes the process. The recursion is
// therefore bounded so that it uses at most half of the stack (at most 4 MB); beyond that
// pcre_exec reports PCRE_ERROR_RECURSIONLIMIT, which callers take as no match. Patterns and
// URLs of ordinary size never come near the bound (it allows about 8000 nested steps).
const pcre_extra* exec_limits() {
  static const pcre_extra extra = [] {
    pcre_extra e{};
    // A null pattern with these arguments makes the library return minus its frame size.
    int frame = -pcre_exec(nullptr, nullptr, nullptr, -999, -999, 0, nullptr, 0);
    if (frame <= 0) frame = 1024;
    rlim_t stack = 8u << 20;
    rlimit rl{};
    if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < stack) {
      stack = rl.rlim_cur;
    }
    e.flags = PCRE_EXTRA_MATCH_LIMIT_RECURSION;
    e.match_limit_recursion = static_cast<unsigned long>(stack / 2 / static_cast<rlim_t>(frame));
    return e;
  }();
  return &extra;
}

}  // namespace

int pcre_regex_exec(const pcre_regex* re, std::string_view subject,
                    int (&ovector)[pcre_regex_ovector_size]) {
  if (!re || subject.size() > static_cast<size_t>(INT_MAX)) return PCRE_ERROR_NOMATCH;
  return pcre_exec(reinterpret_cast<const pcre*>(re), exec_limits(), subject.data(),
                   static_cast<int>(subject.size()), 0, 0, ovector, pcre_regex_ovector_size);
}
