#include "records/action.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

struct parsed {
  int32_t kind;
  std::unique_ptr<urllist_action> action;  // null on 10 and 11
};

parsed parse(const char* word, const char* arg) {
  void* data = reinterpret_cast<void*>(0x1);  // must be overwritten
  const int32_t kind = urllist_action_parse_action(word, arg, &data);
  if (kind >= URLLIST_ACTION_UNKNOWN) {
    EXPECT_EQ(data, nullptr) << word << " " << (arg ? arg : "(null)");
    return {kind, nullptr};
  }
  return {kind, urllist_action_new(kind, data, -1)};
}

// Parses and returns the action, failing the test when parsing fails.
std::unique_ptr<urllist_action> make(const char* word, const char* arg) {
  parsed p = parse(word, arg);
  EXPECT_LT(p.kind, URLLIST_ACTION_UNKNOWN) << word << " " << (arg ? arg : "(null)");
  return std::move(p.action);
}

struct outcome {
  int result;
  std::string text;
  bool operator==(const outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const outcome& o) {
  return os << "{" << o.result << ", '" << o.text << "'}";
}

outcome run(const urllist_action* a, const char* url) {
  std::string text = "<untouched>";
  const int r = urllist_action_process_action(a, nullptr, url, &text, nullptr);
  return {r, text};
}

outcome run(const char* word, const char* arg, const char* url) {
  auto a = make(word, arg);
  return a ? run(a.get(), url) : outcome{-99, ""};
}

std::string dump(const urllist_action* a, size_t size = 1024) {
  std::vector<char> buf(size + 1, '#');
  const size_t n = urllist_action_dump_action(a, buf.data(), size);
  if (size > 0) {
    EXPECT_EQ(buf[n], '\0');
    EXPECT_LT(n, size);
  }
  EXPECT_EQ(buf[size], '#') << "wrote past the buffer";
  return size > 0 ? std::string(buf.data(), n) : std::string();
}

std::string dump(const char* word, const char* arg, size_t size = 1024) {
  auto a = make(word, arg);
  return a ? dump(a.get(), size) : "<parse failed>";
}

const outcome none{-1, "<untouched>"};

}  // namespace

TEST(ActionParse, KindComesFromTheFirstLetterInEitherCase) {
  const std::vector<std::pair<const char*, int32_t>> cases = {
      {"N", 0},     {"n", 0},  {"D", 1},  {"d", 1}, {"Deny", 1}, {"A", 2},
      {"allow", 2}, {"X", 10}, {"u", 10}, {"", 10}, {"1", 10},   {"\xc4", 10}};
  for (const auto& [word, kind] : cases) {
    EXPECT_EQ(parse(word, "ignored argument").kind, kind) << word;
  }
  EXPECT_EQ(parse(nullptr, "1").kind, URLLIST_ACTION_UNKNOWN);
  // The verdicts neither need nor keep the argument.
  auto deny = make("D", nullptr);
  ASSERT_TRUE(deny);
  EXPECT_EQ(deny->data, nullptr);
  EXPECT_EQ(parse("C", "1").kind, 3);
  EXPECT_EQ(parse("q", "+a=1").kind, 4);
  EXPECT_EQ(parse("s", "a b").kind, 5);
  EXPECT_EQ(parse("r", "a b").kind, 6);
  EXPECT_EQ(parse("t", "x").kind, 7);
  EXPECT_EQ(parse("h", "x").kind, 8);
  EXPECT_EQ(parse("l", "1").kind, 9);
}

TEST(ActionParse, ArgumentsThatAreBad) {
  const std::vector<std::pair<const char*, const char*>> bad = {
      {"C", nullptr}, {"C", ""},      {"C", "abc"},   {"C", ",,,"},      {"C", "x1"},
      {"Q", nullptr}, {"S", nullptr}, {"S", "one"},   {"S", ""},         {"S", " after"},
      {"R", nullptr}, {"R", "one"},   {"T", nullptr}, {"T", ""},         {"H", nullptr},
      {"H", ""},      {"H", "99 X"},  {"H", "2 X"},   {"H", "1 a  1 b"}, {"H", "1 a x"},
      {"L", nullptr}, {"L", "42x"},   {"L", "x"}};
  testing::internal::CaptureStderr();
  for (const auto& [word, arg] : bad) {
    EXPECT_EQ(parse(word, arg).kind, URLLIST_ACTION_BAD_ARGUMENT)
        << word << " '" << (arg ? arg : "(null)") << "'";
  }
  testing::internal::GetCapturedStderr();
}

