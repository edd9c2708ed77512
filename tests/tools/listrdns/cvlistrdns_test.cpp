// End-to-end tests: the built cvlistrdns run as a process against a dnsmasq started by the
// test, both inside a network namespace that holds only loopback. Tests skip (with the
// reason) where namespaces are unavailable.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "dns_sandbox.h"
#include "support/run_process.h"
#include "urllist/hashing.h"

namespace {

const char* const usage_text =
    "usage: cvlistrdns options\n"
    "\t-h\t\tDisplay this help.\n"
    "\t-a\t\tResolve all URL hostname including http://... URLs\n"
    "\t-m\t\tThe max hosts per IP cache limit. Default: 10 hosts. Extra hosts are discarded and "
    "can be saved in -x filename\n"
    "\t-k\t\tThe time to keep IP addresses after TTL expiration (IP remove delay) in seconds. "
    "Default: 1 week.\n"
    "\t-r\t\tThe number of repeat attempts for temporary unresolved hosts. Default: 10 times\n"
    "\t-s\t\tThe sending rate (requests per second). Default: 10,000 requests.\n"
    "\t-t\t\tThe record minimal 'time to live' in seconds. Default: 86400 (1 day).\n"
    "\t-x\t\tOutput hashed host names.\n"
    "\t-i filename\tThe file to resolve. If absent or is \"-\" input is stdin.\n"
    "\t-o filename\tThe output file. If absent or is \"-\" output is stdout.\n"
    "\t-c filename\tThe saved cache file (input and output).\n"
    "\t-u filename\tThe file for unresolved host names. \"-\" for stdout.\n"
    "\t-d filename\tThe file for host names discarded because of cache limit. \"-\" for "
    "stdout.\n"
    "\t-v\t\tDisplay the version of this tool.\n"
    "\t-V\t\tVerbose.\n";

std::string summary(int read, int unique, int resolved, int unresolved, int discarded) {
  std::ostringstream s;
  s << "Read host names: " << read << "; Unique hosts: " << unique
    << "; Resolved hosts: " << resolved << "; Unresolved hosts " << unresolved
    << "; Discarded hosts: " << discarded << "\n";
  return s.str();
}

// The records every DNS test serves. "test" is a local domain: unknown names in it are
// NXDOMAIN and missing address families NODATA; names outside it are REFUSED (no upstream).
std::vector<std::string> base_records() {
  std::vector<std::string> r = {
      "--local=/test/",
      "--local-ttl=3600",
      "--host-record=v4.test,10.0.0.1",
      "--host-record=v6.test,2001:db8::6",
      "--host-record=both.test,10.0.0.2,2001:db8::2",
      "--host-record=www.shared.test,10.0.0.9",
      "--host-record=mail.shared.test,10.0.0.9",
      "--host-record=ftp.shared.test,10.0.0.9",
      "--host-record=a.b.c.test,10.0.0.3",
      "--cname=alias.test,both.test",
  };
  // chain10.test needs 10 CNAME steps to reach v4.test, chain11.test 11.
  for (int i = 0; i < 10; ++i) {
    std::string from = "h" + std::to_string(i) + ".test";
    std::string to = i == 9 ? "v4.test" : "h" + std::to_string(i + 1) + ".test";
    r.push_back("--cname=" + from + "," + to);
  }
  r.push_back("--cname=chain10.test,h1.test");
  r.push_back("--cname=chain11.test,h0.test");
  return r;
}

class CvlistrdnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string reason;
    if (!dns_sandbox_enter(&reason)) GTEST_SKIP() << "no private network namespace: " << reason;
    if (dns_server_program().empty()) GTEST_SKIP() << "dnsmasq is not installed";
    use_server("127.0.0.1");
    // A fatal failure here skips the test body: no test runs against a missing server.
    std::string error;
    ASSERT_TRUE(server_.start(base_records(), path("dns.log"), &error)) << error;
  }
  // adns reads the system's resolver configuration first; clearnameservers drops it.
  static void use_server(const std::string& address) {
    std::string conf = "clearnameservers\nnameserver " + address;
    setenv("ADNS_RES_CONF_TEXT", conf.c_str(), 1);
  }

  cv_run_result run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), cv_bin("cvlistrdns"));
    return cv_run(args, input, dir_.path());
  }
  std::string path(const std::string& name) const { return dir_.path() + "/" + name; }
  // Counts of queries are read after the server stopped: it writes its log asynchronously.
  int queries(const std::string& type, const std::string& name) {
    server_.stop();
    return server_.queries(type, name);
  }

  cv_tempdir dir_;
  dns_server server_;
};

