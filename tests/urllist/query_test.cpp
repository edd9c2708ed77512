#include "urllist/query.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

urllist_hash_value H(std::string_view text) { return urllist_hash(text); }

urllist_exploded_url_ptr explode(std::string_view text, int flags = 0) {
  return urllist_explode_charset(text, nullptr, 0, flags, nullptr);
}

// One list node's query entries, with category actions that name the entry.
struct Node {
  urllist_query_trees trees;

  // Stores the query of `entry` (a URL text with a query) as the list store would, with the
  // action 'C <category>'. Returns the item that now holds the entry.
  urllist_query_item* add(std::string_view entry, int flags, const char* category) {
    auto url = explode(entry, flags);
    if (!url || !url->query_part) return nullptr;
    urllist_query_item* item = urllist_query_add(url.get(), url->query_part->text, &trees, flags);
    if (item != nullptr) {
      int32_t kind = 0;
      item->action = urllist_action_share(urllist_action_create("C", category, -1, &kind));
    }
    return item;
  }

  // The text form of the action of the entry that matches `url_text`, or "none".
  std::string lookup(std::string_view url_text, int* case_mode = nullptr) const {
    auto url = explode(url_text);
    if (!url) return "bad url";
    const urllist_query_item* item = urllist_query_lookup_node(url.get(), trees, case_mode);
    return describe(item);
  }

  // The lookup's diagnostic query text of the match, or "none".
  std::string diag(std::string_view url_text) const {
    auto url = explode(url_text);
    int mode = -1;
    const urllist_query_item* item = urllist_query_lookup_node(url.get(), trees, &mode);
    if (item == nullptr) return "none";
    std::string out;
    if (urllist_query_append_diag(url.get(), item, mode, &out) != 0) return "failed";
    return out;
  }

  size_t items(int case_mode = 0) const {
    const urllist_query_tree* tree = trees.tree(case_mode);
    return tree ? tree->items.size() : 0;
  }

  static std::string describe(const urllist_query_item* item) {
    if (item == nullptr) return "none";
    char buffer[64];
    urllist_action_dump_action(item->action.get(), buffer, sizeof buffer);
    return buffer;
  }
};

std::vector<std::string> parse(std::string text, uint32_t* count_out = nullptr) {
  uint32_t count = 12345;
  auto pieces = urllist_query_parse(text.data(), &count);
  if (count_out) *count_out = count;
  std::vector<std::string> out;
  if (!pieces) return out;
  for (uint32_t i = 0; pieces[i] != nullptr; ++i) out.emplace_back(pieces[i]);
  EXPECT_EQ(out.size(), count);
  return out;
}

TEST(QueryParse, SplitsAtQuestionMarkAmpersandAndHashDroppingEmptyPieces) {
  uint32_t count = 0;
  EXPECT_EQ(parse("?&a=1&&b=2#top", &count), (std::vector<std::string>{"a=1", "b=2", "top"}));
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(parse("x"), std::vector<std::string>{"x"});
  EXPECT_EQ(parse("a=?b#c&d"), (std::vector<std::string>{"a=", "b", "c", "d"}));

  // The separators are overwritten in the caller's text.
  std::string text = "a&b";
  auto pieces = urllist_query_parse(text.data(), &count);
  ASSERT_TRUE(pieces);
  EXPECT_EQ(text[1], '\0');
  EXPECT_EQ(pieces[0], text.data());
  EXPECT_EQ(pieces[1], text.data() + 2);
  EXPECT_EQ(pieces[2], nullptr);

  // Nothing to keep: null and a count of 0.
  EXPECT_TRUE(parse("", &count).empty());
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(parse("?&#&&", &count).empty());
  EXPECT_EQ(count, 0u);
  count = 7;
  EXPECT_EQ(urllist_query_parse(nullptr, &count), nullptr);
  EXPECT_EQ(count, 0u);
}

