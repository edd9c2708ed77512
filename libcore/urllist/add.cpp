// The add dispatch: an entry's type word (or, without one, its text) chooses the store, and
// the action is built (or a shared category record taken) before the entry is stored.

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "stores/keywordlist.h"
#include "stores/regexp_entries.h"
#include "urllist/digest.h"
#include "urllist/ext_entries.h"
#include "urllist/urllist_impl.h"
#include "util/category_set.h"
#include "util/cvlog.h"
#include "util/rwl.h"

namespace {

// The lock an add takes: the list's, or none for a list that is not shared.
rwl* lock_of(const urllist* l) { return l->shared() ? l->lock.get() : nullptr; }

int type_flags(const char* type) {
  int flags = 0;
  for (const char* p = type + 1; *p; ++p) {
    if (*p == 'c') flags |= EXPLODE_NOCASE;
    if (*p == 'h') flags |= EXPLODE_HASHED;
    if (*p == 'p') flags |= EXPLODE_ANY_PORT;
  }
  return flags;
}

int keyword_index(char letter) {
  switch (letter) {
    case 'W':
      return 1;
    case 'k':
      return 2;
    case 'w':
      return 3;
    default:
      return 0;
  }
}

// Stores the entry with a built action. Returns the result code; *dropped tells that the
// entry was deliberately not stored (duplicate keyword, taken policy-event slot).
int store_entry(urllist* list, const char* text, const char* type, const urllist_action_ref& action,
                bool* dropped) {
  *dropped = false;
  char letter;
  int flags = 0;
  const char* type_word = type;
  if (type != nullptr && type[0] != '\0') {
    letter = type[0];
    flags = type_flags(type);
  } else {
    size_t n = std::strlen(text);
    char c0 = text[0];
    if ((c0 == '\'' || c0 == '/' || c0 == '|') && n >= 1 && text[n - 1] == c0) {
      letter = 'R';
    } else if (std::strstr(text, "://") != nullptr) {
      letter = 'U';
    } else if (c0 == '.') {
      letter = 'E';
    } else {
      letter = 'K';
      type_word = "K";
    }
  }
  switch (letter) {
    case 'D': {
      list->stats.digest_attempts++;
      int r = urllist_add_digest(list->digests, text, action);
      if (r == 0) list->stats.digest_stored++;
      return r;
    }
    case 'E': {
      list->stats.ext_attempts++;
      int r = urllist_add_ext(list->extensions, text, action);
      if (r == 0) list->stats.ext_stored++;
      return r;
    }
    case 'K':
    case 'W':
    case 'k':
    case 'w': {
      int i = keyword_index(letter);
      list->stats.keyword_attempts[i]++;
      int r = keywordlist_add_entry(list->keywords, text, action.get(), type_word);
      if (r == -10) {
        *dropped = true;
        return 0;
      }
      if (r == 0) {
        list->stats.keyword_stored[i]++;
        return 0;
      }
      return r == -2 ? -2 : -8;
    }
    case 'N':
      list->default_action = action;
      list->stats.defaults++;
      return 0;
    case 'R':
      return urllist_add_regexp(list, text, action, flags);
    case 'S': {
      if (std::strstr(text, "://") == nullptr) {
        std::string t(text);
        t.append("://");
        return urllist_add_url(list, t.c_str(), 'S', flags, action);
      }
      return urllist_add_url(list, text, 'S', flags, action);
    }
    case 'P':
    case 'Q':
    case 'U':
      return urllist_add_url(list, text, letter, flags, action);
    case 'T': {
      list->stats.event_attempts++;
      int ev = policyevent_aton(text);
      if (ev < 0) return -9;
      if (list->events[ev]) {
        *dropped = true;
        return 0;
      }
      list->events[ev] = action;
      list->stats.event_stored++;
      return 0;
    }
    default:
      return -6;
  }
}

int add_shared(urllist* list, const char* text, const char* type,
               const urllist_action_ref& action) {
  list->stats.lines++;
  if (text == nullptr) return -1;
  try {
    bool dropped = false;
    int rc = store_entry(list, text, type, action, &dropped);
    if (rc != 0 || dropped) return rc;
    if (list->add_action_callback != nullptr &&
        list->add_action_callback(list->add_action_callback_data, action.get()) < 0) {
      return -2;
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return -2;
  }
}

int add_built(urllist* list, const char* text, const char* type,
              std::unique_ptr<urllist_action> record) {
  urllist_action_ref action;
  try {
    action = urllist_action_share(std::move(record));
  } catch (const std::bad_alloc&) {
    return -2;
  }
  return add_shared(list, text, type, action);
}

// True when the entry's category action may be shared: no add-action callback to see distinct
// records, and urllist_category_can_share says yes.
bool can_share_category(urllist* list, const char* action_word, const char* argument) {
  if (list->add_action_callback != nullptr) return false;
  return urllist_category_can_share(list->interned, action_word, argument);
}

}  // namespace

int urllist_add_regexp(urllist* list, const char* text, const urllist_action_ref& action,
                       int flags) {
  list->stats.regexp_attempts++;
  if (!list->regexps) list->regexps = std::make_unique<urllist_regexp_chain>();
  int r = urllist_regexp_chain_add(*list->regexps, text, action, flags);
  if (r == 0) list->stats.regexp_stored++;
  if (r == -5) {
    // Say why, so that whoever keeps the list can tell a guard refusal from a typo.
    if (const char* why = urllist_regexp_refusal(urllist_regexp_pattern(text).c_str())) {
      cvlog_send(4, "urllist_add: regular expression '%s' refused: %s\n", text, why);
    }
  }
  return r;
}

int urllist_add_internal(urllist* list, const char* text, const char* type, int32_t kind,
                         void* data, int64_t expiry) {
  std::unique_ptr<urllist_action> record;
  try {
    record = urllist_action_new(kind, data, expiry);
  } catch (const std::bad_alloc&) {
    urllist_action tmp;  // releases the data the record would have owned
    tmp.kind = kind;
    tmp.data = data;
    return -2;
  }
  if (list == nullptr) return -1;
  return add_built(list, text, type, std::move(record));
}

int urllist_add(urllist* list, const char* text, const char* type, const char* action_word,
                const char* argument, int64_t expiry) {
  if (list == nullptr || text == nullptr || action_word == nullptr) return -1;
  rwl_write_guard guard(lock_of(list));
  if (!guard.ok()) return -1;  // a lock that cannot be taken: the list is not usable
  if (can_share_category(list, action_word, argument)) {
    urllist_action_ref action = urllist_category_shared_action(list->interned, expiry);
    if (!action) {
      list->stats.lines++;
      return -2;
    }
    int rc = add_shared(list, text, type, action);
    if (rc != 0) cvlog_send(4, "urllist_add: failed to add url '%s'\n", text);
    return rc;
  }
  int32_t kind = 0;
  std::unique_ptr<urllist_action> record;
  try {
    record = urllist_action_create(action_word, argument, expiry, &kind);
  } catch (const std::bad_alloc&) {
    return -2;
  }
  if (!record) {
    list->stats.lines++;
    if (kind == URLLIST_ACTION_BAD_ARGUMENT) {
      cvlog_send(4,
                 "urllist_add: failed to add url '%s' bad action argument '%s' for action '%s'\n",
                 text, argument ? argument : "(null)", action_word);
    } else {
      cvlog_send(4, "urllist_add: failed to add url '%s' unknown action '%s'\n", text, action_word);
    }
    return -9;
  }
  int rc = add_built(list, text, type, std::move(record));
  if (rc != 0) cvlog_send(4, "urllist_add: failed to add url '%s'\n", text);
  return rc;
}

int urllist_add_category(urllist* list, const char* text, const char* type,
                         const category_set* categories, int64_t expiry) {
  if (list == nullptr || text == nullptr) return -1;
  rwl_write_guard guard(lock_of(list));
  if (!guard.ok()) return -1;  // a lock that cannot be taken: the list is not usable
  std::unique_ptr<urllist_action> record;
  try {
    category_set empty;
    record = urllist_action_new_category(categories ? *categories : empty, expiry);
  } catch (const std::bad_alloc&) {
    return -2;
  }
  return add_built(list, text, type, std::move(record));
}

int urllist_add_category_string(urllist* list, const char* text, const char* categories) {
  if (list == nullptr || text == nullptr) return -1;
  rwl_write_guard guard(lock_of(list));
  if (!guard.ok()) return -1;  // a lock that cannot be taken: the list is not usable
  if (can_share_category(list, "C", categories)) {
    urllist_action_ref action = urllist_category_shared_action(list->interned, -1);
    if (!action) return -2;
    return add_shared(list, text, nullptr, action);
  }
  int32_t kind = 0;
  std::unique_ptr<urllist_action> record;
  try {
    record = urllist_action_create("C", categories, -1, &kind);
  } catch (const std::bad_alloc&) {
    return -2;
  }
  if (!record) return -2;
  return add_built(list, text, nullptr, std::move(record));
}

int urllist_add_data(urllist* list, const char* text, const char* type, void* data,
                     int64_t expiry) {
  if (list == nullptr || text == nullptr) return -1;
  rwl_write_guard guard(lock_of(list));
  if (!guard.ok()) return -1;  // a lock that cannot be taken: the list is not usable
  return urllist_add_internal(list, text, type, URLLIST_ACTION_NO_ACTION, data, expiry);
}
