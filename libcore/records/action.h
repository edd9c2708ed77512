#pragma once
// Entry actions: what the filtering service does with a URL that matches a list entry.
//
// Every entry stored in a URL list (URL, host, IP, query, keyword, extension, regular
// expression, digest) carries one action: a verdict (no action, deny, allow), a category set,
// or an instruction that produces a text (query modification, search and replace, regular
// expression substitution, fixed text), header lines or a list number. This module parses an
// action word and its argument from a list line, carries an action out on a URL, prints its
// text form, and owns the record and its data.
//
// Sharing. One record is shared by every store slot that points to it (one entry that expands
// to several IP subnets, a node copied for a more specific IP entry, and the entries of one
// list whose category actions have equal numbers and expiry: see urllist::interned). The count is
// intrusive: a slot is one 8-byte pointer (urllist_action_ref) and the record is 24 bytes (a
// 32-byte heap chunk with glibc), 40 bytes per stored entry in all. std::shared_ptr would make
// every slot 16 bytes and put a 16-byte control block (vtable pointer, use and weak counts) before
// the record, a 48-byte chunk: 64 bytes per entry, 24 MB more on a list of a million lines,
// for weak references and atomic counts that nothing here needs. (bench_action measures 40
// bytes per deny entry; a category entry adds its set, 80 bytes with room for 10 numbers.)
//
// Thread safety. Parsed data is never changed after parsing: urllist_action_process_action,
// urllist_action_regexp_replace, urllist_action_get_category, urllist_action_dump_action,
// urllist_action_dump_text, urllist_action_name and urllist_action_expired may run on several
// threads at once on the same action. The reference count is a plain integer: taking and dropping
// references, parsing, merging and releasing happen under the owning list's write lock.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/pcre_regex.h"
#include "util/category_set.h"

// The process-wide clock in seconds since the epoch against which expiries are compared.
// Only the service's time keeping advances it; no tool runs that, so in the tools it stays 0
// and no action expires. Defined in action.cpp.
extern long current_time;

// Action kinds (the number stored in urllist_action::kind) and the two extra results of
// urllist_action_parse_action, which are never stored as kinds.
enum urllist_action_kind : int32_t {
  URLLIST_ACTION_NO_ACTION = 0,
  URLLIST_ACTION_DENY = 1,
  URLLIST_ACTION_ALLOW = 2,
  URLLIST_ACTION_CATEGORY = 3,
  URLLIST_ACTION_MODIFY_QUERY = 4,
  URLLIST_ACTION_SEARCH_REPLACE = 5,
  URLLIST_ACTION_REGEXP_REPLACE = 6,
  URLLIST_ACTION_TEXT = 7,
  URLLIST_ACTION_HEADER = 8,
  URLLIST_ACTION_LIST = 9,
  URLLIST_ACTION_UNKNOWN = 10,       // parse result only: unknown action word
  URLLIST_ACTION_BAD_ARGUMENT = 11,  // parse result only: bad argument
};

// Results of urllist_action_process_action. Note that allow is 1 and deny 2, the reverse of
// the kind numbers.
enum urllist_action_result : int {
  URLLIST_RESULT_NONE = -1,
  URLLIST_RESULT_ALLOW = 1,
  URLLIST_RESULT_DENY = 2,
  URLLIST_RESULT_CATEGORY = 3,
  URLLIST_RESULT_TEXT = 4,
  URLLIST_RESULT_HEADERS = 5,
  URLLIST_RESULT_LIST = 6,
};

// ---- Kind-specific data -------------------------------------------------------------------

// Query modification flags.
inline constexpr uint32_t URLLIST_QUERY_MOD_REMOVE = 1;      // token began with "-"
inline constexpr uint32_t URLLIST_QUERY_MOD_ANY_VALUE = 2;   // removal without a value
inline constexpr uint32_t URLLIST_QUERY_MOD_SUPERSEDED = 4;  // a later one has the same name
// Query edit flag: add the parameters also to a URL without a query ('Qa').
inline constexpr uint32_t URLLIST_QUERY_EDIT_ADD_WITHOUT_QUERY = 1;
// At most this many modifications per query edit; more are dropped when parsing.
inline constexpr int URLLIST_QUERY_MAX_MODIFICATIONS = 64;