TEST(QueryParse, StopsSplittingAfter4998Separators) {
  // 5100 pieces: the first 4998 stand alone, the 4999th keeps the rest, separators included.
  std::string text;
  for (int i = 0; i < 5100; ++i) text += "p" + std::to_string(i) + (i % 2 ? "#" : "&");
  text.pop_back();
  const auto pieces = parse(text);
  ASSERT_EQ(pieces.size(), URLLIST_QUERY_MAX_PIECES);
  EXPECT_EQ(pieces[4997], "p4997");
  std::string rest;
  for (int i = 4998; i < 5100; ++i) rest += "p" + std::to_string(i) + (i % 2 ? "#" : "&");
  rest.pop_back();
  EXPECT_EQ(pieces[4998], rest);

  // Empty pieces count against the limit too: 4998 separators in a row, then "a&b".
  EXPECT_EQ(parse(std::string(4998, '&') + "a&b"), std::vector<std::string>{"a&b"});
  EXPECT_EQ(parse(std::string(4997, '&') + "a&b"), (std::vector<std::string>{"a", "b"}));
}

TEST(QueryItem, HashesCountsAndFlags) {
  auto item = urllist_new_urllist_query_item("a=1&b&c=&Ab=X", 0);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->count, 4u);
  EXPECT_EQ(item->name_only_count, 2u);  // b and c=
  EXPECT_EQ(item->flags, 0u);
  EXPECT_EQ(std::vector<urllist_hash_value>(item->full_hashes().begin(), item->full_hashes().end()),
            (std::vector<urllist_hash_value>{H("a=1"), H("b"), H("c"), H("Ab=X")}));
  EXPECT_EQ(std::vector<urllist_hash_value>(item->name_hashes().begin(), item->name_hashes().end()),
            (std::vector<urllist_hash_value>{H("a"), H("b"), H("c"), H("Ab")}));

  // Case-insensitive entries hash lowercased texts.
  item = urllist_new_urllist_query_item("Q=Cat", EXPLODE_NOCASE);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->full_hashes()[0], H("q=cat"));
  EXPECT_EQ(item->name_hashes()[0], H("q"));

  // The same text twice sets the repeated flag; the same hash from different texts does not.
  item = urllist_new_urllist_query_item("a=1&x&a=1", 0);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->flags, URLLIST_QUERY_REPEATED);
  item = urllist_new_urllist_query_item("b&b=", 0);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->flags, 0u);
  EXPECT_EQ(item->full_hashes()[0], item->full_hashes()[1]);
  item = urllist_new_urllist_query_item("A=1&a=1", EXPLODE_NOCASE);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->flags, URLLIST_QUERY_REPEATED);

  // Hashed: every parameter is a hash text; no name hashes, no parameter without value. A
  // case-insensitive hashed entry is not lowercased (upper-case hex reads the same anyway).
  const std::string star = urllist_hash2str(URLLIST_HASH_STAR);
  const std::string a1 = urllist_hash2str(H("a=1"));
  item = urllist_new_urllist_query_item(star + "&" + a1 + "&zz", EXPLODE_HASHED | EXPLODE_NOCASE);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->count, 3u);
  EXPECT_EQ(item->flags, URLLIST_QUERY_HASHED);
  EXPECT_EQ(item->name_only_count, 0u);
  EXPECT_TRUE(item->name_hashes().empty());
  EXPECT_EQ(item->full_hashes()[0], URLLIST_HASH_STAR);
  EXPECT_EQ(item->full_hashes()[1], H("a=1"));
  EXPECT_EQ(item->full_hashes()[2], 0u);  // not a hash text: what the parser left

  // No parameter: no item. The text ends at a NUL.
  EXPECT_EQ(urllist_new_urllist_query_item("", 0), nullptr);
  EXPECT_EQ(urllist_new_urllist_query_item("&&#?", 0), nullptr);
  item = urllist_new_urllist_query_item(std::string_view("a=1\0&b=2", 8), 0);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->count, 1u);
}

