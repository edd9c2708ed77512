#include "urllist/lookup.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "urllist/listfile.h"
#include "urllist/urllist.h"
#include "urllist/urllist_impl.h"
#include "util/category_set.h"
#include "util/cvlog.h"
#include "util/rwl.h"

namespace {

// Loads `text` as a type 0 list.
urllist_ptr load(const std::string& text, uint32_t flags = 0) {
  auto l = urllist_initialize(flags);
  std::string pending;
  EXPECT_EQ(urllist_add_buffer(l.get(), text, &pending, 0), 0);
  return l;
}

// "action text|diagnostic text", or "none".
std::string look(urllist* l, const char* u) {
  auto url = urllist_explode_charset(u, nullptr, 0, 0, nullptr);
  if (!url) return "explode-failed";
  urllist_action* a = nullptr;
  std::string diag;
  if (urllist_lookup_diag(l, url.get(), &a, &diag) != 0) return "none";
  char buf[256];
  urllist_action_dump_action(a, buf, sizeof(buf));
  // The plain lookup must agree with the diagnostic one.
  auto url2 = urllist_explode_charset(u, nullptr, 0, 0, nullptr);
  urllist_action* b = nullptr;
  EXPECT_EQ(urllist_lookup_data(l, url2.get(), &b), 0) << u;
  EXPECT_EQ(a, b) << u;
  return std::string(buf) + "|" + diag;
}

TEST(Lookup, HostEntriesMatchSubdomainsMostSpecificWins) {
  auto l = load("h.test U C 1\nw.h.test U C 2\n");
  EXPECT_EQ(look(l.get(), "http://w.h.test/x"), "C 2|w.h.test");
  EXPECT_EQ(look(l.get(), "http://v.h.test/"), "C 1|h.test");
  EXPECT_EQ(look(l.get(), "http://h.test"), "C 1|h.test");
  EXPECT_EQ(look(l.get(), "http://a.w.h.test/"), "C 2|w.h.test");
  EXPECT_EQ(look(l.get(), "http://xh.test/"), "none");
}

TEST(Lookup, PathEntriesMatchExactHostAndSegmentPrefix) {
  auto l = load("h.test/a U C 1\n");
  EXPECT_EQ(look(l.get(), "http://h.test/a/b"), "C 1|h.test/a");
  EXPECT_EQ(look(l.get(), "http://h.test/a"), "C 1|h.test/a");
  EXPECT_EQ(look(l.get(), "https://h.test:8443/a"), "C 1|h.test/a");
  EXPECT_EQ(look(l.get(), "http://h.test/ab"), "none");
  EXPECT_EQ(look(l.get(), "http://w.h.test/a"), "none");
  EXPECT_EQ(look(l.get(), "http://h.test/"), "none");
}

TEST(Lookup, SchemeEntriesMatchOnlyTheirScheme) {
  auto l = load("http://h.test/a 1\n");
  EXPECT_EQ(look(l.get(), "http://h.test/a/b"), "C 1|http://h.test/a");
  EXPECT_EQ(look(l.get(), "https://h.test/a"), "none");
  auto both = load("h.test/a U C 2\n");
  EXPECT_EQ(look(both.get(), "https://h.test/a"), "C 2|h.test/a");
  EXPECT_EQ(look(both.get(), "http://h.test/a"), "C 2|h.test/a");
}

TEST(Lookup, PortsAndPortRanges) {
  auto l = load("http://h.test:8000-8080/x U C 1\nhttp://h.test:81/ U C 2\n");
  EXPECT_EQ(look(l.get(), "http://h.test:8000/x"), "C 1|http://h.test:8000-8080/x");
  EXPECT_EQ(look(l.get(), "http://h.test:8080/x/y"), "C 1|http://h.test:8000-8080/x");
  EXPECT_EQ(look(l.get(), "http://h.test:8081/x"), "none");
  EXPECT_EQ(look(l.get(), "http://h.test:7999/x"), "none");
  EXPECT_EQ(look(l.get(), "http://h.test:81/q"), "C 2|http://h.test:81");
  EXPECT_EQ(look(l.get(), "http://h.test/x"), "none");
}

TEST(Lookup, OverlappingPortRangesAreSearchedByLowBound) {
  // Load order decides the tree: the wide range as root reaches 8600 ...
  auto a = load("http://h.test:8000-9000/ U C 1\nhttp://h.test:8500/ U C 2\n");
  EXPECT_EQ(look(a.get(), "http://h.test:8600/"), "C 1|http://h.test:8000-9000");
  EXPECT_EQ(look(a.get(), "http://h.test:8500/"), "C 1|http://h.test:8000-9000");
  // ... while with 8500 as root the search for 8600 goes right and misses the wide range,
  // as the filtering service does.
  auto b = load("http://h.test:8500/ U C 2\nhttp://h.test:8000-9000/ U C 1\n");
  EXPECT_EQ(look(b.get(), "http://h.test:8600/"), "none");
  EXPECT_EQ(look(b.get(), "http://h.test:8500/"), "C 2|http://h.test:8500");
  EXPECT_EQ(look(b.get(), "http://h.test:8100/"), "C 1|http://h.test:8000-9000");
}

TEST(Lookup, WildcardLabelMatchesExactlyOneLabel) {
  auto l = load("*.h.test U C 1\n");
  EXPECT_EQ(look(l.get(), "http://w.h.test"), "C 1|*.h.test");
  EXPECT_EQ(look(l.get(), "http://h.test"), "none");
  EXPECT_EQ(look(l.get(), "http://a.w.h.test/p"), "C 1|*.h.test");
}

TEST(Lookup, CaseInsensitivePathEntries) {
  auto l = load("h.test/Dir Uc C 1\n");
  EXPECT_EQ(look(l.get(), "http://h.test/DIR"), "C 1|h.test/dir");
  EXPECT_EQ(look(l.get(), "http://h.test/dir/x"), "C 1|h.test/dir");
  auto s = load("h.test/Dir U C 1\n");
  EXPECT_EQ(look(s.get(), "http://h.test/Dir"), "C 1|h.test/Dir");
  EXPECT_EQ(look(s.get(), "http://h.test/dir"), "none");
  EXPECT_EQ(look(s.get(), "http://h.test/DIR"), "none");
}

TEST(Lookup, CaseInsensitiveChildIsTriedBeforeWildcard) {
  // Both a "*" segment and a case-insensitive segment stand below the port node; the
  // case-insensitive one was remembered last and is taken first.
  auto l = load("h.test/*/z U C 1\nh.test/A/z Uc C 2\n");
  EXPECT_EQ(look(l.get(), "http://h.test/a/z"), "C 2|h.test/a/z");
  EXPECT_EQ(look(l.get(), "http://h.test/b/z"), "C 1|h.test/*/z");
}

TEST(Lookup, DeeperEntryReplacesAndShallowStaysAsFallback) {
  auto l = load("h.test U C 1\nh.test/a/b U C 2\n");
  EXPECT_EQ(look(l.get(), "http://h.test/a/b/c"), "C 2|h.test/a/b");
  EXPECT_EQ(look(l.get(), "http://h.test/a/c"), "C 1|h.test");
}

TEST(Lookup, IpEntriesAndDefaultIpList) {
  auto l = load(
      "http://10.1.2.3 U C 1\n"
      "10.0.0.0-10.0.0.255 U C 2\n"
      "http://192.0.2.0-192.0.2.127/x U C 3\n");
  EXPECT_EQ(look(l.get(), "http://10.1.2.3/a"), "C 1|http://10.1.2.3");
  EXPECT_EQ(look(l.get(), "http://10.0.0.77/"), "C 2|10.0.0.0-10.0.0.255");
  EXPECT_EQ(look(l.get(), "ftp://10.0.0.1/"), "C 2|10.0.0.0-10.0.0.255");
  EXPECT_EQ(look(l.get(), "http://192.0.2.5/x/y"), "C 3|http://192.0.2.0-192.0.2.127/x");
  EXPECT_EQ(look(l.get(), "http://192.0.2.200/x"), "none");
  EXPECT_EQ(look(l.get(), "http://10.1.2.4/"), "none");
}

TEST(Lookup, AllAddressEntries) {
  auto l = load("0.0.0.0 U C 7\n");
  EXPECT_EQ(look(l.get(), "http://203.0.113.9/"), "C 7|0.0.0.0-255.255.255.255");
  EXPECT_EQ(look(l.get(), "http://[2001:db8::1]/"), "none");
  EXPECT_EQ(look(l.get(), "http://h.test/"), "none");
  auto v6 = load("http://[::] U C 8\n");
  EXPECT_EQ(look(v6.get(), "http://[2001:db8::1]/p").substr(0, 4), "C 8|");
  EXPECT_EQ(look(v6.get(), "http://203.0.113.9/"), "none");
}

TEST(Lookup, IpEntryWithPathInheritsCoveringEntry) {
  auto l = load("10.0.0.0-10.0.0.255 U C 1\n10.0.0.5/a U C 2\n");
  EXPECT_EQ(look(l.get(), "http://10.0.0.5/a"), "C 2|10.0.0.5/a");
  // The new host node carries the range's action, so the range still answers here.
  EXPECT_EQ(look(l.get(), "http://10.0.0.5/b"), "C 1|10.0.0.5");
  EXPECT_EQ(look(l.get(), "http://10.0.0.6/a"), "C 1|10.0.0.0-10.0.0.255");
}

TEST(Lookup, RangeKeepsMoreSpecificEntriesWhateverTheOrder) {
  auto a = load("10.0.0.5 U C 2\n10.0.0.0-10.0.0.255 U C 1\n");
  EXPECT_EQ(look(a.get(), "http://10.0.0.5/"), "C 2|10.0.0.5");
  EXPECT_EQ(look(a.get(), "http://10.0.0.9/"), "C 1|10.0.0.0-10.0.0.255");
  // The more specific entry has no action of its own: it takes the range's parts.
  auto b = load("10.0.0.5/a U C 2\n10.0.0.0-10.0.0.255 U C 1\n");
  EXPECT_EQ(look(b.get(), "http://10.0.0.5/b"), "C 1|10.0.0.5");
  EXPECT_EQ(look(b.get(), "http://10.0.0.5/a"), "C 2|10.0.0.5/a");
  auto c = load("10.0.0.0-10.0.0.255 U C 1\n10.0.0.5/a U C 2\n");
  EXPECT_EQ(look(c.get(), "http://10.0.0.5/b"), "C 1|10.0.0.5");
}

TEST(Lookup, Ipv6RangesAndAddresses) {
  auto l = load("[2001:db8::1-2001:db8::ff] U C 1\nhttp://[2001:db8::5]/x U C 2\n");
  EXPECT_EQ(look(l.get(), "http://[2001:db8::10]/"), "C 1|[2001:db8::1-2001:db8::ff]");
  EXPECT_EQ(look(l.get(), "http://[2001:db8::5]/x/y"), "C 2|http://[2001:db8::5]/x");
  EXPECT_EQ(look(l.get(), "http://[2001:db8::5]/z"), "C 1|[2001:db8::1-2001:db8::ff]");
  EXPECT_EQ(look(l.get(), "http://[2001:db8::100]/"), "none");
}

TEST(Lookup, SharedListAddsReleaseTheLockOnEveryPath) {
  auto l = urllist_initialize(URLLIST_FLAG_SHARED);
  testing::internal::CaptureStderr();
  EXPECT_EQ(urllist_add(l.get(), "h.test", "U", "Z", nullptr, -1), -9);
  EXPECT_EQ(urllist_add(l.get(), "h.test", "X", "D", nullptr, -1), -6);
  EXPECT_EQ(urllist_add_category_string(l.get(), "h.test", "bad"), -2);
  testing::internal::GetCapturedStderr();
  // Each of these would wait forever on a lock left taken.
  EXPECT_EQ(urllist_add(l.get(), "h.test", "U", "C", "1", -1), 0);
  EXPECT_EQ(look(l.get(), "http://h.test/"), "C 1|h.test");
  EXPECT_EQ(rwl_writetrylock(l->lock.get()), 0);
  EXPECT_EQ(rwl_writeunlock(l->lock.get()), 0);
}

TEST(Lookup, DefaultActionAndNoDefaultFlag) {
  auto l = load("x N D\nh.test U C 1\n");
  EXPECT_EQ(look(l.get(), "http://other.test/"), "D|*");
  EXPECT_EQ(look(l.get(), "http://h.test/"), "C 1|h.test");
  auto n = load("x N D\n", URLLIST_FLAG_NO_DEFAULT);
  EXPECT_EQ(look(n.get(), "http://other.test/"), "none");
}

TEST(Lookup, StoreOrder) {
  // Path root, then URL tree, then extension, keyword, regexp, default.
  auto l = load(
      "/admin P C 1\n"
      "h.test U C 2\n"
      ".exe 3\n"
      "casino 4\n"
      "|poker[0-9]| 5\n");
  EXPECT_EQ(look(l.get(), "http://h.test/x.exe"), "C 2|h.test");
  EXPECT_EQ(look(l.get(), "http://o.test/x.exe"), "C 3|exe");
  EXPECT_EQ(look(l.get(), "http://o.test/casino.exe"), "C 3|exe");
  EXPECT_EQ(look(l.get(), "http://o.test/CASINO/"), "C 4|casino");
  EXPECT_EQ(look(l.get(), "http://o.test/poker7"), "C 5|/poker[0-9]/");
  EXPECT_EQ(look(l.get(), "http://o.test/nothing"), "none");
}

TEST(Lookup, QueryEntriesAtNodes) {
  auto l = load(
      "h.test/p?a=1&b U C 1\n"
      "h.test/p?a=1 U C 2\n"
      "h.test/p?a=1&c=3 U C 3\n");
  EXPECT_EQ(look(l.get(), "http://h.test/p?b=7&x=0&a=1"), "C 1|h.test/p?a=1&b=");
  EXPECT_EQ(look(l.get(), "http://h.test/p?a=1"), "C 2|h.test/p?a=1");
  EXPECT_EQ(look(l.get(), "http://h.test/p?a=1&c=3"), "C 3|h.test/p?a=1&c=3");
  EXPECT_EQ(look(l.get(), "http://h.test/p?a=2"), "none");
  EXPECT_EQ(look(l.get(), "http://h.test/p"), "none");
}

TEST(Lookup, QueryEntryWithFragmentMarker) {
  auto l = load("h.test/p?a=1#top U C 1\n");
  EXPECT_EQ(look(l.get(), "http://h.test/p?a=1#top"), "C 1|h.test/p?a=1#top");
}

TEST(Lookup, SharedListTakesLockAndAnswersTheSame) {
  auto l = load("h.test U C 1\n", URLLIST_FLAG_SHARED);
  ASSERT_NE(l->lock, nullptr);
  EXPECT_EQ(look(l.get(), "http://h.test/"), "C 1|h.test");
  auto url = urllist_explode_charset("http://h.test/", nullptr, 0, 0, nullptr);
  urllist_action* a = nullptr;
  EXPECT_EQ(urllist_lookup_data_unlocked(l.get(), url.get(), &a), 0);
  category_set cats;
  EXPECT_EQ(urllist_lookup_category(l.get(), url.get(), &cats), 0);
  EXPECT_EQ(cats.to_string(), "1");
}

TEST(Lookup, SharedListWhoseLockCannotBeTakenIsNeitherReadNorChanged) {
  auto l = load("h.test U C 1\n", URLLIST_FLAG_SHARED);
  ASSERT_EQ(rwl_destroy(l->lock.get()), 0);
  auto url = urllist_explode_charset("http://h.test/", nullptr, 0, 0, nullptr);
  urllist_action* a = nullptr;
  category_set cats;
  std::string diag;
  std::optional<std::string> lowered;
  EXPECT_EQ(urllist_lookup_data(l.get(), url.get(), &a), 1);
  EXPECT_EQ(urllist_lookup_diag(l.get(), url.get(), &a, &diag), 1);
  EXPECT_EQ(urllist_lookup_category(l.get(), url.get(), &cats), 1);
  EXPECT_EQ(urllist_lookup_string_data(l.get(), "h.test", &lowered, &a), 1);
  EXPECT_EQ(urllist_add(l.get(), "o.test", "U", "C", "2", -1), -1);
  EXPECT_EQ(urllist_add_category_string(l.get(), "o.test", "2"), -1);
  // The unlocked lookup still answers: the entry is there, and the add above changed nothing.
  EXPECT_EQ(urllist_lookup_data_unlocked(l.get(), url.get(), &a), 0);
  auto other = urllist_explode_charset("http://o.test/", nullptr, 0, 0, nullptr);
  EXPECT_EQ(urllist_lookup_data_unlocked(l.get(), other.get(), &a), 1);
  ASSERT_EQ(rwl_init_internal(l->lock.get()), 0);  // for urllist_terminate
  EXPECT_EQ(urllist_lookup_category(l.get(), url.get(), &cats), 0);
}

TEST(Lookup, CategoryLookupOnlyForCategoryActions) {
  auto l = load("h.test U D\n");
  auto url = urllist_explode_charset("http://h.test/", nullptr, 0, 0, nullptr);
  category_set cats;
  EXPECT_EQ(urllist_lookup_category(l.get(), url.get(), &cats), 1);
  EXPECT_TRUE(cats.empty());
}

TEST(Lookup, MissingArgumentsGiveNotFound) {
  auto l = load("h.test U C 1\n");
  auto url = urllist_explode_charset("http://h.test/", nullptr, 0, 0, nullptr);
  urllist_action* a = nullptr;
  EXPECT_EQ(urllist_lookup_data(nullptr, url.get(), &a), 1);
  EXPECT_EQ(urllist_lookup_data(l.get(), nullptr, &a), 1);
  EXPECT_EQ(urllist_lookup_data(l.get(), url.get(), nullptr), 0);
  auto empty = urllist_initialize(0);
  EXPECT_EQ(urllist_lookup_data(empty.get(), url.get(), &a), 1);
}

TEST(Lookup, PolicyEventsAndStringLookups) {
  auto l = load("Bandwidth T D\nband T A\ncasino 4\nx N A\n");
  urllist_action* a = nullptr;
  std::string name;
  ASSERT_EQ(urllist_lookup_num_diag(l.get(), 1, &a, &name), 0);
  EXPECT_EQ(a->kind, URLLIST_ACTION_DENY);  // the second line for the slot was dropped
  EXPECT_EQ(name, "bandwidth");
  EXPECT_EQ(urllist_lookup_num_data(l.get(), 0, &a), 1);
  EXPECT_EQ(urllist_lookup_num_data(l.get(), 9, &a), 1);
  EXPECT_EQ(urllist_lookup_num_data(l.get(), -1, &a), 1);
  std::optional<std::string> lowered;
  std::string diag;
  ASSERT_EQ(urllist_lookup_string_diag(l.get(), "Big%20CASINO", &lowered, &a, &diag), 0);
  EXPECT_EQ(diag, "casino");
  ASSERT_TRUE(lowered.has_value());
  EXPECT_EQ(*lowered, "big+casino");
  ASSERT_EQ(urllist_lookup_string_diag(l.get(), "plain", nullptr, &a, &diag), 0);
  EXPECT_EQ(diag, "*");
}

TEST(Lookup, ExpiredActionsAreAbsent) {
  auto l = urllist_initialize(0);
  ASSERT_EQ(urllist_add(l.get(), "h.test", "U", "C", "1", 100), 0);
  ASSERT_EQ(urllist_add(l.get(), "w.h.test", "U", "C", "2", 50), 0);
  long saved = current_time;
  current_time = 60;
  EXPECT_EQ(look(l.get(), "http://w.h.test/"), "C 1|h.test");
  current_time = 100;
  EXPECT_EQ(look(l.get(), "http://w.h.test/"), "none");
  current_time = saved;
  EXPECT_EQ(look(l.get(), "http://w.h.test/"), "C 2|w.h.test");
}

TEST(Lookup, ManyAlternativesStayBounded) {
  // Forty "*" segments under one path: every step remembers alternatives; the stack keeps
  // at most 32 and the walk still ends with the right answer.
  std::string text;
  std::string path;
  for (int i = 0; i < 40; ++i) {
    path += "/*";
    text += "h.test" + path + "/z U C " + std::to_string(i + 1) + "\n";
  }
  auto l = load(text);
  std::string u = "http://h.test";
  for (int i = 0; i < 3; ++i) u += "/s";
  u += "/z";
  EXPECT_EQ(look(l.get(), u.c_str()), "C 3|h.test/*/*/*/z");
}

}  // namespace
