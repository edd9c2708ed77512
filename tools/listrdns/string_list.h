#pragma once
// A growable list of strings kept in chained blocks: the result of the reverse-DNS cache's
// lookups. Strings are copied into blocks of a fixed size (a string longer than a block gets a
// block of its own), so adding many short names costs few allocations, and the index of
// pointers into the blocks gives the strings in the order they were added.
//
// Pointers returned by string_list_get_str stay valid until the entry is deleted or the list
// is cleared or destroyed. One owner; no locking.

#include <cstddef>
#include <memory>
#include <vector>

struct string_list {
  // Blocks, oldest first; the newest is the one strings are added to.
  std::vector<std::unique_ptr<char[]>> blocks;
  size_t block_size = 0;   // 50..10000 bytes
  size_t used = 0;         // bytes used in the newest block
  size_t newest_size = 0;  // size of the newest block (larger than block_size for a long string)
  size_t step = 0;         // index growth step in entries, 5..200
  std::vector<char*> index;
};

// A new list with blocks of `block_size` bytes and room for `expected` entries (the index
// grows by expected + 1 entries at a time). Both values are clamped to their ranges.
std::unique_ptr<string_list> string_list_initialize_size(size_t block_size, size_t expected);

// Sets up a caller-owned list: blocks of bytes_per_entry * (expected + 1) bytes, index step
// `expected`, both clamped. Drops whatever the list held. Returns 0.
int string_list_initialize(string_list* list, size_t expected, size_t bytes_per_entry);

// Appends a copy of `s` as one entry: the bytes up to `end` when end is not null, else up to
// the NUL. Returns 0, or -1 with errno ENOMEM (the list is unchanged).
int string_list_add(string_list* list, const char* s, const char* end = nullptr);

// Appends the concatenation of the null-terminated series of strings as ONE entry.
// Returns 0, or -1 with errno ENOMEM.
int string_list_add_v(string_list* list, ...);

// The number of entries.
size_t string_list_get_size(const string_list* list);

// Entry i, or null with errno ENOENT when i is not below the count.
const char* string_list_get_str(const string_list* list, size_t i);

// Removes entry i, moving the later ones down. Returns 0, or -1 with errno ENOENT.
int string_list_del_str(string_list* list, size_t i);

// Frees every block and empties the list; its sizes stay.
void string_list_clear(string_list* list);

// Frees the list. Accepts null.
void string_list_destroy(std::unique_ptr<string_list> list);
