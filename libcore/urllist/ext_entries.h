#pragma once
// The URL list's extension entries: an extension list (stores/extlist.h) whose data words are
// counted references to the entries' actions. An entry matches every URL whose exploded
// extension (the text after the last "." of the last path segment) equals the stored text,
// letters compared without case.
//
// How the list store uses this module:
//   "E" line, or a text starting with ".":  rc = urllist_add_ext(list->extensions, text, a);
//       (0 stored, -2 the list could not be made, -7 not added; count the entry on 0)
//   lookup step 5:  a = urllist_ext_lookup(list->extensions.get(), url, diag ? &t : nullptr);
//   urllist_terminate:  list->extensions.reset() drops every action reference.
//
// Thread safety: adding needs the owner's exclusive (write) lock; lookups only read and may
// run on several threads at once under the owner's shared (read) lock.

#include <cstdint>
#include <memory>
#include <string>

#include "records/action.h"
#include "stores/extlist.h"

struct urllist_exploded_url;

// Bucket count of the URL list's extension list.
inline constexpr int32_t urllist_ext_bucket_count = 50;

// Adds an extension entry: creates the list in `slot` (50 buckets, the pairs holding counted
// references to actions) on first use, drops one leading "." from `text`, and appends the
// pair, which takes its own reference to `action`. Returns 0, -2 when the list cannot be
// made, -7 when the pair cannot be added (null or empty text after the ".", memory).
// REQUIRES: action non-null.
int urllist_add_ext(std::unique_ptr<extlist>& slot, const char* text,
                    const urllist_action_ref& action);

// The action of the extension entry that matches the URL's extension, or null when there is
// no list, no extension, no equal text, or the first equal text's action is expired
// (urllist_action_expired). On a match *matched (when given) becomes the stored text (which
// may throw std::bad_alloc). The action stays valid as long as the list and its entry: a
// caller sharing the list must hold its read lock while it uses the action.
// REQUIRES: the list was filled by urllist_add_ext.
urllist_action* urllist_ext_lookup(const extlist* list, const urllist_exploded_url* url,
                                   std::string* matched);