TEST(ActionParse, CategoriesReadLikeStrtolAndStopAtTheFirstNonNumber) {
  auto a = make("C", "17,3,17,,5x,9");
  ASSERT_TRUE(a);
  EXPECT_EQ(urllist_action_categories(a.get())->to_string(), "3,5,17");

  // White space and signs as strtol takes them; values are truncated to 32 bits.
  a = make("c", " 7,+8,-1,4294967297");
  ASSERT_TRUE(a);
  EXPECT_EQ(urllist_action_categories(a.get())->to_string(), "1,7,8,4294967295");

  // A number followed by anything but "," ends the list.
  a = make("C", "5 6,7");
  ASSERT_TRUE(a);
  EXPECT_EQ(urllist_action_categories(a.get())->to_string(), "5");
  a = make("C", ",,12,");
  ASSERT_TRUE(a);
  EXPECT_EQ(urllist_action_categories(a.get())->to_string(), "12");
}

TEST(ActionProcess, VerdictsAndListNumberIgnoreTheirInputs) {
  auto d = make("D", nullptr);
  auto al = make("A", nullptr);
  auto n = make("N", nullptr);
  auto l = make("L", "42");
  category_set set;
  std::string text = "keep";
  urllist_header_block headers;
  EXPECT_EQ(urllist_action_process_action(d.get(), &set, "u", &text, &headers), 2);
  EXPECT_EQ(urllist_action_process_action(al.get(), nullptr, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(urllist_action_process_action(n.get(), &set, "u", &text, &headers), -1);
  EXPECT_EQ(urllist_action_process_action(l.get(), nullptr, nullptr, nullptr, nullptr), 6);
  EXPECT_EQ(urllist_action_process_action(nullptr, &set, "u", &text, &headers), -1);
  EXPECT_EQ(text, "keep");
  EXPECT_TRUE(set.empty());
  EXPECT_FALSE(headers);
  EXPECT_EQ(urllist_action_list_number(l.get()), 42);
}

TEST(ActionProcess, CategoriesMergeIntoTheCallersSet) {
  auto a = make("C", "17,3");
  category_set set;
  set.add(5);
  set.add(17);
  EXPECT_EQ(urllist_action_process_action(a.get(), &set, nullptr, nullptr, nullptr), 3);
  EXPECT_EQ(set.to_string(), "3,5,17");
  EXPECT_EQ(urllist_action_process_action(a.get(), nullptr, "u", nullptr, nullptr), -1);

  // The same for get_category, which also answers whether the action is a category action.
  category_set other;
  EXPECT_EQ(urllist_action_get_category(a.get(), &other), 1);
  EXPECT_EQ(other.to_string(), "3,17");
  EXPECT_EQ(urllist_action_get_category(a.get(), nullptr), 1);
  auto d = make("D", nullptr);
  EXPECT_EQ(urllist_action_get_category(d.get(), &other), 0);
  EXPECT_EQ(urllist_action_get_category(nullptr, &other), 0);
  EXPECT_EQ(other.to_string(), "3,17");

  // A category action built with no data (as a caller might) still answers 3 with a set.
  auto empty = urllist_action_new(URLLIST_ACTION_CATEGORY, nullptr, -1);
  EXPECT_EQ(urllist_action_process_action(empty.get(), &set, nullptr, nullptr, nullptr), 3);
}

TEST(ActionQuery, ParsingFlagsAndMessages) {
  auto a = make("Qa", "-utm_source +safe=1 -b=2 b=3 -c= +c=4 +c=5");
  ASSERT_TRUE(a);
  const urllist_query_edit* e = urllist_action_query_edit(a.get());
  ASSERT_EQ(e->count(), 7);
  EXPECT_EQ(e->flags, URLLIST_QUERY_EDIT_ADD_WITHOUT_QUERY);
  const std::vector<std::tuple<std::string, std::string, uint32_t>> want = {
      {"utm_source", "utm_source", URLLIST_QUERY_MOD_REMOVE | URLLIST_QUERY_MOD_ANY_VALUE},
      {"safe", "safe=1", 0},
      {"b", "b=2", URLLIST_QUERY_MOD_REMOVE | URLLIST_QUERY_MOD_SUPERSEDED},
      {"b", "b=3", 0},
      {"c",
       "c=", URLLIST_QUERY_MOD_REMOVE | URLLIST_QUERY_MOD_ANY_VALUE | URLLIST_QUERY_MOD_SUPERSEDED},
      {"c", "c=4", URLLIST_QUERY_MOD_SUPERSEDED},
      {"c", "c=5", 0}};
  for (int i = 0; i < e->count(); ++i) {
    const auto& m = e->mods[i];
    EXPECT_EQ(std::string(e->name(m)), std::get<0>(want[i])) << i;
    EXPECT_EQ(std::string(e->token(m)), std::get<1>(want[i])) << i;
    EXPECT_EQ(m.flags, std::get<2>(want[i])) << i;
  }

  // Only a lower-case "a" sets the flag.
  a = make("QA", "+a=1");
  EXPECT_EQ(urllist_action_query_edit(a.get())->flags, 0u);

  testing::internal::CaptureStderr();
  EXPECT_EQ(parse("Q", "+novalue").kind, URLLIST_ACTION_BAD_ARGUMENT);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "urllist: query modification for adding 'novalue' has no value, ignored\n");

  testing::internal::CaptureStderr();
  a = make("Q", "+novalue +a=1");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "urllist: query modification for adding 'novalue' has no value, ignored\n");
  EXPECT_EQ(run(a.get(), "h/p?novalue=x"), (outcome{4, "h/p?novalue=x&a=1"}));

  // 65 tokens: the message, and only the first 64 are kept.
  std::string arg;
  for (int i = 0; i < 65; ++i) arg += (i ? " +p" : "+p") + std::to_string(i) + "=v";
  testing::internal::CaptureStderr();
  a = make("Q", arg.c_str());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "urllist: too many query modifications (65) in '" + arg + "', truncate to 64\n");
  ASSERT_TRUE(a);
  EXPECT_EQ(urllist_action_query_edit(a.get())->count(), 64);
  const urllist_query_edit* e64 = urllist_action_query_edit(a.get());
  EXPECT_EQ(e64->token(e64->mods.back()), "p63=v");
}