TEST(QueryMatch, EveryEntryParameterInAnyOrderWithOtherParametersAllowed) {
  Node node;
  ASSERT_TRUE(node.add("h/p?a=1&b", 0, "1"));
  EXPECT_EQ(node.lookup("h/p?b=7&x=0&a=1"), "C 1");
  EXPECT_EQ(node.lookup("h/p?a=1&b"), "C 1");
  EXPECT_EQ(node.lookup("h/p?b&a=1"), "C 1");
  EXPECT_EQ(node.lookup("h/p?b=&a=1"), "C 1");  // matched through the name of "b="
  EXPECT_EQ(node.lookup("h/p?a=2&b=1"), "none");
  EXPECT_EQ(node.lookup("h/p?a=1"), "none");
  EXPECT_EQ(node.lookup("h/p?a=10&b"), "none");
  EXPECT_EQ(node.lookup("h/p"), "none");
  EXPECT_EQ(node.lookup("h/p?&&"), "none");
  EXPECT_EQ(node.lookup("h/p#a=1&b"), "C 1");  // a fragment counts as parameters too

  // "b=" stands for any b, as "b" does; a URL's "b=" is a b without value.
  Node b_eq;
  ASSERT_TRUE(b_eq.add("h/p?b=", 0, "2"));
  EXPECT_EQ(b_eq.lookup("h/p?b"), "C 2");
  EXPECT_EQ(b_eq.lookup("h/p?b="), "C 2");
  EXPECT_EQ(b_eq.lookup("h/p?x=1&b=yes"), "C 2");
  EXPECT_EQ(b_eq.lookup("h/p?bb=1"), "none");

  // An entry parameter with a value wants exactly that text.
  Node exact;
  ASSERT_TRUE(exact.add("h/p?q=a=b", 0, "3"));
  EXPECT_EQ(exact.lookup("h/p?q=a=b"), "C 3");
  EXPECT_EQ(exact.lookup("h/p?q=a"), "none");
}

TEST(QueryMatch, RepeatedParametersNeedAsManyUrlParameters) {
  Node node;
  ASSERT_TRUE(node.add("h/p?a=1&a=1", 0, "1"));
  EXPECT_EQ(node.lookup("h/p?a=1"), "none");
  EXPECT_EQ(node.lookup("h/p?a=1&a=1"), "C 1");
  EXPECT_EQ(node.lookup("h/p?a=1&x=2&a=1"), "C 1");

  Node names;
  ASSERT_TRUE(names.add("h/p?a&a", 0, "2"));
  EXPECT_EQ(names.lookup("h/p?a=1&a=2"), "C 2");
  EXPECT_EQ(names.lookup("h/p?a=1"), "none");
  // A URL parameter without value is in the multiset twice, by its text and by its name, so
  // it alone satisfies both: the filtering service's rule.
  EXPECT_EQ(names.lookup("h/p?a"), "C 2");

  // Without the repeated flag ("b" and "b=" are different texts) presence is enough.
  Node same_hash;
  ASSERT_TRUE(same_hash.add("h/p?b&b=", 0, "3"));
  EXPECT_EQ(same_hash.lookup("h/p?b=1"), "C 3");

  // The members a failed repeated candidate took out are back for the next one.
  Node back;
  ASSERT_TRUE(back.add("h/p?a=1&a=1&a=1", 0, "4"));
  ASSERT_TRUE(back.add("h/p?a=1&a=1", 0, "5"));
  EXPECT_EQ(back.lookup("h/p?a=1&a=1"), "C 5");
  EXPECT_EQ(back.lookup("h/p?a=1&a=1&a=1"), "C 4");
}

TEST(QueryMatch, ManyRepeatsOfOneParameterCountExactly) {
  // 3000 times the same parameter in the entry; URLs with one fewer and with exactly as many.
  // Every URL parameter leads to the same candidate list, holding the entry 3000 times.
  auto repeat = [](const char* text, int n) {
    std::string q = "h/p?";
    for (int i = 0; i < n; ++i) q.append(i ? "&" : "").append(text);
    return q;
  };
  Node node;
  ASSERT_TRUE(node.add(repeat("a=1", 3000), 0, "1"));
  EXPECT_EQ(node.lookup(repeat("a=1", 2999)), "none");
  EXPECT_EQ(node.lookup(repeat("a=1", 3000)), "C 1");
  EXPECT_EQ(node.lookup(repeat("a=1", 2999) + "&a=2"), "none");

  Node names;
  ASSERT_TRUE(names.add(repeat("a", 3000), 0, "2"));
  EXPECT_EQ(names.lookup(repeat("a=7", 2999)), "none");
  EXPECT_EQ(names.lookup(repeat("a=7", 2999) + "&a=8"), "C 2");
}

