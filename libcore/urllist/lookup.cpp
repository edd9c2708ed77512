#include "urllist/lookup.h"

#include <cstring>
#include <new>
#include <vector>

#include "stores/iplist.h"
#include "stores/keywordlist.h"
#include "stores/regexp_entries.h"
#include "urllist/children.h"
#include "urllist/digest.h"
#include "urllist/ext_entries.h"
#include "urllist/query.h"
#include "urllist/sibling_tree.h"
#include "urllist/urllist.h"
#include "urllist/urllist_impl.h"
#include "util/category_set.h"
#include "util/rwl.h"
#include "util/string.h"

namespace {

bool usable(const urllist_action* a) {
  return a != nullptr && (a->expiry <= 0 || a->expiry > current_time);
}

// The lock a lookup takes: the list's, or none for a list that is not shared.
rwl* lock_of(const urllist* l) { return l->shared() ? l->lock.get() : nullptr; }

struct diag_pair {
  const char* text;
  uint32_t len;
  uint8_t kind;
};

constexpr int max_alternatives = 32;

// One walk of the URL tree (Algorithms of the lookup: steps 2 to 8 after the start is known).
class tree_walk {
 public:
  tree_walk(const urllist* list, urllist_exploded_url* url, bool want_diag)
      : list_(list), url_(url), want_diag_(want_diag) {
    if (want_diag_) diag_.reserve(url->part_count + 2);
  }

  // Runs the walk from `node` with part index `part`; `ip_host` marks an IP host start whose
  // scheme text is `scheme_text`.
  void run(const urllist_item* node, uint32_t part, bool ip_host, const char* scheme_text) {
    diag_.clear();
    nalt_ = 0;
    current_ = nullptr;
    current_query_ = nullptr;
    current_pos_ = 0;
    if (ip_host) {
      push_diag(scheme_text, static_cast<uint32_t>(std::strlen(scheme_text)), URL_PART_SCHEME);
      std::string_view t = node->text();
      push_diag(t.data(), static_cast<uint32_t>(t.size()), URL_PART_DOMAIN);
      if (usable(node->action.get())) set_current(node->action.get());
    }
    match_query(node);
    remember(node->wildcard(), part);
    remember(urllist_item_nocase_child(node), part);
    search(node, nullptr, part);
  }

  urllist_action* action() const { return current_; }

  // The diagnostic text of the current action.
  void build_diag(std::string* out) {
    out->clear();
    size_t n = current_pos_ < diag_.size() ? current_pos_ : diag_.size();
    size_t i = 0;
    std::string_view scheme;
    bool has_scheme = n > 0 && diag_[0].kind == URL_PART_SCHEME;
    if (has_scheme) {
      scheme = std::string_view(diag_[0].text, diag_[0].len);
      if (scheme != "*") {
        out->append(scheme);
        out->append("://");
      }
      i = 1;
    }
    size_t d0 = i;
    while (i < n && diag_[i].kind == URL_PART_DOMAIN) ++i;
    for (size_t j = i; j > d0; --j) {
      out->append(diag_[j - 1].text, diag_[j - 1].len);
      if (j - 1 > d0) out->push_back('.');
    }
    for (; i < n; ++i) {
      std::string_view t(diag_[i].text, diag_[i].len);
      if (diag_[i].kind == URL_PART_PORT) {
        if (has_scheme && ((scheme == "http" && t == "80") || (scheme == "https" && t == "443") ||
                           (scheme == "*" && t == "0-65535"))) {
          continue;
        }
        out->push_back(':');
        out->append(t);
      } else if (diag_[i].kind == URL_PART_PATH) {
        out->push_back('/');
        out->append(t);
      } else if (diag_[i].kind == URL_PART_DOMAIN) {
        out->push_back('.');
        out->append(t);
      }
    }
    if (current_query_ != nullptr) {
      urllist_query_append_diag(url_, current_query_, query_case_, out);
    }
  }

 private:
  struct alternative {
    const urllist_item* node;
    uint32_t part;
    uint32_t diag_pos;
  };

  bool has_successor(uint32_t p) const {
    return p + 1 < url_->part_count && url_->parts[p + 1].kind != URL_PART_END;
  }

  void push_diag(const char* text, uint32_t len, uint8_t kind) {
    if (!want_diag_) return;
    diag_.push_back({text ? text : "", text ? len : 0, kind});
  }

  void set_current(urllist_action* a) {
    current_ = a;
    current_query_ = nullptr;
    current_pos_ = diag_.size();
  }

  void remember(const urllist_item* node, uint32_t part) {
    if (node == nullptr || nalt_ >= max_alternatives) return;
    alts_[nalt_++] = {node, part, static_cast<uint32_t>(diag_.size())};
  }

