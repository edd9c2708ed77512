#include "urllist/ext_entries.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "urllist/exploded_url.h"

namespace {

urllist_action_ref make_action(int32_t kind = URLLIST_ACTION_DENY, int64_t expiry = -1) {
  return urllist_action_share(urllist_action_new(kind, nullptr, expiry));
}

urllist_exploded_url_ptr explode(const char* text) {
  return urllist_explode_charset(text, nullptr, 0, 0, nullptr);
}

}  // namespace

TEST(UrllistExt, EntriesMatchTheLastExtensionOfTheUrl) {
  std::unique_ptr<extlist> slot;
  urllist_action_ref first = make_action(URLLIST_ACTION_DENY);
  urllist_action_ref second = make_action(URLLIST_ACTION_ALLOW);
  urllist_action_ref tar = make_action(URLLIST_ACTION_DENY);
  ASSERT_EQ(urllist_add_ext(slot, ".EXE", first), 0);
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ(slot->bucket_count(), 50);
  ASSERT_EQ(urllist_add_ext(slot, "exe", second), 0);
  ASSERT_EQ(urllist_add_ext(slot, ".tar.gz", tar), 0);
  EXPECT_EQ(first->refcount, 2);
  EXPECT_EQ(slot->bucket(7)[0].text, "exe");
  EXPECT_EQ(slot->bucket(7)[1].text, "exe");

  struct row {
    const char* url;
    urllist_action* want;
  } rows[] = {
      {"h/setup.Exe", first.get()},  // the first of two equal texts
      {"http://h/a/b/x.EXE", first.get()},
      {"h/x.exe?a=b.txt", first.get()},  // the query is no part of the extension
      {"h/exe/x", nullptr},
      {"h/x.exe/", first.get()},  // the empty last segment is dropped
      {"h/x.exe/y", nullptr},
      {"h/archive.tar.gz", nullptr},  // only what follows the last "." counts
      {"h.exe", nullptr},             // no path, no extension
      {"h/x.", nullptr},
  };
  for (const row& r : rows) {
    auto url = explode(r.url);
    ASSERT_NE(url, nullptr) << r.url;
    std::string matched;
    EXPECT_EQ(urllist_ext_lookup(slot.get(), url.get(), &matched), r.want) << r.url;
    EXPECT_EQ(matched, r.want ? "exe" : "") << r.url;
  }
  auto url = explode("h/a.exe");
  EXPECT_EQ(urllist_ext_lookup(nullptr, url.get(), nullptr), nullptr);
  EXPECT_EQ(urllist_ext_lookup(slot.get(), nullptr, nullptr), nullptr);

  // Refused entries take no reference.
  EXPECT_EQ(urllist_add_ext(slot, ".", second), -7);
  EXPECT_EQ(urllist_add_ext(slot, "", second), -7);
  EXPECT_EQ(urllist_add_ext(slot, nullptr, second), -7);
  EXPECT_EQ(second->refcount, 2);
  EXPECT_EQ(slot->size(), 3u);

  // Releasing the list drops the pairs' references.
  slot.reset();
  EXPECT_EQ(first->refcount, 1);
  EXPECT_EQ(second->refcount, 1);
  EXPECT_EQ(tar->refcount, 1);
}

TEST(UrllistExt, ExpiredFirstMatchCountsAsNoMatch) {
  std::unique_ptr<extlist> slot;
  urllist_action_ref expiring = make_action(URLLIST_ACTION_DENY, 100);
  urllist_action_ref later = make_action(URLLIST_ACTION_ALLOW);
  ASSERT_EQ(urllist_add_ext(slot, "exe", expiring), 0);
  ASSERT_EQ(urllist_add_ext(slot, "exe", later), 0);
  auto url = explode("h/a.exe");
  const long saved = current_time;
  current_time = 100;  // expiry not yet passed
  EXPECT_EQ(urllist_ext_lookup(slot.get(), url.get(), nullptr), expiring.get());
  current_time = 101;
  std::string matched;
  EXPECT_EQ(urllist_ext_lookup(slot.get(), url.get(), &matched), nullptr);
  EXPECT_EQ(matched, "");
  current_time = saved;
}