TEST(ActionQuery, RemovalsAdditionsAndTheWalk) {
  EXPECT_EQ(run("Q", "-utm_source +safe=active", "h/p?utm_source=x&q=1"),
            (outcome{4, "h/p?q=1&safe=active"}));
  EXPECT_EQ(run("Q", "-utm_source +safe=active", "h/p?q=1&safe=active"), none);
  // A changed value moves to the end.
  EXPECT_EQ(run("Q", "+a=1", "h/p?a=2&b=3"), (outcome{4, "h/p?b=3&a=1"}));
  // The "?" stays when the only parameter goes.
  EXPECT_EQ(run("Q", "-a", "h/p?a=1"), (outcome{4, "h/p?"}));
  EXPECT_EQ(run("Q", "-a=", "h/p?b=2&a=1"), (outcome{4, "h/p?b=2"}));
  // Without a query only 'Qa' adds, writing the "?".
  EXPECT_EQ(run("Q", "+a=1", "h/p"), none);
  EXPECT_EQ(run("Qa", "+a=1 +b=2", "h/p"), (outcome{4, "h/p?a=1&b=2"}));
  EXPECT_EQ(run("Qa", "+a=1", "h/p?"), (outcome{4, "h/p?a=1"}));
  // A superseded addition that does not match lets the later one try; both end up present.
  EXPECT_EQ(run("Q", "+a=1 +a=2", "h/p?a=2"), (outcome{4, "h/p?a=2&a=1"}));
  // Removal with a value removes only that value.
  EXPECT_EQ(run("Q", "-a=1", "h/p?a=2&a=1&c=3"), (outcome{4, "h/p?a=2&c=3"}));
  EXPECT_EQ(run("Q", "-a=1", "h/p?a=2"), none);
  EXPECT_EQ(run("Q", "-a=1 -a=2", "h/p?a=2&a=1"), (outcome{4, "h/p?"}));
  // Every occurrence is removed, also consecutive ones (the walk stays at the moved one).
  EXPECT_EQ(run("Q", "-a", "h?a=1&a=2&a=3&b=1&a=4"), (outcome{4, "h?b=1"}));
  // Names are case-sensitive and compared whole.
  EXPECT_EQ(run("Q", "-a", "h?A=1&ab=2&a=3"), (outcome{4, "h?A=1&ab=2"}));
  // A parameter without "=" is read together with the next one.
  EXPECT_EQ(run("Q", "-a", "h?flag&a=1"), none);
  EXPECT_EQ(run("Q", "-flag&a", "h?flag&a=1&b=2"), (outcome{4, "h?b=2"}));
  // The walk ends where no "=" follows.
  EXPECT_EQ(run("Q", "-b", "h?a=1&b"), none);
  // Values compare with their "=": an empty value is "=".
  EXPECT_EQ(run("Q", "+a=x", "h?a=&b=1"), (outcome{4, "h?b=1&a=x"}));
  // The first "?" starts the query; later ones belong to values.
  EXPECT_EQ(run("Q", "-b", "h?a=?&b=1"), (outcome{4, "h?a=?"}));
  // Missing inputs.
  auto q = make("Q", "-a");
  std::string text;
  EXPECT_EQ(urllist_action_process_action(q.get(), nullptr, nullptr, &text, nullptr), -1);
  EXPECT_EQ(urllist_action_process_action(q.get(), nullptr, "h?a=1", nullptr, nullptr), -1);
}

