// End-to-end tests: the built cvlistreduce run on list files in a scratch directory, comparing
// the output, the redundant file, standard output, standard error and the exit status.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/run_process.h"

namespace {

const char* const usage_text =
    "usage: cvlistreduce options\n"
    "\t-h\t\tDisplay this help.\n"
    "\t-v\t\tDisplay the version of this tool.\n"
    "\t-c\t\tDo not compare category information.\n"
    "\t-i filename\tThe filename of the list file to reduce\n"
    "\t-o filename\tThe filename to store the reduced file\n"
    "\t-r filename\tStore the redundant list entries\n"
    "\t-V\t\tDisplay reduntant entry to stderr when there is no -r option\n"
    "\t-p increment\tPrint every \"increment\" line number being processed. E.g. -p 10 = print "
    "every tenth line number\n";

// The scratch directory doubles as $TMPDIR, so a test can see the sorted copy come and go.
class ListReduce : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TMPDIR", dir.path().c_str(), 1); }
  void TearDown() override { unsetenv("TMPDIR"); }

  // Names in the scratch directory other than the test's own files: leftovers of a run.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    DIR* d = opendir(dir.path().c_str());
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.find("_reduce_") != std::string::npos || n.find(".tmp") != std::string::npos) {
        names.push_back(n);
      }
    }
    closedir(d);
    return names;
  }

  std::string path(const std::string& name) const { return dir.path() + "/" + name; }

  cv_tempdir dir;
};

struct reduce_case {
  const char* name;
  const char* list;
  std::vector<std::string> options;  // besides -i list -o out -r red
  const char* output;
  const char* redundant;
  const char* err = "";
};

