#include "urllist/listfile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/run_process.h"
#include "urllist/list_test_support.h"
#include "urllist/lookup.h"
#include "urllist/urllist.h"

namespace {

// Loads `text` with list type `type`; returns what was written to standard error.
std::string load(urllist* l, std::string text, int type) {
  testing::internal::CaptureStderr();
  std::string pending;
  EXPECT_EQ(urllist_add_buffer(l, text, &pending, type), 0);
  return testing::internal::GetCapturedStderr();
}

TEST(ListFile, LineShapesInAFullList) {
  auto l = urllist_initialize(0);
  std::string err = load(l.get(),
                         "# comment h.test U D\n"
                         "\n"
                         "a.test U C 12,45\n"
                         "b.test 1234567890 7,8\n"
                         "c.test U D\n"
                         "lonely.test\n"
                         "http://d.test 3\n",
                         0);
  EXPECT_EQ(err, "");
  EXPECT_EQ(look(l.get(), "http://a.test/"), "C 12,45");
  EXPECT_EQ(look(l.get(), "http://x.test/b.test"), "C 7,8");  // b.test is a keyword
  EXPECT_EQ(look(l.get(), "http://c.test/"), "D");
  EXPECT_EQ(look(l.get(), "http://lonely.test/"), "none");
  EXPECT_EQ(look(l.get(), "http://d.test/"), "C 3");
  EXPECT_EQ(look(l.get(), "http://h.test/"), "none");
}

TEST(ListFile, FailedLinesAreReportedTwiceAndSkipped) {
  auto l = urllist_initialize(0);
  std::string err = load(l.get(),
                         "a.test  12,45\n"
                         "b.test X D\n"
                         "c.test U C x\n"
                         "http:///x 5\n"
                         "d.test U D\n",
                         0);
  EXPECT_EQ(err,
            "urllist_add: failed to add url 'a.test' unknown action '12,45'\n"
            "urllist_add_file: failed to add item 'a.test' type: '' action: '12,45'\n"
            "urllist_add: failed to add url 'b.test'\n"
            "urllist_add_file: failed to add item 'b.test' type: 'X' action: 'D'\n"
            "urllist_add: failed to add url 'c.test' bad action argument 'x' for action 'C'\n"
            "urllist_add_file: failed to add item 'c.test' type: 'U' action: 'C x'\n"
            "urllist_add_file: failed to add url 'http:///x' with categories '5'\n");
  EXPECT_EQ(look(l.get(), "http://d.test/"), "D");
}

TEST(ListFile, ListTypes) {
  auto deny = urllist_initialize(0);
  load(deny.get(), "http://a.test 12,45\nb.test U A\n", 1);
  EXPECT_EQ(look(deny.get(), "http://a.test/"), "D");
  EXPECT_EQ(look(deny.get(), "http://b.test/"), "D");

  auto allow = urllist_initialize(0);
  load(allow.get(), "http://a.test 12,45\nb.test U D x y\n", 2);
  EXPECT_EQ(look(allow.get(), "http://a.test/"), "A");
  EXPECT_EQ(look(allow.get(), "http://b.test/"), "A");

  auto ad = urllist_initialize(0);
  load(ad.get(),
       "http://a.test 1\nhttp://b.test 0\nc.test U A\nd.test U C 3\ne.test U A arg\n"
       "f.test U Dx\n",
       3);
  EXPECT_EQ(look(ad.get(), "http://a.test/"), "A");
  EXPECT_EQ(look(ad.get(), "http://b.test/"), "D");
  EXPECT_EQ(look(ad.get(), "http://c.test/"), "A");
  EXPECT_EQ(look(ad.get(), "http://d.test/"), "none");
  EXPECT_EQ(look(ad.get(), "http://e.test/"), "none");
  EXPECT_EQ(look(ad.get(), "http://f.test/"), "D");

  auto cat = urllist_initialize(0);
  load(cat.get(), "a.test U C 3\nb.test U D x\nc.test U D\nhttp://d.test 4\n", 4);
  EXPECT_EQ(look(cat.get(), "http://a.test/"), "C 3");
  EXPECT_EQ(look(cat.get(), "http://b.test/"), "none");
  EXPECT_EQ(look(cat.get(), "http://c.test/"), "none");
  EXPECT_EQ(look(cat.get(), "http://d.test/"), "C 4");

  // Type 5: every two-field line is a URL entry, even without scheme.
  auto uc = urllist_initialize(0);
  load(uc.get(), "a.test 5\nb.test U D\n", 5);
  EXPECT_EQ(look(uc.get(), "http://w.a.test/"), "C 5");
  EXPECT_EQ(look(uc.get(), "http://b.test/"), "D");
}

TEST(ListFile, FilesCarriageReturnsAndTheLastLine) {
  cv_tempdir dir;
  std::string path = dir.write("list", "http://a.test 1\r\nhttp://b.test 2\nhttp://c.test 3");
  auto l = urllist_initialize(0);
  EXPECT_EQ(urllist_add_file(l.get(), path.c_str(), 0), 0);
  EXPECT_EQ(look(l.get(), "http://a.test/"), "C 1");
  EXPECT_EQ(look(l.get(), "http://b.test/"), "C 2");
  EXPECT_EQ(look(l.get(), "http://c.test/"), "none");  // no newline: not read
  EXPECT_EQ(urllist_add_file(l.get(), "/nonexistent/list", 0), -4);
  EXPECT_EQ(urllist_add_file(l.get(), nullptr, 0), -1);
  EXPECT_EQ(urllist_add_file(nullptr, path.c_str(), 0), -1);
}

TEST(ListFile, ReadErrorIsNotSuccess) {
  // A directory opens but cannot be read: the loader must not report a complete list.
  auto l = urllist_initialize(0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(urllist_add_file(l.get(), "/tmp", 0), URLLIST_LOAD_READ_ERROR);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "urllist_add_file: read error in '/tmp' after 0 lines\n");
}

TEST(ListFile, BufferKeepsTheIncompleteTail) {
  auto l = urllist_initialize(0);
  std::string pending;
  EXPECT_EQ(urllist_add_buffer(l.get(), "http://a.te", &pending, 0), 0);
  EXPECT_EQ(pending, "http://a.te");
  EXPECT_EQ(urllist_add_buffer(l.get(), "st 1\nhttp://b.test 2\nhttp://c", &pending, 0), 0);
  EXPECT_EQ(pending, "http://c");
  EXPECT_EQ(look(l.get(), "http://a.test/"), "C 1");
  EXPECT_EQ(look(l.get(), "http://b.test/"), "C 2");
  EXPECT_EQ(urllist_add_buffer(l.get(), "x", nullptr, 0), -1);
  EXPECT_EQ(urllist_add_buffer(nullptr, "x", &pending, 0), -1);
}

TEST(ListFile, MalformedInputNeverCrashes) {
  auto l = urllist_initialize(0);
  std::string text;
  text += "h.test/" + std::string(1 << 20, 'a') + " U D\n";
  text += "http://h.test/" + std::string(1 << 20, '/') + " 1\n";
  text += "      \n";
  text += std::string("bin\x01\x02\xff\xfe", 7) + " U D\n";
  text += std::string("nul\0inside U D\n", 15);
  text += "h.test U C 1,2,3 extra words here\n";
  text += "   \n";
  testing::internal::CaptureStderr();
  std::string pending;
  EXPECT_EQ(urllist_add_buffer(l.get(), text, &pending, 0), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(pending, "");
  char line[] = "x.test U C 4";
  EXPECT_EQ(urllist_add_line(l.get(), line, 0), 0);
  EXPECT_EQ(look(l.get(), "http://x.test/"), "C 4");
  EXPECT_EQ(urllist_add_line(l.get(), nullptr, 0), -1);
}

}  // namespace