TEST(ActionSearchReplace, ReplacesEveryOccurrenceAndNeverRescansTheReplacement) {
  EXPECT_EQ(run("S", "foo bar", "foo.example/foo"), (outcome{4, "bar.example/bar"}));
  EXPECT_EQ(run("S", "aa a", "aaaa"), (outcome{4, "aa"}));
  EXPECT_EQ(run("S", "a aa", "aXa"), (outcome{4, "aaXaa"}));
  EXPECT_EQ(run("S", "x ", "axbx"), (outcome{4, "ab"}));  // empty replacement
  EXPECT_EQ(run("S", "a b c", "a"), (outcome{4, "b"}));   // further words dropped
  EXPECT_EQ(run("S", "zz y", "abc"), none);
  EXPECT_EQ(run("S", "A b", "a"), none);  // byte-exact
  auto s = make("S", "a b");
  std::string text;
  EXPECT_EQ(urllist_action_process_action(s.get(), nullptr, nullptr, &text, nullptr), -1);
  EXPECT_EQ(urllist_action_process_action(s.get(), nullptr, "a", nullptr, nullptr), -1);
}

TEST(ActionRegexp, SubstitutionWithGroups) {
  EXPECT_EQ(run("R", "^h/x(.*)$ h/y$1", "h/x1"), (outcome{4, "h/y1"}));
  EXPECT_EQ(run("R", "^h/x(.*)$ h/x$1", "h/x1"), none);  // same text: no change
  EXPECT_EQ(run("R", "^nomatch$ z", "h/x1"), none);
  EXPECT_EQ(run("R", "^(a)(b)?(c) [$0|$1|$2|$3|$4|$10]", "ac"), (outcome{4, "[ac|a||c||]"}));
  // "$" without a digit is copied; "$$1" is "$" then group 1.
  EXPECT_EQ(run("R", "(b) $x$$1$", "abc"), (outcome{4, "$x$b$"}));
  // A group number too large for an int inserts nothing.
  EXPECT_EQ(run("R", "(b) <$99999999999999999999>", "abc"), (outcome{4, "<>"}));
  // Every digit belongs to the number: "$0012" is group 12, "$001" group 1.
  EXPECT_EQ(run("R", "(b) x$0012y", "abc"), (outcome{4, "xy"}));
  EXPECT_EQ(run("R", "(b) x$001", "abc"), (outcome{4, "xb"}));
  // An empty result is no change.
  EXPECT_EQ(run("R", "(x)? $1", "abc"), none);
  // More groups than fit (20 pairs) counts as no match.
  std::string many;
  for (int i = 0; i < 20; ++i) many += "(a)";
  EXPECT_EQ(run("R", (many + " x").c_str(), std::string(20, 'a').c_str()), none);
  EXPECT_EQ(run("R", (many.substr(3) + " x$19").c_str(), std::string(19, 'a').c_str()),
            (outcome{4, "xa"}));
  // A URL long enough to exhaust the stack in the matcher is no match, not a crash.
  const std::string long_url = "h/" + std::string(30000, 'a');
  EXPECT_EQ(run("R", "^(.)*$ x", long_url.c_str()), none);
}

