#pragma once
// List dump: the URL entries of a list written back as hashed list lines.
//
// One line per stored action: the entry's URL rebuilt from the hash texts of its parts
// (host labels in reading order), " Uh " (or " Uch " for case-insensitive query entries)
// and the action's text form, e.g. "S://W.E.C:80/P Uh D" where each letter stands for a
// 16-digit hash text. Ports are written as their own text (digits or a range), the other
// form the hashed format allows, so that a reloaded port entry keeps its bounds. The output loads
// again as a list (type 0). Only entries below the main root are dumped: path and query roots, IP
// entries, keywords, regular expressions, extensions and digests are not. Wildcard ("*") children
// are not visited.
//
// Walk order: depth first; after popping a node its next and then its previous sibling are
// pushed, the node is printed, then its child and its case-insensitive child are pushed.
// The stack and the text grow as needed (no node is ever left out), and an action is written
// whole however long its text (a thousand categories reload as a thousand).
//
// Thread safety: the dump keeps its state on the caller's stack, so several dumps may run at
// once; the list must not change meanwhile (hold its read lock or be single-threaded).

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

struct urllist;
struct urllist_item;

// Writes the lines to `out` (standard output by default). A null list writes nothing.
void urllist_dump(const urllist* list, FILE* out = stdout);

// The steps of the walk, for callers that dump part of a tree themselves.

// A node still to visit and the length of the rebuilt URL to restore before visiting it.
struct urllist_dump_entry {
  const urllist_item* node;
  size_t length;
};

// The rebuilt URL of the node being visited (parts in tree order, last label first), the
// nodes still to visit, and where the lines go.
struct urllist_dump_state {
  std::string buffer;
  std::vector<urllist_dump_entry> stack;
  FILE* out = stdout;
};

// Remembers `node` with the current buffer length. The returned entry stays valid until the
// next push or pop.
urllist_dump_entry* urllist_dump_push(urllist_dump_state& state, const urllist_item* node);
// Takes the last pushed node and restores the buffer length remembered with it; null when
// nothing is left.
const urllist_item* urllist_dump_pop(urllist_dump_state& state);
// Appends the node's part to the buffer and prints a line for its action and for each of its
// query entries that has one.
void urllist_dump_node(urllist_dump_state& state, const urllist_item* node);
// Prints the buffer as a URL, host labels in reading order, without a newline.
void urllist_dump_dump_buffer(const urllist_dump_state& state);