// Splits the output into lines and checks each "address name T" against the expected
// address and name with T in [lo, hi].
void expect_lines(const std::string& out, const std::vector<std::string>& expected, long lo,
                  long hi, const std::string& suffix = "") {
  std::istringstream in(out);
  std::string line;
  std::vector<std::string> got;
  while (std::getline(in, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, std::regex("(\\S+ \\S+) (\\d+)" + suffix))) << line;
    long t = std::stol(m[2].str());
    EXPECT_GE(t, lo) << line;
    EXPECT_LE(t, hi) << line;
    got.push_back(m[1].str());
  }
  // The order of addresses follows the order answers arrived in.
  std::vector<std::string> want = expected;
  std::sort(got.begin(), got.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(got, want) << out;
}

TEST(CvlistrdnsOptions, HelpVersionAndRefusedValues) {
  auto r = cv_run({cv_bin("cvlistrdns"), "-h"});
  EXPECT_EQ(r.out, usage_text);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  r = cv_run({cv_bin("cvlistrdns"), "-v"});
  EXPECT_TRUE(std::regex_match(
      r.out, std::regex("Corvane List RDNS 6\\.3\\.3 Build: [A-Z][a-z]{2} [ 0-9]\\d \\d{4} "
                        "\\d\\d:\\d\\d:\\d\\d\n")))
      << r.out;
  EXPECT_EQ(r.status, 0);

  // Negative, partly numeric and zero-rate values are refused before anything is sent.
  struct refused {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-m", "-1"}, "Invalid value '-1' for option -m\n"},
      {{"-k", "-5"}, "Invalid value '-5' for option -k\n"},
      {{"-r", "-1"}, "Invalid value '-1' for option -r\n"},
      {{"-s", "-10"}, "Invalid value '-10' for option -s\n"},
      {{"-t", "-86400"}, "Invalid value '-86400' for option -t\n"},
      {{"-s", "0"}, "Invalid value '0' for option -s\n"},
      {{"-m", "10x"}, "Invalid value '10x' for option -m\n"},
      {{"-m", "4294967296"}, "Invalid value '4294967296' for option -m\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {cv_bin("cvlistrdns")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    r = cv_run(argv, "v4.test\n");
    EXPECT_EQ(r.err, c.message) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(r.out, usage_text);
    EXPECT_EQ(r.status, 1);
  }
}

TEST_F(CvlistrdnsTest, ExtraFilesAreIgnoredAndNothingIsSentForFilteredLines) {
  // Every line is one the tool passes over: nothing is read, nothing asked.
  const char* input =
      "# comment\n"
      "\n"
      "10.1.2.3\n"
      "10.0.0.1-10.0.0.9\n"
      "[2001:db8::1]\n"
      "*.wild.test\n"
      "http://v4.test/path\n"
      "v4.test 23\n"
      "v4.test Uh C 1\n";
  auto r = run({"-o", "out1", "-o", "out2", "-c", "c1", "-c", "c2", "-u", "u1", "-u", "u2", "-d",
                "d1", "-d", "d2"},
               input);
  EXPECT_EQ(r.err,
            "Ignore extra output file out2\n"
            "Ignore extra cache file c2\n"
            "Ignore extra unresolved hosts file u2\n"
            "Ignore extra discarded hosts file d2\n"
            "rdns_import_file: failed to open file 'c1': No such file or directory\n\n" +
                summary(0, 0, 0, 0, 0));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dir_.read("out1"), "");
  EXPECT_EQ(dir_.read("c1"), "");
  struct stat st;
  EXPECT_EQ(stat(path("out1").c_str(), &st), 0);
  EXPECT_NE(stat(path("out2").c_str(), &st), 0);
  EXPECT_EQ(queries("A", "v4.test"), 0);
}

