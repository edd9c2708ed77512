// Readers look up while a writer adds and replaces entries of one shared list. The counts
// are fixed (no timing): the test is meant for the sanitizer builds, where a reader touching
// an action that a replacing add has freed, or any unlocked access, is reported as an error.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "urllist/lookup.h"
#include "urllist/urllist.h"
#include "urllist/urllist_impl.h"
#include "util/category_set.h"
#include "util/rwl.h"

namespace {

constexpr int kHosts = 16;
constexpr int kRounds = 3000;  // writer additions
constexpr int kReaders = 3;
constexpr int kLookupsPerReader = 20000;

std::string host(int i) { return "h" + std::to_string(i) + ".test"; }

// Round r gives its host the categories {r + 1, r + 1 + kRounds}, or on every fifth round a
// deny action; a reader that sees a category set checks that the pair belongs together.
bool pair_is_whole(const category_set& cats) {
  return cats.count() == 2 && cats[1] == cats[0] + kRounds;
}

}  // namespace

TEST(SharedList, ReadersLookUpWhileAWriterReplacesEntries) {
  auto l = urllist_initialize(URLLIST_FLAG_SHARED);
  ASSERT_NE(l, nullptr);
  for (int i = 0; i < kHosts; i++) {
    category_set cats;
    cats.add(static_cast<uint32_t>(i + 1));
    cats.add(static_cast<uint32_t>(i + 1 + kRounds));
    ASSERT_EQ(urllist_add_category(l.get(), host(i).c_str(), "U", &cats, -1), 0);
  }

  std::atomic<int> ready{0};
  std::atomic<int> torn{0};
  std::atomic<int> found{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < kReaders; t++) {
    readers.emplace_back([&, t] {
      // Each reader has its own exploded URLs: a lookup fills their caches.
      std::vector<urllist_exploded_url_ptr> urls;
      for (int i = 0; i < kHosts; i++) {
        const std::string text = "http://" + host(i) + "/p";
        urls.push_back(urllist_explode_charset(text.c_str(), nullptr, 0, 0, nullptr));
      }
      ready++;
      for (int n = 0; n < kLookupsPerReader; n++) {
        urllist_exploded_url* url = urls[(n + t) % kHosts].get();
        category_set cats;
        if (urllist_lookup_category(l.get(), url, &cats) == 0) {
          found++;
          if (!pair_is_whole(cats)) torn++;
        }
        // The unlocked variant under the caller's own read lock, reading the action before
        // letting go, as lookup.h asks.
        rwl_readlock(l->lock.get());
        urllist_action* a = nullptr;
        if (urllist_lookup_data_unlocked(l.get(), url, &a) == 0 &&
            a->kind == URLLIST_ACTION_CATEGORY) {
          category_set again;
          urllist_action_get_category(a, &again);
          if (!pair_is_whole(again)) torn++;
        }
        rwl_readunlock(l->lock.get());
      }
    });
  }

  // The writer starts once every reader is about to look up, so that they overlap.
  while (ready.load() < kReaders) std::this_thread::yield();
  int failed_adds = 0;
  for (int r = 0; r < kRounds; r++) {
    const std::string h = host(r % kHosts);
    int rc;
    if (r % 5 == 4) {
      rc = urllist_add(l.get(), h.c_str(), "U", "D", nullptr, -1);
    } else {
      category_set cats;
      cats.add(static_cast<uint32_t>(r + 1));
      cats.add(static_cast<uint32_t>(r + 1 + kRounds));
      rc = urllist_add_category(l.get(), h.c_str(), "U", &cats, -1);
    }
    if (rc != 0) failed_adds++;
  }
  for (auto& th : readers) th.join();

  EXPECT_EQ(failed_adds, 0);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(found.load(), 0);
  // The last round of each host decides what stays.
  for (int i = 0; i < kHosts; i++) {
    const int last = i + kHosts * ((kRounds - 1 - i) / kHosts);
    const std::string text = "http://" + host(i) + "/";
    auto url = urllist_explode_charset(text.c_str(), nullptr, 0, 0, nullptr);
    category_set cats;
    if (last % 5 == 4) {
      EXPECT_EQ(urllist_lookup_category(l.get(), url.get(), &cats), 1) << text;
    } else {
      ASSERT_EQ(urllist_lookup_category(l.get(), url.get(), &cats), 0) << text;
      EXPECT_EQ(cats[0], static_cast<uint32_t>(last + 1)) << text;
      EXPECT_TRUE(pair_is_whole(cats)) << text;
    }
  }
}
