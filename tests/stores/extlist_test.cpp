#include "stores/extlist.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "util/category_set.h"
#include "util/file.h"

namespace {

void* word(int n) { return reinterpret_cast<void*>(static_cast<uintptr_t>(n)); }

std::vector<void*> released;
void record_release(void* data) { released.push_back(data); }

// A temporary file with the given content, removed at the end of the scope.
struct temp_file {
  std::string path;
  explicit temp_file(const std::string& content) {
    char name[] = "/tmp/extlist_test_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    path = name;
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
  }
  ~temp_file() { unlink(path.c_str()); }
};

}  // namespace

TEST(ExtlistHash, FirstBytesLowerCasedModuloTheCount) {
  // e, x, e lowest byte first: 0x657865 = 6649957, 6649957 % 50 = 7.
  EXPECT_EQ(extlist_create_hash("exe", 50), 7u);
  EXPECT_EQ(extlist_create_hash("EXE", 50), 7u);
  // At most four bytes: 0x64636261 % 1000 = 849, whatever follows.
  EXPECT_EQ(extlist_create_hash("abcd", 1000), 849u);
  EXPECT_EQ(extlist_create_hash("abcdz", 1000), 849u);
  EXPECT_EQ(extlist_create_hash("ABCDE", 1000), 849u);
  // No more bytes than buckets: with 2 buckets only "ex" counts (0x7865 % 2 = 1), with 5
  // buckets all three (0x657865 % 5 = 2, 0x7a7865 % 5 = 3).
  EXPECT_EQ(extlist_create_hash("exe", 2), 1u);
  EXPECT_EQ(extlist_create_hash("exz", 2), 1u);
  EXPECT_EQ(extlist_create_hash("exe", 5), 2u);
  EXPECT_EQ(extlist_create_hash("exz", 5), 3u);
  // With 3 buckets three bytes count: 0x657865 % 3 = 1, while "ex" alone would give
  // 0x7865 % 3 = 2.
  EXPECT_EQ(extlist_create_hash("exe", 3), 1u);
  EXPECT_EQ(extlist_create_hash("ex", 3), 2u);
  // Bytes above 0x7f are taken unsigned: 0xffffffff % 50 = 45.
  EXPECT_EQ(extlist_create_hash("\xff\xff\xff\xff", 50), 45u);
  EXPECT_EQ(extlist_create_hash("\xff", 1000), 255u);
  // Degenerate inputs give bucket 0.
  EXPECT_EQ(extlist_create_hash("", 50), 0u);
  EXPECT_EQ(extlist_create_hash(static_cast<const char*>(nullptr), 50), 0u);
  EXPECT_EQ(extlist_create_hash("exe", 0), 0u);
  EXPECT_EQ(extlist_create_hash("exe", -5), 0u);
  EXPECT_EQ(extlist_create_hash("exe", 1), 0u);
}

TEST(Extlist, AddLookupDuplicatesAndRelease) {
  released.clear();
  {
    auto list = extlist_initialize(50, record_release);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->bucket_count(), 50);
    EXPECT_EQ(extlist_add_item(list.get(), "EXE", word(1)), 0);
    EXPECT_EQ(extlist_add_item(list.get(), "exe", word(2)), 0);  // kept, never found
    EXPECT_EQ(extlist_add_item(list.get(), "pdf", word(3)), 0);
    EXPECT_EQ(list->size(), 3u);
    EXPECT_EQ(list->bucket(7).size(), 2u);
    EXPECT_EQ(list->bucket(7)[0].text, "exe");
    EXPECT_EQ(list->bucket(7)[1].text, "exe");

    EXPECT_EQ(extlist_lookup(list.get(), "exe"), word(1));
    EXPECT_EQ(extlist_lookup(list.get(), "ExE"), word(1));
    EXPECT_EQ(extlist_lookup(list.get(), "PDF"), word(3));
    EXPECT_EQ(extlist_lookup(list.get(), "ex"), nullptr);
    EXPECT_EQ(extlist_lookup(list.get(), "exee"), nullptr);
    EXPECT_EQ(extlist_lookup(list.get(), ""), nullptr);
    EXPECT_EQ(extlist_lookup(list.get(), nullptr), nullptr);
    EXPECT_EQ(extlist_lookup(nullptr, "exe"), nullptr);

    std::string matched;
    EXPECT_EQ(extlist_lookup_diag(list.get(), "EXE", &matched), word(1));
    EXPECT_EQ(matched, "exe");
    matched = "untouched";
    EXPECT_EQ(extlist_lookup_diag(list.get(), "doc", &matched), nullptr);
    EXPECT_EQ(matched, "untouched");

    // Only ASCII letters are lower-cased.
    EXPECT_EQ(extlist_add_item(list.get(), "\xC9t\xC9", word(4)), 0);
    EXPECT_EQ(extlist_lookup(list.get(), "\xC9T\xC9"), word(4));
    EXPECT_EQ(extlist_lookup(list.get(), "\xE9t\xE9"), nullptr);

    // Refused additions.
    EXPECT_EQ(extlist_add_item(list.get(), "", word(5)), -1);
    EXPECT_EQ(extlist_add_item(list.get(), nullptr, word(5)), -1);
    EXPECT_EQ(extlist_add_item(list.get(), "zip", nullptr), -1);
    EXPECT_EQ(extlist_add_item(nullptr, "zip", word(5)), -1);
    EXPECT_EQ(list->size(), 4u);
    EXPECT_TRUE(released.empty());
  }
  // Every stored pair's data is released once, refused ones never.
  std::sort(released.begin(), released.end());
  EXPECT_EQ(released, (std::vector<void*>{word(1), word(2), word(3), word(4)}));
}