TEST(QueryMatch, MoreSpecificEntriesWinThenEarlierOnes) {
  // More parameters first, whatever the loading order.
  for (int order = 0; order < 2; ++order) {
    Node node;
    if (order == 0) {
      ASSERT_TRUE(node.add("h/p?a=1", 0, "1"));
      ASSERT_TRUE(node.add("h/p?a=1&b=2", 0, "2"));
    } else {
      ASSERT_TRUE(node.add("h/p?a=1&b=2", 0, "2"));
      ASSERT_TRUE(node.add("h/p?a=1", 0, "1"));
    }
    EXPECT_EQ(node.lookup("h/p?a=1&b=2"), "C 2");
    EXPECT_EQ(node.lookup("h/p?b=2&a=1"), "C 2");
    EXPECT_EQ(node.lookup("h/p?a=1"), "C 1");
    EXPECT_EQ(node.lookup("h/p?a=1&b=3"), "C 1");
  }

  // Same number of parameters: fewer without a value first.
  for (int order = 0; order < 2; ++order) {
    Node node;
    if (order == 0) {
      ASSERT_TRUE(node.add("h/p?a=1&b", 0, "1"));
      ASSERT_TRUE(node.add("h/p?a=1&b=2", 0, "2"));
    } else {
      ASSERT_TRUE(node.add("h/p?a=1&b=2", 0, "2"));
      ASSERT_TRUE(node.add("h/p?a=1&b", 0, "1"));
    }
    EXPECT_EQ(node.lookup("h/p?a=1&b=2"), "C 2");
    EXPECT_EQ(node.lookup("h/p?a=1&b=3"), "C 1");
  }

  // Equal rank: the entry loaded first.
  Node node;
  ASSERT_TRUE(node.add("h/p?x=1&y=2", 0, "1"));
  ASSERT_TRUE(node.add("h/p?x=1&z=3", 0, "2"));
  EXPECT_EQ(node.lookup("h/p?x=1&z=3&y=2"), "C 1");

  // The URL's parameters are taken in their order: the first one that has a matching
  // candidate decides, even when a later one would lead to a bigger entry.
  Node url_order;
  ASSERT_TRUE(url_order.add("h/p?a=1", 0, "1"));
  ASSERT_TRUE(url_order.add("h/p?b=2&c=3", 0, "2"));
  EXPECT_EQ(url_order.lookup("h/p?a=1&b=2&c=3"), "C 1");
  EXPECT_EQ(url_order.lookup("h/p?c=3&a=1&b=2"), "C 2");
}

TEST(QueryMatch, NameHashFallback) {
  // Found only through the URL parameter's name.
  Node node;
  ASSERT_TRUE(node.add("h/p?b", 0, "1"));
  EXPECT_EQ(node.lookup("h/p?b=7"), "C 1");

  // The list of the full hash has candidates but none matches: the name list is tried.
  ASSERT_TRUE(node.add("h/p?b=7&z=1", 0, "2"));
  EXPECT_EQ(node.lookup("h/p?b=7"), "C 1");
  EXPECT_EQ(node.lookup("h/p?b=7&z=1"), "C 2");

  // add mode leaves the name hashes out of the multiset: "b" no longer stands for "b=7".
  auto url = explode("h/p?b=7");
  EXPECT_EQ(urllist_query_lookup(url.get(), node.trees.tree(0), 0, 1), nullptr);
  EXPECT_EQ(Node::describe(urllist_query_lookup(url.get(), node.trees.tree(0), 0, 0)), "C 1");
  EXPECT_EQ(Node::describe(urllist_query_lookup(url.get(), node.trees.tree(0), 0, 1)), "none");
}

