#include "stores/regexp_entries.h"

#include <cctype>
#include <cstring>
#include <new>

urllist_regexp_entry::~urllist_regexp_entry() { regfree(&compiled); }

urllist_regexp_chain::~urllist_regexp_chain() {
  // Unlink one entry at a time: letting the unique_ptrs cascade would recurse once per entry.
  while (head) head = std::move(head->next);
}

std::string urllist_regexp_pattern(const char* text) {
  const size_t n = std::strlen(text);
  if (n >= 4 && (text[0] == '\'' || text[0] == '/' || text[0] == '|') && text[n - 1] == text[0]) {
    return std::string(text + 1, n - 2);
  }
  return std::string(text, n);
}

int urllist_add_regexp(urllist_regexp_chain& chain, const char* text,
                       const urllist_action_ref& action, int32_t flags) {
  if (text == nullptr || !action) return -5;
  try {
    auto entry = std::make_unique<urllist_regexp_entry>();
    entry->pattern = urllist_regexp_pattern(text);
    if (flags != 0) {
      for (char& c : entry->pattern) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
    }
    const int rc = regcomp(&entry->compiled, entry->pattern.c_str(), REG_EXTENDED | REG_NOSUB);
    if (rc != 0) {
      // Nothing was compiled, so the destructor's regfree must not run on it.
      std::memset(&entry->compiled, 0, sizeof entry->compiled);
      return rc == REG_ESPACE ? -2 : -5;
    }
    entry->nocase = flags;
    entry->action = action;
    urllist_regexp_entry* raw = entry.get();
    if (chain.tail != nullptr) {
      chain.tail->next = std::move(entry);
    } else {
      chain.head = std::move(entry);
    }
    chain.tail = raw;
    chain.count++;
  } catch (const std::bad_alloc&) {
    return -2;
  }
  return 0;
}

urllist_action* urllist_regexp_lookup(const urllist_regexp_chain* chain, const char* url_text,
                                      const char* lowered_text, std::string* matched) {
  if (chain == nullptr || url_text == nullptr) return nullptr;
  for (const urllist_regexp_entry* e = chain->head.get(); e != nullptr; e = e->next.get()) {
    const urllist_action* a = e->action.get();
    // At exactly current_time the entry is already skipped, one second earlier than
    // urllist_action_expired would say.
    if (a->expiry > 0 && a->expiry <= current_time) continue;
    const char* text = e->nocase != 0 ? lowered_text : url_text;
    if (text == nullptr) continue;
    if (regexec(&e->compiled, text, 0, nullptr, 0) != 0) continue;
    if (matched != nullptr) {
      try {
        std::string text;
        text.reserve(e->pattern.size() + 2);
        text.push_back('/');
        text.append(e->pattern);
        text.push_back('/');
        *matched = std::move(text);
      } catch (const std::bad_alloc&) {
        matched->clear();
      }
    }
    return e->action.get();
  }
  return nullptr;
}
