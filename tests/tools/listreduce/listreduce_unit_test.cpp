// The text pieces of the reduce engine: trimming, scheme removal and the covering texts.

#include <gtest/gtest.h>

#include <string>

#include "listreduce.h"

namespace {

struct trim_case {
  const char* url;
  const char* type;
  const char* trimmed;
  int changed;
};

TEST(ListReduceText, TrimUrl) {
  const trim_case cases[] = {
      {"a.test/", "U", "a.test", 1},
      {"a.test/p?", nullptr, "a.test/p", 1},
      {"a.test//", "U", "a.test/", 1},  // one character only
      {"a.test:80", "U", "a.test", 1},
      {"a.test:80/p", "U", "a.test/p", 1},
      {"a.test:80?x", "U", "a.test?x", 1},
      {"a.test:80#f", "U", "a.test#f", 1},
      {"http://a.test:80/", "U", "http://a.test", 1},
      {"HTTP://a.test:80/p", "U", "HTTP://a.test/p", 1},
      {"https://a.test:80/p", "U", "https://a.test:80/p", 0},
      {"ftp://a.test:80", "U", "ftp://a.test:80", 0},
      {"a.test:8080/p", "U", "a.test:8080/p", 0},
      {"a.test:808", "U", "a.test:808", 0},
      {"a.test/x:80/y", "U", "a.test/x:80/y", 0},
      {"a.test/x:80", "U", "a.test/x:80", 0},
      {"a.test?q=:80", "U", "a.test?q=:80", 0},
      {"u:80@a.test/p", "U", "u:80@a.test/p", 0},
      {"u:p@a.test:80/p", "U", "u:p@a.test/p", 1},
      {"[2001:80::1]/p", "U", "[2001:80::1]/p", 0},
      {"[2001:db8::1]:80/p", "U", "[2001:db8::1]/p", 1},
      {"a.test/p?u=http://b.test:80", "U", "a.test/p?u=http://b.test:80", 0},
      {"a.test:80/", "Uc", "a.test", 1},
      {"a.test:80/", "K", "a.test:80/", 0},
      {"", "U", "", 0},
  };
  for (const trim_case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string s = c.url;
    int changed = 0;
    trim_url(s.data(), c.type, &changed);
    EXPECT_STREQ(s.c_str(), c.trimmed);
    EXPECT_EQ(changed, c.changed);
  }
}

TEST(ListReduceText, TrimScheme) {
  struct scheme_case {
    const char* url;
    const char* rest;
    uint64_t type;  // expected scheme type for the named schemes; 99 for another scheme
  };
  const scheme_case cases[] = {
      {"http://a.test", "a.test", LISTREDUCE_SCHEME_HTTP},
      {"HTTPS://a.test/p", "a.test/p", LISTREDUCE_SCHEME_HTTPS},
      {"ftp://a.test", "a.test", LISTREDUCE_SCHEME_FTP},
      {"ftps://a.test", "a.test", 99},
      {"httpx://a.test", "a.test", 99},
      {"a.test", "a.test", LISTREDUCE_SCHEME_NONE},
      {"a.test/go?u=http://b.test", "a.test/go?u=http://b.test", LISTREDUCE_SCHEME_NONE},
      {"a.test?u=http://b.test", "a.test?u=http://b.test", LISTREDUCE_SCHEME_NONE},
  };
  for (const scheme_case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string s = c.url;
    int changed = 0;
    uint64_t type = LISTREDUCE_SCHEME_NONE;
    EXPECT_STREQ(trim_scheme(s.data(), "U", &changed, &type), c.rest);
    EXPECT_EQ(changed, type != LISTREDUCE_SCHEME_NONE ? 1 : 0);
    if (c.type == 99) {
      EXPECT_GT(type, LISTREDUCE_SCHEME_FTP);
    } else {
      EXPECT_EQ(type, c.type);
    }
  }
  // Other schemes: one value per name, whatever its letter case.
  EXPECT_EQ(listreduce_scheme_type("Gopher"), listreduce_scheme_type("gopher"));
  EXPECT_NE(listreduce_scheme_type("gopher"), listreduce_scheme_type("news"));
  // Only URL type words are trimmed.
  std::string s = "http://a.test";
  int changed = 0;
  uint64_t type = 0;
  EXPECT_STREQ(trim_scheme(s.data(), "K", &changed, &type), "http://a.test");
  EXPECT_EQ(changed, 0);
}

TEST(ListReduceText, RemoveParameter) {
  struct param_case {
    const char* url;
    int k;
    int rc;
    const char* out;
  };
  const param_case cases[] = {
      {"a.test/s?a=1&b=2", 1, 1, "a.test/s?b=2"},
      {"a.test/s?a=1&b=2", 2, 1, "a.test/s?a=1"},
      {"a.test/s?a=1&b=2", 3, -1, ""},
      {"a.test/s?a=1", 1, 1, "a.test/s"},
      {"a.test/s?a=1&&b=2", 2, 0, ""},
      {"a.test/s?a=1&&b=2", 3, 1, "a.test/s?a=1&"},
      {"a.test/s?a=1&b=2&*", 2, 1, "a.test/s?a=1"},
      {"a.test/s?a=1?&", 1, 1, "a.test/s"},
      {"a.test#x=1&y", 2, 1, "a.test#x=1"},
      {"a.test/s", 1, -1, ""},
      {"a.test/s?", 1, -1, ""},
  };
  for (const param_case& c : cases) {
    SCOPED_TRACE(std::string(c.url) + " k=" + std::to_string(c.k));
    std::string out;
    EXPECT_EQ(listreduce_remove_parameter(c.url, c.k, &out), c.rc);
    if (c.rc == 1) {
      EXPECT_EQ(out, c.out);
    }
  }
}

TEST(ListReduceText, ParentPath) {
  struct path_case {
    const char* url;
    const char* parent;  // null: nothing is cut
  };
  const path_case cases[] = {
      {"a.test/p", "a.test"},
      {"a.test/p/q", "a.test/p"},
      {"a.test/p/q/", "a.test/p"},
      {"a.test/p/*", "a.test"},
      {"http://a.test/p", "http://a.test"},
      {"http://a.test", nullptr},
      {"a.test//p", nullptr},
      {"/p", nullptr},
      {"/p/q", "/p"},
  };
  for (const path_case& c : cases) {
    SCOPED_TRACE(c.url);
    std::string out;
    bool cut = listreduce_parent_path(c.url, &out);
    EXPECT_EQ(cut, c.parent != nullptr);
    if (c.parent != nullptr) {
      EXPECT_EQ(out, c.parent);
    }
  }
}

TEST(ListReduceText, CategoryTableAndFilter) {
  listreduce_category_table t;
  const uint32_t a[] = {5, 7};
  const uint32_t b[] = {5};
  EXPECT_EQ(t.find(a), listreduce_category_table::none);
  uint32_t ia = t.intern(a);
  EXPECT_EQ(t.intern(a), ia);
  EXPECT_NE(t.intern(b), ia);
  EXPECT_EQ(t.find(a), ia);
  // Enough sets to grow the table several times; every one keeps its number.
  for (uint32_t i = 0; i < 5000; ++i) {
    const uint32_t s[] = {i, i + 1, i + 7};
    EXPECT_EQ(t.intern(s), i + 2);
  }
  for (uint32_t i = 0; i < 5000; ++i) {
    const uint32_t s[] = {i, i + 1, i + 7};
    EXPECT_EQ(t.find(s), i + 2);
  }
  t.note_record(ia, 4);
  EXPECT_TRUE(t.only_line(ia, 4));
  EXPECT_FALSE(t.only_line(ia, 5));
  t.note_record(ia, 9);
  EXPECT_FALSE(t.only_line(ia, 4));

  listreduce_filter f;
  f.reset(1000, 16);
  for (uint64_t h = 1; h <= 1000; ++h) f.add(h * 0x9E3779B97F4A7C15ull);
  f.add(0x9E3779B97F4A7C15ull);
  unsigned absent = 0;
  for (uint64_t h = 1; h <= 1000; ++h) {
    EXPECT_GE(f.count(h * 0x9E3779B97F4A7C15ull), 1u);  // never below the truth
    absent += f.count(h * 0xC2B2AE3D27D4EB4Full + 1) == 0;
  }
  EXPECT_GE(f.count(0x9E3779B97F4A7C15ull), 2u);
  EXPECT_GT(absent, 900u);  // and mostly "no" for hashes never added
}

}  // namespace
