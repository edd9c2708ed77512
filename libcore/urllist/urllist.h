#pragma once
// URL lists: the store that holds the entries of one or more list files.
//
// URL-shaped entries (hosts, paths, ports, schemes, queries) are kept in trees, one level per
// URL part in the order explode gives them; every other kind of entry goes to a store of its
// own: IP addresses and ranges to per-scheme IP lists (and the default IP list for scheme
// "*"), keywords, extensions, regular expressions and digests to their stores, "N" lines to
// the default action and "T" lines to the policy-event table. Lookups are in lookup.h, the
// dump in dump.h, list files in listfile.h.
//
// A list is opaque here: its records are the engine's own (urllist_impl.h) and may change
// shape with any release. Callers hold a list through urllist_ptr.
//
// Thread safety. A list created with URLLIST_FLAG_SHARED has a read/write lock: the adding
// functions that say so take the write lock, the lookups (lookup.h) take the read lock. A list
// without that flag (every tool's list) must be used from one thread at a time.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "records/action.h"
#include "urllist/exploded_url.h"
#include "urllist/hashing.h"

class category_set;
class iplist;
struct urllist;

// List flags, fixed at creation.
enum urllist_flag : uint32_t {
  URLLIST_FLAG_SHARED = 1,      // several threads: every operation takes the list's lock
  URLLIST_FLAG_NO_DEFAULT = 2,  // lookups never fall back to the default action
};

// Result codes of the adding operations.
enum urllist_add_result : int {
  URLLIST_ADD_OK = 0,             // stored (also: duplicate keyword, taken policy-event slot)
  URLLIST_ADD_MISSING = -1,       // no entry text, no list or no action word
  URLLIST_ADD_NO_MEMORY = -2,     // memory, IP list, range split, callback refusal
  URLLIST_ADD_INVALID = -3,       // invalid URL, bad digest text, IP list internal error
  URLLIST_ADD_BAD_REGEXP = -5,    // the regular expression does not compile
  URLLIST_ADD_UNKNOWN_TYPE = -6,  // unknown type word
  URLLIST_ADD_BAD_EXTENSION = -7,
  URLLIST_ADD_BAD_KEYWORD = -8,
  URLLIST_ADD_BAD_ACTION = -9,  // unknown action word, bad argument, unknown event name
};

// Number of policy events (slots of the policy-event table).
inline constexpr int URLLIST_POLICY_EVENTS = 9;

// ---- The list -------------------------------------------------------------------------------

using urllist_add_callback_fn = void (*)(void* user, urllist_exploded_url* url);
using urllist_add_action_callback_fn = int (*)(void* user, urllist_action* action);

// Releases a list and everything it owns (the trees iteratively, whatever their depth).
struct urllist_deleter {
  void operator()(urllist* list) const noexcept;
};
using urllist_ptr = std::unique_ptr<urllist, urllist_deleter>;

// New empty lists; null when memory runs out or the lock cannot be set up. `flags` is a
// bit set of urllist_flag. `charset_name` (may be null) selects the character set used when
// exploding entries and looked-up URLs (urllist_init_charset); `extra` is kept for the
// creator.
urllist_ptr urllist_initialize(uint32_t flags);
urllist_ptr urllist_with_extra_initialize(uint32_t flags, void* extra, const char* charset_name);
urllist_ptr urllist_with_data_initialize(uint32_t flags, void* extra);
urllist_ptr urllist_with_charset_initialize(uint32_t flags, const char* charset_name);

// Releases the list and everything it owns. Accepts null.
void urllist_terminate(urllist_ptr list);

// Ends the caller's use of a list that would live until the process exits anyway. A normal
// build keeps the list (reachable from a process-wide holder) and lets the kernel take its
// memory back in bulk when the process ends: releasing millions of entries one by one takes
// about a third of a second per million. An AddressSanitizer build releases it as
// urllist_terminate does, so that leaks inside the list still show. Accepts null.
// REQUIRES: the process ends soon after and nothing uses the list again.
void urllist_release_at_exit(urllist_ptr list);