TEST_F(CvlistrdnsTest, ResolvesAddressesCnamesAndReportsTheUnresolved) {
  long before = static_cast<long>(time(nullptr));
  const char* input =
      "v4.test\n"
      "https://V6.test:8443/a/b?q=1 1,2\n"      // scheme URL with categories, lower-cased
      "ftp://both.test/x 7 extra\n"            // three fields, second a digit
      "alias.test U C 1\n"                     // list entry with a type word
      "both.test\n"                            // read twice, sent once
      "http://a.b.c.test/\n"                   // http:// without -a: passed over
      "missing.test\n"                         // NXDOMAIN
      "chain10.test\n"                         // 10 CNAME steps: resolved
      "chain11.test\n"                         // 11 steps: unresolved
      "outside.example\n";                     // REFUSED: retried, then unresolved
  auto r = run({"-r", "2", "-t", "1000", "-u", "unresolved"}, input);
  long after = static_cast<long>(time(nullptr));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, summary(9, 8, 5, 3, 0));
  // T = the answer's expiry (TTL 3600) for names with both families; now + 1000 (-t) for the
  // others, whose missing family comes back as a negative answer without a TTL.
  expect_lines(r.out,
               {"10.0.0.1 v4.test", "10.0.0.1 chain10.test", "2001:db8::6 v6.test",
                "10.0.0.2 both.test", "10.0.0.2 alias.test", "2001:db8::2 both.test",
                "2001:db8::2 alias.test"},
               before + 1000, after + 3600);
  EXPECT_EQ(dir_.read("unresolved"), "chain11.test\nmissing.test\noutside.example\n");
  // -r 2: the first query and two repeats.
  EXPECT_EQ(queries("A", "outside.example"), 3);
  EXPECT_EQ(server_.queries("A", "v4.test"), 2);  // once itself, once at chain10's end
  EXPECT_EQ(server_.queries("A", "a.b.c.test"), 0);
  EXPECT_EQ(server_.queries("A", "missing.test"), 1);
  EXPECT_EQ(server_.queries("A", "both.test"), 2);  // once itself, once at alias.test's end
}

TEST_F(CvlistrdnsTest, AllOptionTakesHttpUrlsAndMinimalTtlRaisesTheTime) {
  long before = static_cast<long>(time(nullptr));
  auto r = run({"-a", "-t", "100000", "-V"}, "http://A.B.C.test/index.html\n");
  long after = static_cast<long>(time(nullptr));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err,
            "The input file is loaded. Start DNS resolving.\n"
            "1 unique hosts from 1 host names\n"
            "Host names are resolved. Output RDNS cache\n" +
                summary(1, 1, 1, 0, 0));
  expect_lines(r.out, {"10.0.0.3 a.b.c.test"}, before + 100000, after + 100000);

  // A line is read whole however long: the tail of a long path never becomes a host of its
  // own.
  std::string long_line = "https://v6.test/" + std::string(9000, 'p') + "/x?y 1\n";
  r = run({}, long_line + "v4.test U C " + std::string(9000, '1') + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, summary(2, 2, 2, 0, 0));
  EXPECT_EQ(queries("A", std::string(9000, 'p') + "/x"), 0);
}

