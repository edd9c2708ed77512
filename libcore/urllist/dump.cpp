#include "urllist/dump.h"

#include <algorithm>
#include <string>
#include <vector>

#include "records/action.h"
#include "urllist/hashing.h"
#include "urllist/query.h"
#include "urllist/sibling_tree.h"
#include "urllist/urllist.h"
#include "urllist/urllist_impl.h"

namespace {

// Prints the buffer as a URL: the domain labels were appended last label first, each
// followed by ".", and are printed back in reading order.
void dump_buffer(const std::string& buf, FILE* out) {
  size_t sep = buf.find("://");
  if (sep == std::string::npos) {
    fwrite(buf.data(), 1, buf.size(), out);
    return;
  }
  size_t host = sep + 3;
  fwrite(buf.data(), 1, host, out);
  size_t end = buf.find_first_of("/:", host);
  if (end == std::string::npos) end = buf.size();
  std::string_view domain(buf.data() + host, end - host);
  if (!domain.empty() && domain.back() == '.') {
    // Labels "C.B.A." -> "A.B.C".
    std::string_view rest = domain.substr(0, domain.size() - 1);
    bool first = true;
    while (true) {
      size_t dot = rest.rfind('.');
      std::string_view label = dot == std::string_view::npos ? rest : rest.substr(dot + 1);
      if (!first) fputc('.', out);
      fwrite(label.data(), 1, label.size(), out);
      first = false;
      if (dot == std::string_view::npos) break;
      rest = rest.substr(0, dot);
    }
  } else {
    fwrite(domain.data(), 1, domain.size(), out);
  }
  fwrite(buf.data() + end, 1, buf.size() - end, out);
}

void dump_action_line(const std::string& buf, const char* type, const urllist_action* action,
                      FILE* out, const urllist_query_item* query) {
  const std::string text = urllist_action_dump_text(action);
  dump_buffer(buf, out);
  if (query != nullptr) {
    for (urllist_hash_value h : query->full_hashes()) {
      fprintf(out, "?%s", urllist_hash2str(h).c_str());
    }
  }
  fprintf(out, " %s %s\n", type, text.c_str());
}

void dump_node(std::string& buf, FILE* out, const urllist_item* node) {
  if (node->kind > URL_PART_QUERY) return;
  static const char* const formats[] = {"%s://", "%s.", ":%s", "/%s", "?%s"};
  if (node->is_port()) {
    // A port is written as its own text ("80", "8000-8080"), which the hashed form allows:
    // read back, a hash text would give the node the bounds of its leading digits, and the
    // reloaded entry would no longer match its port.
    buf.push_back(':');
    buf.append(node->text());
  } else {
    char hash[URLLIST_HASH_TEXT_SIZE];
    urllist_hash2str(node->hash, hash, sizeof(hash));
    char piece[URLLIST_HASH_TEXT_SIZE + 4];
    snprintf(piece, sizeof(piece), formats[node->kind], hash);
    buf.append(piece);
  }
  if (node->action) dump_action_line(buf, "Uh", node->action.get(), out, nullptr);
  if (!node->has_queries()) return;
  const urllist_query_trees& trees = node->extra()->queries;
  for (int mode = 0; mode < 2; ++mode) {
    const urllist_query_tree* tree = trees.tree(mode);
    if (tree == nullptr) continue;
    for (const auto& item : tree->items) {
      if (item->action) {
        dump_action_line(buf, mode ? "Uch" : "Uh", item->action.get(), out, item.get());
      }
    }
  }
}

// The walk's stack of nodes still to visit, each with the length of the rebuilt URL to restore
// before visiting it, and the shadow trees (sibling_tree.h) their siblings are found in. A
// shadow is released once none of its nodes is left on the stack.
class dump_walk {
 public:
  explicit dump_walk(FILE* out) : out_(out) {}

  void run(const urllist_item* first_slot_head) {
    push_slot(first_slot_head);
    while (!stack_.empty()) {
      entry e = stack_.back();
      stack_.pop_back();
      buf_.resize(e.length);
      const urllist_sibling_shadow::node& sn = trees_[e.tree].nodes[static_cast<size_t>(e.index)];
      const urllist_item* n = sn.item;
      // Siblings remember the length from before this node, so they replace its part.
      if (sn.right >= 0) push(e.tree, sn.right);
      if (sn.left >= 0) push(e.tree, sn.left);
      if (--pending_[e.tree] == 0) release(e.tree);
      dump_node(buf_, out_, n);
      // Children remember the length after this node's part, so they extend it.
      push_slot(n->child());
      if (n->extra_id != 0) push_slot(n->extra()->nocase_head);
    }
  }

 private:
  struct entry {
    size_t tree;
    int32_t index;
    size_t length;
  };

  void push(size_t tree, int32_t index) {
    stack_.push_back({tree, index, buf_.size()});
    pending_[tree]++;
  }

  void push_slot(const urllist_item* head) {
    if (head == nullptr) return;
    order_.clear();
    for (const urllist_item* n = head; n != nullptr; n = n->next()) order_.push_back(n);
    std::reverse(order_.begin(), order_.end());
    size_t t;
    if (!free_.empty()) {
      t = free_.back();
      free_.pop_back();
    } else {
      t = trees_.size();
      trees_.emplace_back();
      pending_.push_back(0);
    }
    urllist_sibling_shadow_build(trees_[t], order_);
    push(t, trees_[t].root);
  }

  void release(size_t tree) {
    trees_[tree].nodes.clear();
    free_.push_back(tree);
  }

  FILE* out_;
  std::string buf_;
  std::vector<entry> stack_;
  std::vector<urllist_sibling_shadow> trees_;
  std::vector<size_t> pending_;
  std::vector<size_t> free_;
  std::vector<const urllist_item*> order_;
};

}  // namespace

void urllist_dump(const urllist* list, FILE* out) {
  if (list == nullptr || list->root->child_id == 0) return;
  dump_walk walk(out);
  walk.run(list->root->child());
}