// ---- Adding -----------------------------------------------------------------------------------
//
// All return a urllist_add_result. `type` is the type word (null or "" to guess the kind
// from the text); `expiry` -1 means never. Failures are reported through cvlog_send level 4
// and leave the list usable. With URLLIST_FLAG_SHARED these four take the write lock, and
// return -1 without a change when it cannot be taken (a destroyed or broken lock).

// Parses `action_word` / `argument` (urllist_action_parse_action) and stores the entry.
int urllist_add(urllist* list, const char* text, const char* type, const char* action_word,
                const char* argument, int64_t expiry);

// Stores the entry with a category action owning a copy of `categories` (null: empty set).
int urllist_add_category(urllist* list, const char* text, const char* type,
                         const category_set* categories, int64_t expiry);

// Parses `categories` as the argument of action "C" (-2 when that fails) and stores the
// entry without type word and with expiry -1.
int urllist_add_category_string(urllist* list, const char* text, const char* categories);

// Stores the entry with an action of kind 0 whose data is `data` (not owned).
int urllist_add_data(urllist* list, const char* text, const char* type, void* data, int64_t expiry);

// The common path: builds the action record (kind, data, expiry; the record owns data of
// kinds 3 to 8 from here on, also on failure) and stores the entry. REQUIRES: the caller
// holds the write lock of a shared list.
int urllist_add_internal(urllist* list, const char* text, const char* type, int32_t kind,
                         void* data, int64_t expiry);

// Stores a URL-shaped entry ("U", "S", "P", "Q" kinds; `kind_letter` is that letter) with
// an already built action. REQUIRES: the write lock.
int urllist_add_url(urllist* list, const char* text, char kind_letter, int flags,
                    const urllist_action_ref& action);

// Stores a regular-expression entry ("R" kind) with an already built action in the list's
// chain (made with the first one). 0 stored, -2 memory, -5 the expression does not compile or
// is refused (the reason is then reported through cvlog_send level 4). REQUIRES: the write
// lock.
int urllist_add_regexp(urllist* list, const char* text, const urllist_action_ref& action,
                       int flags);

// The IP list of a scheme (by the scheme's hash), created when missing. Null only when it
// cannot be made.
iplist* urllist_add_iplist_for_scheme(urllist* list, urllist_hash_value scheme_hash);

// ---- Hooks and small queries -----------------------------------------------------------------

// `fn` receives (user, exploded entry) for each URL entry whose host is a name and whose type
// word has no "h", just before the entry is stored. Null removes the callback.
void urllist_set_addcallback(urllist* list, urllist_add_callback_fn fn, void* user);

// `fn` receives (user, action) after each entry has been stored; a negative return makes the
// add report -2 (the entry stays stored). Not called for dropped entries.
void urllist_set_add_action_callback(urllist* list, urllist_add_action_callback_fn fn, void* user);

// The default action, or null (also for a null list).
urllist_action* urllist_get_default_data(const urllist* list);

// Index of the first path part (label_count + 2) in *first and the number of path parts in
// *count; returns 1 when the URL has no path part, else 0.
int urllist_parent_url_path_offset_number(const urllist_exploded_url* url, int* first, int* count);

// The bounds a port node takes from its part text: the leading digits, and those after the
// first "-" (else the low bound again), each cut to 16 bits ("8080" gives 8080-8080,
// "1-1024" gives 1-1024, "" gives 0-0). Null text: 0-0. Writers of list text that must load
// back into the same port node compare or write these bounds.
std::pair<uint16_t, uint16_t> urllist_port_text_bounds(const char* text);

// Policy events: "policy" 0, "bandwidth" 1, "interim" 2, "virus" 3, "auth" 4, "decrypt" 5,
// "connect" 6, "unknown" 7, "keyword" 8. aton compares the first four letters without case
// and returns -1 for no match; ntoa returns null for a number outside 0..8.
int policyevent_aton(const char* name);
const char* policyevent_ntoa(int number);