// One space-separated token of a Q argument. Offsets point into urllist_query_edit::text
// (the argument as written) rather than holding pointers, so the edit can move freely.
//   text:   "... -utm_source=abc ..."
//            raw^ ^token (after the sign)    name = [token, token + name_length)
//                                            token 'name=value' = [token, token + token_length)
struct urllist_query_modification {
  uint32_t flags = 0;
  int32_t name_length = 0;  // 0: the modification is ignored (an addition without value)
  int32_t token_length = 0;
  uint32_t raw_offset = 0;    // start of the token including its sign (for the text form)
  uint32_t token_offset = 0;  // start of 'name=value'
};

// Kind 4 data.
struct urllist_query_edit {
  uint32_t flags = 0;                            // URLLIST_QUERY_EDIT_*
  std::string text;                              // copy of the argument
  std::vector<urllist_query_modification> mods;  // in argument order, at most 64

  int32_t count() const { return static_cast<int32_t>(mods.size()); }
  std::string_view name(const urllist_query_modification& m) const {
    return std::string_view(text).substr(m.token_offset, m.name_length);
  }
  std::string_view token(const urllist_query_modification& m) const {
    return std::string_view(text).substr(m.token_offset, m.token_length);
  }
  // The token as written in the argument, its sign included.
  std::string_view raw_token(const urllist_query_modification& m) const {
    return std::string_view(text).substr(m.raw_offset,
                                         m.token_offset + m.token_length - m.raw_offset);
  }
};

// Kind 5 data. The search text is never empty.
struct urllist_search_replace {
  std::string search;
  std::string replacement;
};

// Kind 6 data: one rule of a chain; an action of kind 6 owns the first rule.
struct urllist_regexp_rule {
  std::string pattern;      // the argument's first word
  std::string replacement;  // the template: the argument's second word
  pcre_regex_ptr compiled;
  int32_t modifier = 0;  // 0, or the lower-cased modifier letter: 'b' base64, 'u' URL-decode
  std::unique_ptr<urllist_regexp_rule> next;

  ~urllist_regexp_rule();  // releases a long chain without deep recursion
};

// Kind 8 data: header lines kept as offsets into a private copy of the argument.
struct urllist_header_list {
  std::string text;  // copy of the argument
  std::vector<uint32_t> offsets;
  std::vector<uint32_t> lengths;
  uint32_t block_size = 0;  // length of argument + 8 * (count + 1) + 1

  uint32_t count() const { return static_cast<uint32_t>(offsets.size()); }
  std::string_view line(uint32_t i) const {
    return std::string_view(text).substr(offsets[i], lengths[i]);
  }
};

// ---- The record ---------------------------------------------------------------------------

// 24 bytes. `data` is one pointer-sized word whose meaning depends on the kind:
//   0 no_action       null from a list line, or a caller's pointer (not owned)
//   1 deny, 2 allow   null
//   3 category        category_set*            (owned)
//   4 modify_query    urllist_query_edit*      (owned)
//   5 search_replace  urllist_search_replace*  (owned)
//   6 regexp_replace  urllist_regexp_rule*     (owned, first rule of the chain)
//   7 text            std::string*             (owned)
//   8 header          urllist_header_list*     (owned)
//   9 list            the signed 64-bit list number itself
// The word stays type-erased because the list store and the tools hand it around as one word
// (urllist_action_get_raw_data); the typed accessors below are the way to read it.
struct urllist_action {
  int32_t refcount = 0;  // store slots pointing here; 0 while being built
  int32_t kind = 0;
  int64_t expiry = -1;  // <= 0: never expires
  void* data = nullptr;

  urllist_action() = default;
  urllist_action(const urllist_action&) = delete;
  urllist_action& operator=(const urllist_action&) = delete;
  ~urllist_action();  // releases the data (urllist_action_data_free)
};

