#include "urllist/dump.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "urllist/list_test_support.h"
#include "urllist/listfile.h"
#include "urllist/lookup.h"
#include "urllist/urllist.h"
#include "util/category_set.h"

namespace {

std::string dump_text(const urllist* l) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  urllist_dump(l, f);
  fclose(f);
  std::string s(buf, len);
  free(buf);  // open_memstream's buffer
  return s;
}

std::string h(const char* t) { return urllist_hash2str(urllist_hash(t)); }

TEST(Dump, HashedLineForOneEntry) {
  auto l = urllist_initialize(0);
  ASSERT_EQ(urllist_add(l.get(), "http://w.e.c/p", "U", "D", nullptr, -1), 0);
  EXPECT_EQ(dump_text(l.get()),
            h("http") + "://" + h("w") + "." + h("e") + "." + h("c") + ":80/" + h("p") + " Uh D\n");
}

TEST(Dump, QueryEntriesAndNodeActionBothPrinted) {
  auto l = urllist_initialize(0);
  ASSERT_EQ(urllist_add(l.get(), "http://w.e.c/p", "U", "D", nullptr, -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "http://w.e.c/p?x=1&y=2", "U", "C", "5", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "http://w.e.c/p?Z=1", "Uc", "C", "6", -1), 0);
  std::string base = h("http") + "://" + h("w") + "." + h("e") + "." + h("c") + ":80/";
  // The case-insensitive path child is pushed last, so it is visited first.
  EXPECT_EQ(dump_text(l.get()), base + h("p") + "?" + h("z=1") + " Uch C 6\n" + base + h("p") +
                                    " Uh D\n" + base + h("p") + "?" + h("x=1") + "?" + h("y=2") +
                                    " Uh C 5\n");
}

TEST(Dump, EmptyListAndNullPrintNothing) {
  auto l = urllist_initialize(0);
  EXPECT_EQ(dump_text(l.get()), "");
  EXPECT_EQ(dump_text(nullptr), "");
  // IP entries, keywords and path-root entries are not dumped.
  ASSERT_EQ(urllist_add(l.get(), "10.0.0.1", "U", "D", nullptr, -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "casino", "K", "D", nullptr, -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "/x", "P", "D", nullptr, -1), 0);
  EXPECT_EQ(dump_text(l.get()), "");
}

TEST(Dump, OutputLoadsAgainWithTheSameAnswers) {
  auto l = urllist_initialize(0);
  std::string pending;
  ASSERT_EQ(urllist_add_buffer(l.get(),
                               "http://a.example.com/x/y U C 1\n"
                               "https://b.example.com U C 2,3\n"
                               "http://example.org:8080/z U D\n"
                               "http://example.org/s?k=v U A\n",
                               &pending, 0),
            0);
  std::string text = dump_text(l.get());
  auto again = urllist_initialize(0);
  testing::internal::CaptureStderr();
  ASSERT_EQ(urllist_add_buffer(again.get(), text, &pending, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  for (const char* u :
       {"http://a.example.com/x/y/q", "https://b.example.com/", "http://w.b.example.com/",
        "http://example.org:8080/z", "http://example.org/s?k=v", "http://example.org/s?k=w",
        "http://a.example.com/x"}) {
    EXPECT_EQ(look(again.get(), u), look(l.get(), u)) << u;
  }
  EXPECT_EQ(dump_text(again.get()), text);
}

TEST(Dump, DeepAndWideTreesAreDumpedWhole) {
  auto l = urllist_initialize(0);
  std::string path = "http://d.test";
  for (int i = 0; i < 3000; ++i) path += "/s";
  ASSERT_EQ(urllist_add(l.get(), path.c_str(), "U", "D", nullptr, -1), 0);
  for (int i = 0; i < 10000; ++i) {
    std::string u = "http://h" + std::to_string(i) + ".test";
    ASSERT_EQ(urllist_add(l.get(), u.c_str(), "U", "D", nullptr, -1), 0);
  }
  std::string text = dump_text(l.get());
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, 10001u);
  EXPECT_GT(text.size(), 3000u * 17);
}

TEST(Dump, EntryWithAThousandCategoriesReloadsWhole) {
  auto l = urllist_initialize(0);
  std::string cats;
  for (int n = 1; n <= 1000; ++n) cats += (n > 1 ? "," : "") + std::to_string(n * 3);
  ASSERT_EQ(urllist_add(l.get(), "http://w.e.c/p", "U", "C", cats.c_str(), -1), 0);
  const std::string text = dump_text(l.get());
  EXPECT_NE(text.find(" Uh C " + cats + "\n"), std::string::npos);
  auto again = urllist_initialize(0);
  std::string pending;
  testing::internal::CaptureStderr();
  ASSERT_EQ(urllist_add_buffer(again.get(), text, &pending, 0), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  auto url = urllist_explode_charset("http://w.e.c/p", nullptr, 0, 0, nullptr);
  category_set found;
  ASSERT_EQ(urllist_lookup_category(again.get(), url.get(), &found), 0);
  EXPECT_EQ(found.count(), 1000u);
  EXPECT_EQ(found.to_string(), cats);
  EXPECT_EQ(dump_text(again.get()), text);
}

}  // namespace