// Every covering rule both ways, scheme compatibility, duplicates, trimming, and the lines
// that pass untouched. Each case catches a different fault.
const reduce_case reduce_cases[] = {
    {"subdomain with the same categories",
     "a.test U C 5\nwww.a.test U C 5\n",
     {},
     "a.test U C 5\n",
     "www.a.test U C 5\n"},
    {"subdomain before its domain",
     "www.a.test U C 5\na.test U C 5\n",
     {},
     "a.test U C 5\n",
     "www.a.test U C 5\n"},
    {"subdomain with other categories",
     "a.test U C 5\nwww.a.test U C 6\n",
     {},
     "a.test U C 5\nwww.a.test U C 6\n",
     ""},
    {"subdomain with other categories and -c",
     "a.test U C 5\nwww.a.test U C 6\n",
     {"-c"},
     "a.test U C 5\n",
     "www.a.test U C 6\n"},
    {"set written in another order is the same set",
     "a.test U C 5,7\nwww.a.test U C 7,5,5\n",
     {},
     "a.test U C 5,7\n",
     "www.a.test U C 7,5,5\n"},
    {"two labels are never shortened",
     "a.test U C 5\nb.test U C 5\n",
     {},
     "a.test U C 5\nb.test U C 5\n",
     ""},
    {"parent path and host",
     "h.test U C 5\nh.test/p U C 5\nh.test/p/q U C 5\n",
     {},
     "h.test U C 5\n",
     "h.test/p U C 5\nh.test/p/q U C 5\n"},
    {"parent path only",
     "h.test/p U C 5\nh.test/p/q/r U C 5\nh.test/x/q U C 5\n",
     {},
     "h.test/p U C 5\nh.test/x/q U C 5\n",
     "h.test/p/q/r U C 5\n"},
    {"path under a host with other categories",
     "h.test U C 6\nh.test/p U C 5\n",
     {},
     "h.test U C 6\nh.test/p U C 5\n",
     ""},
    {"same URL, same categories: the first survives",
     "d.test U C 5\nd.test 7 5\nd.test U C 5\n",
     {},
     "d.test U C 5\n",
     "d.test 7 5\nd.test U C 5\n"},
    {"same URL, other categories: the later survives",
     "d.test U C 5\nd.test U C 6\n",
     {},
     "d.test U C 6\n",
     "d.test U C 5\n"},
    {"same URL, other categories, -c: the first survives",
     "d.test U C 5\nd.test U C 6\n",
     {"-c"},
     "d.test U C 5\n",
     "d.test U C 6\n"},
    {"an entry without scheme covers the URL with a scheme",
     "http://s.test 5\nhttps://s.test/p 5\ns.test U C 5\n",
     {},
     "s.test U C 5\n",
     "http://s.test 5\nhttps://s.test/p 5\n"},
    {"the same URL with two schemes",
     "http://s.test/p 5\nhttps://s.test/p 5\nhttp://s.test/p 5\n",
     {},
     "http://s.test/p 5\nhttps://s.test/p 5\n",
     "http://s.test/p 5\n"},
    {"subdomain with http under a parent without scheme",
     "s.test U C 5\nhttp://www.s.test 5\n",
     {},
     "s.test U C 5\n",
     "http://www.s.test 5\n"},
    {"subdomain with http under a parent with https only",
     "https://s.test 5\nhttp://www.s.test 5\nhttps://www.s.test 5\n",
     {},
     "https://s.test 5\nhttp://www.s.test 5\n",
     "https://www.s.test 5\n"},
    {"subdomain without scheme under a parent with a scheme",
     "http://s.test 5\nwww.s.test U C 5\n",
     {},
     "www.s.test U C 5\nhttp://s.test 5\n",
     ""},
    {"scheme names are compared without case",
     "HTTP://s.test 5\nhttp://www.s.test 5\n",
     {},
     "HTTP://s.test 5\n",
     "http://www.s.test 5\n"},
    {"final slash and question mark are trimmed",
     "t.test/p/ U C 5\nu.test/ U C 5\nv.test/q? U C 5\n",
     {},
     "t.test/p U C 5\nu.test U C 5\nv.test/q U C 5\n",
     ""},
    {"port 80 of http or no scheme is removed",
     "t.test:80/p U C 5\nhttp://u.test:80/p 5\nhttp://v.test:80 5\n",
     {},
     "t.test/p U C 5\nhttp://u.test/p 5\nhttp://v.test 5\n",
     ""},
    {"other ports, and :80 outside the authority, stay",
     "t.test:8080/p U C 5\nhttps://u.test:80/p 5\nv.test/a:80/b U C 5\nw.test/q?x=:80 U C 5\n"
     "u:80@x.test/p U C 5\n",
     {},
     "t.test:8080/p U C 5\nv.test/a:80/b U C 5\nw.test/q?x=:80 U C 5\nu:80@x.test/p U C 5\n"
     "https://u.test:80/p 5\n",
     ""},
    {"trimmed line duplicates its trimmed twin",
     "t.test/p U C 5\nt.test:80/p/ U C 5\n",
     {},
     "t.test/p U C 5\n",
     "t.test:80/p/ U C 5\n"},
    {"trimming only for URL type words",
     "t.test/p/ Uc C 5\nt.test/p/ K C 5\n",
     {},
     "t.test/p Uc C 5\nt.test/p/ K C 5\n",
     ""},
    {"query parameter removal",
     "q.test/s?a=1 U C 8\nq.test/s?a=1&b=2 U C 8\nq.test/s?b=2&a=1&c=3 U C 8\n"
     "q.test/s?b=2&c=3 U C 8\n",
     {},
     "q.test/s?a=1 U C 8\nq.test/s?b=2&c=3 U C 8\n",
     "q.test/s?a=1&b=2 U C 8\nq.test/s?b=2&a=1&c=3 U C 8\n"},
    {"query under its path",
     "q.test/s U C 8\nq.test/s?a=1&&b=2 U C 8\n",
     {},
     "q.test/s U C 8\n",
     "q.test/s?a=1&&b=2 U C 8\n"},
    {"query with other categories",
     "q.test/s?a=1 U C 8\nq.test/s?a=1&b=2 U C 9\n",
     {},
     "q.test/s?a=1 U C 8\nq.test/s?a=1&b=2 U C 9\n",
     ""},
    {"port removal",
     "p.test U C 5\np.test:8080 U C 5\nwww.p.test:81 U C 5\np.test:8443 U C 6\n",
     {},
     "p.test U C 5\np.test:8443 U C 6\n",
     "p.test:8080 U C 5\nwww.p.test:81 U C 5\n"},
    {"IP literals are never shortened, but duplicates go",
     "10.1.2.3 U C 5\n10.1.2.3:8080 U C 5\n10.1.2.3 U C 5\n",
     {},
     "10.1.2.3 U C 5\n10.1.2.3:8080 U C 5\n",
     "10.1.2.3 U C 5\n"},
    {"comments and empty lines go nowhere; one field passes with a message",
     "# head\n\na.test U C 5\n\r\nlonely\n#www.a.test U C 5\n",
     {},
     "a.test U C 5\nlonely\n",
     "",
     "list entry malformat: \"lonely\"\n"},
    {"other actions and regular expressions pass untouched",
     "a.test U C 5\nwww.a.test U D\nwww.a.test/x/ U A\n/www.a.test/ U C 5\n|a.test| U C 5\n"
     "www.a.test U c 5\n",
     {},
     "a.test U C 5\nwww.a.test U D\nwww.a.test/x/ U A\n/www.a.test/ U C 5\n|a.test| U C 5\n"
     "www.a.test U c 5\n",
     ""},
    {"carriage returns stay",
     "a.test U C 5\r\nwww.a.test U C 5\r\nb.test/ U C 5\r\n",
     {},
     "a.test U C 5\r\nb.test U C 5\r\n",
     "www.a.test U C 5\r\n"},
    {"leading white space is skipped when judging",
     "a.test U C 5\n  www.a.test U C 5\n",
     {},
     "a.test U C 5\n",
     "  www.a.test U C 5\n"},
    {"a last line without newline is judged but not loaded",
     "www.l.test U C 5\nl.test U C 5",
     {},
     "www.l.test U C 5\nl.test U C 5\n",
     ""},
    {"a last line without newline loads when lines with a scheme follow it in the copy",
     "http://www.m.test 5\nm.test U C 5",
     {},
     "m.test U C 5\n",
     "http://www.m.test 5\n"},
    // Mended faults: each would remove a line whose verdict in the filter then changes.
    {"an unknown scheme covers no line without scheme",
     "www.g.test U C 5\ngopher://g.test 5\ngopher://www.g.test 5\nnews://www.g.test 5\n",
     {},
     "www.g.test U C 5\ngopher://g.test 5\n",
     "gopher://www.g.test 5\nnews://www.g.test 5\n"},
    {"unknown schemes are told apart",
     "gopher://g.test 5\nnews://www.g.test 5\ngopher://www.g.test 5\n",
     {},
     "gopher://g.test 5\nnews://www.g.test 5\n",
     "gopher://www.g.test 5\n"},
    {"scheme names are compared whole",
     "ftps://f.test 5\nftp://www.f.test 5\n",
     {},
     "ftps://f.test 5\nftp://www.f.test 5\n",
     ""},
    {"a :// inside the query is no scheme",
     "r.test/go?u=http://x.test U C 5\nwww.x.test U C 5\n",
     {},
     "www.x.test U C 5\nr.test/go?u=http://x.test U C 5\n",
     ""},
    {"a later line the filter refuses does not replace an entry",
     "a.test U C 5\na.test U C x\nwww.a.test U C 5\n",
     {},
     "a.test U C 5\n",
     "a.test U C x\nwww.a.test U C 5\n",
     "urllist_add_file: failed to add item 'a.test' type: 'U' action: 'C x'\n"},
    {"a later deny entry replaces the category entry",
     "a.test U C 5\na.test U D\nwww.a.test U C 5\n",
     {},
     "a.test U D\nwww.a.test U C 5\n",
     "a.test U C 5\n"},
    // Found by the invariant test: each line would go although the filter then answers one of
    // its URLs from another entry than the covering one.
    {"a line with a scheme stays when its scheme's entry above answers otherwise",
     "ka.test/q U C 2\nhttp://ka.test U C 1\nhttp://ka.test/q/p 2\n",
     {},
     "ka.test/q U C 2\nhttp://ka.test U C 1\nhttp://ka.test/q/p 2\n",
     ""},
    {"a line with a scheme stays over lines without scheme below it",
     "http://mi.test/p 2\nmi.test/p U C 2\nmi.test/p/q U C 1\n",
     {},
     "mi.test/p U C 2\nmi.test/p/q U C 1\nhttp://mi.test/p 2\n",
     ""},
    {"... and goes when they agree",
     "http://mi.test/p 2\nmi.test/p U C 2\nmi.test/p/q U C 2\n",
     {},
     "mi.test/p U C 2\n",
     "mi.test/p/q U C 2\nhttp://mi.test/p 2\n"},
    {"a port line stays over entries without port below its host",
     "ne.test U C 1\nne.test:8080 U C 1\nne.test/p/p U A\n",
     {},
     "ne.test U C 1\nne.test:8080 U C 1\nne.test/p/p U A\n",
     ""},
    {"a query line stays when another query entry meets its parameters",
     "ka.test U C 1,2\nka.test/s?c=3 U C 3\nka.test/s?c=3&b=2 U C 1,2\n",
     {},
     "ka.test U C 1,2\nka.test/s?c=3 U C 3\nka.test/s?c=3&b=2 U C 1,2\n",
     ""},
    {"a line that replaced an entry of another action stays",
     "ka.test:8080 U D\nka.test:8080 U C 3\nka.test U C 3\n",
     {},
     "ka.test:8080 U D\nka.test:8080 U C 3\nka.test U C 3\n",
     ""},
    {"lines with a scheme replaced at their place by the same scheme",
     "ftp://www.ka.test 2\nftp://www.ka.test 1,2\nwww.ka.test U C 2,1\n",
     {},
     "www.ka.test U C 2,1\n",
     "ftp://www.ka.test 2\nftp://www.ka.test 1,2\n"},
    {"a place holding only another scheme's entry is looked past",
     "c.ka.test/q/p U C 1\nhttps://c.ka.test/q 1\nka.test/ U C 1\n",
     {},
     "ka.test U C 1\n",
     "c.ka.test/q/p U C 1\nhttps://c.ka.test/q 1\n"},
    {"lines the filter cannot load are reported and judged",
     "a.test U C 5\na.test x\nb.test 7 y\nc.test X C 5\n",
     {},
     "a.test U C 5\nb.test 7 y\nc.test X C 5\n",
     "a.test x\n",
     "urllist_add_file: failed to add url 'a.test' with categories 'x'\n"
     "urllist_add_file: failed to add url 'b.test' with categories 'y'\n"
     "urllist_add_file: failed to add item 'c.test' type: 'X' action: 'C 5'\n"},
    {"an earlier deny entry is replaced",
     "a.test U D\na.test U C 5\nwww.a.test U C 5\n",
     {},
     "a.test U D\na.test U C 5\n",
     "www.a.test U C 5\n"},
};