TEST_F(CvlistrdnsTest, HashedOutputHashesEachLabel) {
  auto r = run({"-x", "-o", "hashed"}, "a.b.c.test\nv6.test\n");
  EXPECT_EQ(r.status, 0);
  std::string h = urllist_hash2str(urllist_hash("a")) + "." + urllist_hash2str(urllist_hash("b")) +
                  "." + urllist_hash2str(urllist_hash("c")) + "." +
                  urllist_hash2str(urllist_hash("test"));
  std::string h6 = urllist_hash2str(urllist_hash("v6")) + "." +
                   urllist_hash2str(urllist_hash("test"));
  long now = static_cast<long>(time(nullptr));
  expect_lines(dir_.read("hashed"), {"10.0.0.3 " + h, "2001:db8::6 " + h6}, now + 86400 - 30,
               now + 86400, " H");

  // An empty label ends the hashed name; a name from the cache is hashed like any other.
  dir_.write("cache", "10.9.9.9 x..y.test 9999999999\n10.9.9.8 single 9999999999\n");
  r = run({"-x", "-c", "cache"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "10.9.9.9 " + urllist_hash2str(urllist_hash("x")) + " 9999999999 H\n" +
                       "10.9.9.8 " + urllist_hash2str(urllist_hash("single")) +
                       " 9999999999 H\n");
  // The cache keeps the names as they are.
  EXPECT_EQ(dir_.read("cache"), "10.9.9.9 x..y.test 9999999999\n10.9.9.8 single 9999999999\n");
}

TEST_F(CvlistrdnsTest, PerAddressLimitDiscardsAndTheCacheKeepsThem) {
  long before = static_cast<long>(time(nullptr));
  auto r = run({"-m", "1", "-d", "discarded", "-c", "cache", "-o", "out"},
               "www.shared.test\nmail.shared.test\nftp.shared.test\n");
  long after = static_cast<long>(time(nullptr));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.substr(r.err.find("Read")), summary(3, 3, 1, 0, 2));
  // Which of the three names comes first depends on answer order; exactly one is kept.
  std::string out = dir_.read("out");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m, std::regex("10\\.0\\.0\\.9 (\\w+)\\.shared\\.test \\d+\n")))
      << out;
  std::string kept = m[1].str() + ".shared.test";
  std::vector<std::string> dropped;
  for (const char* n : {"ftp.shared.test", "mail.shared.test", "www.shared.test"}) {
    if (n != kept) dropped.push_back(n);
  }
  EXPECT_EQ(dir_.read("discarded"), dropped[0] + "\n" + dropped[1] + "\n");
  // The cache file: the kept name with its answer's expiry, the others as no-IP hosts until
  // now + 86400.
  std::string cache = dir_.read("cache");
  std::istringstream in(cache);
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(in, line)) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << cache;
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("10\\.0\\.0\\.9 " + kept + " \\d+")));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(std::regex_match(lines[i + 1], m, std::regex("0\\.0\\.0\\.0 (\\S+) (\\d+)")))
        << lines[i + 1];
    EXPECT_EQ(m[1].str(), dropped[i]);
    EXPECT_GE(std::stol(m[2].str()), before + 86400);
    EXPECT_LE(std::stol(m[2].str()), after + 86400);
  }

  // Unlimited (-m 0): all three on one address.
  r = run({"-m", "0"}, "www.shared.test\nmail.shared.test\nftp.shared.test\n");
  EXPECT_EQ(r.err, summary(3, 3, 3, 0, 0));
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);
}

