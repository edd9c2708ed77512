#include "urllist/ext_entries.h"

#include "urllist/exploded_url.h"

namespace {

// The pairs' data words are counted action references; the list drops them when it goes.
void release_action(void* data) { urllist_action_drop(static_cast<urllist_action*>(data)); }

}  // namespace

int urllist_add_ext(std::unique_ptr<extlist>& slot, const char* text,
                    const urllist_action_ref& action) {
  if (!slot) {
    slot = extlist_initialize(urllist_ext_bucket_count, release_action);
    if (!slot) return -2;
  }
  if (text == nullptr || !action) return -7;
  if (*text == '.') text++;
  // The pair's reference is taken only once the pair exists, so a refused pair leaves the
  // count as it was.
  if (extlist_add_item(slot.get(), text, action.get()) != 0) return -7;
  urllist_action_hold(action.get());
  return 0;
}

urllist_action* urllist_ext_lookup(const extlist* list, const urllist_exploded_url* url,
                                   std::string* matched) {
  if (list == nullptr || url == nullptr || url->extension == nullptr) return nullptr;
  const extlist::pair* p = list->find(url->extension);
  if (p == nullptr) return nullptr;
  auto* action = static_cast<urllist_action*>(p->data);
  if (urllist_action_expired(action)) return nullptr;
  if (matched != nullptr) *matched = p->text;  // may throw std::bad_alloc
  return action;
}