TEST_F(ListReduce, CoveringRulesTable) {
  for (const reduce_case& c : reduce_cases) {
    SCOPED_TRACE(c.name);
    std::string list = dir.write("in.list", c.list);
    std::vector<std::string> argv{"cvlistreduce", "-i", list, "-o", path("out"), "-r", path("red")};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    cv_run_result r = cv_run(argv);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(dir.read("out"), c.output);
    EXPECT_EQ(dir.read("red"), c.redundant);
    EXPECT_TRUE(leftovers().empty());
  }
}

// The shortcuts of both passes skip only lookups that cannot change a line's outcome: the
// table gives the same results without them.
TEST_F(ListReduce, ShortcutsChangeNothing) {
  setenv("CVLISTREDUCE_NO_SHORTCUTS", "1", 1);
  for (const reduce_case& c : reduce_cases) {
    SCOPED_TRACE(c.name);
    std::string list = dir.write("in.list", c.list);
    std::vector<std::string> argv{"cvlistreduce", "-i", list, "-o", path("out"), "-r", path("red")};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    cv_run_result r = cv_run(argv);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.read("out"), c.output);
    EXPECT_EQ(dir.read("red"), c.redundant);
  }
  unsetenv("CVLISTREDUCE_NO_SHORTCUTS");
}

