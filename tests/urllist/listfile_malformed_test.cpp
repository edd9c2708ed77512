// Malformed list files through urllist_add_file: binary bytes, NUL bytes, megabyte lines,
// lines of spaces, CRLF endings and a truncated last line. Each file mixes bad lines with good
// ones; the good ones must load and answer lookups, and the reports on standard error must be
// exactly the documented ones.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/run_process.h"
#include "urllist/list_test_support.h"
#include "urllist/listfile.h"
#include "urllist/lookup.h"
#include "urllist/urllist.h"

namespace {

struct load_result {
  int rc;
  std::string err;
};

load_result load_file(urllist* l, const std::string& content, int type = 0) {
  cv_tempdir dir;
  std::string path = dir.write("list", content);
  testing::internal::CaptureStderr();
  int rc = urllist_add_file(l, path.c_str(), type);
  return {rc, testing::internal::GetCapturedStderr()};
}

std::string bytes(const char* s, size_t n) { return std::string(s, n); }

TEST(ListFileMalformed, CrlfLinesAndTheTruncatedLastLine) {
  auto l = urllist_initialize(0);
  load_result r = load_file(l.get(),
                            "a.test U C 1\r\n"
                            "#comment\r\n"
                            "\r\n"
                            "b.test U D\r\n"
                            "http://c.test 2,3\r\n"
                            "d.test U A\n"
                            "e.test U D");  // no newline: never read
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(look(l.get(), "http://a.test/"), "C 1");  // not "1\r"
  EXPECT_EQ(look(l.get(), "http://b.test/"), "D");
  EXPECT_EQ(look(l.get(), "http://c.test/"), "C 2,3");
  EXPECT_EQ(look(l.get(), "http://d.test/"), "A");
  EXPECT_EQ(look(l.get(), "http://e.test/"), "none");

  // Only one carriage return goes: "\r\r\n" leaves a line "\r", a one-field line that stores
  // nothing; a truncated line made of a CR alone is not read either.
  auto m = urllist_initialize(0);
  r = load_file(m.get(), "\r\r\nf.test U D\r\n\r");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(look(m.get(), "http://f.test/"), "D");
}

TEST(ListFileMalformed, NulBytesEndTheLine) {
  // A line is text up to its first NUL: what follows on the same line is not read.
  auto l = urllist_initialize(0);
  std::string text;
  text += bytes("a.test U D\0junk U A\n", 20);
  text += bytes("b.test\0 U D\n", 12);  // one field left: nothing stored, nothing said
  text += bytes("\0\0\0\n", 4);         // empty line
  text += bytes("http://c.test 5\0,6\n", 19);
  text += bytes("\0c.test U A\n", 12);
  text += "d.test U C 7\n";
  load_result r = load_file(l.get(), text);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(look(l.get(), "http://a.test/"), "D");
  EXPECT_EQ(look(l.get(), "http://b.test/"), "none");
  EXPECT_EQ(look(l.get(), "http://c.test/"), "C 5");
  EXPECT_EQ(look(l.get(), "http://d.test/"), "C 7");
}

TEST(ListFileMalformed, LinesOfSpaces) {
  // Every space separates a field; the fourth field takes the rest. The entry text is then
  // empty: an empty category text does not parse, an empty action word is unknown (reported by
  // the store and by the loader).
  auto l = urllist_initialize(0);
  load_result r = load_file(l.get(),
                            " \n"
                            "  \n"
                            "   \n"
                            "      \n"
                            "a.test U D\n");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.err,
            "urllist_add_file: failed to add url '' with categories ''\n"
            "urllist_add: failed to add url '' unknown action ''\n"
            "urllist_add_file: failed to add item '' type: '' action: ''\n"
            "urllist_add: failed to add url '' unknown action ''\n"
            "urllist_add_file: failed to add item '' type: '' action: ' '\n"
            "urllist_add: failed to add url '' unknown action ''\n"
            "urllist_add_file: failed to add item '' type: '' action: '    '\n");
  EXPECT_EQ(look(l.get(), "http://a.test/"), "D");
  EXPECT_EQ(look(l.get(), "http://other.test/"), "none");

