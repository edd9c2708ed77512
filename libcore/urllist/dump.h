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
// Walk order: depth first over the sibling trees that the children of each slot form when
// inserted in load order (sibling_tree.h), whether or not the list keeps that tree: after
// popping a node its next and then its previous sibling are pushed, the node is printed,
// then the root of its child tree and of its case-insensitive tree are pushed.
// The stack and the text grow as needed (no node is ever left out), and an action is written
// whole however long its text (a thousand categories reload as a thousand).
//
// Thread safety: the dump keeps its state on the caller's stack, so several dumps may run at
// once; the list must not change meanwhile (hold its read lock or be single-threaded).

#include <cstddef>
#include <cstdio>

struct urllist;

// Writes the lines to `out` (standard output by default). A null list writes nothing.
void urllist_dump(const urllist* list, FILE* out = stdout);