TEST_F(ListReduce, DestinationsAndProgress) {
  std::string list = dir.write("in.list", "a.test U C 5\nwww.a.test U C 5\nb.test/ U C 6\n");
  // Output on standard output, redundant lines dropped.
  cv_run_result r = cv_run({"cvlistreduce", "-i", list});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "a.test U C 5\nb.test U C 6\n");
  EXPECT_EQ(r.err, "");
  // -V: redundant lines on standard error.
  r = cv_run({"cvlistreduce", "-V", "-i", list});
  EXPECT_EQ(r.out, "a.test U C 5\nb.test U C 6\n");
  EXPECT_EQ(r.err, "www.a.test U C 5\n");
  // -V with -r: the file takes them.
  r = cv_run({"cvlistreduce", "-V", "-i", list, "-r", path("red")});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(dir.read("red"), "www.a.test U C 5\n");
  // Progress on both passes, on multiples of the increment, without newlines.
  r = cv_run({"cvlistreduce", "-p", "2", "-i", list, "-o", path("out")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "...1st processing line number..2 ...processing line number..2 ");
  r = cv_run({"cvlistreduce", "-p", "1", "-i", list});
  EXPECT_EQ(r.out,
            "...1st processing line number..1 ...1st processing line number..2 "
            "...1st processing line number..3 ...processing line number..1 a.test U C 5\n"
            "...processing line number..2 ...processing line number..3 b.test U C 6\n");
  // "-o -" is standard output too.
  r = cv_run({"cvlistreduce", "-i", list, "-o", "-"});
  EXPECT_EQ(r.out, "a.test U C 5\nb.test U C 6\n");
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(ListReduce, OptionsAndFailures) {
  std::string list = dir.write("in.list", "a.test U C 5\n");
  cv_run_result r = cv_run({"cvlistreduce", "-h", "-i", list});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, usage_text);
  r = cv_run({"cvlistreduce", "-v"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex("Corvane List Reduce 6\\.3\\.3 Build: [A-Z][a-z]{2} [ 0-9]\\d \\d{4} "
                        "\\d\\d:\\d\\d:\\d\\d\n")))
      << r.out;
  for (const char* bad : {"0", "-3", "x", "5x", "", "99999999999999999999"}) {
    SCOPED_TRACE(bad);
    r = cv_run({"cvlistreduce", "-p", bad, "-i", list});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("Invalid progress increment ") + bad + "\n");
    EXPECT_EQ(r.out, usage_text);
  }
  // An unknown letter is ignored after getopt's complaint.
  r = cv_run({"cvlistreduce", "-x", "-i", list});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "a.test U C 5\n");
  EXPECT_NE(r.err.find("invalid option -- 'x'"), std::string::npos);
  // No input: the first pass has no file.
  r = cv_run({"cvlistreduce"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error loading file (null)\n");
  // A missing input: the sort fails, then the load.
  r = cv_run({"cvlistreduce", "-i", path("missing.list")});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("Fail to open input file: No such file or directory\nError loading file " +
                        dir.path() + "/missing\\.list_reduce_\\d+_\\d+\\.dat\n")))
      << r.err;
  // A directory as input cannot be read.
  r = cv_run({"cvlistreduce", "-i", dir.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Is a directory"), std::string::npos) << r.err;
  // The output cannot be created: status 255, no output, the copy removed.
  r = cv_run({"cvlistreduce", "-i", list, "-o", path("no/such/dir/out")});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Fail to open output file: No such file or directory\n");
  r = cv_run({"cvlistreduce", "-i", list, "-r", path("no/such/dir/red")});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Fail to open redundant file: No such file or directory\n");
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(ListReduce, OutputsAreCheckedAndNeverHalfWritten) {
  std::string list = dir.write("in.list", "a.test U C 5\nwww.a.test U C 5\n");
  // The input as output or as redundant file is refused before anything is written.
  cv_run_result r = cv_run({"cvlistreduce", "-i", list, "-o", list});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error output file " + list + " is the same file as the input " + list +
                       ". Nothing written.\n");
  r = cv_run({"cvlistreduce", "-i", list, "-r", list});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error redundant file " + list + " is the same file as the input " + list +
                       ". Nothing written.\n");
  EXPECT_EQ(dir.read("in.list"), "a.test U C 5\nwww.a.test U C 5\n");
  r = cv_run({"cvlistreduce", "-i", list, "-o", path("same"), "-r", path("same")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error redundant file " + path("same") + " is the same file as the output " +
                       path("same") + ". Nothing written.\n");
  // A failed write: reported with the name and the system error, status 1, and neither file
  // replaced by a partial one.
  dir.write("red", "old\n");
  r = cv_run({"cvlistreduce", "-i", list, "-o", "/dev/full", "-r", path("red")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Failed to write /dev/full: No space left on device\n");
  EXPECT_EQ(dir.read("red"), "old\n");
  dir.write("out", "old\n");
  r = cv_run({"cvlistreduce", "-i", list, "-o", path("out"), "-r", "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Failed to write /dev/full: No space left on device\n");
  EXPECT_EQ(dir.read("out"), "old\n");
  // A device output is written directly.
  r = cv_run({"cvlistreduce", "-i", list, "-o", "/dev/null", "-r", "/dev/null"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(leftovers().empty());
}

// The sorted copy goes to $TMPDIR when it is absolute, else /tmp; a planted symbolic link
// under its name is never followed.
TEST_F(ListReduce, SortedCopyPlace) {
  std::string list = dir.write("in.list", "a.test U C 5\n");
  setenv("TMPDIR", "relative/dir", 1);
  cv_run_result r = cv_run({"cvlistreduce", "-i", list, "-o", path("out")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir.read("out"), "a.test U C 5\n");
  setenv("TMPDIR", (dir.path() + "/missing").c_str(), 1);
  r = cv_run({"cvlistreduce", "-i", list});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("Fail to open output file: No such file or directory\nError loading file " +
                        dir.path() + "/missing/in\\.list_reduce_\\d+_\\d+\\.dat\n")))
      << r.err;
}

// A copy name too long to be tracked for removal on a signal is refused before it exists.
TEST_F(ListReduce, SortedCopyNameTooLong) {
  std::string list = dir.write("in.list", "a.test U C 5\n");
  setenv("TMPDIR", ("/" + std::string(4100, 'd')).c_str(), 1);
  cv_run_result r = cv_run({"cvlistreduce", "-i", list});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error sorting input file " + list + "\n");
  EXPECT_EQ(r.out, "");
}

// A signal while the input is still being read: the sorted copy, already created, goes too.
TEST_F(ListReduce, SortedCopyRemovedOnSignal) {
  std::string fifo = path("in.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string prog = cv_bin("cvlistreduce");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execl(prog.c_str(), "cvlistreduce", "-i", fifo.c_str(), "-o", path("out").c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int w = open(fifo.c_str(), O_WRONLY);  // blocks until the tool opens its input
  ASSERT_GE(w, 0);
  ASSERT_EQ(write(w, "a.test U C 5\n", 13), 13);
  bool seen = false;
  for (int i = 0; i < 500 && !seen; ++i) {
    seen = !leftovers().empty();
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(seen) << "the sorted copy never appeared in $TMPDIR";
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  close(w);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_TRUE(leftovers().empty());
  EXPECT_EQ(dir.read("out"), "");
}

}  // namespace