TEST(QueryMatch, CaseInsensitiveEntriesLiveInTheirOwnTree) {
  Node node;
  ASSERT_TRUE(node.add("h/p?Q=Cat", EXPLODE_NOCASE, "1"));
  EXPECT_EQ(node.items(0), 0u);
  EXPECT_EQ(node.items(1), 1u);
  EXPECT_EQ(node.trees.tree(1)->items[0]->flags, URLLIST_QUERY_NOCASE);
  int mode = -1;
  EXPECT_EQ(node.lookup("h/p?q=cat", &mode), "C 1");
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(node.lookup("h/p?Q=CAT"), "C 1");

  Node sensitive;
  ASSERT_TRUE(sensitive.add("h/p?q=cat", 0, "2"));
  EXPECT_EQ(sensitive.lookup("h/p?Q=Cat"), "none");
  EXPECT_EQ(sensitive.lookup("h/p?q=cat", &mode), "C 2");
  EXPECT_EQ(mode, 0);

  // Both trees at one node: the case-sensitive one is asked first.
  ASSERT_TRUE(sensitive.add("h/p?q=cat", EXPLODE_NOCASE, "3"));
  EXPECT_EQ(sensitive.lookup("h/p?q=cat"), "C 2");
  EXPECT_EQ(sensitive.lookup("h/p?Q=Cat"), "C 3");
}

TEST(QueryMatch, ExpiredAndActionlessEntriesArePassedOver) {
  Node node;
  urllist_query_item* general = node.add("h/p?a=1", 0, "1");
  urllist_query_item* specific = node.add("h/p?a=1&b=2", 0, "2");
  ASSERT_TRUE(general && specific);
  const long saved = current_time;
  current_time = 100;
  specific->action->expiry = 100;  // reached at exactly current_time
  EXPECT_EQ(node.lookup("h/p?a=1&b=2"), "C 1");
  specific->action->expiry = 101;
  EXPECT_EQ(node.lookup("h/p?a=1&b=2"), "C 2");
  specific->action->expiry = -1;
  EXPECT_EQ(node.lookup("h/p?a=1&b=2"), "C 2");
  current_time = saved;

  specific->action.reset();
  EXPECT_EQ(node.lookup("h/p?a=1&b=2"), "C 1");
}

TEST(QueryAdd, FindsTheSameQueryWhateverTheOrder) {
  Node node;
  urllist_query_item* first = node.add("h/p?a=1&b=2", 0, "1");
  ASSERT_TRUE(first);
  EXPECT_EQ(node.add("h/p?b=2&a=1", 0, "2"), first);
  EXPECT_EQ(node.items(), 1u);
  EXPECT_EQ(node.lookup("h/p?a=1&b=2"), "C 2");  // the later line's action

  // "b" and "b=" are the same parameter; a different count is a different query.
  urllist_query_item* with_b = node.add("h/p?a=1&b", 0, "3");
  EXPECT_NE(with_b, first);
  EXPECT_EQ(node.add("h/p?b=&a=1", 0, "4"), with_b);
  EXPECT_NE(node.add("h/p?a=1&b=2&a=1", 0, "5"), first);
  EXPECT_NE(node.add("h/p?a=1", 0, "6"), first);
  EXPECT_EQ(node.items(), 4u);

  // The same query in the case-insensitive tree is another entry.
  EXPECT_NE(node.add("h/p?a=1&b=2", EXPLODE_NOCASE, "7"), first);
  EXPECT_EQ(node.items(1), 1u);

  // A hashed entry and its plain form are the same query, in either order, and hashed items
  // (which have no name hashes) compare cleanly with each other.
  const std::string hashed = urllist_hash2str(H("x=1")) + "&" + urllist_hash2str(H("y"));
  urllist_query_item* h1 = urllist_query_add(nullptr, hashed, &node.trees, EXPLODE_HASHED);
  ASSERT_TRUE(h1);
  EXPECT_EQ(urllist_query_add(nullptr, hashed, &node.trees, EXPLODE_HASHED), h1);
  EXPECT_EQ(node.add("h/p?y&x=1", 0, "8"), h1);
  EXPECT_EQ(node.lookup("h/p?y=3&x=1"), "C 8");
  EXPECT_EQ(
      urllist_query_add(nullptr, urllist_hash2str(H("z=1")), &node.trees, EXPLODE_HASHED)->count,
      1u);
  EXPECT_EQ(urllist_query_add(nullptr, "z=1", &node.trees, 0)->flags & URLLIST_QUERY_HASHED,
            URLLIST_QUERY_HASHED);

  // A fragment in the entry URL is recorded.
  urllist_query_item* fragment = node.add("h/p?k=1#top", 0, "9");
  ASSERT_TRUE(fragment);
  EXPECT_EQ(fragment->flags, URLLIST_QUERY_FRAGMENT);

  // Nothing to store.
  EXPECT_EQ(urllist_query_add(nullptr, "&&", &node.trees, 0), nullptr);
  urllist_query_trees untouched;
  EXPECT_EQ(urllist_query_add(nullptr, "", &untouched, 0), nullptr);
  EXPECT_TRUE(untouched.empty());
}