TEST(Extlist, ListsWithoutBucketsStoreAndFindNothing) {
  for (int32_t count : {0, -3}) {
    released.clear();
    auto list = extlist_initialize(count, record_release);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->bucket_count(), 0);
    EXPECT_EQ(extlist_add_item(list.get(), "exe", word(1)), -1);
    EXPECT_EQ(extlist_lookup(list.get(), "exe"), nullptr);
    std::string matched;
    EXPECT_EQ(extlist_lookup_diag(list.get(), "exe", &matched), nullptr);
    extlist_terminate(std::move(list));
    EXPECT_TRUE(released.empty());
  }
  extlist_terminate(nullptr);
}

TEST(Extlist, CategoryItemsParseLikeACategoryAction) {
  auto list = extlist_initialize(50, extlist_release_category_set);
  ASSERT_EQ(extlist_add_category_item(list.get(), "exe", "17,3,17"), 0);
  ASSERT_EQ(extlist_add_category_item(list.get(), "doc", "5,x"), 0);  // stops at x
  EXPECT_EQ(extlist_add_category_item(list.get(), "zip", "x"), -1);
  EXPECT_EQ(extlist_add_category_item(list.get(), "zip", ""), -1);
  EXPECT_EQ(extlist_add_category_item(list.get(), "zip", nullptr), -1);
  EXPECT_EQ(extlist_add_category_item(list.get(), "", "1"), -1);
  auto* set = static_cast<category_set*>(extlist_lookup(list.get(), "EXE"));
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->to_string(), "3,17");
  set = static_cast<category_set*>(extlist_lookup(list.get(), "doc"));
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->to_string(), "5");
  EXPECT_EQ(extlist_lookup(list.get(), "zip"), nullptr);
  EXPECT_EQ(list->size(), 2u);
}

TEST(Extlist, FileLoadersTakeTheFirstWordOfCompleteLines) {
  const std::string plain = "exe rest of line\n\n leading-space\nPDF\r\ndoc\nlast-without-newline";
  {
    temp_file f(plain);
    auto list = extlist_initialize(50, nullptr);
    FILE* in = std::fopen(f.path.c_str(), "r");
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(extlist_add_file(list.get(), in), 3);
    std::fclose(in);
    EXPECT_EQ(extlist_lookup(list.get(), "exe"), word(1));
    EXPECT_EQ(extlist_lookup(list.get(), "pdf"), word(1));  // carriage return stripped
    EXPECT_EQ(extlist_lookup(list.get(), "doc"), word(1));
    EXPECT_EQ(extlist_lookup(list.get(), "last-without-newline"), nullptr);
    EXPECT_EQ(extlist_add_file(nullptr, stdin), 0);
    EXPECT_EQ(extlist_add_file(list.get(), nullptr), 0);

    auto list2 = extlist_initialize(50, nullptr);
    auto reader = file_buffer_open(f.path.c_str());
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(extlist_add_file_buffer(list2.get(), reader.get()), 3);
    EXPECT_EQ(extlist_lookup(list2.get(), "pdf"), word(1));
    EXPECT_EQ(extlist_lookup(list2.get(), "rest"), nullptr);
    file_buffer_close(std::move(reader));

    // The marker must never reach a release function: a list with one is left alone.
    released.clear();
    auto owning = extlist_initialize(50, record_release);
    in = std::fopen(f.path.c_str(), "r");
    EXPECT_EQ(extlist_add_file(owning.get(), in), 0);
    std::fclose(in);
    reader = file_buffer_open(f.path.c_str());
    EXPECT_EQ(extlist_add_file_buffer(owning.get(), reader.get()), 0);
    EXPECT_EQ(owning->size(), 0u);
    owning.reset();
    EXPECT_TRUE(released.empty());
  }
  const std::string cats = "exe 1,2 trailing\npdf\ndoc x\nzip 3\n  4\nrar 9";
  {
    temp_file f(cats);
    for (int use_buffer = 0; use_buffer < 2; use_buffer++) {
      auto list = extlist_initialize(50, extlist_release_category_set);
      long added = 0;
      if (use_buffer) {
        auto reader = file_buffer_open(f.path.c_str());
        added = extlist_add_category_file_buffer(list.get(), reader.get());
      } else {
        FILE* in = std::fopen(f.path.c_str(), "r");
        added = extlist_add_category_file(list.get(), in);
        std::fclose(in);
      }
      EXPECT_EQ(added, 2) << use_buffer;
      auto* set = static_cast<category_set*>(extlist_lookup(list.get(), "exe"));
      ASSERT_NE(set, nullptr);
      EXPECT_EQ(set->to_string(), "1,2");
      set = static_cast<category_set*>(extlist_lookup(list.get(), "zip"));
      ASSERT_NE(set, nullptr);
      EXPECT_EQ(set->to_string(), "3");
      EXPECT_EQ(extlist_lookup(list.get(), "rar"), nullptr);
      EXPECT_EQ(extlist_lookup(list.get(), "pdf"), nullptr);
    }
  }
}
