#include "stores/regexp_entries.h"

#include <cctype>
#include <cstring>
#include <new>

urllist_regexp_entry::~urllist_regexp_entry() { regfree(&compiled); }

urllist_regexp_chain::~urllist_regexp_chain() {
  // Unlink one entry at a time: letting the unique_ptrs cascade would recurse once per entry.
  while (head) head = std::move(head->next);
}

std::string urllist_regexp_pattern(const char* text) {
  const size_t n = std::strlen(text);
  if (n >= 4 && (text[0] == '\'' || text[0] == '/' || text[0] == '|') && text[n - 1] == text[0]) {
    return std::string(text + 1, n - 2);
  }
  return std::string(text, n);
}

namespace {

// Reads an interval "{m}", "{m,}" or "{m,n}" at p; on success returns the largest count it
// allows (m for "{m,}") and sets *end past the "}". Returns -1 when p holds no interval.
long read_interval(const char* p, const char** end) {
  if (*p != '{') return -1;
  ++p;
  long lo = 0, hi = -1;
  bool digits = false;
  while (*p >= '0' && *p <= '9') {
    if (lo < 1000000) lo = lo * 10 + (*p - '0');
    ++p;
    digits = true;
  }
  if (!digits) return -1;
  if (*p == ',') {
    ++p;
    if (*p >= '0' && *p <= '9') {
      hi = 0;
      while (*p >= '0' && *p <= '9') {
        if (hi < 1000000) hi = hi * 10 + (*p - '0');
        ++p;
      }
    }
  }
  if (*p != '}') return -1;
  *end = p + 1;
  return hi > lo ? hi : lo;
}

}  // namespace

bool urllist_regexp_too_costly(const char* pattern) {
  // The C library compiles stacked repetitions ("a++++", "a{1000}{1000}") by copying the
  // repeated expression once per level, so each level multiplies the memory: twenty-two "+"
  // take 3 GB, a few more exhaust the machine. A run of repetitions directly after one
  // another is judged by the product of what each level allows ("*", "+", "?" count 2; an
  // interval its largest count + 1).
  constexpr double limit = 65536;
  double run = 1;
  bool after_repetition = false;
  for (const char* p = pattern; *p != '\0';) {
    double factor = 0;
    const char* next = p + 1;
    if (*p == '*' || *p == '+' || *p == '?') {
      factor = 2;
    } else if (*p == '{') {
      long n = read_interval(p, &next);
      if (n >= 0) factor = static_cast<double>(n) + 1;
    } else if (*p == '\\') {
      if (p[1] != '\0') next = p + 2;
    } else if (*p == '[') {
      // A bracket expression is one atom: skip to its closing "]" (a "]" right after "[" or
      // "[^" is a member, and "[:", "[.", "[=" open nested terms).
      const char* q = p + 1;
      if (*q == '^') ++q;
      if (*q == ']') ++q;
      while (*q != '\0' && *q != ']') {
        if (*q == '[' && (q[1] == ':' || q[1] == '.' || q[1] == '=')) {
          const char close = q[1];
          q += 2;
          while (*q != '\0' && !(*q == close && q[1] == ']')) ++q;
          if (*q != '\0') q += 2;
        } else {
          ++q;
        }
      }
      next = *q != '\0' ? q + 1 : q;
    }
    if (factor > 0) {
      run = after_repetition ? run * factor : factor;
      after_repetition = true;
      if (run > limit) return true;
    } else {
      after_repetition = false;
    }
    p = next;
  }
  return false;
}

int urllist_add_regexp(urllist_regexp_chain& chain, const char* text,
                       const urllist_action_ref& action, int32_t flags) {
  if (text == nullptr || !action) return -5;
  try {
    auto entry = std::make_unique<urllist_regexp_entry>();
    entry->pattern = urllist_regexp_pattern(text);
    if (flags != 0) {
      for (char& c : entry->pattern) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
    }
    if (urllist_regexp_too_costly(entry->pattern.c_str())) {
      std::memset(&entry->compiled, 0, sizeof entry->compiled);
      return -5;
    }
    const int rc = regcomp(&entry->compiled, entry->pattern.c_str(), REG_EXTENDED | REG_NOSUB);
    if (rc != 0) {
      // Nothing was compiled, so the destructor's regfree must not run on it.
      std::memset(&entry->compiled, 0, sizeof entry->compiled);
      return rc == REG_ESPACE ? -2 : -5;
    }
    entry->nocase = flags;
    entry->action = action;
    urllist_regexp_entry* raw = entry.get();
    if (chain.tail != nullptr) {
      chain.tail->next = std::move(entry);
    } else {
      chain.head = std::move(entry);
    }
    chain.tail = raw;
    chain.count++;
  } catch (const std::bad_alloc&) {
    return -2;
  }
  return 0;
}

urllist_action* urllist_regexp_lookup(const urllist_regexp_chain* chain, const char* url_text,
                                      const char* lowered_text, std::string* matched) {
  if (chain == nullptr || url_text == nullptr) return nullptr;
  for (const urllist_regexp_entry* e = chain->head.get(); e != nullptr; e = e->next.get()) {
    const urllist_action* a = e->action.get();
    // At exactly current_time the entry is already skipped, one second earlier than
    // urllist_action_expired would say.
    if (a->expiry > 0 && a->expiry <= current_time) continue;
    const char* text = e->nocase != 0 ? lowered_text : url_text;
    if (text == nullptr) continue;
    if (regexec(&e->compiled, text, 0, nullptr, 0) != 0) continue;
    if (matched != nullptr) {
      try {
        std::string text;
        text.reserve(e->pattern.size() + 2);
        text.push_back('/');
        text.append(e->pattern);
        text.push_back('/');
        *matched = std::move(text);
      } catch (const std::bad_alloc&) {
        matched->clear();
      }
    }
    return e->action.get();
  }
  return nullptr;
}