  void match_query(const urllist_item* node) {
    if (url_->query_part == nullptr || !urllist_item_has_queries(node)) return;
    int mode = 0;
    const urllist_query_item* q = urllist_query_lookup_node(url_, node->extra()->queries, &mode);
    if (q == nullptr) return;
    current_ = q->action.get();
    current_query_ = q;
    query_case_ = mode;
    current_pos_ = diag_.size();
  }

  urllist_hash_value part_hash(urllist_url_part& p, bool nocase) {
    if (!nocase) return p.hash;
    if (!p.nocase_ready && urllist_get_nocase_url(url_, &p) == nullptr) return p.hash;
    return p.nocase_hash;
  }

  // Searches part p among the children of `parent` (step 4 and its descent), or, for an
  // alternative, in the sibling tree `tree` (a wildcard node alone, or the root of a
  // case-insensitive slot's tree).
  const urllist_item* find(const urllist_item* parent, const urllist_item* tree,
                           urllist_url_part& p) {
    auto hash_for = [&](const urllist_item* node) { return part_hash(p, node->nocase); };
    if (parent != nullptr) {
      return urllist_child_lookup(list_->index, parent, p.kind, url_->port, hash_for);
    }
    if (p.kind == URL_PART_PORT) return urllist_sibling_find_port(tree, url_->port);
    return urllist_sibling_find(tree, p.kind, hash_for);
  }

  // Steps 4 to 7 as a small state machine: search part p among the children of `parent` (or,
  // when parent is null, in the sibling tree `tree` of an alternative), take an alternative,
  // or judge a match of node n with part p.
  void search(const urllist_item* parent, const urllist_item* tree, uint32_t p) {
    enum class step { search, alternative, match };
    step s = step::search;
    const urllist_item* n = nullptr;
    bool star = false;
    for (;;) {
      switch (s) {
        case step::search: {
          urllist_url_part& part = url_->parts[p];
          if (part.kind == URL_PART_END) return;
          if (part.kind == URL_PART_QUERY) {
            if (nalt_ == 0 || current_ != nullptr) return;
            s = step::alternative;
            break;
          }
          n = find(parent, tree, part);
          star = false;
          s = n != nullptr ? step::match : step::alternative;
          break;
        }
        case step::alternative: {
          if (nalt_ == 0) return;
          alternative a = alts_[--nalt_];
          if (a.diag_pos < diag_.size()) diag_.resize(a.diag_pos);
          p = a.part;
          if (has_successor(p)) {
            remember(a.node->wildcard(), p + 1);
            remember(urllist_item_nocase_child(a.node), p + 1);
          }
          // A "*" node stands for one part of its own kind (a "*" label matches no port).
          if (a.node->hash == URLLIST_HASH_STAR && a.node->kind == url_->parts[p].kind) {
            n = a.node;
            star = true;
            s = step::match;
          } else {
            tree = a.node;
            parent = nullptr;
            s = step::search;
          }
          break;
        }
        case step::match: {
          urllist_url_part& mp = url_->parts[p];
          if (want_diag_) {
            if (star) {
              push_diag("*", 1, mp.kind);
            } else if (n->is_port()) {
              std::string_view t = n->text();
              push_diag(t.data(), static_cast<uint32_t>(t.size()), mp.kind);
            } else if (n->nocase && mp.kind == URL_PART_PATH) {
              const char* lower = urllist_get_nocase_url(url_, &mp);
              push_diag(lower ? lower : mp.text, mp.len, mp.kind);
            } else {
              push_diag(mp.text, mp.len, mp.kind);
            }
          }
          if (usable(n->action.get())) {
            set_current(n->action.get());
            nalt_ = 0;
          }
          match_query(n);
          bool succ = has_successor(p);
          if (succ) {
            remember(n->wildcard(), p + 1);
            remember(urllist_item_nocase_child(n), p + 1);
          }
          bool any_child = n->child_id != 0 || n->wildcard_id != 0 || urllist_item_nocase_child(n);
          if (!any_child) {
            if (nalt_ == 0 || current_ != nullptr) return;
            s = step::alternative;
          } else if (!succ) {
            if (nalt_ == 0) return;
            s = step::alternative;
          } else {
            tree = nullptr;
            parent = n;
            p = p + 1;
            s = step::search;
          }
          break;
        }
      }
    }
  }

  const urllist* list_;
  urllist_exploded_url* url_;
  bool want_diag_;
  std::vector<diag_pair> diag_;
  alternative alts_[max_alternatives];
  int nalt_ = 0;
  urllist_action* current_ = nullptr;
  const urllist_query_item* current_query_ = nullptr;
  int query_case_ = 0;
  size_t current_pos_ = 0;
};

}  // namespace

