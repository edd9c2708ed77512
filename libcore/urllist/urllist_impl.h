#pragma once
// Private to the list engine and its tests: the record of a list. Tools hold lists through
// urllist_ptr (urllist.h) and never see these fields.
//
// What a list owns: three trees of URL-shaped entries (main, "P" and "Q" roots), the IP host
// nodes and per-scheme IP lists, the other stores, the default action and the policy-event
// table, and the engine's speed-ups (the child index and the shared category actions).
//
// Thread safety: see urllist.h; `lock` exists only for URLLIST_FLAG_SHARED.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "records/action.h"
#include "urllist/category_sharing.h"
#include "urllist/child_index.h"
#include "urllist/exploded_url.h"
#include "urllist/hashing.h"
#include "urllist/urllist.h"
#include "urllist/urllist_node.h"
#include "util/category_set.h"

class iplist;
class extlist;
struct keywordlist;
struct rwl;
struct urllist_regexp_chain;
class urllist_digest_store;

// Statistics counters: diagnostics only, the engine never reads them.
struct urllist_stats {
  uint32_t entries = 0;  // entries stored
  uint32_t lines = 0;    // list lines handled
  // Per entry kind: [0] URL "U", [1] scheme "S", [2] path "P", [3] query "Q".
  uint32_t url_attempts[4] = {};
  uint32_t url_stored[4] = {};
  uint32_t ip_entries = 0;  // URL entries stored in an IP list (included in url_stored)
  uint32_t regexp_attempts = 0, regexp_stored = 0;
  uint32_t ext_attempts = 0, ext_stored = 0;
  // Keywords by type letter: [0] "K", [1] "W", [2] "k", [3] "w".
  uint32_t keyword_attempts[4] = {};
  uint32_t keyword_stored[4] = {};
  uint32_t digest_attempts = 0, digest_stored = 0;
  uint32_t event_attempts = 0, event_stored = 0;
  uint32_t defaults = 0;  // "N" lines stored
};

struct urllist {
  urllist();
  ~urllist();  // releases everything the list owns (the trees iteratively)
  urllist(const urllist&) = delete;
  urllist& operator=(const urllist&) = delete;

  // The roots (never null; made by the constructor, which throws std::bad_alloc).
  urllist_item* root = nullptr;        // main root: children hold the first level of URL entries
  urllist_item* path_root = nullptr;   // "P" entries, matched against the path only
  urllist_item* query_root = nullptr;  // "Q" entries, matched against the query only
  std::unique_ptr<urllist_regexp_chain> regexps;  // created with the first "R" entry
  std::unique_ptr<extlist> extensions;
  std::unique_ptr<keywordlist> keywords;
  std::unique_ptr<urllist_digest_store> digests;
  urllist_action_ref default_action;  // last "N" entry
  urllist_action_ref events[URLLIST_POLICY_EVENTS];
  uint32_t flags = 0;
  urllist_stats stats;
  // Scheme hash -> IP list of that scheme; each created with the scheme's first IP entry.
  std::map<urllist_hash_value, std::unique_ptr<iplist>> schemes;
  std::unique_ptr<iplist> default_iplist;  // IP entries with scheme "*"
  // Every IP host node, owned here (the IP lists only point at them).
  std::vector<urllist_item*> ip_hosts;
  std::unique_ptr<rwl> lock;  // only with URLLIST_FLAG_SHARED
  urllist_add_callback_fn add_callback = nullptr;
  void* add_callback_data = nullptr;
  urllist_add_action_callback_fn add_action_callback = nullptr;
  void* add_action_callback_data = nullptr;
  void* extra_data = nullptr;  // the creator's; never used by the engine
  std::unique_ptr<urllist_charset> charset;
  urllist_child_index index;          // children of the bigger slots (child_index.h)
  urllist_category_sharing interned;  // shared category actions (category_sharing.h)
  category_set explode_markers;       // markers of the entry being exploded (urllist_add_url)

  bool shared() const { return (flags & URLLIST_FLAG_SHARED) != 0; }
};