// Makes a record with reference count 0 that owns `data` (see the table above).
// The returned pointer owns the record until it is shared (urllist_action_share).
std::unique_ptr<urllist_action> urllist_action_new(int32_t kind, void* data, int64_t expiry);

// Parses `word` and `argument` (urllist_action_parse_action) and builds the record in one
// step. Returns the record with reference count 0 and *kind set to its kind, or null with
// *kind set to 10 (unknown action) or 11 (bad argument). REQUIRES: kind non-null.
std::unique_ptr<urllist_action> urllist_action_create(const char* word, const char* argument,
                                                      int64_t expiry, int32_t* kind);

// A category action owning a copy of `set` (room for 10 numbers, or the set's count when
// larger). Throws std::bad_alloc when memory runs out.
std::unique_ptr<urllist_action> urllist_action_new_category(const category_set& set,
                                                            int64_t expiry);

// Adds one reference. REQUIRES: action non-null; the list's write lock.
void urllist_action_hold(urllist_action* action);
// Drops one reference and releases the record (data included) when it was the last.
// A null action is accepted. REQUIRES: the list's write lock.
void urllist_action_drop(urllist_action* action);

// Counted reference to an action: what a store slot holds. 8 bytes. Copying takes a
// reference, destruction drops one; the record goes with the last reference.
class urllist_action_ref {
 public:
  urllist_action_ref() = default;
  // Takes a reference to `action` (which may be null).
  explicit urllist_action_ref(urllist_action* action) : a_(action) {
    if (a_) urllist_action_hold(a_);
  }
  urllist_action_ref(const urllist_action_ref& o) : urllist_action_ref(o.a_) {}
  urllist_action_ref(urllist_action_ref&& o) noexcept : a_(o.a_) { o.a_ = nullptr; }
  urllist_action_ref& operator=(urllist_action_ref o) noexcept {
    std::swap(a_, o.a_);
    return *this;
  }
  ~urllist_action_ref() { urllist_action_drop(a_); }

  urllist_action* get() const { return a_; }
  urllist_action* operator->() const { return a_; }
  urllist_action& operator*() const { return *a_; }
  explicit operator bool() const { return a_ != nullptr; }
  // Drops the reference held (if any); the ref is empty afterwards.
  void reset() { urllist_action_ref().swap(*this); }
  void swap(urllist_action_ref& o) noexcept { std::swap(a_, o.a_); }

 private:
  urllist_action* a_ = nullptr;
};

// Turns a freshly built record into a counted one: the returned ref holds the first
// reference, so the record goes when the builder's ref and every slot's ref are gone.
urllist_action_ref urllist_action_share(std::unique_ptr<urllist_action> action);

// ---- Parsing ------------------------------------------------------------------------------

// Parses an action word and its argument (both NUL-terminated, either may be null) as found
// on a list line. The kind comes from the first letter of the word, either case:
// N D A C Q S R T H L. Returns the kind 0-9 and stores its data in *data (ownership passes to
// the caller, who gives it to urllist_action_new), or URLLIST_ACTION_UNKNOWN (10) for an
// absent word or another letter, or URLLIST_ACTION_BAD_ARGUMENT (11) for an argument the kind
// cannot use, a pattern that does not compile, or exhausted memory. On 10 and 11 *data is
// null and nothing stays allocated. Logs, at level 4, a pattern that does not compile, a Q
// argument with more than 64 tokens (the first 64 are kept) and a Q addition without value.
// REQUIRES: data non-null.
int32_t urllist_action_parse_action(const char* word, const char* argument, void** data);

// Parses the argument of a category action ("12,45") into *out, which is emptied first: the
// same numbers the category action parsed from `arg` would hold. Returns false when `arg` is
// null or holds no number (the action would be a bad argument). REQUIRES: out non-null.
bool urllist_action_parse_category_list(const char* arg, category_set* out);

// Releases the data of kinds 3 to 8 (for kind 6 the whole chain) and sets the data word to
// null; nothing for kinds 0, 1, 2 and 9. Does not release the record. Null is accepted.
void urllist_action_data_free(urllist_action* action);

