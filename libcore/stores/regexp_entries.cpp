#include "stores/regexp_entries.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
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

// Skips a bracket expression that opens at p ("["); returns the position after its closing
// "]", or the end of the text. A "]" right after "[" or "[^" is a member, and "[:", "[.",
// "[=" open nested terms.
const char* skip_bracket(const char* p) {
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
  return *q != '\0' ? q + 1 : q;
}

// One pass over a pattern estimating what the C library's compiler builds from it: every
// repetition with a count copies its operand that many times ("a{3}" is "aaa", "a+" is
// "aa*", "a{2,5}" is "aa" and three optional copies), and repetitions nested in groups
// multiply. Sizes saturate far above any budget, so no count can overflow.
class regexp_cost_scan {
 public:
  explicit regexp_cost_scan(const char* pattern) : p_(pattern) {}

  urllist_regexp_cost run() {
    alternation(0);
    while (*p_ != '\0') {
      // A ")" without its "(" is an ordinary character to the compiler.
      result_.unbalanced = true;
      ++p_;
      alternation(0);
    }
    return result_;
  }

 private:
  static constexpr double saturation = 1e12;

  // What a part of the pattern costs: atoms after expansion, and the stacking of the
  // repetitions around its deepest piece.
  struct part {
    double size = 0;
    double stack = 1;
    bool nullable = false;  // can match the empty text
    int nested = 0;         // deepest nesting of copying repetitions of nullable operands
    double copies = 1;      // largest product of their counts along one nesting
  };

  static void merge(part& all, const part& next) {
    all.size = add(all.size, next.size);
    all.stack = std::max(all.stack, next.stack);
    all.nested = std::max(all.nested, next.nested);
    all.copies = std::max(all.copies, next.copies);
  }

  part alternation(int depth) {
    part all = sequence(depth);
    while (*p_ == '|') {
      ++p_;
      part next = sequence(depth);
      const bool nullable = all.nullable || next.nullable;
      merge(all, next);
      all.nullable = nullable;
    }
    return all;
  }

  part sequence(int depth) {
    part all;
    all.nullable = true;  // the empty sequence
    while (*p_ != '\0' && *p_ != '|' && *p_ != ')') {
      part next = piece(depth);
      const bool nullable = all.nullable && next.nullable;
      merge(all, next);
      all.nullable = nullable;
    }
    return all;
  }

  // An atom and the repetitions written after it. Repetitions applied to repetitions
  // ("a*?+*?+", "((a*)+)*") cost far more than their copies: compiling ten levels of "*?+"
  // takes minutes. Such stacks are judged by the product of what each level allows ("*",
  // "?" and "+" counting 2, an interval its largest count + 1).
  //
  // Repeating a part that can match the empty text ("(x?){1,200}", "((x+??+)+)+",
  // "((b?)*){20}") makes the compiler's closure of empty moves grow far faster still: one
  // level of it is judged by its count, two nested levels are refused outright (some such
  // patterns of ten characters never finish compiling).
  part piece(int depth) {
    part inner = atom(depth);
    double size = inner.size;
    double stack = inner.stack;
    bool nullable = inner.nullable;
    int nested = inner.nested;
    double copies = inner.copies;
    bool repeated_here = false;
    for (;;) {
      double factor;
      double level;
      bool may_be_empty;
      bool loop = true;  // the operand may be taken more than once
      if (*p_ == '*' || *p_ == '?') {
        factor = 1;
        level = 2;
        may_be_empty = true;
        loop = *p_ == '*';
        ++p_;
      } else if (*p_ == '+') {
        factor = 2;
        level = 2;
        may_be_empty = nullable;
        ++p_;
      } else if (*p_ == '{') {
        const char* end = nullptr;
        long lo = 0, hi = 0;
        if (!read_interval(p_, &end, &lo, &hi)) break;
        // "{m,}" is m copies and a starred one; "{m,n}" n copies; "{0}" or "{0,0}" none.
        factor = hi < 0 ? static_cast<double>(lo) + 1 : static_cast<double>(hi > lo ? hi : lo);
        level = factor + 1;
        may_be_empty = nullable || lo == 0;
        loop = hi < 0 || hi >= 2;
        p_ = end;
      } else {
        break;
      }
      if (loop && nullable) {
        ++nested;
        copies = mul(copies, factor);
        result_.nested_nullable = std::max(result_.nested_nullable, nested);
        result_.nullable_copies = std::max(result_.nullable_copies, copies);
      }
      nullable = may_be_empty;
      size = mul(size, factor < 1 ? 1 : factor);
      if (factor >= 2) result_.repeated = add(result_.repeated, size);
      stack = mul(stack, level);
      repeated_here = true;
    }
    if (repeated_here && stack > result_.stacked) result_.stacked = stack;
    return part{size, repeated_here ? stack : 1, nullable, nested, copies};
  }

