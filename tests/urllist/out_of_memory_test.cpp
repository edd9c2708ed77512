// Memory running out in the loader and in lookups: every allocation point in turn is made to
// fail, and the result must be the complete answer or a reported shortage (a -2 load result,
// or std::bad_alloc), never a list that silently lacks entries or a wrong lookup result.
//
// The failing allocator replaces the global operator new of this test program only; the
// engine has no hook of its own. Armed with a count k, it lets k allocations through and
// fails every later one, as a process that has run out of memory would see it.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "list_test_support.h"
#include "support/run_process.h"
#include "urllist/listfile.h"
#include "urllist/urllist_node.h"

namespace {

std::atomic<long> allocations_left{-1};  // -1: not armed

void* test_allocate(std::size_t n) {
  long left = allocations_left.load(std::memory_order_relaxed);
  if (left == 0) {
    errno = ENOMEM;  // as malloc leaves it
    throw std::bad_alloc();
  }
  if (left > 0) allocations_left.store(left - 1, std::memory_order_relaxed);
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// Arms the allocator for the life of the object.
struct failing_after {
  explicit failing_after(long k) { allocations_left.store(k); }
  ~failing_after() { allocations_left.store(-1); }
  bool failed() const { return allocations_left.load() == 0; }
};

}  // namespace

void* operator new(std::size_t n) { return test_allocate(n); }
void* operator new[](std::size_t n) { return test_allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// One line of each kind of entry the loader stores.
const char* const list_text =
    "www.example.test U C 1\n"
    "deep.test/a/b/c?x=1 U C 2,3\n"
    "*.wild.test U D\n"
    "10.1.2.3 U C 4\n"
    "10.2.0.0-10.2.0.255 U A\n"
    "/casino[0-9]+/ R C 5\n"
    "poker K C 6\n"
    "red+blue w C 7\n"
    ".exe E C 8\n"
    "?q=1 Q C 9\n"
    "plain.test 10,11\n"
    "/img/ P C 12\n"
    "ports.test:8080/x U C 13\n"
    "ports.test:80-90/y U C 14\n"
    "ports.test:0081/z U C 19\n"
    "mixed.test/*/X Uc C 15\n"
    "mixed.test/*/Y U C 16\n"
    "10.3.0.0-10.3.0.255/p U C 17\n"
    "10.3.0.5/q U C 18\n";

const char* const urls[] = {
    "http://www.example.test/",  "http://deep.test/a/b/c?x=1", "http://x.wild.test/",
    "http://10.1.2.3/",          "http://10.2.0.7/",           "http://h.test/casino21",
    "http://h.test/poker-night", "http://h.test/red/and/blue", "http://h.test/setup.exe",
    "http://h.test/a?q=1",       "http://plain.test/",         "http://h.test/img/x",
    "http://ports.test:8080/x",  "http://ports.test:80/y",     "http://mixed.test/q/x",
    "http://10.3.0.5/p",         "http://ports.test:81/z",     "http://nothing.test/",
};

std::vector<std::string> answers(urllist* l) {
  std::vector<std::string> out;
  for (const char* u : urls) out.push_back(look(l, u));
  return out;
}

TEST(OutOfMemory, LoadingEndsInAShortageOrAWholeList) {
  cv_tempdir dir;
  const std::string path = dir.write("all.list", list_text);
  urllist_ptr reference = urllist_initialize(0);
  ASSERT_EQ(urllist_add_file(reference.get(), path.c_str(), URLLIST_TYPE_FULL), 0);
  const std::vector<std::string> expected = answers(reference.get());
  ASSERT_EQ(expected.back(), "none");
  for (const std::string& a : std::vector<std::string>(expected.begin(), expected.end() - 1)) {
    ASSERT_NE(a, "none");  // every line must count, or the test proves nothing
  }

  bool whole = false;
  int shortages = 0;
  // Nodes come from a pool that a leak checker does not see into: count them instead.
  const size_t live_nodes = urllist_node_live_count();
  for (long k = 0; !whole && k < 100000; ++k) {
    ASSERT_EQ(urllist_node_live_count(), live_nodes) << "nodes lost before allocation " << k;
    urllist_ptr l = urllist_initialize(0);
    ASSERT_TRUE(l);
    int rc = 0;
    int load_errno = 0;
    bool thrown = false;
    bool failed;
    {
      failing_after arm(k);
      try {
        rc = urllist_add_file(l.get(), path.c_str(), URLLIST_TYPE_FULL);
        load_errno = errno;
      } catch (const std::bad_alloc&) {
        thrown = true;
      }
      failed = arm.failed();
    }
    // The loader's results for a shortage: -2, or another failure with errno ENOMEM (the
    // reader's buffer could not be made or grow).
    if (thrown || rc == URLLIST_LOAD_NO_MEMORY || (rc != 0 && load_errno == ENOMEM)) {
      ++shortages;
      continue;
    }
    ASSERT_EQ(rc, 0) << "allocation " << k;
    // A load that reports success has every entry, even when an allocation failed on the
    // way (a cache that could not grow, say).
    ASSERT_EQ(answers(l.get()), expected) << "allocation " << k << " failed silently";
    whole = !failed;
  }
  EXPECT_TRUE(whole);
  EXPECT_GT(shortages, 10);
  EXPECT_EQ(urllist_node_live_count(), live_nodes);
}

TEST(OutOfMemory, LookupsGiveTheRightAnswerOrThrow) {
  urllist_ptr l = urllist_initialize(0);
  std::string pending;
  ASSERT_EQ(urllist_add_buffer(l.get(), list_text, &pending, URLLIST_TYPE_FULL), 0);
  for (const char* u : urls) {
    const std::string expected = look(l.get(), u);
    for (bool diag : {false, true}) {
      bool whole = false;
      for (long k = 0; !whole && k < 10000; ++k) {
        auto url = urllist_explode_charset(u, nullptr, 0, 0, nullptr);
        ASSERT_TRUE(url);
        urllist_action* a = nullptr;
        std::string text;
        int rc = 1;
        bool thrown = false;
        bool failed;
        {
          failing_after arm(k);
          try {
            rc = diag ? urllist_lookup_diag(l.get(), url.get(), &a, &text)
                      : urllist_lookup_data(l.get(), url.get(), &a);
          } catch (const std::bad_alloc&) {
            thrown = true;
          }
          failed = arm.failed();
        }
        if (thrown) continue;
        std::string got = "none";
        if (rc == 0) {
          char buf[256];
          urllist_action_dump_action(a, buf, sizeof buf);
          got = buf;
        }
        ASSERT_EQ(got, expected) << u << " allocation " << k << (diag ? " (diag)" : "");
        if (diag && rc == 0) {
          EXPECT_FALSE(text.empty()) << u << " allocation " << k;
        }
        whole = !failed;
      }
      EXPECT_TRUE(whole) << u;
    }
  }
}

}  // namespace
