#include "urllist/dump.h"

#include <string>
#include <vector>

#include "records/action.h"
#include "urllist/hashing.h"
#include "urllist/query.h"
#include "urllist/urllist.h"
#include "urllist/urllist_impl.h"

namespace {
void dump_buffer(const std::string& buf, FILE* out);
}

urllist_dump_entry* urllist_dump_push(urllist_dump_state& state, const urllist_item* node) {
  state.stack.push_back({node, state.buffer.size()});
  return &state.stack.back();
}

const urllist_item* urllist_dump_pop(urllist_dump_state& state) {
  if (state.stack.empty()) return nullptr;
  urllist_dump_entry e = state.stack.back();
  state.stack.pop_back();
  state.buffer.resize(e.length);
  return e.node;
}

void urllist_dump_dump_buffer(const urllist_dump_state& state) {
  dump_buffer(state.buffer, state.out);
}

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

}  // namespace

void urllist_dump_node(urllist_dump_state& state, const urllist_item* node) {
  std::string& buf = state.buffer;
  FILE* out = state.out;
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

void urllist_dump(const urllist* list, FILE* out) {
  if (list == nullptr || list->root.child == nullptr) return;
  urllist_dump_state state;
  state.out = out;
  urllist_dump_push(state, list->root.child);
  while (!state.stack.empty()) {
    const urllist_item* n = urllist_dump_pop(state);
    // Siblings remember the length from before this node, so they replace its part.
    if (n->right) urllist_dump_push(state, n->right);
    if (n->left) urllist_dump_push(state, n->left);
    urllist_dump_node(state, n);
    // Children remember the length after this node's part, so they extend it.
    if (n->child) urllist_dump_push(state, n->child);
    if (n->nocase_child()) urllist_dump_push(state, n->nocase_child());
  }
}
