#pragma once
// Private to the list engine: the category actions shared by the entries of one list.
//
// Entries whose category action has the same numbers and expiry point at one record instead
// of a record and a set each (a 24-byte record, the set object and its room for 10 numbers:
// about 112 bytes per entry). Category actions are never changed once parsed (only regexp
// actions merge), so sharing is invisible to lookups, dumps and actions. The list does not
// share while an add-action callback is set: that callback may keep per-entry state keyed by
// the action it receives.
//
// Sharing pays only where sets repeat. Lists where sets of some size rarely repeat (many
// distinct three-number sets, say) would pay a table probe, a table slot and cache misses per
// entry for nothing, so each size class (1, 2, 3, more numbers) is sampled over its first
// `sample` entries: when fewer than 1 in 10 found a shared record, that class is no longer
// shared (its records are built as before; the answers are the same).
//
// Thread safety: none of its own; used under the list's write lock.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "records/action.h"
#include "util/category_set.h"

struct urllist_category_sharing {
  urllist_category_sharing() = default;
  urllist_category_sharing(const urllist_category_sharing&) = delete;
  urllist_category_sharing& operator=(const urllist_category_sharing&) = delete;
  ~urllist_category_sharing();  // drops the table's reference to each record

  // Open addressing on a hash of (numbers, expiry); each slot holds one reference.
  struct slot {
    uint64_t hash = 0;
    urllist_action* action = nullptr;
  };
  std::vector<slot> slots;  // size a power of two, or empty
  size_t count = 0;
  category_set scratch;  // the parsed numbers of the line being added
  struct size_class {
    static constexpr uint32_t sample = 65536;
    uint32_t probes = 0;
    uint32_t hits = 0;
  } classes[4];
};

// True when an entry with this action word and argument may take a shared record: a category
// action word ("C" or "c") whose numbers parse. The numbers are left in `sharing.scratch` for
// urllist_category_shared_action.
bool urllist_category_can_share(urllist_category_sharing& sharing, const char* action_word,
                                const char* argument);

// The shared category action for the numbers in `sharing.scratch` and `expiry`, made on first
// use; the caller gets its own reference. Empty only when memory runs out (a record that could
// be made but not entered in the table is returned unshared).
urllist_action_ref urllist_category_shared_action(urllist_category_sharing& sharing,
                                                  int64_t expiry);
