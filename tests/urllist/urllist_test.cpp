#include "urllist/urllist.h"

#include <gtest/gtest.h>

#include "urllist/lookup.h"
#include "util/category_set.h"

namespace {

std::string cats_of(urllist* l, const char* u) {
  auto url = urllist_explode_charset(u, nullptr, 0, 0, nullptr);
  if (!url) return "explode-failed";
  urllist_action* a = nullptr;
  if (urllist_lookup_data(l, url.get(), &a) != 0) return "none";
  char buf[256];
  urllist_action_dump_action(a, buf, sizeof(buf));
  return buf;
}

TEST(UrllistStore, HostEntriesAndSubdomains) {
  auto l = urllist_initialize(0);
  ASSERT_EQ(urllist_add(l.get(), "h.test", "U", "C", "1", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "w.h.test", "U", "C", "2", -1), 0);
  EXPECT_EQ(cats_of(l.get(), "http://w.h.test/x"), "C 2");
  EXPECT_EQ(cats_of(l.get(), "http://v.h.test/"), "C 1");
  EXPECT_EQ(cats_of(l.get(), "http://h.test"), "C 1");
  EXPECT_EQ(cats_of(l.get(), "http://test/"), "none");
}

}  // namespace
