#include "stores/extlist.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>

#include "records/action.h"
#include "util/category_set.h"
#include "util/file.h"

namespace {

inline unsigned char ascii_lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// `stored` is lower-case already; comparing against the lowered bytes of `text` one by one is
// the same as comparing with a lowered copy, without making one.
bool equal_lowered(std::string_view stored, std::string_view text) {
  if (stored.size() != text.size()) return false;
  for (size_t i = 0; i < text.size(); i++) {
    if (static_cast<unsigned char>(stored[i]) != ascii_lower(static_cast<unsigned char>(text[i])))
      return false;
  }
  return true;
}

// The data word of the plain loaders: a marker, never dereferenced.
void* const loader_marker = reinterpret_cast<void*>(static_cast<uintptr_t>(1));

// The first word of a line (up to the first space).
std::string_view first_word(std::string_view line) { return line.substr(0, line.find(' ')); }

// The first two words of a line; the second is empty when there is none.
std::pair<std::string_view, std::string_view> two_words(std::string_view line) {
  const size_t sp = line.find(' ');
  if (sp == std::string_view::npos) return {line, {}};
  std::string_view rest = line.substr(sp + 1);
  return {line.substr(0, sp), rest.substr(0, rest.find(' '))};
}

int add_word(extlist* list, std::string_view word) {
  if (word.empty()) return -1;
  const std::string text(word);  // the word ends at a space inside the line
  return extlist_add_item(list, text.c_str(), loader_marker);
}

int add_category_line(extlist* list, std::string_view line) {
  auto [ext, cats] = two_words(line);
  if (ext.empty() || cats.empty()) return -1;
  const std::string e(ext), c(cats);
  return extlist_add_category_item(list, e.c_str(), c.c_str());
}

// Runs `add` over every line of a stream; counts the successes.
template <typename Add>
long each_stream_line(FILE* stream, Add add) {
  long added = 0;
  while (std::optional<std::string> line = file_read_string(stream)) {
    // A NUL inside a line ends its text, as for every other line reader of the suite.
    if (add(std::string_view(line->c_str())) == 0) added++;
  }
  return added;
}

template <typename Add>
long each_buffer_line(file_buffer* reader, Add add) {
  long added = 0;
  while (file_buffer_read_string(reader) == 0) {
    if (add(std::string_view(reader->line, reader->line_len)) == 0) added++;
  }
  return added;
}

}  // namespace

// ---- The list -----------------------------------------------------------------------------

extlist::~extlist() {
  if (release_ == nullptr) return;
  for (auto& b : buckets_) {
    for (auto& p : b) release_(p.data);
  }
}

void extlist::append(std::string_view text, void* data) {
  std::string lowered(text);
  for (char& c : lowered) c = static_cast<char>(ascii_lower(static_cast<unsigned char>(c)));
  std::vector<pair>& b = buckets_[extlist_create_hash(lowered, bucket_count())];
  b.push_back(pair{std::move(lowered), data});  // strong guarantee: unchanged on bad_alloc
  size_++;
}

const extlist::pair* extlist::find(std::string_view text) const {
  if (buckets_.empty() || text.empty()) return nullptr;
  for (const pair& p : buckets_[extlist_create_hash(text, bucket_count())]) {
    if (equal_lowered(p.text, text)) return &p;
  }
  return nullptr;
}

uint32_t extlist_create_hash(std::string_view text, int32_t bucket_count) {
  if (bucket_count < 1 || text.empty()) return 0;
  const size_t n = std::min<size_t>({text.size(), size_t{4}, static_cast<size_t>(bucket_count)});
  uint32_t v = 0;
  for (size_t i = 0; i < n; i++) {
    v |= static_cast<uint32_t>(ascii_lower(static_cast<unsigned char>(text[i]))) << (8 * i);
  }
  return v % static_cast<uint32_t>(bucket_count);
}

uint32_t extlist_create_hash(const char* text, int32_t bucket_count) {
  if (text == nullptr) return 0;
  return extlist_create_hash(std::string_view(text), bucket_count);
}

std::unique_ptr<extlist> extlist_initialize(int32_t bucket_count, extlist_release_fn release) {
  try {
    return std::make_unique<extlist>(bucket_count < 0 ? 0 : bucket_count, release);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void extlist_terminate(std::unique_ptr<extlist> list) { list.reset(); }

int extlist_add_item(extlist* list, const char* text, void* data) {
  if (list == nullptr || text == nullptr || *text == '\0' || data == nullptr) return -1;
  // Without buckets there is nowhere to put the pair: refuse it rather than report a store
  // that never happened.
  if (list->bucket_count() == 0) return -1;
  try {
    list->append(text, data);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

void* extlist_lookup(const extlist* list, const char* text) {
  if (list == nullptr || text == nullptr) return nullptr;
  const extlist::pair* p = list->find(text);
  return p ? p->data : nullptr;
}

void* extlist_lookup_diag(const extlist* list, const char* text, std::string* matched) {
  if (list == nullptr || text == nullptr) return nullptr;
  const extlist::pair* p = list->find(text);
  if (p == nullptr) return nullptr;
  if (matched != nullptr) {
    try {
      *matched = p->text;
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  return p->data;
}

void extlist_release_category_set(void* data) { delete static_cast<category_set*>(data); }

int extlist_add_category_item(extlist* list, const char* text, const char* categories) {
  if (list == nullptr || text == nullptr || *text == '\0') return -1;
  void* data = nullptr;
  if (urllist_action_parse_action("C", categories, &data) != URLLIST_ACTION_CATEGORY ||
      data == nullptr) {
    return -1;
  }
  const int rc = extlist_add_item(list, text, data);
  if (rc != 0) extlist_release_category_set(data);
  return rc;
}

long extlist_add_file(extlist* list, FILE* stream) {
  if (list == nullptr || stream == nullptr || list->has_release()) return 0;
  return each_stream_line(stream,
                          [list](std::string_view l) { return add_word(list, first_word(l)); });
}

long extlist_add_file_buffer(extlist* list, file_buffer* reader) {
  if (list == nullptr || reader == nullptr || list->has_release()) return 0;
  return each_buffer_line(reader,
                          [list](std::string_view l) { return add_word(list, first_word(l)); });
}

long extlist_add_category_file(extlist* list, FILE* stream) {
  if (list == nullptr || stream == nullptr) return 0;
  return each_stream_line(stream,
                          [list](std::string_view l) { return add_category_line(list, l); });
}

long extlist_add_category_file_buffer(extlist* list, file_buffer* reader) {
  if (list == nullptr || reader == nullptr) return 0;
  return each_buffer_line(reader,
                          [list](std::string_view l) { return add_category_line(list, l); });
}