TEST(ActionRegexp, ModifiersDecodeTheResult) {
  auto a = make("Ru", "^(.*)$ $1");
  ASSERT_TRUE(a);
  EXPECT_EQ(urllist_action_regexp_rules(a.get())->modifier, 'u');
  EXPECT_EQ(run("Ru", "^x(.*)$ $1", "xa%20b+c"), (outcome{4, "a b c"}));
  EXPECT_EQ(run("Rb", "^x(.*)$ $1", "xaGVsbG8gd29ybGQ="), (outcome{4, "hello world"}));
  EXPECT_EQ(run("RB", "^x(.*)$ $1", "xaGVsbG8gd29ybGQ="), (outcome{4, "hello world"}));
  EXPECT_EQ(run("rb", "^x(.*)$ $1", "xaGVsbG8gd29ybGQ="), (outcome{4, "hello world"}));
  EXPECT_EQ(run("Rx", "^x(.*)$ $1", "xa%20b"), (outcome{4, "a%20b"}));  // no decoding
  // Four base64 characters or fewer decode to nothing, and that empty text is the result.
  EXPECT_EQ(run("Rb", "^x(.*)$ $1", "xaGk="), (outcome{4, ""}));
  // The decoded text ends at its first NUL, as a C text would.
  EXPECT_EQ(run("Ru", "^x(.*)$ $1", "xab%00cd"), (outcome{4, "ab"}));

  testing::internal::CaptureStderr();
  EXPECT_EQ(parse("R", "( x").kind, URLLIST_ACTION_BAD_ARGUMENT);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "urllist: error compiling pcre \"(\" regex \"missing )\" at char 1\n");
}

TEST(ActionRegexp, ChainsTryRulesInOrderAndDecodeWithTheMatchingRule) {
  auto first = make("R", "^a(.*)$ A$1");
  auto second = make("Ru", "^b(.*)$ $1");
  auto third = make("Rb", "^c(.*)$ $1");
  ASSERT_TRUE(first && second && third);
  second->expiry = 77;
  EXPECT_EQ(urllist_action_append_action_data(first.get(), second.get()), 1);
  EXPECT_EQ(second->data, nullptr);
  EXPECT_EQ(urllist_action_append_action_data(first.get(), third.get()), 1);
  EXPECT_EQ(run(first.get(), "a%41"), (outcome{4, "A%41"}));
  EXPECT_EQ(run(first.get(), "bx%41"), (outcome{4, "xA"}));
  EXPECT_EQ(run(first.get(), "caGVsbG8gd29ybGQ="), (outcome{4, "hello world"}));
  EXPECT_EQ(run(first.get(), "zzz"), none);
  EXPECT_EQ(dump(first.get()), "R ^a(.*)$ A$1");

  // Anything else is not merged and nothing changes.
  auto deny = make("D", nullptr);
  auto other = make("R", "x y");
  EXPECT_EQ(urllist_action_append_action_data(deny.get(), other.get()), 0);
  EXPECT_EQ(urllist_action_append_action_data(other.get(), deny.get()), 0);
  EXPECT_EQ(urllist_action_append_action_data(first.get(), second.get()), 0);  // emptied
  EXPECT_EQ(urllist_action_append_action_data(first.get(), first.get()), 0);
  EXPECT_NE(other->data, nullptr);
  EXPECT_EQ(urllist_action_regexp_replace(nullptr, "a"), std::nullopt);
  EXPECT_EQ(urllist_action_regexp_replace(urllist_action_regexp_rules(first.get()), nullptr),
            std::nullopt);
}

