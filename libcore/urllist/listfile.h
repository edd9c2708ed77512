#pragma once
// List files: the line format of URL lists and the loaders that read it into a URL list.
//
// A list file is a sequence of lines ended by "\n" ("\r\n" accepted for files; a last line
// without "\n" is not read). Empty lines and lines starting with "#" are skipped. A line is
// split at single spaces into at most 4 fields, the fourth taking the rest of the line:
//
//   entry value                        categories (or the allow/deny flag of type 3)
//   entry number value                 the same; the number (second field starts with a
//                                      digit) is not used
//   entry type action                  a full entry without argument
//   entry type action argument         a full entry with argument
//
// The list type chosen by the caller fixes how the fields are read:
//   0 full list (also any unlisted value), 1 deny list, 2 allow list, 3 allow/deny list,
//   4 category list, 5 URL category list.
// A failed entry is reported twice (by the store, then by the loader) and skipped; it never
// stops the loading, except for lack of memory: an entry that could not be stored because
// memory ran out (an add result of -2 with errno ENOMEM) stops the load with
// URLLIST_LOAD_NO_MEMORY, since a list that silently lacks entries gives wrong answers.
// Every entry is stored without expiry.
//
// Thread safety: as the list's adding functions (urllist.h).

#include <string>
#include <string_view>

struct urllist;

enum urllist_list_type : int {
  URLLIST_TYPE_FULL = 0,
  URLLIST_TYPE_DENY = 1,
  URLLIST_TYPE_ALLOW = 2,
  URLLIST_TYPE_ALLOW_DENY = 3,
  URLLIST_TYPE_CATEGORY = 4,
  URLLIST_TYPE_URL_CATEGORY = 5,
};

// Results of the loaders.
enum urllist_load_result : int {
  URLLIST_LOAD_OK = 0,
  URLLIST_LOAD_MISSING = -1,      // no path or no list
  URLLIST_LOAD_NO_MEMORY = -2,    // memory ran out for a line or its entry (loading stops
                                  // at that line)
  URLLIST_LOAD_READ_ERROR = -3,   // the file could not be read to its end (read error or
                                  // short memory in the reader); the lines before are loaded
  URLLIST_LOAD_CANNOT_OPEN = -4,  // the file cannot be opened
};

// Loads the file at `path` line by line. Returns a urllist_load_result: 0 only when the file
// was read to its end. A read that fails part-way returns -3 (never 0), after a report
// "urllist_add_file: read error in '%s' after %ld lines\n" through cvlog_send level 4.
// On every non-zero result errno tells the cause: the open's error for -4, the read's for
// -3 (ENOMEM when the reader's buffer could not grow), ENOMEM for -2.
int urllist_add_file(urllist* list, const char* path, int list_type);

// Loads text that arrives in pieces. `chunk` is appended to *pending; every complete line
// ("\n"-ended; no "\r" is removed) is handled as in urllist_add_file, and the incomplete tail
// stays in *pending for the next call. Returns 0, -1 (no list or pending), or -2 when a line
// could not be split. REQUIRES: pending non-null, owned by the caller.
int urllist_add_buffer(urllist* list, std::string_view chunk, std::string* pending, int list_type);

// Handles one line (without its "\n"; comments are not skipped here). The line is cut in
// place at the spaces. Returns 0 (also when the entry failed, which is reported), -1 for a
// null list or line, -2 when memory ran out for the entry (errno ENOMEM).
int urllist_add_line(urllist* list, char* line, int list_type);