  // A deny list gives the empty entry its action: it becomes an empty keyword, which matches
  // nothing, so a line of spaces never turns into a catch-all.
  auto deny = urllist_initialize(0);
  r = load_file(deny.get(), "   \n \nb.test U A\n", 1);
  EXPECT_EQ(r.err, "urllist_add: Duplicate keyword entry ''\n");  // the second empty entry
  EXPECT_EQ(look(deny.get(), "http://b.test/"), "D");
  EXPECT_EQ(look(deny.get(), "http://other.test/"), "none");
  // A category list skips three fields, and four fields whose action word is not "C".
  auto cat = urllist_initialize(0);
  r = load_file(cat.get(), "  \n   \nc.test U C 9\n", 4);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(look(cat.get(), "http://c.test/"), "C 9");
  EXPECT_EQ(look(cat.get(), "http://other.test/"), "none");
}

TEST(ListFileMalformed, BinaryBytes) {
  auto l = urllist_initialize(0);
  std::string text;
  text += "\xff\xfe\xfd\xfc\n";            // one field: nothing
  text += "bin\xff\xfe.test U C 3\n";      // 8-bit bytes in a host name
  text += "ctl\x01\x02.test/p\x7f U D\n";  // control bytes
  text += "http://x.test/\x80\x81 4\n";    // in a path, with a scheme
  text += "ok.test U \xc3\xa9 5\n";        // not an action word
  text += "after.test U C 6\n";
  load_result r = load_file(l.get(), text);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.err,
            "urllist_add: failed to add url 'ok.test' unknown action '\xc3\xa9'\n"
            "urllist_add_file: failed to add item 'ok.test' type: 'U' action: '\xc3\xa9 5'\n");
  EXPECT_EQ(look(l.get(), "http://bin\xff\xfe.test/"), "C 3");
  EXPECT_EQ(look(l.get(), "http://ctl\x01\x02.test/p\x7f"), "D");
  EXPECT_EQ(look(l.get(), "http://x.test/\x80\x81"), "C 4");
  EXPECT_EQ(look(l.get(), "http://ok.test/"), "none");
  EXPECT_EQ(look(l.get(), "http://after.test/"), "C 6");
}

TEST(ListFileMalformed, MegabyteLines) {
  const std::string mb(1 << 20, 'a');
  auto l = urllist_initialize(0);
  std::string text;
  text += "h.test/" + mb + " U D\n";  // a 1 MB path segment
  text += mb + "\n";                  // one field
  text += "cats.test U C ";           // 1 MB of category numbers
  for (int i = 0; i < (1 << 20) / 4; ++i) text += std::to_string(100 + i % 3) + ",";
  text += "7\n";
  text += "sp.test U D" + std::string(1 << 20, ' ') + "\n";    // 4th field: 1 MB of spaces
  text += "bad.test U C " + std::string(1 << 20, 'x') + "\n";  // a 1 MB bad argument
  text += "after.test U C 8\n";
  load_result r = load_file(l.get(), text);
  EXPECT_EQ(r.rc, 0);
  // Reports carry the whole text, however long; "D" takes no argument: the spaces are ignored.
  const std::string xs(1 << 20, 'x');
  EXPECT_EQ(r.err, "urllist_add: failed to add url 'bad.test' bad action argument '" + xs +
                       "' for action 'C'\n"
                       "urllist_add_file: failed to add item 'bad.test' type: 'U' action: 'C " +
                       xs + "'\n");
  EXPECT_EQ(look(l.get(), "http://sp.test/"), "D");
  EXPECT_EQ(look(l.get(), "http://h.test/" + mb), "D");
  EXPECT_EQ(look(l.get(), "http://h.test/a"), "none");
  EXPECT_EQ(look(l.get(), "http://cats.test/"), "C 7,100,101,102");
  EXPECT_EQ(look(l.get(), "http://bad.test/"), "none");
  EXPECT_EQ(look(l.get(), "http://after.test/"), "C 8");
}

}  // namespace
