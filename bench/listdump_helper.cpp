// Loads list files as cvlistcheck does (one list, type 0, no charset, files in order) and
// writes the list's dump to standard output, for the exactness guard (bench/exactness.sh),
// which compares it between two builds of the engine:
//
//   listdump_helper LIST...
//
// Only the engine's public entry points are used (create, load a file, dump), so that this
// file also builds against earlier revisions of the engine. A list that cannot be loaded
// fully is an error (exit status 1, nothing dumped): a partial dump would compare as a
// difference for the wrong reason.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "urllist/dump.h"
#include "urllist/listfile.h"
#include "urllist/urllist.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s LIST...\n", argv[0]);
    return 2;
  }
  urllist_ptr list = urllist_with_charset_initialize(0, nullptr);
  if (!list) {
    fprintf(stderr, "%s: cannot create a list\n", argv[0]);
    return 1;
  }
  for (int i = 1; i < argc; ++i) {
    int rc = urllist_add_file(list.get(), argv[i], URLLIST_TYPE_FULL);
    if (rc != 0) {
      fprintf(stderr, "%s: %s: load result %d: %s\n", argv[0], argv[i], rc, strerror(errno));
      return 1;
    }
  }
  urllist_dump(list.get(), stdout);
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "%s: writing the dump: %s\n", argv[0], strerror(errno));
    return 1;
  }
  urllist_terminate(std::move(list));
  return 0;
}