urllist_action* urllist_url_lookup(urllist* list, const urllist_item* start,
                                   urllist_exploded_url* url, urllist_url_part* first_part,
                                   std::string* diag) {
  if (list == nullptr || url == nullptr || url->part_count == 0) return nullptr;
  {
    tree_walk walk(list, url, diag != nullptr);
    if (start != nullptr) {
      if (first_part == nullptr) return nullptr;
      walk.run(start, static_cast<uint32_t>(first_part - url->parts), false, nullptr);
      urllist_action* a = walk.action();
      if (a != nullptr && diag != nullptr) walk.build_diag(diag);
      return a;
    }
    const urllist_item& root = *list->root;
    if (root.child_id == 0 && root.wildcard_id == 0 &&
        urllist_item_nocase_child(&root) == nullptr && list->schemes.empty() &&
        !list->default_iplist) {
      return nullptr;
    }
    const cvnet_ipaddr& ip = url->address;
    const urllist_item* host = nullptr;
    if (url->is_ip) {
      auto it = list->schemes.find(url->scheme_hash);
      if (it != list->schemes.end()) {
        host = static_cast<const urllist_item*>(iplist_find_data(it->second.get(), ip));
      }
    }
    uint32_t after_host = 1 + url->label_count;
    if (host != nullptr) {
      walk.run(host, after_host, true, url->scheme ? url->scheme : "*");
    } else {
      walk.run(&root, 0, false, nullptr);
    }
    // Step 8: an IP literal that found nothing tries the default IP list once, afresh.
    if (walk.action() == nullptr && url->is_ip && list->default_iplist) {
      host = static_cast<const urllist_item*>(iplist_find_data(list->default_iplist.get(), ip));
      if (host != nullptr) walk.run(host, after_host, true, "*");
    }
    urllist_action* a = walk.action();
    if (a != nullptr && diag != nullptr) walk.build_diag(diag);
    return a;
  }
}

namespace {

const char* lowered_text(urllist_exploded_url* url) {
  if (!url->lowered_text) {
    std::string copy(url->source ? url->source : "");
    string_lowercase_url(copy.data());
    copy.resize(std::strlen(copy.c_str()));
    url->lowered_text = std::move(copy);
  }
  return url->lowered_text->c_str();
}

// Keywords, regular expressions, default (steps 6 to 8) on `text` / `lowered`.
urllist_action* lookup_text_stores(urllist* list, const char* text, const char* lowered,
                                   std::string* diag) {
  if (list->keywords && lowered != nullptr) {
    const keywordlist_entry* e =
        keywordlist_lookup(list->keywords.get(), lowered, nullptr, nullptr);
    if (e != nullptr && usable(e->action.get())) {
      if (diag != nullptr) {
        *diag = e->text;
        for (char& c : *diag) {
          if (c == ' ') c = '+';
        }
      }
      return e->action.get();
    }
  }
  if (list->regexps) {
    urllist_action* a = urllist_regexp_lookup(list->regexps.get(), text, lowered, diag);
    if (usable(a)) return a;
  }
  if (!(list->flags & URLLIST_FLAG_NO_DEFAULT) && usable(list->default_action.get())) {
    if (diag != nullptr) diag->assign(1, '*');
    return list->default_action.get();
  }
  return nullptr;
}

urllist_action* lookup_all(urllist* list, urllist_exploded_url* url, std::string* diag) {
  // 1. Path entries.
  const urllist_item& pr = *list->path_root;
  if (url->first_path_part != nullptr &&
      (pr.child_id != 0 || pr.wildcard_id != 0 || pr.nocase_child() != nullptr)) {
    if (urllist_action* a = urllist_url_lookup(list, &pr, url, url->first_path_part, diag)) {
      return a;
    }
  }
  // 2. Query entries.
  if (url->query_part != nullptr && list->query_root->has_queries()) {
    if (urllist_action* a =
            urllist_url_lookup(list, list->query_root, url, url->query_part, diag)) {
      return a;
    }
  }
  // 3. URL entries.
  if (url->part_count > 0) {
    if (urllist_action* a = urllist_url_lookup(list, nullptr, url, nullptr, diag)) return a;
  }
  // 4. Digests.
  if (list->digests) {
    urllist_action* a = urllist_digest_lookup(list->digests.get(), url, diag);
    if (usable(a)) return a;
  }
  // 5. Extensions.
  if (list->extensions) {
    urllist_action* a = urllist_ext_lookup(list->extensions.get(), url, diag);
    if (usable(a)) return a;
  }
  // 6 to 8.
  const char* lowered = nullptr;
  if (list->keywords || list->regexps) {
    lowered = lowered_text(url);
  }
  return lookup_text_stores(list, url->source, lowered, diag);
}

int finish(urllist_action* a, urllist_action** out) {
  if (out != nullptr) *out = a;
  return a != nullptr ? 0 : 1;
}

}  // namespace