TEST_F(CvlistrdnsTest, CacheRoundTripAndExpiry) {
  long now = static_cast<long>(time(nullptr));
  // A name cached as fresh is not asked; a stale one (expired, still within the remove delay)
  // is asked again; one past expiry + remove delay is dropped on import.
  dir_.write("cache", "10.9.9.9 fresh.test " + std::to_string(now + 5000) +
                          "\n"
                          "10.9.9.8 stale.test " +
                          std::to_string(now - 50) +
                          "\n"
                          "10.9.9.7 gone.test " +
                          std::to_string(now - 500) +
                          "\n"
                          "0.0.0.0 noip.test " +
                          std::to_string(now + 5000) + "\n");
  auto r = run({"-k", "100", "-t", "0", "-c", "cache"},
               "fresh.test\nstale.test\nnoip.test\nboth.test\n");
  EXPECT_EQ(r.status, 0);
  // stale.test is not served by the DNS server: it ends unresolved but keeps its old line.
  EXPECT_EQ(r.err, summary(4, 2, 1, 1, 0));
  std::string cache = dir_.read("cache");
  EXPECT_NE(cache.find("10.9.9.9 fresh.test " + std::to_string(now + 5000) + "\n"),
            std::string::npos)
      << cache;
  EXPECT_NE(cache.find("10.9.9.8 stale.test"), std::string::npos) << cache;
  EXPECT_EQ(cache.find("gone.test"), std::string::npos) << cache;
  EXPECT_NE(cache.find("10.0.0.2 both.test "), std::string::npos) << cache;
  EXPECT_NE(cache.find("2001:db8::2 both.test "), std::string::npos) << cache;
  EXPECT_NE(cache.find("0.0.0.0 noip.test " + std::to_string(now + 5000) + "\n"),
            std::string::npos)
      << cache;
  EXPECT_NE(r.out.find("10.9.9.9 fresh.test "), std::string::npos) << r.out;

  // Second run: everything fresh comes from the cache; nothing is sent for it.
  r = run({"-k", "100", "-c", "cache", "-o", "out2"}, "fresh.test\nboth.test\n");
  EXPECT_EQ(r.err, summary(2, 0, 0, 0, 0));
  std::string out2 = dir_.read("out2");
  EXPECT_NE(out2.find("10.0.0.2 both.test "), std::string::npos) << out2;
  EXPECT_NE(out2.find("10.9.9.9 fresh.test "), std::string::npos) << out2;
  EXPECT_EQ(queries("A", "both.test"), 1);
  EXPECT_EQ(server_.queries("A", "fresh.test"), 0);
  EXPECT_EQ(server_.queries("A", "noip.test"), 0);
  EXPECT_EQ(server_.queries("A", "stale.test"), 1);
}

TEST_F(CvlistrdnsTest, ServerThatNeverAnswersLeavesNamesUnresolved) {
  // Nothing listens on 127.0.0.2: every query times out (adns gives up after 30 s).
  use_server("127.0.0.2");
  auto r = run({"-r", "0", "-u", "-", "-c", "cache"}, "v4.test\nv6.test\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "v4.test\nv6.test\n");
  EXPECT_NE(r.err.find(summary(2, 2, 0, 2, 0)), std::string::npos) << r.err;
  EXPECT_EQ(dir_.read("cache"), "");
}

TEST_F(CvlistrdnsTest, BadNamesFailedFilesAndInputs) {
  std::string long_label(64, 'x');
  // A label over 63 bytes is refused by the resolver without a query.
  auto r = run({"-u", "-"}, long_label + ".test\n");
  EXPECT_EQ(r.out, long_label + ".test\n");
  EXPECT_NE(r.err.find("Can't resolve '" + long_label + ".test': "), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 0);

  // An output that cannot be opened: reported, the cache still written, status 1.
  r = run({"-o", "no/such/dir/out", "-c", "cache"}, "v4.test\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Can't open output file: No such file or directory\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(summary(1, 1, 1, 0, 0)), std::string::npos);
  EXPECT_NE(dir_.read("cache").find("10.0.0.1 v4.test "), std::string::npos);

  // Unresolved and discarded files that cannot be opened; a cache that cannot be written.
  r = run({"-u", "no/dir/u", "-d", "no/dir/d", "-c", "no/dir/cache"}, "missing.test\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Can't open file for unresolved hosts: No such file or directory\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Can't open file for discarded hosts: No such file or directory\n"),
            std::string::npos);
  EXPECT_NE(r.err.find("rdns_dump_file: failed to open file 'no/dir/cache'"), std::string::npos);

  // An input that cannot be opened ends the reading; what was read is still resolved and
  // written, then the status is 1.
  dir_.write("in1", "v4.test\n");
  r = run({"-i", "in1", "-i", "missing-input", "-i", "in1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Can't open input file: No such file or directory\n" + summary(1, 1, 1, 0, 0));
  EXPECT_NE(r.out.find("10.0.0.1 v4.test "), std::string::npos);

  // A failed write of the output is reported and ends with status 1.
  r = run({"-o", "/dev/full"}, "v4.test\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Failed to write /dev/full: No space left on device\n" + summary(1, 1, 1, 0, 0));
}

}  // namespace
