#pragma once
// URL lookup: the action of the entry that applies to a URL.
//
// The stores are consulted in this order, the first usable action ending the lookup:
//   1. path entries ("P"), walked from the path root with the URL's first path part;
//   2. query entries ("Q"), from the query root with the query part;
//   3. URL entries, walked from the main root from the scheme down (an IP literal first
//      through its scheme's IP list, the default IP list last);
//   4. digest entries; 5. extension entries; 6. keyword entries (on the lowered URL text);
//   7. regular-expression entries; 8. the default action (unless URLLIST_FLAG_NO_DEFAULT).
// An action is usable when its expiry is not positive or lies after current_time.
//
// Within a tree the walk prefers the most specific entry on the exact path and falls back
// to wildcard and case-insensitive children remembered on a stack of 32 alternatives (last
// remembered, first taken; of one node, the case-insensitive child before the wildcard child).
//
// Returned actions are owned by the list and stay valid until the list next changes or is
// released: on a shared list another thread's add may replace an entry and free its action
// at any moment after the lookup has returned, so a caller that reads a returned action of a
// shared list must hold the list's read lock from the lookup until its last read of the action
// (take it with rwl_readlock(list->lock.get()) and look up with the _unlocked variant).
//
// All functions return 0 when an action was found and 1 when not (also for a
// null list or URL). A lookup that runs out of memory (for the lowered URL text or a
// diagnostic text) throws std::bad_alloc: it has no result for that, and "not found" would
// be a wrong answer.
//
// Thread safety: a shared list (URLLIST_FLAG_SHARED) is read under its read lock, so lookups
// may run on several threads at once, each with its own exploded URL: a lookup fills the URL's
// lazy caches. The locked functions hold the lock for their whole work, reading the action
// they found included (urllist_lookup_category), and release it before they return. The
// unlocked ones (urllist_lookup_data_unlocked, urllist_url_lookup) take no lock. A locked
// lookup whose lock cannot be taken (destroyed or broken) reads nothing and returns 1.

#include <optional>
#include <string>

#include "records/action.h"
#include "urllist/exploded_url.h"

struct urllist;
struct urllist_item;
class category_set;

// All stores in order, under the read lock. `action` may be null.
int urllist_lookup_data(urllist* list, urllist_exploded_url* url, urllist_action** action);

// The same without taking the lock. REQUIRES: on a shared list the caller holds its read lock
// (or its write lock) from before the call until it has finished with the returned action;
// on a list without URLLIST_FLAG_SHARED, that no other thread uses the list meanwhile.
int urllist_lookup_data_unlocked(urllist* list, urllist_exploded_url* url, urllist_action** action);

// All stores; on a match *diag (when given) becomes the text of the entry that matched
// (e.g. "h.test/a", "http://h.test/a?x=1", "*" for the default action).
int urllist_lookup_diag(urllist* list, urllist_exploded_url* url, urllist_action** action,
                        std::string* diag);

// Only the walk from the main root (with the IP lists).
int urllist_lookup_data_urlonly(urllist* list, urllist_exploded_url* url, urllist_action** action);
int urllist_lookup_diag_urlonly(urllist* list, urllist_exploded_url* url, urllist_action** action,
                                std::string* diag);

// All stores; 0 only when the action found is a category action, whose numbers are then
// added to `categories` (when given). The read lock is held until the numbers are copied.
int urllist_lookup_category(urllist* list, urllist_exploded_url* url, category_set* categories);

// The action of a policy-event slot (numbers outside 0..8 give 1). The diag variant stores
// the event's name in *name (when given).
int urllist_lookup_num_data(urllist* list, int number, urllist_action** action);
int urllist_lookup_num_diag(urllist* list, int number, urllist_action** action, std::string* name);

// Keywords, then regular expressions, then the default action, on a given text. The lowered
// copy of the text (string_lowercase_url) is taken from *lowered when it holds one, else made
// and left there for the caller's next call (when `lowered` is given).
int urllist_lookup_string_data(urllist* list, const char* text, std::optional<std::string>* lowered,
                               urllist_action** action);
int urllist_lookup_string_diag(urllist* list, const char* text, std::optional<std::string>* lowered,
                               urllist_action** action, std::string* diag);

// The tree walk. With no start node: from the main root with the URL's first part, IP
// literals through the IP lists. With a start node (path or query root): from there with
// `first_part`. Returns the action or null; *diag (when given) receives the diagnostic text
// of the match. REQUIRES: the caller holds the read lock of a shared list.
urllist_action* urllist_url_lookup(urllist* list, const urllist_item* start,
                                   urllist_exploded_url* url, urllist_url_part* first_part,
                                   std::string* diag);
