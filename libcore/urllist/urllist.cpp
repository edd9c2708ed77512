// The life cycle of a list (creation, release), its hooks and small queries.
#include "urllist/urllist.h"

#include <strings.h>

#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "stores/iplist.h"
#include "stores/keywordlist.h"
#include "stores/regexp_entries.h"
#include "urllist/digest.h"
#include "urllist/ext_entries.h"
#include "urllist/urllist_impl.h"
#include "util/rwl.h"
#include "util/sanitizer.h"

urllist::urllist() {
  // The roots are not part of any URL: a kind that no part has keeps the case-insensitive
  // rule ("not itself a path segment") true for them.
  try {
    for (urllist_item** r : {&root, &path_root, &query_root}) {
      *r = urllist_node_make();
      (*r)->kind = URL_PART_END;
    }
  } catch (...) {
    for (urllist_item* r : {root, path_root, query_root}) urllist_node_free(r);
    throw;
  }
}

urllist::~urllist() {
  for (urllist_item* r : {root, path_root, query_root}) {
    urllist_terminate_urllist_item(r->child());
    urllist_terminate_urllist_item(r->wildcard());
    if (r->extra_id != 0) urllist_terminate_urllist_item(r->extra()->nocase_head);
    urllist_node_free(r);  // (its own data only: the children went above)
  }
  schemes.clear();
  default_iplist.reset();
  for (urllist_item* h : ip_hosts) {
    // An IP host node is in no slot: it has no siblings.
    urllist_terminate_urllist_item(h);
  }
  ip_hosts.clear();
  if (lock) rwl_destroy(lock.get());
}

urllist_ptr urllist_with_extra_initialize(uint32_t flags, void* extra, const char* charset_name) {
  try {
    urllist_ptr list(new urllist());
    list->flags = flags;
    list->extra_data = extra;
    if (charset_name != nullptr) {
      list->charset = urllist_init_charset(charset_name);
      if (!list->charset) return nullptr;
    }
    if (flags & URLLIST_FLAG_SHARED) {
      list->lock = std::make_unique<rwl>();
      if (rwl_init_internal(list->lock.get()) != 0) {
        list->lock.reset();
        return nullptr;
      }
    }
    return list;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

urllist_ptr urllist_initialize(uint32_t flags) {
  return urllist_with_extra_initialize(flags, nullptr, nullptr);
}
urllist_ptr urllist_with_data_initialize(uint32_t flags, void* extra) {
  return urllist_with_extra_initialize(flags, extra, nullptr);
}
urllist_ptr urllist_with_charset_initialize(uint32_t flags, const char* charset_name) {
  return urllist_with_extra_initialize(flags, nullptr, charset_name);
}

void urllist_deleter::operator()(urllist* list) const noexcept {
  delete list;  // the one owner of a list record (urllist_ptr)
}

void urllist_terminate(urllist_ptr list) { list.reset(); }

void urllist_release_at_exit(urllist_ptr list) {
  if (cv_address_sanitizer || !list) return;  // released here, by the pointer
  static std::mutex guard;
  // Never destroyed: what it holds is for the kernel to reclaim.
  static auto* kept = new std::vector<urllist*>();
  std::lock_guard<std::mutex> hold(guard);
  try {
    kept->push_back(list.get());
  } catch (const std::bad_alloc&) {
    return;  // no room to keep it: released here after all
  }
  (void)list.release();
}

void urllist_set_addcallback(urllist* list, urllist_add_callback_fn fn, void* user) {
  if (list == nullptr) return;
  list->add_callback = fn;
  list->add_callback_data = user;
}

void urllist_set_add_action_callback(urllist* list, urllist_add_action_callback_fn fn, void* user) {
  if (list == nullptr) return;
  list->add_action_callback = fn;
  list->add_action_callback_data = user;
}

urllist_action* urllist_get_default_data(const urllist* list) {
  return list ? list->default_action.get() : nullptr;
}

int urllist_parent_url_path_offset_number(const urllist_exploded_url* url, int* first, int* count) {
  int f = static_cast<int>(url->label_count) + 2;
  int c = static_cast<int>(url->segment_count);
  if (first) *first = f;
  if (count) *count = c;
  return c == 0 ? 1 : 0;
}

static const char* const policy_event_names[URLLIST_POLICY_EVENTS] = {
    "policy", "bandwidth", "interim", "virus", "auth", "decrypt", "connect", "unknown", "keyword"};

int policyevent_aton(const char* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < URLLIST_POLICY_EVENTS; ++i) {
    if (strncasecmp(name, policy_event_names[i], 4) == 0) return i;
  }
  return -1;
}

const char* policyevent_ntoa(int number) {
  if (number < 0 || number >= URLLIST_POLICY_EVENTS) return nullptr;
  return policy_event_names[number];
}

iplist* urllist_add_iplist_for_scheme(urllist* list, urllist_hash_value scheme_hash) {
  if (list == nullptr) return nullptr;
  try {
    auto& slot = list->schemes[scheme_hash];
    if (!slot) slot = iplist_init(nullptr, nullptr);
    return slot.get();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