// ---- Carrying out -------------------------------------------------------------------------

// Header lines handed out by a header action: one block holding count + 1 pointers (the last
// null) followed by the NUL-terminated texts they point at. Index it as lines[i].
using urllist_header_block = std::unique_ptr<char*[]>;

// Carries `action` out on `url` (NUL-terminated; may be null) and returns a
// urllist_action_result:
//   no_action -1; deny 2; allow 1; list 6 (none of them looks at the other arguments);
//   category  3 after adding the action's numbers to *categories (-1 without a set);
//   modify_query, search_replace, regexp_replace: 4 with the rewritten URL in *new_text, or
//             -1 when the URL does not change or url/new_text is null;
//   text      4 with a copy of the text in *new_text (-1 without new_text);
//   header    5 with the lines in *headers (-1 without headers).
// On -1 the out slots are untouched. The action is only read. A null action gives -1.
int urllist_action_process_action(const urllist_action* action, category_set* categories,
                                  const char* url, std::string* new_text,
                                  urllist_header_block* headers);

// Applies the first rule of the chain starting at `rule` whose pattern matches `text`: its
// template with "$n" replaced by capture group n, then its decoding modifier. Returns nullopt
// when no rule matches, when the result is empty or equal to the text, or for a null rule or
// text. A "$" not followed by a digit is copied; a group number that is not below the number
// of groups reported, or too large for an int, inserts nothing.
std::optional<std::string> urllist_action_regexp_replace(const urllist_regexp_rule* rule,
                                                         const char* text);

// 1 when `action` is a category action (after adding its numbers to *categories when a set
// is given), else 0.
int urllist_action_get_category(const urllist_action* action, category_set* categories);

// Writes the text form of `action` into buffer[0..size) with snprintf rules (always
// NUL-terminated when size > 0); output stops at the first piece that does not fit, cut
// where the buffer ends. Returns the length of the text written. Forms: "N", "D", "A",
// "C 3,17", "Qa -utm_source +safe=1", "S search replacement", "R pattern template" (first
// rule only), "T text", "H line" or "H 8 X-One: 1 8 X-Two: 2", "L 0x2a"; "unknown" for a
// null action or a kind above 9.
size_t urllist_action_dump_action(const urllist_action* action, char* buffer, size_t size);

// The whole text form of `action` (the forms above), never cut however long it is (an entry
// with a thousand categories, a long text). May throw std::bad_alloc.
std::string urllist_action_dump_text(const urllist_action* action);

// The kind's name: "no_action", "deny", "allow", "category", "modify_query",
// "search_replace", "regexp_replace", "text", "header", "list"; "unknown" otherwise (also
// for a null action). The text is static.
const char* urllist_action_name(const urllist_action* action);

// When both actions are regexp_replace actions with rules, moves the rules of `added` to the
// end of the chain of `existing` (added keeps a null data word) and returns 1; else returns 0
// and changes nothing. The caller then gives `existing` the expiry of `added` and discards
// `added`.
int urllist_action_append_action_data(urllist_action* existing, urllist_action* added);

// 1 when the action's expiry is positive and strictly less than current_time, else 0.
int urllist_action_expired(const urllist_action* action);

// The data word, and replacing it without releasing the old one.
void* urllist_action_get_raw_data(const urllist_action* action);
void urllist_action_set_raw_data(urllist_action* action, void* data);

// ---- Typed views of the data (null when the kind differs or the action is null) -----------
const category_set* urllist_action_categories(const urllist_action* action);
const urllist_query_edit* urllist_action_query_edit(const urllist_action* action);
const urllist_search_replace* urllist_action_search_replace(const urllist_action* action);
const urllist_regexp_rule* urllist_action_regexp_rules(const urllist_action* action);
const std::string* urllist_action_text(const urllist_action* action);
const urllist_header_list* urllist_action_header_list(const urllist_action* action);
// The list number of a kind 9 action (0 for any other kind).
int64_t urllist_action_list_number(const urllist_action* action);