TEST(QueryAdd, EqualityIsExactEvenForParametersNamedTwice) {
  // "b&b=&a=1" names b twice in two spellings (no repeated flag): taking every parameter of
  // it that a new query also has for equality would swallow 'a=1&b&x=1', a different entry.
  Node node;
  urllist_query_item* twice = node.add("h/p?b&b=&a=1", 0, "1");
  urllist_query_item* other = node.add("h/p?a=1&b&x=1", 0, "2");
  ASSERT_TRUE(twice && other);
  EXPECT_NE(other, twice);
  EXPECT_EQ(node.items(), 2u);
  EXPECT_EQ(node.lookup("h/p?a=1&b=3&x=1"), "C 2");
  EXPECT_EQ(node.lookup("h/p?a=1&b=3"), "C 1");

  // An equal item is found even behind a larger one whose parameters the query covers.
  urllist_query_item* small = node.add("h/p?a=1&b", 0, "3");
  ASSERT_TRUE(small);
  EXPECT_EQ(node.add("h/p?b&a=1", 0, "4"), small);
  EXPECT_EQ(node.items(), 3u);
}

TEST(QueryDiag, RebuildsTheMatchedParametersFromTheUrl) {
  Node node;
  ASSERT_TRUE(node.add("h/p?a=1&b", 0, "1"));
  EXPECT_EQ(node.diag("h/p?b=7&x=0&a=1"), "?a=1&b=");
  EXPECT_EQ(node.diag("h/p?b&a=1"), "?a=1&b");

  Node nocase;
  ASSERT_TRUE(nocase.add("h/p?Q=Cat&Page", EXPLODE_NOCASE, "2"));
  EXPECT_EQ(nocase.diag("h/p?PAGE=3&q=CAT"), "?q=cat&page=");

  Node star;
  ASSERT_TRUE(star.add("h/p?*&k=1", 0, "3"));
  EXPECT_EQ(star.diag("h/p?k=1&*"), "?*&k=1");

  Node repeated;
  ASSERT_TRUE(repeated.add("h/p?a&a", 0, "4"));
  EXPECT_EQ(repeated.diag("h/p?a=1&a=2"), "?a=&a=");
  EXPECT_EQ(repeated.diag("h/p?a"), "?a&a=");

  Node fragment;
  ASSERT_TRUE(fragment.add("h/p?a=1#top", 0, "5"));
  EXPECT_EQ(fragment.diag("h/p?top&a=1"), "?a=1#top");
  Node only_fragment;
  ASSERT_TRUE(only_fragment.add("h/p#top", 0, "6"));
  EXPECT_EQ(only_fragment.diag("h/p?x=1#top"), "#top");

  // A parameter this URL does not have (the item came from another lookup) is its hash text.
  auto url = explode("h/p?zz=1");
  std::string out;
  const urllist_query_item* item = node.trees.tree(0)->items[0].get();
  EXPECT_EQ(urllist_query_append_diag(url.get(), item, 0, &out), 0);
  EXPECT_EQ(out, "?" + urllist_hash2str(H("a=1")) + "&" + urllist_hash2str(H("b")));
}

