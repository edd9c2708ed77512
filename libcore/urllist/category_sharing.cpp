#include "urllist/category_sharing.h"

#include <algorithm>
#include <memory>
#include <new>

namespace {

uint64_t category_key_hash(const category_set& set, int64_t expiry) {
  uint64_t h = static_cast<uint64_t>(expiry) * 0x9E3779B97F4A7C15ull ^ set.count();
  for (uint32_t n : set.items()) {
    h = (h ^ n) * 0xBF58476D1CE4E5B9ull;
    h ^= h >> 31;
  }
  return h;
}

bool same_category_action(const urllist_action* a, const category_set& set, int64_t expiry) {
  const category_set* c = urllist_action_categories(a);
  return a->expiry == expiry && c != nullptr && *c == set;
}

}  // namespace

urllist_category_sharing::~urllist_category_sharing() {
  for (const auto& s : slots) urllist_action_drop(s.action);  // accepts null
}

bool urllist_category_can_share(urllist_category_sharing& sharing, const char* action_word,
                                const char* argument) {
  if (action_word[0] != 'C' && action_word[0] != 'c') return false;
  return urllist_action_parse_category_list(argument, &sharing.scratch);
}

urllist_action_ref urllist_category_shared_action(urllist_category_sharing& t, int64_t expiry) {
  const category_set& key = t.scratch;
  const uint64_t h = category_key_hash(key, expiry);
  const uint32_t size_class = std::min<uint32_t>(key.count(), 4) - 1;
  auto& sc = t.classes[size_class];
  const bool probe = sc.probes < sc.sample || sc.hits * 10 >= sc.probes;
  if (probe && !t.slots.empty()) {
    size_t mask = t.slots.size() - 1;
    for (size_t i = h & mask; t.slots[i].action != nullptr; i = (i + 1) & mask) {
      // The stored hash spares the three dependent cache misses (record, set, numbers) of
      // comparing with every record met along the probe sequence.
      const auto& slot = t.slots[i];
      if (slot.hash == h && same_category_action(slot.action, key, expiry)) {
        if (sc.probes < sc.sample) {
          sc.probes++;
          sc.hits++;
        }
        return urllist_action_ref(slot.action);
      }
    }
  }
  if (sc.probes < sc.sample) sc.probes++;
  // A new record. The set is filled number by number, as parsing fills it, so that it is
  // exactly what an unshared entry would hold (room included).
  urllist_action_ref action;
  try {
    auto set = std::make_unique<category_set>();
    set->add_all(key);
    action = urllist_action_share(urllist_action_new(URLLIST_ACTION_CATEGORY, nullptr, expiry));
    urllist_action_set_raw_data(action.get(), set.release());  // owned by the record now
    if (!probe) return action;
    if ((t.count + 1) * 4 > t.slots.size() * 3) {
      std::vector<urllist_category_sharing::slot> bigger(t.slots.empty() ? 1024
                                                                         : t.slots.size() * 2);
      size_t mask = bigger.size() - 1;
      for (const auto& s : t.slots) {
        if (s.action == nullptr) continue;
        size_t i = s.hash & mask;
        while (bigger[i].action != nullptr) i = (i + 1) & mask;
        bigger[i] = s;
      }
      t.slots.swap(bigger);
    }
  } catch (const std::bad_alloc&) {
    return action;  // stored unshared (or, when even the record failed, not at all)
  }
  size_t mask = t.slots.size() - 1;
  size_t i = h & mask;
  while (t.slots[i].action != nullptr) i = (i + 1) & mask;
  urllist_action_hold(action.get());  // the table's reference
  t.slots[i] = {h, action.get()};
  t.count++;
  return action;
}
