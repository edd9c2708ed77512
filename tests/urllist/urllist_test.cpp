#include "urllist/urllist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "stores/iplist.h"
#include "urllist/children.h"
#include "urllist/list_test_support.h"
#include "urllist/listfile.h"
#include "urllist/lookup.h"
#include "urllist/urllist_impl.h"
#include "util/category_set.h"

namespace {

struct stderr_capture {
  stderr_capture() { testing::internal::CaptureStderr(); }
  std::string text() { return testing::internal::GetCapturedStderr(); }
};

TEST(UrllistStore, LaterLineReplacesAndRegexpReplaceMerges) {
  auto l = urllist_initialize(0);
  ASSERT_EQ(urllist_add(l.get(), "h.test", "U", "C", "1", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "h.test", "U", "C", "2,3", -1), 0);
  EXPECT_EQ(look(l.get(), "http://h.test/"), "C 2,3");
  ASSERT_EQ(urllist_add(l.get(), "r.test", "U", "R", "^(.*)aaa$ $1bbb", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "r.test", "U", "R", "^(.*)ccc$ $1ddd", -1), 0);
  auto url = urllist_explode_charset("http://r.test/x", nullptr, 0, 0, nullptr);
  urllist_action* a = nullptr;
  ASSERT_EQ(urllist_lookup_data(l.get(), url.get(), &a), 0);
  std::string out;
  ASSERT_EQ(urllist_action_process_action(a, nullptr, "http://r.test/xaaa", &out, nullptr), 4);
  EXPECT_EQ(out, "http://r.test/xbbb");
  ASSERT_EQ(urllist_action_process_action(a, nullptr, "http://r.test/xccc", &out, nullptr), 4);
  EXPECT_EQ(out, "http://r.test/xddd");
}

TEST(UrllistStore, TypeWordGuessing) {
  auto l = urllist_initialize(0);
  EXPECT_EQ(urllist_add_category_string(l.get(), "|ab.*c|", "1"), 0);
  EXPECT_EQ(urllist_add_category_string(l.get(), ".pdf", "2"), 0);
  EXPECT_EQ(urllist_add_category_string(l.get(), "casino", "3"), 0);
  EXPECT_EQ(urllist_add_category_string(l.get(), "http://u.test", "4"), 0);
  // Without scheme and without type word a dotted text is a keyword, not a host.
  EXPECT_EQ(urllist_add_category_string(l.get(), "k.test", "5"), 0);
  EXPECT_EQ(l->stats.regexp_stored, 1u);
  EXPECT_EQ(l->stats.ext_stored, 1u);
  EXPECT_EQ(l->stats.keyword_stored[0], 2u);
  EXPECT_EQ(l->stats.url_stored[0], 1u);
  EXPECT_EQ(look(l.get(), "http://o.test/xabzzc"), "C 1");
  EXPECT_EQ(look(l.get(), "http://o.test/f.pdf"), "C 2");
  EXPECT_EQ(look(l.get(), "http://o.test/casino"), "C 3");
  EXPECT_EQ(look(l.get(), "http://u.test/"), "C 4");
  EXPECT_EQ(look(l.get(), "http://w.k.test/"), "C 5");
  EXPECT_EQ(look(l.get(), "http://k.test/"), "C 5");
}

TEST(UrllistStore, ResultCodesAndMessages) {
  auto l = urllist_initialize(0);
  EXPECT_EQ(urllist_add(nullptr, "h.test", "U", "D", nullptr, -1), -1);
  EXPECT_EQ(urllist_add(l.get(), nullptr, "U", "D", nullptr, -1), -1);
  EXPECT_EQ(urllist_add(l.get(), "h.test", "U", nullptr, nullptr, -1), -1);
  {
    stderr_capture c;
    EXPECT_EQ(urllist_add(l.get(), "h.test", "U", "Z", nullptr, -1), -9);
    EXPECT_EQ(c.text(), "urllist_add: failed to add url 'h.test' unknown action 'Z'\n");
  }
  {
    stderr_capture c;
    EXPECT_EQ(urllist_add(l.get(), "h.test", "U", "C", "x", -1), -9);
    EXPECT_EQ(c.text(),
              "urllist_add: failed to add url 'h.test' bad action argument 'x' for action 'C'\n");
  }
  {
    stderr_capture c;
    EXPECT_EQ(urllist_add(l.get(), "h.test", "X", "D", nullptr, -1), -6);
    EXPECT_EQ(c.text(), "urllist_add: failed to add url 'h.test'\n");
  }
  {
    stderr_capture c;
    EXPECT_EQ(urllist_add(l.get(), "http:///x", "U", "D", nullptr, -1), -3);
    EXPECT_EQ(c.text(), "urllist_add: failed to add url 'http:///x'\n");
  }
  {
    stderr_capture c;
    EXPECT_EQ(urllist_add(l.get(), "zz", "D", "D", nullptr, -1), -3);
    EXPECT_EQ(urllist_add(l.get(), "/(/", "R", "D", nullptr, -1), -5);
    EXPECT_EQ(urllist_add(l.get(), "nosuch", "T", "D", nullptr, -1), -9);
    EXPECT_EQ(urllist_add(l.get(), "+", "k", "D", nullptr, -1), -8);
    c.text();
  }
  EXPECT_EQ(urllist_add_category_string(l.get(), "h.test", "x"), -2);
  EXPECT_EQ(urllist_add(l.get(), "ab", "D", "D", nullptr, -1), 0);
}

TEST(UrllistStore, DefaultAndPolicyEventsAndDuplicates) {
  auto l = urllist_initialize(0);
  EXPECT_EQ(urllist_add(l.get(), "x", "N", "D", nullptr, -1), 0);
  EXPECT_EQ(urllist_add(l.get(), "x", "N", "A", nullptr, -1), 0);
  ASSERT_NE(urllist_get_default_data(l.get()), nullptr);
  EXPECT_EQ(urllist_get_default_data(l.get())->kind, URLLIST_ACTION_ALLOW);
  EXPECT_EQ(urllist_get_default_data(nullptr), nullptr);
  EXPECT_EQ(urllist_add(l.get(), "Band", "T", "D", nullptr, -1), 0);
  EXPECT_EQ(urllist_add(l.get(), "bandwidth", "T", "A", nullptr, -1), 0);
  ASSERT_TRUE(l->events[1]);
  EXPECT_EQ(l->events[1]->kind, URLLIST_ACTION_DENY);
  EXPECT_EQ(policyevent_aton("VIRUS"), 3);
  EXPECT_EQ(policyevent_aton("vir"), -1);
  EXPECT_STREQ(policyevent_ntoa(8), "keyword");
  EXPECT_EQ(policyevent_ntoa(9), nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(urllist_add(l.get(), "casino", "K", "D", nullptr, -1), 0);
  EXPECT_EQ(urllist_add(l.get(), "casino", "K", "A", nullptr, -1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "urllist_add: Duplicate keyword entry 'casino'\n");
  EXPECT_EQ(look(l.get(), "http://o.test/casino"), "D");
}

int g_actions_seen = 0;
int count_action(void* user, urllist_action*) {
  ++g_actions_seen;
  return *static_cast<int*>(user);
}
std::vector<std::string> g_hosts;
void note_host(void*, urllist_exploded_url* url) { g_hosts.emplace_back(url->host_view()); }

TEST(UrllistStore, Callbacks) {
  auto l = urllist_initialize(0);
  int verdict = 0;
  g_actions_seen = 0;
  g_hosts.clear();
  urllist_set_add_action_callback(l.get(), count_action, &verdict);
  urllist_set_addcallback(l.get(), note_host, nullptr);
  EXPECT_EQ(urllist_add(l.get(), "h.test", "U", "D", nullptr, -1), 0);
  EXPECT_EQ(urllist_add(l.get(), "10.0.0.1", "U", "D", nullptr, -1), 0);
  EXPECT_EQ(urllist_add(l.get(), "5b91f9d796555833", "Uh", "D", nullptr, -1), 0);
  EXPECT_EQ(g_hosts, std::vector<std::string>{"h.test"});
  EXPECT_EQ(g_actions_seen, 3);
  // A dropped entry never reaches the callback.
  EXPECT_EQ(urllist_add(l.get(), "auth", "T", "D", nullptr, -1), 0);
  EXPECT_EQ(urllist_add(l.get(), "auth", "T", "D", nullptr, -1), 0);
  EXPECT_EQ(g_actions_seen, 4);
  verdict = -1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(urllist_add(l.get(), "g.test", "U", "C", "9", -1), -2);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(look(l.get(), "http://g.test/"), "C 9");  // stored all the same
}

TEST(UrllistStore, SchemeEntriesAndPathAndQueryRoots) {
  auto l = urllist_initialize(0);
  EXPECT_EQ(urllist_add(l.get(), "ftp", "S", "D", nullptr, -1), 0);
  EXPECT_EQ(urllist_add(l.get(), "/admin", "P", "C", "1", -1), 0);
  EXPECT_EQ(look(l.get(), "ftp://any.test/x"), "D");
  EXPECT_EQ(look(l.get(), "http://any.test/x"), "none");
  EXPECT_EQ(look(l.get(), "http://any.test/admin/x"), "C 1");
  EXPECT_EQ(look(l.get(), "http://any.test/x/admin"), "none");
  EXPECT_EQ(l->stats.url_stored[1], 1u);
  EXPECT_EQ(l->stats.url_stored[2], 1u);
}

TEST(UrllistStore, ChildrenInLoadOrderFoundThroughTheIndex) {
  auto l = urllist_initialize(0);
  for (int i = 0; i < 2000; ++i) {
    std::string h = "h" + std::to_string(i) + ".test";
    ASSERT_EQ(urllist_add(l.get(), h.c_str(), "U", "C", std::to_string(i % 300 + 1).c_str(), -1),
              0);
  }
  // The labels below "test": listed newest first, found through the index, and no tree kept
  // (nothing there depends on a tree's shape).
  const urllist_item* test = l->root->wildcard()->child();
  ASSERT_NE(test, nullptr);
  EXPECT_EQ(test->child_flags & URLLIST_SLOT_TREE, 0);
  EXPECT_TRUE(test->child_flags & URLLIST_SLOT_INDEXED);
  std::vector<const urllist_item*> order;
  for (const urllist_item* n = test->child(); n != nullptr; n = n->next()) order.push_back(n);
  ASSERT_EQ(order.size(), 2000u);
  std::reverse(order.begin(), order.end());
  for (size_t i = 0; i < order.size(); ++i) {
    std::string label = "h" + std::to_string(i);
    ASSERT_EQ(order[i]->hash, urllist_hash(label)) << i;
    EXPECT_EQ(order[i]->parent, urllist_slot_key(test, false));
    EXPECT_EQ(urllist_index_find(l->index, urllist_slot_key(test, false), order[i]->hash,
                                 URL_PART_DOMAIN),
              order[i]);
  }
  // The tree the dump walks: what inserting them in load order gives, ordered by signed hash
  // and balanced.
  urllist_sibling_shadow shadow;
  urllist_sibling_shadow_build(shadow, order);
  std::vector<int64_t> in_order;
  std::function<int(int32_t)> walk = [&](int32_t i) -> int {
    if (i < 0) return 0;
    const auto& n = shadow.nodes[static_cast<size_t>(i)];
    int a = walk(n.left);
    in_order.push_back(static_cast<int64_t>(n.item->hash));
    int b = walk(n.right);
    EXPECT_LE(std::abs(a - b), 1);
    EXPECT_EQ(n.balance, b - a);
    return 1 + std::max(a, b);
  };
  EXPECT_LE(walk(shadow.root), 16);
  EXPECT_EQ(in_order.size(), 2000u);
  EXPECT_TRUE(std::is_sorted(in_order.begin(), in_order.end()));
  for (int i = 0; i < 2000; i += 97) {
    std::string u = "http://h" + std::to_string(i) + ".test/";
    EXPECT_EQ(look(l.get(), u.c_str()), "C " + std::to_string(i % 300 + 1));
  }
}

TEST(UrllistStore, SmallSlotsAreWalkedUntilTheyGrow) {
  auto l = urllist_initialize(0);
  ASSERT_EQ(urllist_add(l.get(), "a.g.test", "U", "C", "1", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "b.g.test", "U", "C", "2", -1), 0);
  const urllist_item* g = l->root->wildcard()->child()->child();
  ASSERT_EQ(g->hash, urllist_hash("g"));
  const uint32_t key = urllist_slot_key(g, false);
  // Two children: walked, not in the index.
  EXPECT_FALSE(g->child_flags & URLLIST_SLOT_INDEXED);
  EXPECT_EQ(urllist_index_find(l->index, key, urllist_hash("a"), URL_PART_DOMAIN), nullptr);
  EXPECT_EQ(look(l.get(), "http://a.g.test/"), "C 1");
  EXPECT_EQ(look(l.get(), "http://b.g.test/"), "C 2");
  // A third enters all three; an existing one added again is found, not doubled.
  ASSERT_EQ(urllist_add(l.get(), "c.g.test", "U", "C", "3", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "x.a.g.test", "U", "C", "4", -1), 0);
  EXPECT_TRUE(g->child_flags & URLLIST_SLOT_INDEXED);
  int children = 0;
  for (const urllist_item* n = g->child(); n != nullptr; n = n->next()) {
    ++children;
    EXPECT_EQ(urllist_index_find(l->index, key, n->hash, URL_PART_DOMAIN), n);
  }
  EXPECT_EQ(children, 3);
  EXPECT_EQ(look(l.get(), "http://a.g.test/"), "C 1");
  EXPECT_EQ(look(l.get(), "http://x.a.g.test/"), "C 4");
  EXPECT_EQ(look(l.get(), "http://c.g.test/"), "C 3");
  EXPECT_EQ(look(l.get(), "http://d.g.test/"), "none");
}

TEST(UrllistStore, PortNodesSortAfterLabelsAndShareEqualText) {
  auto l = urllist_initialize(0);
  ASSERT_EQ(urllist_add(l.get(), "http://w.h.test/", "U", "C", "3", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "http://h.test:90/a", "U", "C", "1", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "http://h.test:80/b", "U", "C", "2", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "http://h.test:90/c", "U", "C", "4", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "http://h.test:0090/d", "U", "C", "5", -1), 0);
  // h's child slot: the label w and the port nodes 90, 80 and 0090 (same low bound, other
  // text: a node of its own). The first port turned the slot into a tree holding all four,
  // the label that came before included.
  const urllist_item* h = l->root->child()->child()->child();
  ASSERT_TRUE(h->child_flags & URLLIST_SLOT_TREE);
  int ports = 0, labels = 0;
  for (const urllist_item* x = h->child(); x != nullptr; x = x->next())
    (x->is_port() ? ports : labels)++;
  EXPECT_EQ(ports, 3);
  EXPECT_EQ(labels, 1);
  int in_tree = 0;
  std::vector<const urllist_item*> st{h->extra()->child_tree};
  while (!st.empty()) {
    const urllist_item* x = st.back();
    st.pop_back();
    if (!x) continue;
    ++in_tree;
    st.push_back(urllist_sibling_left(x));
    st.push_back(urllist_sibling_right(x));
  }
  EXPECT_EQ(in_tree, 4);
  EXPECT_EQ(look(l.get(), "http://h.test:90/c"), "C 4");
  EXPECT_EQ(look(l.get(), "http://h.test:90/a"), "C 1");
  EXPECT_EQ(look(l.get(), "http://h.test/b"), "C 2");
  EXPECT_EQ(look(l.get(), "http://w.h.test/"), "C 3");
}

TEST(UrllistStore, MixedCasePathSiblingsKeepATree) {
  auto l = urllist_initialize(0);
  // Below the "*" segment, case-insensitive X and case-sensitive Y share one slot.
  ASSERT_EQ(urllist_add(l.get(), "h.test/*/X", "Uc", "C", "1", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "h.test/*/Y", "U", "C", "2", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "h.test/*/Z", "U", "C", "3", -1), 0);
  EXPECT_EQ(look(l.get(), "http://h.test/q/x"), "C 1");
  EXPECT_EQ(look(l.get(), "http://h.test/q/X"), "C 1");
  EXPECT_EQ(look(l.get(), "http://h.test/q/Y"), "C 2");
  EXPECT_EQ(look(l.get(), "http://h.test/q/y"), "none");
  // The descent compares the case-insensitive X with the lowercased "z" and turns away from Z:
  // where the kinds mix, the answer follows the tree's shape, which is why the slot keeps it.
  EXPECT_EQ(look(l.get(), "http://h.test/q/Z"), "none");
  const urllist_item* star = l->root->wildcard()->child()->child()->wildcard()->wildcard();
  ASSERT_NE(star, nullptr);
  EXPECT_EQ(
      star->child_flags & (URLLIST_SLOT_TREE | URLLIST_SLOT_PLAIN_PATH | URLLIST_SLOT_NOCASE_PATH),
      URLLIST_SLOT_TREE | URLLIST_SLOT_PLAIN_PATH | URLLIST_SLOT_NOCASE_PATH);
  // Paths of one case-sensitivity only: no tree.
  ASSERT_EQ(urllist_add(l.get(), "g.test/*/A", "U", "C", "4", -1), 0);
  const urllist_item* g_star = nullptr;
  for (const urllist_item* x = l->root->wildcard()->child()->child(); x != nullptr; x = x->next()) {
    if (x->hash == urllist_hash("g")) g_star = x->wildcard()->wildcard();
  }
  ASSERT_NE(g_star, nullptr);
  EXPECT_EQ(g_star->child_flags & URLLIST_SLOT_TREE, 0);
  EXPECT_EQ(look(l.get(), "http://g.test/q/A"), "C 4");
}

TEST(UrllistStore, CopyBelowTakesReferencesAndIndexesTheCopies) {
  auto l = urllist_initialize(0);
  ASSERT_EQ(urllist_add(l.get(), "h.test/a/b", "U", "C", "1", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "h.test/a?q=1", "U", "C", "2", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "h.test:81/p", "U", "C", "3", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "h.test/x", "U", "C", "4", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "h.test/y", "U", "C", "5", -1), 0);
  const urllist_item* star = l->root->wildcard();
  const urllist_item* a = star->child()->child()->wildcard()->child()->next()->next();
  ASSERT_EQ(a->hash, urllist_hash("a"));  // test, h, port, then a (y and x are newer)
  ASSERT_TRUE(a->child() && a->child()->action);
  // The list's table of shared category actions holds references of its own: count from here.
  const int32_t held = a->child()->action->refcount;
  urllist_item* copy = urllist_new_urllist_item("*", URL_PART_SCHEME, 0);
  urllist_children_copy(l.get(), star, copy);
  const urllist_item* h = star->child()->child();  // test, h
  const urllist_item* ch = copy->child()->child();
  ASSERT_NE(ch, nullptr);
  EXPECT_NE(h, ch);
  EXPECT_EQ(h->hash, ch->hash);
  EXPECT_EQ(ch->child_flags, h->child_flags);  // a tree for the port child, rebuilt
  ASSERT_TRUE(ch->child_flags & URLLIST_SLOT_TREE);
  EXPECT_TRUE(ch->extra()->child_tree->is_port());
  const urllist_item* ca = ch->wildcard()->child()->next()->next();
  ASSERT_EQ(ca->hash, urllist_hash("a"));
  EXPECT_TRUE(ca->has_queries());
  // Three paths below the port: an indexed slot, copied as one; "b" alone below "a" is not.
  ASSERT_TRUE(ch->wildcard()->child_flags & URLLIST_SLOT_INDEXED);
  EXPECT_EQ(urllist_index_find(l->index, urllist_slot_key(ch->wildcard(), false), ca->hash,
                               URL_PART_PATH),
            ca);
  EXPECT_FALSE(ca->child_flags & URLLIST_SLOT_INDEXED);
  EXPECT_EQ(
      urllist_index_find(l->index, urllist_slot_key(ca, false), urllist_hash("b"), URL_PART_PATH),
      nullptr);
  EXPECT_EQ(a->child()->action.get(), ca->child()->action.get());
  EXPECT_EQ(a->child()->action->refcount, held + 1);
  urllist_terminate_urllist_item(copy);  // the index keeps stale entries: no lookups after this
  EXPECT_EQ(a->child()->action->refcount, held);
}

TEST(UrllistStore, NewItemHashesAndPortBounds) {
  urllist_item* p = urllist_new_urllist_item("8000-8080", URL_PART_PORT, 0);
  EXPECT_EQ(p->port_low(), 8000);
  EXPECT_EQ(p->port_high(), 8080);
  EXPECT_EQ(p->text(), "8000-8080");
  urllist_terminate_urllist_item(p);
  p = urllist_new_urllist_item("80", URL_PART_PORT, EXPLODE_HASHED);
  EXPECT_EQ(p->port_low(), 80);
  EXPECT_EQ(p->port_high(), 80);
  EXPECT_EQ(p->hash, urllist_hash("80"));  // no valid hash text: hashed as written
  urllist_terminate_urllist_item(p);
  p = urllist_new_urllist_item("70000", URL_PART_PORT, 0);
  EXPECT_EQ(p->port_low(), static_cast<uint16_t>(70000));
  urllist_terminate_urllist_item(p);
  p = urllist_new_urllist_item("Dir", URL_PART_PATH, EXPLODE_NOCASE);
  EXPECT_EQ(p->hash, urllist_hash("dir"));
  EXPECT_EQ(p->nocase, 1);
  urllist_terminate_urllist_item(p);
  p = urllist_new_urllist_item("5b91f9d796555833", URL_PART_DOMAIN, EXPLODE_HASHED);
  EXPECT_EQ(p->hash, URLLIST_HASH_STAR);
  urllist_terminate_urllist_item(p);
  p = urllist_new_urllist_nohashed_item("10.0.0.1", URL_PART_DOMAIN);
  EXPECT_EQ(p->hash, 0u);
  EXPECT_EQ(p->text(), "10.0.0.1");
  urllist_terminate_urllist_item(p);
}

TEST(UrllistStore, HashedEntriesMatchPlainUrls) {
  auto l = urllist_initialize(0);
  std::string text =
      urllist_hash2str(urllist_hash("http")) + "://" + urllist_hash2str(urllist_hash("h")) + "." +
      urllist_hash2str(urllist_hash("test")) + "/" + urllist_hash2str(urllist_hash("p"));
  ASSERT_EQ(urllist_add(l.get(), text.c_str(), "Uh", "D", nullptr, -1), 0);
  EXPECT_EQ(look(l.get(), "http://h.test/p/q"), "D");
  EXPECT_EQ(look(l.get(), "http://h.test/q"), "none");
}

TEST(UrllistStore, OffsetHelperAndRelease) {
  auto url = urllist_explode_charset("http://a.b.test/x/y", nullptr, 0, 0, nullptr);
  int first = 0, count = 0;
  EXPECT_EQ(urllist_parent_url_path_offset_number(url.get(), &first, &count), 0);
  EXPECT_EQ(first, 5);
  EXPECT_EQ(count, 2);
  auto host = urllist_explode_charset("http://a.test", nullptr, 0, 0, nullptr);
  EXPECT_EQ(urllist_parent_url_path_offset_number(host.get(), &first, &count), 1);
  urllist_terminate(nullptr);
  auto l = urllist_with_charset_initialize(URLLIST_FLAG_SHARED, "UTF-8");
  ASSERT_NE(l, nullptr);
  ASSERT_NE(l->charset, nullptr);
  EXPECT_EQ(urllist_add(l.get(), "h.test/a?b=1", "U", "D", nullptr, -1), 0);
  EXPECT_EQ(urllist_add(l.get(), "10.0.0.0-10.0.0.9/x", "U", "D", nullptr, -1), 0);
  urllist_terminate(std::move(l));
  int marker = 0;
  auto d = urllist_with_data_initialize(0, &marker);
  EXPECT_EQ(d->extra_data, &marker);
  EXPECT_EQ(urllist_add_data(d.get(), "h.test", "U", &marker, -1), 0);
  EXPECT_EQ(look(d.get(), "http://h.test/"), "N");
}

}  // namespace

namespace {

urllist_action* found_action(urllist* l, const char* u) {
  auto url = urllist_explode_charset(u, nullptr, 0, 0, nullptr);
  urllist_action* a = nullptr;
  if (!url || urllist_lookup_data(l, url.get(), &a) != 0) return nullptr;
  return a;
}

int keep_action(void* user, urllist_action* action) {
  static_cast<std::vector<urllist_action*>*>(user)->push_back(action);
  return 0;
}

}  // namespace

TEST(UrllistStore, EqualCategoryActionsShareOneRecordUnlessACallbackWatches) {
  auto l = urllist_initialize(0);
  ASSERT_EQ(urllist_add(l.get(), "a.test", "U", "C", "12,45", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "b.test", "U", "c", "45,12", -1), 0);  // same set, other order
  ASSERT_EQ(urllist_add_category_string(l.get(), "http://c.test/", "12,45"), 0);
  ASSERT_EQ(urllist_add(l.get(), "d.test", "U", "C", "12,45", 100), 0);  // other expiry
  ASSERT_EQ(urllist_add(l.get(), "e.test", "U", "C", "12", -1), 0);
  ASSERT_EQ(urllist_add(l.get(), "f.test", "U", "C", "x", -1), URLLIST_ADD_BAD_ACTION);
  urllist_action* a = found_action(l.get(), "http://a.test/");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(found_action(l.get(), "http://b.test/"), a);
  EXPECT_EQ(found_action(l.get(), "http://c.test/"), a);
  urllist_action* d = found_action(l.get(), "http://d.test/");
  ASSERT_NE(d, nullptr);
  EXPECT_NE(d, a);
  EXPECT_EQ(d->expiry, 100);
  EXPECT_EQ(look(l.get(), "http://d.test/"), "C 12,45");
  EXPECT_EQ(look(l.get(), "http://e.test/"), "C 12");
  EXPECT_EQ(look(l.get(), "http://f.test/"), "none");
  EXPECT_EQ(l->stats.lines, 6u);
  EXPECT_EQ(l->stats.entries, 5u);

  // A later line for the same host still replaces the action, also with a shared one.
  ASSERT_EQ(urllist_add(l.get(), "a.test", "U", "C", "12", -1), 0);
  EXPECT_EQ(look(l.get(), "http://a.test/"), "C 12");
  EXPECT_EQ(found_action(l.get(), "http://a.test/"), found_action(l.get(), "http://e.test/"));
  EXPECT_EQ(look(l.get(), "http://b.test/"), "C 12,45");

  // With an add-action callback every entry gets a record of its own.
  auto w = urllist_initialize(0);
  std::vector<urllist_action*> seen;
  urllist_set_add_action_callback(w.get(), keep_action, &seen);
  ASSERT_EQ(urllist_add(w.get(), "a.test", "U", "C", "7", -1), 0);
  ASSERT_EQ(urllist_add_category_string(w.get(), "http://b.test/", "7"), 0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0], seen[1]);
  EXPECT_EQ(seen[0]->refcount, 1);
}

TEST(UrllistStore, BigListKeepsEveryAnswerWhileSharingCategoryActions) {
  // Enough nodes to move the node pool past its small chunks and the shared-action table
  // through several growths (2,000 distinct sets).
  constexpr int kHosts = 60000;
  auto l = urllist_initialize(0);
  std::string text;
  for (int i = 0; i < kHosts; ++i) {
    text += "h" + std::to_string(i) + ".d" + std::to_string(i % 7) + ".test U C " +
            std::to_string(1 + i % 2000) + "," + std::to_string(3000 + i % 3) + "\n";
  }
  std::string pending;
  ASSERT_EQ(urllist_add_buffer(l.get(), text, &pending, 0), 0);
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(l->stats.entries, static_cast<uint32_t>(kHosts));
  for (int i = 0; i < kHosts; i += 97) {
    std::string url = "http://h" + std::to_string(i) + ".d" + std::to_string(i % 7) + ".test/";
    int a = 1 + i % 2000;
    int b = 3000 + i % 3;
    EXPECT_EQ(look(l.get(), url.c_str()), "C " + std::to_string(a) + "," + std::to_string(b))
        << url;
  }
  EXPECT_EQ(look(l.get(), "http://h1.d2.test/"), "none");  // h1 lives under d1
  // i and i + 6000 have the same numbers (6000 is a multiple of 2000 and of 3).
  EXPECT_EQ(found_action(l.get(), "http://h5.d5.test/"),
            found_action(l.get(), "http://h6005.d6.test/"));
  EXPECT_NE(found_action(l.get(), "http://h5.d5.test/"),
            found_action(l.get(), "http://h6.d6.test/"));
}

TEST(UrllistStore, SetsThatNeverRepeatStopBeingSharedWithoutChangingAnswers) {
  // 70,000 distinct three-number sets: past the sample of that size class nothing was found
  // shared, so later three-number sets get records of their own; one-number sets still share.
  auto l = urllist_initialize(0);
  std::string text;
  for (int i = 0; i < 70000; ++i) {
    text += "t" + std::to_string(i) + ".test U C " + std::to_string(1 + i / 1000) + "," +
            std::to_string(100 + i % 1000) + ",5000\n";
  }
  text += "late1.test U C 1,100,5000\nlate2.test U C 1,100,5000\n";
  text += "one1.test U C 9\none2.test U C 9\n";
  std::string pending;
  ASSERT_EQ(urllist_add_buffer(l.get(), text, &pending, 0), 0);
  EXPECT_EQ(look(l.get(), "http://t0.test/"), "C 1,100,5000");
  EXPECT_EQ(look(l.get(), "http://t69999.test/"), "C 70,1099,5000");
  EXPECT_EQ(look(l.get(), "http://late1.test/"), "C 1,100,5000");
  EXPECT_EQ(look(l.get(), "http://late2.test/"), "C 1,100,5000");
  EXPECT_NE(found_action(l.get(), "http://late1.test/"),
            found_action(l.get(), "http://late2.test/"));
  EXPECT_EQ(found_action(l.get(), "http://one1.test/"), found_action(l.get(), "http://one2.test/"));
}