TEST(QueryUrlState, SplitsOnceAndLowercasesIntoTheShadow) {
  auto url = explode("http://h.test/p?Q=Cat&&X#Frag");
  ASSERT_TRUE(url && url->query_part);
  // The shadow already holds the whole query lowercased, separators included.
  ASSERT_NE(urllist_get_nocase_url(url.get(), url->query_part), nullptr);

  uint32_t count = 0;
  const char* const* params = urllist_get_query_list(url.get(), &count);
  ASSERT_NE(params, nullptr);
  ASSERT_EQ(count, 3u);
  EXPECT_STREQ(params[0], "Q=Cat");
  EXPECT_STREQ(params[1], "X");
  EXPECT_STREQ(params[2], "Frag");
  EXPECT_EQ(params[3], nullptr);

  const char* const* lower = urllist_get_nocase_query_list(url.get());
  ASSERT_NE(lower, nullptr);
  EXPECT_STREQ(lower[0], "q=cat");
  EXPECT_STREQ(lower[1], "x");
  EXPECT_STREQ(lower[2], "frag");
  EXPECT_EQ(lower[3], nullptr);
  const char* shadow = url->nocase_shadow.get();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(lower[i] - shadow, params[i] - url->working);

  // Asking again gives the same lists; the working copy keeps its case.
  EXPECT_EQ(urllist_get_query_list(url.get()), params);
  EXPECT_EQ(urllist_get_nocase_query_list(url.get()), lower);
  EXPECT_STREQ(params[0], "Q=Cat");

  // A URL without query has no list; a lookup on it does no harm.
  auto bare = explode("h/p");
  EXPECT_EQ(urllist_get_nocase_query_list(bare.get()), nullptr);
  EXPECT_EQ(urllist_get_query_list(bare.get()), nullptr);

  // The state survives many lookups against different nodes.
  Node a, b;
  ASSERT_TRUE(a.add("h/p?x", 0, "1"));
  ASSERT_TRUE(b.add("h/p?q=cat", EXPLODE_NOCASE, "2"));
  EXPECT_EQ(Node::describe(urllist_query_lookup_node(url.get(), b.trees)), "C 2");
  EXPECT_EQ(Node::describe(urllist_query_lookup_node(url.get(), a.trees)), "none");
  EXPECT_EQ(Node::describe(urllist_query_lookup_node(url.get(), b.trees)), "C 2");
}

TEST(QueryClone, CopiesEntriesWithTheirRankFlagsAndActions) {
  Node source;
  // Loaded in this order, the entry without a value for b stands after the exact one only by
  // its count of parameters without value, which a copy must keep.
  urllist_query_item* loose = source.add("h/p?a=1&b", 0, "1");
  urllist_query_item* exact = source.add("h/p?a=1&b=2", 0, "2");
  ASSERT_TRUE(source.add("h/p?b&b=&c=1", 0, "3"));
  ASSERT_TRUE(source.add("h/p?F=1#top", EXPLODE_NOCASE, "4"));
  ASSERT_TRUE(loose && exact);

  Node copy;
  ASSERT_EQ(urllist_clone_urllist_item_query(source.trees, &copy.trees), 0);
  EXPECT_EQ(copy.items(0), 3u);
  EXPECT_EQ(copy.items(1), 1u);
  for (const char* url : {"h/p?a=1&b=2", "h/p?b=2&a=1", "h/p?a=1&b=3", "h/p?b=5&c=1", "h/p?top&F=1",
                          "h/p?f=1", "h/p?a=1", "h/p?c=1"}) {
    EXPECT_EQ(copy.lookup(url), source.lookup(url)) << url;
    EXPECT_EQ(copy.diag(url), source.diag(url)) << url;
  }
  EXPECT_EQ(copy.lookup("h/p?a=1&b=2"), "C 2");
  EXPECT_EQ(copy.diag("h/p?top&F=1"), "?f=1#top");
  // Shared actions: one more reference each.
  EXPECT_EQ(exact->action->refcount, 2);
  EXPECT_EQ(copy.trees.tree(0)->items[1]->action.get(), exact->action.get());

  // Copying onto a node that already has one of the queries gives that item the source's
  // action; copying nothing changes nothing.
  Node target;
  urllist_query_item* existing = target.add("h/p?b=2&a=1", 0, "9");
  ASSERT_EQ(urllist_clone_urllist_item_query(source.trees, &target.trees), 0);
  EXPECT_EQ(target.items(0), 3u);
  EXPECT_EQ(existing->action.get(), exact->action.get());
  EXPECT_EQ(exact->action->refcount, 3);
  Node empty_source, empty_target;
  EXPECT_EQ(urllist_clone_urllist_item_query(empty_source.trees, &empty_target.trees), 0);
  EXPECT_TRUE(empty_target.trees.empty());
}