  part atom(int depth) {
    const char c = *p_;
    if (c == '(') {
      ++p_;
      if (depth + 1 > result_.depth) result_.depth = depth + 1;
      // Deeper than any budget allows: the rest need not be read (and reading it would
      // recurse as deep as the compiler would).
      if (depth + 1 > urllist_regexp_max_depth) {
        p_ += std::strlen(p_);
        return part{1, 1, false, 0, 1};
      }
      part inside = alternation(depth + 1);
      if (*p_ == ')') ++p_;
      return inside;
    }
    // Anchors and the library's word-boundary escapes match the empty text.
    bool empty = false;
    if (c == '[') {
      p_ = skip_bracket(p_);
    } else if (c == '\\' && p_[1] != '\0') {
      if (p_[1] >= '1' && p_[1] <= '9') result_.backreference = true;
      empty = std::strchr("bB<>`'", p_[1]) != nullptr;
      p_ += 2;
    } else {
      empty = c == '^' || c == '$';
      ++p_;
    }
    result_.atoms = add(result_.atoms, 1);
    return part{1, 1, empty, 0, 1};
  }

  // Reads "{m}", "{m,}" or "{m,n}" at p: false when p holds no interval. hi is -1 for
  // "{m,}".
  static bool read_interval(const char* p, const char** end, long* lo, long* hi) {
    ++p;
    long m = 0, n = -1;
    bool digits = false;
    while (*p >= '0' && *p <= '9') {
      if (m < 1000000) m = m * 10 + (*p - '0');
      ++p;
      digits = true;
    }
    if (!digits) return false;
    if (*p == ',') {
      ++p;
      if (*p >= '0' && *p <= '9') {
        n = 0;
        while (*p >= '0' && *p <= '9') {
          if (n < 1000000) n = n * 10 + (*p - '0');
          ++p;
        }
      }
    } else {
      n = m;
    }
    if (*p != '}') return false;
    *end = p + 1;
    *lo = m;
    *hi = n;
    return true;
  }

  static double add(double a, double b) { return a + b > saturation ? saturation : a + b; }
  static double mul(double a, double b) { return a * b > saturation ? saturation : a * b; }

  const char* p_;
  urllist_regexp_cost result_;
};

}  // namespace

urllist_regexp_cost urllist_regexp_measure(const char* pattern) {
  return regexp_cost_scan(pattern).run();
}

const char* urllist_regexp_refusal(const char* pattern) {
  const urllist_regexp_cost c = urllist_regexp_measure(pattern);
  if (c.backreference) return "back-reference";
  if (c.depth > urllist_regexp_max_depth) return "groups nested too deeply";
  if (c.repeated > urllist_regexp_max_repeated || c.stacked > urllist_regexp_max_stacked ||
      c.nested_nullable > urllist_regexp_max_nested_nullable ||
      c.nullable_copies > urllist_regexp_max_nullable_copies) {
    return "repetitions too large";
  }
  if (c.atoms > urllist_regexp_max_atoms) return "expression too long";
  return nullptr;
}

bool urllist_regexp_too_costly(const char* pattern) {
  return urllist_regexp_refusal(pattern) != nullptr;
}

int urllist_regexp_chain_add(urllist_regexp_chain& chain, const char* text,
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
    // Nothing is compiled on a failure, so the destructor's regfree must not run on it.
    std::memset(&entry->compiled, 0, sizeof entry->compiled);
    const urllist_regexp_cost cost = urllist_regexp_measure(entry->pattern.c_str());
    if (urllist_regexp_refusal(entry->pattern.c_str()) != nullptr) return -5;
    const int rc = regcomp(&entry->compiled, entry->pattern.c_str(), REG_EXTENDED | REG_NOSUB);
    if (rc != 0) {
      std::memset(&entry->compiled, 0, sizeof entry->compiled);
      if (rc != REG_ESPACE) return -5;
      errno = ENOMEM;  // the loader tells memory exhaustion from a bad entry by it
      return -2;
    }
    // Matched as it is, an expression that does not start with "^" is tried from every
    // position of the text in turn, each try running to the end of the text: a lookup would
    // cost the square of the URL's length. "^.*(P)" matches exactly the texts P matches
    // (the texts hold no NUL, which is all "." leaves out), and is run once from the start.
    // Patterns whose meaning the wrapping could change are kept as they are: an empty one,
    // one with a ")" that has no "(" (an ordinary character to the compiler), one that
    // starts with a repetition operator.
    const char first = entry->pattern.empty() ? '\0' : entry->pattern[0];
    if (first != '\0' && !cost.unbalanced && first != '*' && first != '+' && first != '?' &&
        first != '{') {
      std::string wrapped;
      wrapped.reserve(entry->pattern.size() + 5);
      wrapped.append("^.*(").append(entry->pattern).push_back(')');
      regex_t anchored;
      if (regcomp(&anchored, wrapped.c_str(), REG_EXTENDED | REG_NOSUB) == 0) {
        regfree(&entry->compiled);
        entry->compiled = anchored;
      }
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
    errno = ENOMEM;
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
      std::string text;
      text.reserve(e->pattern.size() + 2);
      text.push_back('/');
      text.append(e->pattern);
      text.push_back('/');
      *matched = std::move(text);
    }
    return e->action.get();
  }
  return nullptr;
}
