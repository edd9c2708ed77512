#pragma once
// Extension lists: file extensions ("exe", "tar") mapped to data, in a fixed number of
// buckets picked from the first bytes of the extension.
//
// The URL list keeps one extension list (50 buckets) whose data words are its entries'
// actions; an entry matches every URL whose exploded extension (the text after the last "."
// of the last path segment) equals the stored text, letters compared without case. The
// module can also load plain files of extensions (data word 1) and of extensions with
// categories (data word: a category_set the list owns).
//
// Texts are stored lower-cased (ASCII A-Z only). Pairs keep their insertion order within a
// bucket and are never removed; a second pair with a text already present is appended and
// never found.
//
// The list engine's extension entries (urllist/ext_entries.h) are built on this module; the
// store itself knows nothing of actions or URLs.
//
// Thread safety: no lock of its own. Adding needs the owner's exclusive (write) lock; the
// lookups only read and may run on several threads at once.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct file_buffer;

// Called with each pair's data word when the list is destroyed.
using extlist_release_fn = void (*)(void* data);

class extlist {
 public:
  struct pair {
    std::string text;  // lower-cased private copy, never empty
    void* data;        // never null
  };

  // REQUIRES: bucket_count >= 0 (extlist_initialize clamps).
  extlist(int32_t bucket_count, extlist_release_fn release)
      : buckets_(static_cast<size_t>(bucket_count)), release_(release) {}
  extlist(const extlist&) = delete;
  extlist& operator=(const extlist&) = delete;
  // Calls the release function (when set) on every pair's data, bucket by bucket, each
  // bucket in insertion order.
  ~extlist();

  int32_t bucket_count() const { return static_cast<int32_t>(buckets_.size()); }
  const std::vector<pair>& bucket(int32_t i) const { return buckets_[static_cast<size_t>(i)]; }
  // Number of pairs stored.
  size_t size() const { return size_; }
  bool has_release() const { return release_ != nullptr; }

  // Appends a pair to the bucket of `text`. Throws std::bad_alloc (the list is unchanged).
  // REQUIRES: text non-empty, data non-null, at least one bucket.
  void append(std::string_view text, void* data);
  // The first pair of the text's bucket whose text equals `text` lower-cased, or null.
  const pair* find(std::string_view text) const;

 private:
  std::vector<std::vector<pair>> buckets_;
  extlist_release_fn release_;
  size_t size_ = 0;
};

// The bucket of `text` among `bucket_count` buckets: the first min(4, bucket_count) bytes of
// the text (fewer when it is shorter), lower-cased, placed at bits 8i..8i+7 of an unsigned
// 32-bit number (first byte lowest), modulo the bucket count. 0 for a null or empty text or a
// count below 1.
uint32_t extlist_create_hash(const char* text, int32_t bucket_count);
uint32_t extlist_create_hash(std::string_view text, int32_t bucket_count);

// A new list with `bucket_count` empty buckets (a negative count is taken as 0: such a list
// stores and finds nothing) and the release function (may be null). Null when memory runs
// out.
std::unique_ptr<extlist> extlist_initialize(int32_t bucket_count, extlist_release_fn release);

// Destroys the list (see ~extlist). Null is accepted.
void extlist_terminate(std::unique_ptr<extlist> list);

// Appends (text lower-cased, data) to the text's bucket without checking for duplicates.
// Returns 0, or -1 for a null list, a null or empty text, null data, a list without buckets,
// or memory exhaustion (the list is then unchanged and `data` still the caller's).
// On 0 the list owns `data` (the release function gets it).
int extlist_add_item(extlist* list, const char* text, void* data);

// The data of the first pair in the text's bucket whose text equals the text lower-cased,
// byte for byte; null for a null list, a null or empty text, a list without buckets, or no
// such pair. Allocates nothing.
void* extlist_lookup(const extlist* list, const char* text);

// The same; on success *matched (when given) becomes a copy of the stored text. Null when
// that copy cannot be made.
void* extlist_lookup_diag(const extlist* list, const char* text, std::string* matched);

// Release function for lists filled by the category loaders: deletes the category_set.
void extlist_release_category_set(void* data);

// Parses `categories` as comma-separated numbers exactly as the argument of a category
// action is parsed and appends (text, the new category_set) to the list. Returns 0, or -1
// when no number is found, or as extlist_add_item (the set is then freed).
// The list should have been made with extlist_release_category_set.
int extlist_add_category_item(extlist* list, const char* text, const char* categories);

// Loaders: read lines to the end of the input and add each line's first word (the text up to
// the first space) with the data word 1 (a marker, not a pointer: such lists must have no
// release function: a list that has one gets nothing and 0 is returned, as the marker would
// be handed to it). Return the number of pairs added; lines whose first word is empty are
// skipped. A null list or input gives 0.
long extlist_add_file(extlist* list, FILE* stream);
long extlist_add_file_buffer(extlist* list, file_buffer* reader);

// Loaders for "extension categories" lines: the first word is the extension, the second word
// (up to the next space) the categories text (extlist_add_category_item). Lines with fewer
// than two words or without a number are skipped. Return the number of pairs added.
long extlist_add_category_file(extlist* list, FILE* stream);
long extlist_add_category_file_buffer(extlist* list, file_buffer* reader);