TEST(ActionTextAndHeaders, CopiesAndBlocks) {
  EXPECT_EQ(run("T", "any text  with spaces", nullptr), (outcome{4, "any text  with spaces"}));
  auto t = make("T", "x");
  EXPECT_EQ(urllist_action_process_action(t.get(), nullptr, "u", nullptr, nullptr), -1);

  auto h = make("H", "8 X-One: 1 8 X-Two: 2");
  ASSERT_TRUE(h);
  const urllist_header_list* list = urllist_action_header_list(h.get());
  ASSERT_EQ(list->count(), 2u);
  EXPECT_EQ(list->block_size, 21u + 8 * 3 + 1);
  urllist_header_block block;
  EXPECT_EQ(urllist_action_process_action(h.get(), nullptr, nullptr, nullptr, &block), 5);
  ASSERT_TRUE(block);
  EXPECT_STREQ(block[0], "X-One: 1");
  EXPECT_STREQ(block[1], "X-Two: 2");
  EXPECT_EQ(block[2], nullptr);
  // The texts live in the same block, right after the pointers.
  EXPECT_EQ(block[0], reinterpret_cast<char*>(&block[3]));
  EXPECT_LE(block[1] + 9, reinterpret_cast<char*>(block.get()) + list->block_size);

  h = make("H", "X-One: 1");
  ASSERT_TRUE(h);
  EXPECT_EQ(urllist_action_process_action(h.get(), nullptr, nullptr, nullptr, &block), 5);
  EXPECT_STREQ(block[0], "X-One: 1");
  EXPECT_EQ(block[1], nullptr);

  // Lengths of zero, no separating spaces, and an element ending the argument.
  h = make("H", "0 3abc2xy");
  ASSERT_TRUE(h);
  EXPECT_EQ(urllist_action_process_action(h.get(), nullptr, nullptr, nullptr, &block), 5);
  EXPECT_STREQ(block[0], "");
  EXPECT_STREQ(block[1], "abc");
  EXPECT_STREQ(block[2], "xy");
  EXPECT_EQ(block[3], nullptr);
  EXPECT_EQ(dump(h.get()), "H 0  3 abc 2 xy");

  // Lengths that would overflow or wrap never reach a copy.
  for (const char* arg :
       {"18446744073709551617 x", "4294967297 x", "99999999999999999999999 x", "1 a 2", "3 ab"}) {
    EXPECT_EQ(parse("H", arg).kind, URLLIST_ACTION_BAD_ARGUMENT) << arg;
  }
  urllist_header_block untouched;
  EXPECT_EQ(urllist_action_process_action(h.get(), nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_FALSE(untouched);
}

TEST(ActionList, NumbersReadLikeStrtoll) {
  auto l = make("L", "42");
  EXPECT_EQ(urllist_action_list_number(l.get()), 42);
  EXPECT_EQ(dump(l.get()), "L 0x2a");
  l = make("L", "-3 trailing words");
  EXPECT_EQ(urllist_action_list_number(l.get()), -3);
  l = make("L", "");
  EXPECT_EQ(urllist_action_list_number(l.get()), 0);
  EXPECT_EQ(dump(l.get()), "L (nil)");
  l = make("L", "99999999999999999999");
  EXPECT_EQ(urllist_action_list_number(l.get()), INT64_MAX);
  // The number is the data word: nothing to release.
  urllist_action_data_free(l.get());
  EXPECT_EQ(urllist_action_list_number(l.get()), INT64_MAX);
}

TEST(ActionDump, TextFormOfEveryKind) {
  EXPECT_EQ(dump("N", nullptr), "N");
  EXPECT_EQ(dump("d", "x"), "D");
  EXPECT_EQ(dump("A", nullptr), "A");
  EXPECT_EQ(dump("C", "17,3"), "C 3,17");
  EXPECT_EQ(dump("Qa", "-utm_source +safe=1"), "Qa -utm_source +safe=1");
  EXPECT_EQ(dump("Q", "x=1  -y"), "Q x=1  -y");
  EXPECT_EQ(dump("S", "foo bar baz"), "S foo bar");
  EXPECT_EQ(dump("Ru", "^a(b)$ c$1 more"), "R ^a(b)$ c$1");
  EXPECT_EQ(dump("T", "a b"), "T a b");
  EXPECT_EQ(dump("H", "X-One: 1"), "H X-One: 1");
  // Each header by its recorded length, not to the end of the argument.
  EXPECT_EQ(dump("H", "8 X-One: 1 8 X-Two: 2"), "H 8 X-One: 1 8 X-Two: 2");
  EXPECT_EQ(dump("H", "1 a 1 b"), "H 1 a 1 b");
  EXPECT_EQ(dump(nullptr), "unknown");
  auto odd = urllist_action_new(12, nullptr, -1);
  EXPECT_EQ(dump(odd.get()), "unknown");
  auto empty_set = urllist_action_new(URLLIST_ACTION_CATEGORY, nullptr, -1);
  EXPECT_EQ(dump(empty_set.get()), "C ");
}

TEST(ActionDump, StopsWhereTheBufferEnds) {
  // Category numbers are written whole, and the last comma goes.
  EXPECT_EQ(dump("C", "1,22,333", 9), "C 1,22");
  EXPECT_EQ(dump("C", "1,22,333", 10), "C 1,22");
  EXPECT_EQ(dump("C", "1,22,333", 11), "C 1,22");
  EXPECT_EQ(dump("C", "1,22,333", 12), "C 1,22,333");
  EXPECT_EQ(dump("C", "100", 4), "C ");
  EXPECT_EQ(dump("C", "1", 2), "C");
  // Other pieces are cut where the buffer ends, and later pieces are not written.
  EXPECT_EQ(dump("Q", "+a=1 +bb=2", 8), "Q +a=1 ");
  EXPECT_EQ(dump("Q", "+a=1 +b=2", 7), "Q +a=1");
  EXPECT_EQ(dump("T", "abcdef", 5), "T ab");
  EXPECT_EQ(dump("H", "2 ab 2 cd", 8), "H 2 ab ");
  EXPECT_EQ(dump("D", nullptr, 1), "");
  EXPECT_EQ(dump("D", nullptr, 0), "");
  EXPECT_EQ(urllist_action_dump_action(nullptr, nullptr, 10), 0u);
}

TEST(ActionDump, WholeTextIsNeverCut) {
  // Lengths on both sides of the first buffer (1024 bytes) and of its doublings, where a
  // number or a text that does not fit would have been left out or cut.
  std::string args;
  std::string want = "C ";
  for (uint32_t n = 1; n <= 1200; ++n) {
    const std::string piece = std::to_string(n * 997);
    args += (n > 1 ? "," : "") + piece;
    want += (n > 1 ? "," : "") + piece;
    if (n % 7 != 0 && n < 1150) continue;
    // Numbers are parsed in any order and written sorted; n * 997 grows, so they are sorted.
    auto a = make("C", args.c_str());
    ASSERT_TRUE(a);
    ASSERT_EQ(urllist_action_dump_text(a.get()), want) << n;
  }
  for (const size_t length :
       {1000u, 1007u, 1008u, 1020u, 1021u, 1022u, 1023u, 2030u, 2050u, 100000u}) {
    const std::string text(length, 'x');
    auto a = make("T", text.c_str());
    ASSERT_TRUE(a);
    EXPECT_EQ(urllist_action_dump_text(a.get()), "T " + text) << length;
  }
  EXPECT_EQ(urllist_action_dump_text(make("D", nullptr).get()), "D");
  EXPECT_EQ(urllist_action_dump_text(nullptr), "unknown");
}

TEST(ActionRecord, NamesExpiryRawDataAndSharing) {
  const std::vector<std::pair<const char*, const char*>> names = {
      {"N", "no_action"},      {"D", "deny"},
      {"A", "allow"},          {"C", "category"},
      {"Q", "modify_query"},   {"S", "search_replace"},
      {"R", "regexp_replace"}, {"T", "text"},
      {"H", "header"},         {"L", "list"}};
  const char* args[] = {"", "", "", "1", "-a", "a b", "a b", "t", "h", "1"};
  for (size_t i = 0; i < names.size(); ++i) {
    auto a = make(names[i].first, args[i]);
    ASSERT_TRUE(a);
    EXPECT_STREQ(urllist_action_name(a.get()), names[i].second);
  }
  auto odd = urllist_action_new(10, nullptr, -1);
  EXPECT_STREQ(urllist_action_name(odd.get()), "unknown");
  EXPECT_STREQ(urllist_action_name(nullptr), "unknown");

  auto a = make("D", nullptr);
  ASSERT_EQ(current_time, 0);
  for (const int64_t e : {0L, -1L, 100L}) {
    a->expiry = e;
    EXPECT_EQ(urllist_action_expired(a.get()), 0) << e;
  }
  current_time = 100;
  EXPECT_EQ(urllist_action_expired(a.get()), 0);
  current_time = 101;
  EXPECT_EQ(urllist_action_expired(a.get()), 1);
  a->expiry = -1;
  EXPECT_EQ(urllist_action_expired(a.get()), 0);
  current_time = 0;

  // Kind 0 keeps a caller's pointer without owning it.
  int callers_record = 5;
  auto n = urllist_action_new(URLLIST_ACTION_NO_ACTION, &callers_record, -1);
  EXPECT_EQ(urllist_action_get_raw_data(n.get()), &callers_record);
  urllist_action_set_raw_data(n.get(), nullptr);
  EXPECT_EQ(urllist_action_get_raw_data(n.get()), nullptr);
  urllist_action_set_raw_data(n.get(), &callers_record);
  n.reset();  // must not free callers_record (ASan would report it)

  // Shared references: the record goes with the last one.
  auto t = make("T", "shared");
  urllist_action_ref builder = urllist_action_share(std::move(t));
  EXPECT_EQ(builder->refcount, 1);
  {
    urllist_action_ref slot1(builder.get());
    urllist_action_ref slot2 = slot1;
    EXPECT_EQ(builder->refcount, 3);
    urllist_action_ref moved = std::move(slot2);
    EXPECT_FALSE(slot2);
    EXPECT_EQ(builder->refcount, 3);
  }
  EXPECT_EQ(builder->refcount, 1);
  urllist_action_ref slot(builder.get());
  builder.reset();
  EXPECT_EQ(run(slot.get(), nullptr), (outcome{4, "shared"}));
  EXPECT_EQ(sizeof(urllist_action_ref), sizeof(void*));
  EXPECT_EQ(sizeof(urllist_action), 24u);
}

TEST(ActionRecord, CreateInOneStepAndCategoryCopies) {
  int32_t kind = -5;
  auto a = urllist_action_create("Rb", "^a(.*)$ $1", 300, &kind);
  ASSERT_TRUE(a);
  EXPECT_EQ(kind, URLLIST_ACTION_REGEXP_REPLACE);
  EXPECT_EQ(a->expiry, 300);
  EXPECT_EQ(a->refcount, 0);
  EXPECT_EQ(urllist_action_create("X", nullptr, -1, &kind), nullptr);
  EXPECT_EQ(kind, URLLIST_ACTION_UNKNOWN);
  EXPECT_EQ(urllist_action_create("S", "one", -1, &kind), nullptr);
  EXPECT_EQ(kind, URLLIST_ACTION_BAD_ARGUMENT);

  category_set set;
  for (uint32_t n = 30; n > 0; --n) set.add(n);
  auto c = urllist_action_new_category(set, -1);
  set.clear();  // the action keeps its own copy
  ASSERT_NE(urllist_action_categories(c.get()), nullptr);
  EXPECT_EQ(urllist_action_categories(c.get())->count(), 30u);
  EXPECT_EQ(dump(c.get()).substr(0, 10), "C 1,2,3,4,");
  auto small = urllist_action_new_category(category_set(), -1);
  EXPECT_EQ(urllist_action_categories(small.get())->capacity(), 10u);
}
