// print_hashed_url into a caller's buffer: the whole text or -1, never an unterminated one.

#include "urllist/hashed_url.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "urllist/exploded_url.h"
#include "urllist/hashing.h"

namespace {

TEST(PrintHashedUrl, BufferTakesTheWholeTextOrReportsItCut) {
  urllist_exploded_url_ptr x = urllist_explode_charset("http://h.test/a", nullptr, 0, 0, nullptr);
  ASSERT_TRUE(x);
  const std::string expected =
      urllist_hash2str(urllist_hash("http")) + "://" + urllist_hash2str(urllist_hash("h")) + "." +
      urllist_hash2str(urllist_hash("test")) + "/" + urllist_hash2str(urllist_hash("a"));
  std::string text;
  EXPECT_EQ(print_hashed_url(x.get(), "U", &text), 0);
  EXPECT_EQ(text, expected);

  char buf[128];
  EXPECT_EQ(print_hashed_url(x.get(), "U", buf, expected.size() + 1), 0);
  EXPECT_EQ(std::string(buf), expected);
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(print_hashed_url(x.get(), "U", buf, expected.size()), -1);
  EXPECT_EQ(std::string(buf), expected.substr(0, expected.size() - 1));
  EXPECT_EQ(print_hashed_url(x.get(), "U", buf, 0), -1);
  // Other type words: the scheme as a bare hash text, no host.
  EXPECT_EQ(print_hashed_url(x.get(), "P", buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf), expected);  // it has a host: the URL form
  urllist_exploded_url_ptr p = urllist_explode_charset("/a/b", nullptr, 0, 0, nullptr);
  ASSERT_TRUE(p);
  EXPECT_EQ(print_hashed_url(p.get(), "P", buf, sizeof buf), 0);
  EXPECT_EQ(std::string(buf),
            "/" + urllist_hash2str(urllist_hash("a")) + "/" + urllist_hash2str(urllist_hash("b")));
  EXPECT_EQ(print_hashed_url(nullptr, "U", buf, sizeof buf), -1);
}

}  // namespace
