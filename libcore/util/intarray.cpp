#include "util/intarray.h"

#include <algorithm>
#include <cstdint>
#include <new>

std::unique_ptr<intarray> intarray_create(int initial_size, int max_size, int step) {
  if (initial_size <= 0 || initial_size > max_size || step < 0) return nullptr;
  try {
    auto a = std::make_unique<intarray>();
    a->slots.assign(static_cast<size_t>(initial_size), nullptr);
    a->max_size = max_size;
    a->step = step;
    return a;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int intarray_insert(intarray* a, int index, void* ptr) {
  if (a == nullptr || index < 0 || index > a->max_size) return 1;
  if (index < a->size()) {
    if (a->slots[static_cast<size_t>(index)] != nullptr) return 1;
    a->slots[static_cast<size_t>(index)] = ptr;
    return 0;
  }
  if (a->size() >= a->max_size) return 1;
  // 64-bit sum: size + step must not wrap for a step near INT_MAX.
  int64_t grown = std::min<int64_t>(a->max_size, int64_t{a->size()} + a->step);
  if (grown <= a->size()) grown = a->max_size;
  try {
    a->slots.resize(static_cast<size_t>(grown), nullptr);
  } catch (const std::bad_alloc&) {
    return 1;
  }
  if (index >= a->size()) return 1;
  a->slots[static_cast<size_t>(index)] = ptr;
  return 0;
}

void* intarray_get(const intarray* a, int index) {
  if (a == nullptr || index < 0 || index >= a->size()) return nullptr;
  return a->slots[static_cast<size_t>(index)];
}

void* intarray_delete(intarray* a, int index) {
  if (a == nullptr || index < 0 || index >= a->size()) return nullptr;
  void* p = a->slots[static_cast<size_t>(index)];
  a->slots[static_cast<size_t>(index)] = nullptr;
  return p;
}

void intarray_destroy(std::unique_ptr<intarray> a) { a.reset(); }
