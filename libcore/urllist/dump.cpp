#include "urllist/dump.h"

#include <string>
#include <vector>

#include "urllist/action.h"
#include "urllist/hashing.h"
#include "urllist/query.h"
#include "urllist/urllist.h"
#include "urllist/urllist_node.h"

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
  char text[1024];
  urllist_action_dump_action(action, text, sizeof(text));
  dump_buffer(buf, out);
  if (query != nullptr) {
    for (urllist_hash_value h : query->full_hashes()) {
      fprintf(out, "?%s", urllist_hash2str(h).c_str());
    }
  }
  fprintf(out, " %s %s\n", type, text);
}

void dump_node(const urllist_item* node, std::string& buf, FILE* out) {
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
  const urllist_query_trees& trees = node->extra->queries;
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

}  // namespace

void urllist_dump(const urllist* list, FILE* out) {
  if (list == nullptr || list->root.child == nullptr) return;
  struct entry {
    const urllist_item* node;
    size_t length;  // buffer length to restore before visiting the node
  };
  std::string buf;
  std::vector<entry> stack;
  stack.push_back({list->root.child, 0});
  while (!stack.empty()) {
    entry e = stack.back();
    stack.pop_back();
    buf.resize(e.length);
    const urllist_item* n = e.node;
    if (n->right) stack.push_back({n->right, e.length});
    if (n->left) stack.push_back({n->left, e.length});
    dump_node(n, buf, out);
    size_t after = buf.size();
    if (n->child) stack.push_back({n->child, after});
    if (n->nocase_child()) stack.push_back({n->nocase_child(), after});
  }
}