TEST(QueryTree, CandidateListsFollowRankThenInsertionOrder) {
  EXPECT_EQ(urllist_query_cmp(0x8000000000000000ULL, 1), -1);
  EXPECT_EQ(urllist_query_cmp(1, 0xffffffffffffffffULL), 1);
  EXPECT_EQ(urllist_query_cmp(5, 5), 0);

  Node node;
  urllist_query_item* one = node.add("h/p?a=1", 0, "1");
  urllist_query_item* loose = node.add("h/p?a=1&b", 0, "2");
  urllist_query_item* repeated = node.add("h/p?a=1&a=1", 0, "3");
  urllist_query_item* three = node.add("h/p?c&a=1&d", 0, "4");
  const urllist_query_tree* tree = node.trees.tree(0);
  ASSERT_TRUE(tree);
  ASSERT_NE(tree->index.find(H("a=1")), nullptr);
  EXPECT_EQ(*tree->index.find(H("a=1")),
            (std::vector<urllist_query_item*>{three, repeated, repeated, loose, one}));
  EXPECT_EQ(*tree->index.find(H("b")), std::vector<urllist_query_item*>{loose});
  EXPECT_EQ(tree->index.find(H("a")), nullptr);
  // a=1, b, c, d
  EXPECT_EQ(tree->index.size(), 4u);
  size_t visited = 0;
  tree->index.for_each([&](urllist_hash_value, const std::vector<urllist_query_item*>& list) {
    EXPECT_FALSE(list.empty());
    ++visited;
  });
  EXPECT_EQ(visited, 4u);
  ASSERT_EQ(tree->items.size(), 4u);
  EXPECT_EQ(tree->items[0].get(), one);
  EXPECT_EQ(tree->items[3].get(), three);

  urllist_terminate_query_trees(&node.trees);
  EXPECT_TRUE(node.trees.empty());
  EXPECT_EQ(node.lookup("h/p?a=1"), "none");
}

TEST(QueryTree, IndexFindsEveryKeyThroughGrowthAndCrowdedSlots) {
  // Keys that differ only in their high bits, 0, and the extremes.
  std::vector<urllist_hash_value> keys = {0, 1, 0x8000000000000000ULL, ~0ULL};
  for (uint64_t i = 1; i <= 3000; ++i) keys.push_back(i << 40);
  std::vector<urllist_query_item> items(keys.size());
  urllist_query_index index;
  for (size_t i = 0; i < keys.size(); ++i) {
    items[i].count = 1;
    index.add(keys[i], &items[i]);
  }
  EXPECT_EQ(index.size(), keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    const auto* list = index.find(keys[i]);
    ASSERT_NE(list, nullptr) << i;
    EXPECT_EQ(*list, std::vector<urllist_query_item*>{&items[i]});
  }
  EXPECT_EQ(index.find(2), nullptr);
  EXPECT_EQ(index.find(3001ULL << 40), nullptr);
  urllist_query_index none;
  EXPECT_EQ(none.find(0), nullptr);
  EXPECT_TRUE(none.empty());
}

}  // namespace