int urllist_lookup_data_unlocked(urllist* list, urllist_exploded_url* url,
                                 urllist_action** action) {
  if (list == nullptr || url == nullptr) return 1;
  return finish(lookup_all(list, url, nullptr), action);
}

int urllist_lookup_data(urllist* list, urllist_exploded_url* url, urllist_action** action) {
  if (list == nullptr || url == nullptr) return 1;
  rwl_read_guard guard(lock_of(list));
  if (!guard.ok()) return 1;  // a lock that cannot be taken leaves nothing safe to read
  return finish(lookup_all(list, url, nullptr), action);
}

int urllist_lookup_diag(urllist* list, urllist_exploded_url* url, urllist_action** action,
                        std::string* diag) {
  if (list == nullptr || url == nullptr) return 1;
  rwl_read_guard guard(lock_of(list));
  if (!guard.ok()) return 1;  // a lock that cannot be taken leaves nothing safe to read
  std::string scratch;
  std::string* text = diag ? diag : &scratch;
  urllist_action* a = lookup_all(list, url, text);
  if (a == nullptr) text->clear();
  return finish(a, action);
}

int urllist_lookup_data_urlonly(urllist* list, urllist_exploded_url* url, urllist_action** action) {
  if (list == nullptr || url == nullptr) return 1;
  rwl_read_guard guard(lock_of(list));
  if (!guard.ok()) return 1;  // a lock that cannot be taken leaves nothing safe to read
  return finish(urllist_url_lookup(list, nullptr, url, nullptr, nullptr), action);
}

int urllist_lookup_diag_urlonly(urllist* list, urllist_exploded_url* url, urllist_action** action,
                                std::string* diag) {
  if (list == nullptr || url == nullptr) return 1;
  rwl_read_guard guard(lock_of(list));
  if (!guard.ok()) return 1;  // a lock that cannot be taken leaves nothing safe to read
  std::string scratch;
  return finish(urllist_url_lookup(list, nullptr, url, nullptr, diag ? diag : &scratch), action);
}

int urllist_lookup_category(urllist* list, urllist_exploded_url* url, category_set* categories) {
  if (list == nullptr || url == nullptr) return 1;
  // The action is read after it is found, so the read lock covers both: released in
  // between, a concurrent add that replaces the entry could free the action under us.
  rwl_read_guard guard(lock_of(list));
  if (!guard.ok()) return 1;  // a lock that cannot be taken leaves nothing safe to read
  const urllist_action* a = lookup_all(list, url, nullptr);
  if (a == nullptr || a->kind != URLLIST_ACTION_CATEGORY) return 1;
  if (categories != nullptr) urllist_action_get_category(a, categories);
  return 0;
}

int urllist_lookup_num_data(urllist* list, int number, urllist_action** action) {
  if (list == nullptr || number < 0 || number >= URLLIST_POLICY_EVENTS) return 1;
  rwl_read_guard guard(lock_of(list));
  if (!guard.ok()) return 1;  // a lock that cannot be taken leaves nothing safe to read
  urllist_action* a = list->events[number].get();
  return finish(usable(a) ? a : nullptr, action);
}

int urllist_lookup_num_diag(urllist* list, int number, urllist_action** action, std::string* name) {
  int rc = urllist_lookup_num_data(list, number, action);
  if (rc == 0 && name != nullptr) *name = policyevent_ntoa(number);
  return rc;
}

int urllist_lookup_string_diag(urllist* list, const char* text, std::optional<std::string>* lowered,
                               urllist_action** action, std::string* diag) {
  if (list == nullptr || text == nullptr) return 1;
  rwl_read_guard guard(lock_of(list));
  if (!guard.ok()) return 1;  // a lock that cannot be taken leaves nothing safe to read
  {
    std::optional<std::string> local;
    std::optional<std::string>& slot = lowered ? *lowered : local;
    if (!slot) {
      std::string copy(text);
      string_lowercase_url(copy.data());
      copy.resize(std::strlen(copy.c_str()));
      slot = std::move(copy);
    }
    return finish(lookup_text_stores(list, text, slot->c_str(), diag ? diag : nullptr), action);
  }
}

int urllist_lookup_string_data(urllist* list, const char* text, std::optional<std::string>* lowered,
                               urllist_action** action) {
  return urllist_lookup_string_diag(list, text, lowered, action, nullptr);
}
