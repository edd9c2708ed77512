#include "records/action.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "records/decode.h"
#include "util/cvlog.h"

long current_time = 0;

namespace {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Splits at every single space, as the list tools' explode does: consecutive spaces give
// empty words, and a trailing space gives an empty last word.
std::vector<std::string_view> split_spaces(std::string_view text) {
  std::vector<std::string_view> words;
  size_t start = 0;
  for (;;) {
    const size_t sp = text.find(' ', start);
    if (sp == std::string_view::npos) {
      words.push_back(text.substr(start));
      return words;
    }
    words.push_back(text.substr(start, sp - start));
    start = sp + 1;
  }
}

// The data word holds an owned object of the kind's type; these two keep the casts in one
// place.
template <typename T>
void* to_word(std::unique_ptr<T> p) {
  return static_cast<void*>(p.release());
}

template <typename T>
const T* from_word(const urllist_action* a, int32_t kind) {
  if (!a || a->kind != kind) return nullptr;
  return static_cast<const T*>(a->data);
}

// ---- Parsing by kind ----------------------------------------------------------------------

std::unique_ptr<category_set> parse_categories(const char* arg) {
  auto set = std::make_unique<category_set>();
  if (!urllist_action_parse_category_list(arg, set.get())) return nullptr;
  return set;
}

std::unique_ptr<urllist_query_edit> parse_query_edit(const char* word, const char* arg) {
  if (!arg) return nullptr;
  auto edit = std::make_unique<urllist_query_edit>();
  edit->text = arg;
  // Offsets and lengths are 32-bit.
  if (edit->text.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
  const std::string_view text(edit->text);
  std::vector<std::string_view> tokens = split_spaces(text);
  if (tokens.size() > static_cast<size_t>(URLLIST_QUERY_MAX_MODIFICATIONS)) {
    cvlog_send(CVLOG_ERROR, "urllist: too many query modifications (%d) in '%s', truncate to %d\n",
               static_cast<int>(tokens.size()), arg, URLLIST_QUERY_MAX_MODIFICATIONS);
    tokens.resize(URLLIST_QUERY_MAX_MODIFICATIONS);
  }
  edit->mods.reserve(tokens.size());
  for (std::string_view tok : tokens) {
    urllist_query_modification m;
    m.raw_offset = static_cast<uint32_t>(tok.data() - text.data());
    if (!tok.empty() && tok[0] == '-') {
      m.flags |= URLLIST_QUERY_MOD_REMOVE;
      tok.remove_prefix(1);
    } else if (!tok.empty() && tok[0] == '+') {
      tok.remove_prefix(1);
    }
    m.token_offset = static_cast<uint32_t>(tok.data() - text.data());
    m.token_length = static_cast<int32_t>(tok.size());
    const size_t eq = tok.find('=');
    if (eq != std::string_view::npos && eq + 1 < tok.size()) {
      m.name_length = static_cast<int32_t>(eq);
    } else if (m.flags & URLLIST_QUERY_MOD_REMOVE) {
      m.flags |= URLLIST_QUERY_MOD_ANY_VALUE;
      m.name_length = static_cast<int32_t>(eq == std::string_view::npos ? tok.size() : eq);
    } else {
      const std::string shown(tok);
      cvlog_send(CVLOG_ERROR, "urllist: query modification for adding '%s' has no value, ignored\n",
                 shown.c_str());
      m.name_length = 0;
    }
    edit->mods.push_back(m);
  }
  bool any = false;
  for (size_t i = 0; i < edit->mods.size(); ++i) {
    urllist_query_modification& m = edit->mods[i];
    if (m.name_length != 0) any = true;
    for (size_t j = i + 1; j < edit->mods.size(); ++j) {
      if (edit->name(edit->mods[j]) == edit->name(m)) {
        m.flags |= URLLIST_QUERY_MOD_SUPERSEDED;
        break;
      }
    }
  }
  if (!any) return nullptr;
  if (word[1] == 'a') edit->flags |= URLLIST_QUERY_EDIT_ADD_WITHOUT_QUERY;
  return edit;
}

std::unique_ptr<urllist_search_replace> parse_search_replace(const char* arg) {
  if (!arg) return nullptr;
  const std::vector<std::string_view> words = split_spaces(arg);
  // An empty search text would match everywhere and never let the replacement loop end.
  if (words.size() < 2 || words[0].empty()) return nullptr;
  auto sr = std::make_unique<urllist_search_replace>();
  sr->search = words[0];
  sr->replacement = words[1];
  return sr;
}

std::unique_ptr<urllist_regexp_rule> parse_regexp(const char* word, const char* arg) {
  if (!arg) return nullptr;
  const std::vector<std::string_view> words = split_spaces(arg);
  if (words.size() < 2) return nullptr;
  auto rule = std::make_unique<urllist_regexp_rule>();
  rule->pattern = words[0];
  rule->replacement = words[1];
  std::string error;
  int offset = 0;
  rule->compiled = pcre_regex_compile(rule->pattern.c_str(), &error, &offset);
  if (!rule->compiled) {
    cvlog_send(CVLOG_ERROR, "urllist: error compiling pcre \"%s\" regex \"%s\" at char %d\n",
               rule->pattern.c_str(), error.c_str(), offset);
    return nullptr;
  }
  rule->modifier = word[1] ? static_cast<unsigned char>(ascii_lower(word[1])) : 0;
  return rule;
}

std::unique_ptr<std::string> parse_text(const char* arg) {
  if (!arg || !*arg) return nullptr;
  return std::make_unique<std::string>(arg);
}

std::unique_ptr<urllist_header_list> parse_headers(const char* arg) {
  if (!arg || !*arg) return nullptr;
  auto list = std::make_unique<urllist_header_list>();
  list->text = arg;
  const size_t n = list->text.size();
  // The block handed out by process_action has 32-bit size fields; refuse what cannot fit.
  if (n > UINT32_MAX / 2) return nullptr;
  const char* s = list->text.data();
  if (is_digit(s[0])) {
    size_t p = 0;
    while (p < n) {
      if (!is_digit(s[p])) return nullptr;
      // Digits only: no sign, no leading space. Stop as soon as the length exceeds the
      // whole argument, so it can neither overflow nor wrap.
      size_t len = 0;
      while (p < n && is_digit(s[p])) {
        len = len * 10 + static_cast<size_t>(s[p] - '0');
        if (len > n) return nullptr;
        ++p;
      }
      if (p < n && s[p] == ' ') ++p;
      if (len > n - p) return nullptr;
      list->offsets.push_back(static_cast<uint32_t>(p));
      list->lengths.push_back(static_cast<uint32_t>(len));
      p += len;
      if (p < n && s[p] == ' ') ++p;
    }
  } else {
    list->offsets.push_back(0);
    list->lengths.push_back(static_cast<uint32_t>(n));
  }
  list->block_size = static_cast<uint32_t>(n + sizeof(char*) * (list->offsets.size() + 1) + 1);
  return list;
}

bool parse_list_number(const char* arg, int64_t* out) {
  if (!arg) return false;
  char* end = nullptr;
  const long long v = std::strtoll(arg, &end, 10);
  if (*end != ' ' && *end != '\0') return false;
  *out = static_cast<int64_t>(v);
  return true;
}

int32_t kind_of_letter(char c) {
  switch (ascii_lower(c)) {
    case 'n':
      return URLLIST_ACTION_NO_ACTION;
    case 'd':
      return URLLIST_ACTION_DENY;
    case 'a':
      return URLLIST_ACTION_ALLOW;
    case 'c':
      return URLLIST_ACTION_CATEGORY;
    case 'q':
      return URLLIST_ACTION_MODIFY_QUERY;
    case 's':
      return URLLIST_ACTION_SEARCH_REPLACE;
    case 'r':
      return URLLIST_ACTION_REGEXP_REPLACE;
    case 't':
      return URLLIST_ACTION_TEXT;
    case 'h':
      return URLLIST_ACTION_HEADER;
    case 'l':
      return URLLIST_ACTION_LIST;
    default:
      return URLLIST_ACTION_UNKNOWN;
  }
}

int32_t parse_action(const char* word, const char* arg, void** data) {
  const int32_t kind = word ? kind_of_letter(word[0]) : URLLIST_ACTION_UNKNOWN;
  void* result = nullptr;
  switch (kind) {
    case URLLIST_ACTION_UNKNOWN:
      return kind;
    case URLLIST_ACTION_NO_ACTION:
    case URLLIST_ACTION_DENY:
    case URLLIST_ACTION_ALLOW:
      break;
    case URLLIST_ACTION_CATEGORY: {
      auto set = parse_categories(arg);
      if (!set) return URLLIST_ACTION_BAD_ARGUMENT;
      result = to_word(std::move(set));
      break;
    }
    case URLLIST_ACTION_MODIFY_QUERY: {
      auto edit = parse_query_edit(word, arg);
      if (!edit) return URLLIST_ACTION_BAD_ARGUMENT;
      result = to_word(std::move(edit));
      break;
    }
    case URLLIST_ACTION_SEARCH_REPLACE: {
      auto sr = parse_search_replace(arg);
      if (!sr) return URLLIST_ACTION_BAD_ARGUMENT;
      result = to_word(std::move(sr));
      break;
    }
    case URLLIST_ACTION_REGEXP_REPLACE: {
      auto rule = parse_regexp(word, arg);
      if (!rule) return URLLIST_ACTION_BAD_ARGUMENT;
      result = to_word(std::move(rule));
      break;
    }
    case URLLIST_ACTION_TEXT: {
      auto text = parse_text(arg);
      if (!text) return URLLIST_ACTION_BAD_ARGUMENT;
      result = to_word(std::move(text));
      break;
    }
    case URLLIST_ACTION_HEADER: {
      auto list = parse_headers(arg);
      if (!list) return URLLIST_ACTION_BAD_ARGUMENT;
      result = to_word(std::move(list));
      break;
    }
    case URLLIST_ACTION_LIST: {
      int64_t number = 0;
      if (!parse_list_number(arg, &number)) return URLLIST_ACTION_BAD_ARGUMENT;
      result = reinterpret_cast<void*>(static_cast<intptr_t>(number));
      break;
    }
  }
  *data = result;
  return kind;
}

// ---- Carrying out by kind -----------------------------------------------------------------

// Steps of a query modification on `url`. The seen marks live in a fixed array; the text is
// copied only at the first removal, and the result is always a new text.
int process_query(const urllist_query_edit& edit, const char* url, std::string* new_text) {
  const std::string_view in(url);
  const size_t q = in.find('?');
  const bool had_query = q != std::string_view::npos;
  if (!had_query && !(edit.flags & URLLIST_QUERY_EDIT_ADD_WITHOUT_QUERY)) {
    return URLLIST_RESULT_NONE;
  }
  bool seen[URLLIST_QUERY_MAX_MODIFICATIONS] = {};
  const size_t nmods = edit.mods.size();

  // The walk reads `cur`, which is `in` until the first removal and `copy` after it.
  std::string copy;
  bool copied = false;
  std::string_view cur = in;
  size_t pos = had_query ? q + 1 : in.size();
  const size_t query_start = pos;

  while (pos < cur.size()) {
    const size_t eq = cur.find('=', pos);
    if (eq == std::string_view::npos) break;
    const std::string_view name = cur.substr(pos, eq - pos);
    const size_t amp = cur.find('&', eq);
    const size_t value_end = amp == std::string_view::npos ? cur.size() : amp;
    const std::string_view value = cur.substr(eq, value_end - eq);

    bool remove = false;
    for (size_t i = 0; i < nmods; ++i) {
      const urllist_query_modification& m = edit.mods[i];
      if (m.name_length == 0 || edit.name(m) != name) continue;
      const std::string_view token_value = edit.token(m).substr(m.name_length);
      if (m.flags & URLLIST_QUERY_MOD_REMOVE) {
        if (m.flags & URLLIST_QUERY_MOD_ANY_VALUE) {
          remove = true;
        } else if (token_value == value) {
          remove = true;
        } else if (m.flags & URLLIST_QUERY_MOD_SUPERSEDED) {
          continue;
        }
      } else {
        if (token_value == value) {
          seen[i] = true;
        } else if (m.flags & URLLIST_QUERY_MOD_SUPERSEDED) {
          continue;
        } else {
          remove = true;  // the new value is added at the end
        }
      }
      break;
    }

    if (!remove) {
      if (amp == std::string_view::npos) break;
      pos = amp + 1;
      continue;
    }
    if (!copied) {
      copy.assign(in);
      copied = true;
    }
    if (amp != std::string_view::npos) {
      copy.erase(pos, amp + 1 - pos);  // the next parameter moves to pos
    } else {
      // The last parameter: cut at the "&" before it, or right after the "?" when it was
      // the only one.
      copy.resize(pos == query_start ? pos : pos - 1);
    }
    cur = copy;
    if (amp == std::string_view::npos) break;
  }

  bool any_addition = false;
  for (size_t i = 0; i < nmods; ++i) {
    const urllist_query_modification& m = edit.mods[i];
    if (!(m.flags & URLLIST_QUERY_MOD_REMOVE) && m.name_length != 0 && !seen[i]) {
      any_addition = true;
      break;
    }
  }
  if (!any_addition) {
    if (!copied) return URLLIST_RESULT_NONE;
    *new_text = std::move(copy);
    return URLLIST_RESULT_TEXT;
  }
  std::string out(cur);
  if (!had_query) out.push_back('?');
  bool first = true;
  for (size_t i = 0; i < nmods; ++i) {
    const urllist_query_modification& m = edit.mods[i];
    if ((m.flags & URLLIST_QUERY_MOD_REMOVE) || m.name_length == 0 || seen[i]) continue;
    if (!first || out.back() != '?') out.push_back('&');
    out.append(edit.token(m));
    first = false;
  }
  *new_text = std::move(out);
  return URLLIST_RESULT_TEXT;
}

int process_search_replace(const urllist_search_replace& sr, const char* url,
                           std::string* new_text) {
  const std::string_view in(url);
  size_t pos = 0;
  size_t found = in.find(sr.search, pos);
  if (found == std::string_view::npos) return URLLIST_RESULT_NONE;
  // Appending prefix and replacement and resuming after the match gives the same text as
  // rebuilding the whole text after each replacement: replaced text is never searched again.
  std::string out;
  do {
    out.append(in.substr(pos, found - pos));
    out.append(sr.replacement);
    pos = found + sr.search.size();
    found = in.find(sr.search, pos);
  } while (found != std::string_view::npos);
  out.append(in.substr(pos));
  *new_text = std::move(out);
  return URLLIST_RESULT_TEXT;
}

int process_headers(const urllist_header_list& list, urllist_header_block* headers) {
  const uint32_t count = list.count();
  // One block: count + 1 pointers, then the texts. Allocated as pointers so the array part
  // is aligned; the texts are written through char pointers into the rest.
  const size_t words = (list.block_size + sizeof(char*) - 1) / sizeof(char*);
  urllist_header_block block = std::make_unique<char*[]>(words);
  char* texts = reinterpret_cast<char*>(block.get() + count + 1);
  for (uint32_t i = 0; i < count; ++i) {
    const std::string_view line = list.line(i);
    std::memcpy(texts, line.data(), line.size());
    texts[line.size()] = '\0';
    block[i] = texts;
    texts += line.size() + 1;
  }
  block[count] = nullptr;
  *headers = std::move(block);
  return URLLIST_RESULT_HEADERS;
}

// Appends the formatted piece at buf[*used]; false when it did not fit (what fitted stays,
// NUL-terminated), after which nothing more is written.
bool put_piece(char* buf, size_t size, size_t* used, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

bool put_piece(char* buf, size_t size, size_t* used, const char* fmt, ...) {
  if (*used >= size) return false;
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(buf + *used, size - *used, fmt, ap);
  va_end(ap);
  if (n < 0) return false;
  if (static_cast<size_t>(n) >= size - *used) {
    *used = size - 1;
    return false;
  }
  *used += static_cast<size_t>(n);
  return true;
}

}  // namespace

// ---- Record and references ----------------------------------------------------------------

urllist_regexp_rule::~urllist_regexp_rule() {
  // Unlink the chain iteratively: a long chain (one rule per line for one URL) would
  // otherwise recurse once per rule.
  std::unique_ptr<urllist_regexp_rule> rest = std::move(next);
  while (rest) rest = std::move(rest->next);
}

urllist_action::~urllist_action() { urllist_action_data_free(this); }

std::unique_ptr<urllist_action> urllist_action_new(int32_t kind, void* data, int64_t expiry) {
  auto a = std::make_unique<urllist_action>();
  a->kind = kind;
  a->data = data;
  a->expiry = expiry;
  return a;
}

std::unique_ptr<urllist_action> urllist_action_create(const char* word, const char* argument,
                                                      int64_t expiry, int32_t* kind) {
  void* data = nullptr;
  *kind = urllist_action_parse_action(word, argument, &data);
  if (*kind >= URLLIST_ACTION_UNKNOWN) return nullptr;
  try {
    return urllist_action_new(*kind, data, expiry);
  } catch (const std::bad_alloc&) {
    urllist_action orphan;  // releases the parsed data
    orphan.kind = *kind;
    orphan.data = data;
    *kind = URLLIST_ACTION_BAD_ARGUMENT;
    return nullptr;
  }
}

std::unique_ptr<urllist_action> urllist_action_new_category(const category_set& set,
                                                            int64_t expiry) {
  auto copy = std::make_unique<category_set>(set.count());
  copy->add_all(set);
  auto a = urllist_action_new(URLLIST_ACTION_CATEGORY, nullptr, expiry);
  a->data = to_word(std::move(copy));
  return a;
}

void urllist_action_hold(urllist_action* action) { ++action->refcount; }

void urllist_action_drop(urllist_action* action) {
  if (!action) return;
  if (--action->refcount <= 0) {
    // The last reference owns the record (created by urllist_action_new, shared with
    // urllist_action_share).
    std::unique_ptr<urllist_action> owned(action);
  }
}

urllist_action_ref urllist_action_share(std::unique_ptr<urllist_action> action) {
  return urllist_action_ref(action.release());
}

void urllist_action_data_free(urllist_action* action) {
  if (!action || !action->data) return;
  void* d = action->data;
  // The data word is type-erased (see the record), so its owner is deleted by kind here,
  // the one place that knows which type each kind stores.
  switch (action->kind) {
    case URLLIST_ACTION_CATEGORY:
      delete static_cast<category_set*>(d);
      break;
    case URLLIST_ACTION_MODIFY_QUERY:
      delete static_cast<urllist_query_edit*>(d);
      break;
    case URLLIST_ACTION_SEARCH_REPLACE:
      delete static_cast<urllist_search_replace*>(d);
      break;
    case URLLIST_ACTION_REGEXP_REPLACE:
      delete static_cast<urllist_regexp_rule*>(d);
      break;
    case URLLIST_ACTION_TEXT:
      delete static_cast<std::string*>(d);
      break;
    case URLLIST_ACTION_HEADER:
      delete static_cast<urllist_header_list*>(d);
      break;
    default:
      return;  // 0: the caller's pointer; 1, 2: none; 9: the number itself
  }
  action->data = nullptr;
}

// ---- Public operations --------------------------------------------------------------------

bool urllist_action_parse_category_list(const char* arg, category_set* out) {
  out->clear();
  if (!arg) return false;
  bool any = false;
  const char* p = arg;
  while (*p) {
    if (*p == ',') {  // empty item
      ++p;
      continue;
    }
    char* end = nullptr;
    const long v = std::strtol(p, &end, 10);
    if (end == p) break;  // the item does not begin with a number
    // Appended in any order and put in order once: a field of 300,000 numbers in
    // descending order would otherwise shift the whole set once per number.
    out->append_unsorted(static_cast<uint32_t>(v));
    any = true;
    p = end;
    if (*p != ',') break;
    ++p;
  }
  out->normalize();
  return any;
}

int32_t urllist_action_parse_action(const char* word, const char* argument, void** data) {
  *data = nullptr;
  try {
    return parse_action(word, argument, data);
  } catch (const std::bad_alloc&) {
    // Every partial result lives in a unique_ptr inside parse_action and is gone by now.
    *data = nullptr;
    return URLLIST_ACTION_BAD_ARGUMENT;
  }
}

int urllist_action_process_action(const urllist_action* action, category_set* categories,
                                  const char* url, std::string* new_text,
                                  urllist_header_block* headers) {
  if (!action) return URLLIST_RESULT_NONE;
  try {
    switch (action->kind) {
      case URLLIST_ACTION_DENY:
        return URLLIST_RESULT_DENY;
      case URLLIST_ACTION_ALLOW:
        return URLLIST_RESULT_ALLOW;
      case URLLIST_ACTION_LIST:
        return URLLIST_RESULT_LIST;
      case URLLIST_ACTION_CATEGORY: {
        if (!categories) return URLLIST_RESULT_NONE;
        if (const category_set* own = urllist_action_categories(action)) {
          categories->add_all(*own);
        }
        return URLLIST_RESULT_CATEGORY;
      }
      case URLLIST_ACTION_MODIFY_QUERY: {
        const urllist_query_edit* edit = urllist_action_query_edit(action);
        if (!edit || !url || !new_text) return URLLIST_RESULT_NONE;
        return process_query(*edit, url, new_text);
      }
      case URLLIST_ACTION_SEARCH_REPLACE: {
        const urllist_search_replace* sr = urllist_action_search_replace(action);
        if (!sr || !url || !new_text) return URLLIST_RESULT_NONE;
        return process_search_replace(*sr, url, new_text);
      }
      case URLLIST_ACTION_REGEXP_REPLACE: {
        if (!url || !new_text) return URLLIST_RESULT_NONE;
        std::optional<std::string> out =
            urllist_action_regexp_replace(urllist_action_regexp_rules(action), url);
        if (!out) return URLLIST_RESULT_NONE;
        *new_text = std::move(*out);
        return URLLIST_RESULT_TEXT;
      }
      case URLLIST_ACTION_TEXT: {
        const std::string* text = urllist_action_text(action);
        if (!text || !new_text) return URLLIST_RESULT_NONE;
        std::string copy(*text);
        *new_text = std::move(copy);
        return URLLIST_RESULT_TEXT;
      }
      case URLLIST_ACTION_HEADER: {
        const urllist_header_list* list = urllist_action_header_list(action);
        if (!list || !headers) return URLLIST_RESULT_NONE;
        return process_headers(*list, headers);
      }
      default:
        return URLLIST_RESULT_NONE;
    }
  } catch (const std::bad_alloc&) {
    // Out slots are only assigned at the very end, so they are still untouched here. The
    // caller's category set may hold some of the numbers, as a failed growth skips a number.
    return URLLIST_RESULT_NONE;
  }
}

std::optional<std::string> urllist_action_regexp_replace(const urllist_regexp_rule* rule,
                                                         const char* text) {
  if (!rule || !text) return std::nullopt;
  const std::string_view in(text);
  int ov[pcre_regex_ovector_size];
  int rc = 0;
  for (; rule; rule = rule->next.get()) {
    rc = pcre_regex_exec(rule->compiled.get(), in, ov);
    if (rc > 0) break;
  }
  if (!rule) return std::nullopt;

  std::string out;
  const std::string& tpl = rule->replacement;
  for (size_t i = 0; i < tpl.size();) {
    if (tpl[i] != '$' || i + 1 >= tpl.size() || !is_digit(tpl[i + 1])) {
      out.push_back(tpl[i++]);  // includes a "$" without a digit after it
      continue;
    }
    ++i;
    // Read every digit; a number beyond int saturates and so matches no group.
    int group = 0;
    while (i < tpl.size() && is_digit(tpl[i])) {
      const int d = tpl[i++] - '0';
      group = group > (INT_MAX - d) / 10 ? INT_MAX : group * 10 + d;
    }
    if (group < rc && ov[2 * group] >= 0 && ov[2 * group + 1] >= ov[2 * group]) {
      out.append(in.substr(static_cast<size_t>(ov[2 * group]),
                           static_cast<size_t>(ov[2 * group + 1] - ov[2 * group])));
    }
  }
  if (out.empty() || out == in) return std::nullopt;

  // The decoding of the rule that produced the output.
  switch (rule->modifier) {
    case 'u': {
      std::string decoded = cvurldecode(std::string_view(out));
      decoded.resize(std::strlen(decoded.c_str()));  // a C text ends at its first NUL
      return decoded;
    }
    case 'b': {
      std::string decoded(out.size() + 1, '\0');
      base64_decode(out, decoded.data(), out.size());
      decoded.resize(std::strlen(decoded.c_str()));
      return decoded;
    }
    default:
      return out;
  }
}

int urllist_action_get_category(const urllist_action* action, category_set* categories) {
  if (!action || action->kind != URLLIST_ACTION_CATEGORY) return 0;
  if (categories) {
    if (const category_set* own = urllist_action_categories(action)) {
      try {
        categories->add_all(*own);
      } catch (const std::bad_alloc&) {
        // A set that cannot grow keeps what it has.
      }
    }
  }
  return 1;
}

size_t urllist_action_dump_action(const urllist_action* action, char* buffer, size_t size) {
  if (!buffer || size == 0) return 0;
  buffer[0] = '\0';
  size_t used = 0;
  const int32_t kind = action ? action->kind : URLLIST_ACTION_UNKNOWN;
  switch (kind) {
    case URLLIST_ACTION_NO_ACTION:
      put_piece(buffer, size, &used, "N");
      break;
    case URLLIST_ACTION_DENY:
      put_piece(buffer, size, &used, "D");
      break;
    case URLLIST_ACTION_ALLOW:
      put_piece(buffer, size, &used, "A");
      break;
    case URLLIST_ACTION_CATEGORY: {
      if (!put_piece(buffer, size, &used, "C ")) break;
      const category_set* set = urllist_action_categories(action);
      if (!set) break;
      // Whole numbers only: a number whose piece does not fit ends the list.
      char piece[16];
      for (const uint32_t n : set->items()) {
        const int len = std::snprintf(piece, sizeof piece, "%u,", n);
        if (static_cast<size_t>(len) >= size - used) break;
        std::memcpy(buffer + used, piece, static_cast<size_t>(len) + 1);
        used += static_cast<size_t>(len);
      }
      if (used > 2 && buffer[used - 1] == ',') buffer[--used] = '\0';
      break;
    }
    case URLLIST_ACTION_MODIFY_QUERY: {
      const urllist_query_edit* edit = urllist_action_query_edit(action);
      const bool add = edit && (edit->flags & URLLIST_QUERY_EDIT_ADD_WITHOUT_QUERY);
      if (!put_piece(buffer, size, &used, "Q%s", add ? "a" : "") || !edit) break;
      for (const urllist_query_modification& m : edit->mods) {
        const std::string_view raw = edit->raw_token(m);
        if (!put_piece(buffer, size, &used, " %.*s", static_cast<int>(raw.size()), raw.data())) {
          break;
        }
      }
      break;
    }
    case URLLIST_ACTION_SEARCH_REPLACE: {
      const urllist_search_replace* sr = urllist_action_search_replace(action);
      if (!sr) break;
      put_piece(buffer, size, &used, "S %s %s", sr->search.c_str(), sr->replacement.c_str());
      break;
    }
    case URLLIST_ACTION_REGEXP_REPLACE: {
      const urllist_regexp_rule* rule = urllist_action_regexp_rules(action);
      if (!rule) break;
      put_piece(buffer, size, &used, "R %s %s", rule->pattern.c_str(), rule->replacement.c_str());
      break;
    }
    case URLLIST_ACTION_TEXT: {
      const std::string* text = urllist_action_text(action);
      if (!text) break;
      put_piece(buffer, size, &used, "T %s", text->c_str());
      break;
    }
    case URLLIST_ACTION_HEADER: {
      if (!put_piece(buffer, size, &used, "H")) break;
      const urllist_header_list* list = urllist_action_header_list(action);
      if (!list) break;
      const uint32_t count = list->count();
      for (uint32_t i = 0; i < count; ++i) {
        const std::string_view line = list->line(i);
        const int len = static_cast<int>(line.size());
        const bool ok = count == 1
                            ? put_piece(buffer, size, &used, " %.*s", len, line.data())
                            : put_piece(buffer, size, &used, " %d %.*s", len, len, line.data());
        if (!ok) break;
      }
      break;
    }
    case URLLIST_ACTION_LIST:
      put_piece(buffer, size, &used, "L %p", action->data);
      break;
    default:
      put_piece(buffer, size, &used, "unknown");
      break;
  }
  return used;
}

std::string urllist_action_dump_text(const urllist_action* action) {
  // urllist_action_dump_action stops at the first piece that does not fit, and a stop leaves
  // the text within 12 bytes of the buffer's end: a piece is either cut at the end or, for a
  // category number, only left out when its at most 11 bytes ("4294967295,") do not fit. A
  // text that ends further from the end is therefore whole; otherwise the room is doubled.
  constexpr size_t stop_margin = 16;
  std::string text(1024, '\0');
  for (;;) {
    const size_t used = urllist_action_dump_action(action, text.data(), text.size());
    if (used + stop_margin < text.size()) {
      text.resize(used);
      return text;
    }
    text.assign(text.size() * 2, '\0');
  }
}

const char* urllist_action_name(const urllist_action* action) {
  static const char* const names[] = {
      "no_action",      "deny",           "allow", "category", "modify_query",
      "search_replace", "regexp_replace", "text",  "header",   "list"};
  if (!action || action->kind < 0 || action->kind > URLLIST_ACTION_LIST) return "unknown";
  return names[action->kind];
}

int urllist_action_append_action_data(urllist_action* existing, urllist_action* added) {
  if (!existing || !added || existing == added) return 0;
  if (existing->kind != URLLIST_ACTION_REGEXP_REPLACE ||
      added->kind != URLLIST_ACTION_REGEXP_REPLACE || !existing->data || !added->data) {
    return 0;
  }
  urllist_regexp_rule* last = static_cast<urllist_regexp_rule*>(existing->data);
  while (last->next) last = last->next.get();
  last->next.reset(static_cast<urllist_regexp_rule*>(added->data));
  added->data = nullptr;
  return 1;
}

int urllist_action_expired(const urllist_action* action) {
  if (!action) return 0;
  return action->expiry > 0 && action->expiry < current_time ? 1 : 0;
}

void* urllist_action_get_raw_data(const urllist_action* action) {
  return action ? action->data : nullptr;
}

void urllist_action_set_raw_data(urllist_action* action, void* data) {
  if (action) action->data = data;
}

const category_set* urllist_action_categories(const urllist_action* action) {
  return from_word<category_set>(action, URLLIST_ACTION_CATEGORY);
}
const urllist_query_edit* urllist_action_query_edit(const urllist_action* action) {
  return from_word<urllist_query_edit>(action, URLLIST_ACTION_MODIFY_QUERY);
}
const urllist_search_replace* urllist_action_search_replace(const urllist_action* action) {
  return from_word<urllist_search_replace>(action, URLLIST_ACTION_SEARCH_REPLACE);
}
const urllist_regexp_rule* urllist_action_regexp_rules(const urllist_action* action) {
  return from_word<urllist_regexp_rule>(action, URLLIST_ACTION_REGEXP_REPLACE);
}
const std::string* urllist_action_text(const urllist_action* action) {
  return from_word<std::string>(action, URLLIST_ACTION_TEXT);
}
const urllist_header_list* urllist_action_header_list(const urllist_action* action) {
  return from_word<urllist_header_list>(action, URLLIST_ACTION_HEADER);
}
int64_t urllist_action_list_number(const urllist_action* action) {
  if (!action || action->kind != URLLIST_ACTION_LIST) return 0;
  return static_cast<int64_t>(reinterpret_cast<intptr_t>(action->data));
}
