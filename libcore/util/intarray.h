#pragma once
// A pointer array indexed by small non-negative integers that grows on demand up to a fixed
// maximum. The array never owns the pointed-to objects: deleting a slot or destroying the
// array leaves them to the caller. Not thread-safe: one owner, or external locking.

#include <memory>
#include <vector>

struct intarray {
  std::vector<void*> slots;  // size() is the number of slots allocated; empty slots are null
  int max_size = 0;          // slots never grow beyond this
  int step = 0;              // slots added per growth; 0 grows straight to max_size

  int size() const { return static_cast<int>(slots.size()); }
};

// An array of `initial_size` null slots. Null unless 0 < initial_size <= max_size and
// step >= 0, or when memory is short.
std::unique_ptr<intarray> intarray_create(int initial_size, int max_size, int step);

// Stores `ptr` at `index`, growing the slots by `step` (or to the maximum) when the index
// lies beyond them. Returns 0 when stored; 1 when the index is negative or above the
// maximum, when the slot is already occupied, or when the array cannot grow to cover the
// index (at most one growth happens per call). Null array: 1.
int intarray_insert(intarray* a, int index, void* ptr);

// The slot's content; null for an index outside 0 <= index < size, or a null array.
void* intarray_get(const intarray* a, int index);

// Returns the slot's content and clears the slot; null for an index outside
// 0 <= index < size. The object is not freed.
void* intarray_delete(intarray* a, int index);

// Releases the slots, never the objects. Null is accepted.
void intarray_destroy(std::unique_ptr<intarray> a);
