#pragma once
// Helpers shared by the list-store, list-file and dump tests.

#include <string>

#include "records/action.h"
#include "urllist/exploded_url.h"
#include "urllist/lookup.h"
#include "urllist/urllist.h"

// Looks `u` up in `l` with urllist_lookup_data and returns the text form of the action found
// ("C 2,3", "D", ...), "none" when nothing matched, or "explode-failed".
inline std::string look(urllist* l, const std::string& u) {
  auto url = urllist_explode_charset(u, nullptr, 0, 0, nullptr);
  if (!url) return "explode-failed";
  urllist_action* a = nullptr;
  if (urllist_lookup_data(l, url.get(), &a) != 0) return "none";
  char buf[256];
  urllist_action_dump_action(a, buf, sizeof(buf));
  return buf;
}
