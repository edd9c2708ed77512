#include "stores/keywordlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Actions are list-number actions whose number identifies the entry in the assertions.
urllist_action_ref make_action(int64_t id) {
  return urllist_action_share(urllist_action_new(
      URLLIST_ACTION_LIST, reinterpret_cast<void*>(static_cast<intptr_t>(id)), -1));
}

// A keyword list filled the way the list store fills it.
struct kwlist {
  std::unique_ptr<keywordlist> list;

  // Adds an entry with type word `type`; the action is list number `id`.
  int add(const char* text, const char* type, int64_t id) {
    urllist_action_ref a = make_action(id);
    return keywordlist_add_entry(list, text, a.get(), type);
  }
  const keywordlist_entry* lookup(const char* text) const {
    return keywordlist_lookup(list.get(), text, nullptr, nullptr);
  }
  // The id of the entry that matches, 0 for none.
  int64_t id(const char* text) const {
    const keywordlist_entry* e = lookup(text);
    if (e == nullptr) return 0;
    EXPECT_TRUE(e->action) << text;
    return urllist_action_list_number(e->action.get());
  }
  const keywordlist_word* word(const char* text) const {
    const byte_trie* trie = list->tries[static_cast<unsigned char>(text[0])].get();
    if (trie == nullptr) return nullptr;
    const uint32_t idx = trie->find(std::string_view(text).substr(1));
    return idx == byte_trie::npos ? nullptr : list->words[idx].get();
  }
};

TEST(KeywordList, SubstringAndWholeWordKeywords) {
  kwlist s;
  ASSERT_EQ(s.add("bet", "K", 1), 0);
  EXPECT_EQ(s.id("h/alphabet/x"), 1);
  EXPECT_EQ(s.id("bet"), 1);
  EXPECT_EQ(s.id("h/be/t"), 0);

  kwlist w;
  ASSERT_EQ(w.add("bet", "W", 2), 0);
  EXPECT_EQ(w.id("h/alphabet/x"), 0);
  EXPECT_EQ(w.id("h/bet/x"), 2);
  EXPECT_EQ(w.id("h/x?q=bet"), 2);  // the text's end is a boundary
  EXPECT_EQ(w.id("bet/x"), 2);      // so is its start
  EXPECT_EQ(w.id("bet"), 2);
  EXPECT_EQ(w.id("h-bet_x"), 2);
  EXPECT_EQ(w.id("a+bet+b"), 2);  // spaces of the URL became "+", which is punctuation
  // Letters, digits and bytes above 127 are never boundaries.
  EXPECT_EQ(w.id("h/bet1"), 0);
  EXPECT_EQ(w.id("h/1bet"), 0);
  EXPECT_EQ(w.id("h/\xe9"
                 "bet/"),
            0);
  EXPECT_EQ(w.id("h/bet\xe9"), 0);
  // A later occurrence that passes is still found after one that fails.
  EXPECT_EQ(w.id("h/betx/bet"), 2);
}

TEST(KeywordList, LongestFirstAtTheLeftmostPosition) {
  kwlist k;
  ASSERT_EQ(k.add("poker", "K", 1), 0);
  ASSERT_EQ(k.add("pokerstars", "K", 2), 0);
  ASSERT_EQ(k.add("stars", "K", 3), 0);
  EXPECT_EQ(k.id("h/pokerstars.com"), 2);
  EXPECT_EQ(k.id("h/pokers"), 1);
  EXPECT_EQ(k.id("h/stars/poker"), 3);  // leftmost beats longer
  EXPECT_EQ(std::string(k.lookup("x.pokerstars")->text), "pokerstars");

  // A longer whole word that fails its boundary gives way to the shorter one there.
  kwlist m;
  ASSERT_EQ(m.add("poker", "K", 1), 0);
  ASSERT_EQ(m.add("pokerstars", "W", 2), 0);
  EXPECT_EQ(m.id("h/pokerstarsx"), 1);
  EXPECT_EQ(m.id("h/pokerstars/"), 2);
}

TEST(KeywordList, EntryTextsAreLowerCasedLikeUrls) {
  kwlist k;
  ASSERT_EQ(k.add("Casino%20Royal", "K", 1), 0);
  EXPECT_EQ(k.id("h/casino+royal"), 1);
  EXPECT_EQ(std::string(k.lookup("casino+royal")->text), "casino+royal");
  // Without the phrase type a "+" is an ordinary character.
  ASSERT_EQ(k.add("Free Games", "K", 2), 0);
  EXPECT_EQ(k.id("x/free+games"), 2);
  EXPECT_EQ(k.id("x/games/free"), 0);
  EXPECT_TRUE(k.list->phrases.empty());
  // %2B is decoded before splitting: with the phrase type it separates words.
  ASSERT_EQ(k.add("Cheap%2BPills", "k", 3), 0);
  EXPECT_EQ(k.list->phrases.size(), 1u);
  EXPECT_EQ(k.list->phrases[0]->text, "cheap+pills");
  // "%00" ends the text: "ab%00cd" is the keyword "ab".
  ASSERT_EQ(k.add("ab%00cd", "K", 4), 0);
  EXPECT_NE(k.word("ab"), nullptr);
  EXPECT_EQ(k.word("abcd"), nullptr);
}

TEST(KeywordList, DuplicatesKeepTheFirstAction) {
  kwlist k;
  testing::internal::CaptureStderr();
  EXPECT_EQ(k.add("Casino", "K", 1), 0);
  EXPECT_EQ(k.add("Casino", "K", 2), -10);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "urllist_add: Duplicate keyword entry 'Casino'\n");
  EXPECT_EQ(k.id("h/casino"), 1);

  testing::internal::CaptureStderr();
  EXPECT_EQ(k.add("casino", "W", 3), -10);  // whole word after substring: still a duplicate
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "urllist_add: Duplicate keyword entry 'casino'\n");
  EXPECT_EQ(k.word("casino")->word_flag, KEYWORDLIST_SUBSTRING);  // a refused add changes nothing
  EXPECT_EQ(k.id("h/casinos"), 1);

  // The duplicate's action is left to its owner alone: no reference stays behind.
  urllist_action_ref dup = make_action(9);
  EXPECT_EQ(keywordlist_add_keyword(k.list.get(), "CASINO", dup.get(), 0, 0), -2);
  EXPECT_EQ(dup->refcount, 1);

  // A keyword and a whole-word phrase share one word record, used both ways.
  ASSERT_EQ(k.add("casino+online", "w", 4), 0);
  const keywordlist_word* w = k.word("casino");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->word_flag, KEYWORDLIST_BOTH);
  ASSERT_EQ(w->phrase_ref_count(), 1u);
  EXPECT_EQ(w->phrase_refs[0].phrase, k.list->phrases[0].get());
  EXPECT_EQ(urllist_action_list_number(w->action.get()), 1);
  EXPECT_EQ(k.list->word_count, 2u);  // casino, online

  // A phrase word first and the keyword later: the keyword's action joins the record.
  kwlist p;
  ASSERT_EQ(p.add("free+games", "k", 1), 0);
  EXPECT_FALSE(p.word("games")->action);
  ASSERT_EQ(p.add("games", "W", 2), 0);
  EXPECT_EQ(urllist_action_list_number(p.word("games")->action.get()), 2);
  EXPECT_EQ(p.word("games")->word_flag, KEYWORDLIST_BOTH);
  EXPECT_EQ(p.list->word_count, 2u);
}

TEST(KeywordList, AddWordResults) {
  auto list = keywordlist_initialize(nullptr, nullptr, nullptr);
  urllist_action_ref a = make_action(1);
  urllist_action_ref b = make_action(2);
  auto w = keywordlist_new_word(list.get(), "abc", a.get(), 0);
  EXPECT_EQ(keywordlist_add_word(list.get(), w, nullptr, 0, 0), KEYWORDLIST_WORD_STORED);
  EXPECT_EQ(w, nullptr);  // taken by the list

  w = keywordlist_new_word(list.get(), "abc", b.get(), 1);
  EXPECT_EQ(keywordlist_add_word(list.get(), w, nullptr, 0, 0), KEYWORDLIST_WORD_DUPLICATE);
  ASSERT_NE(w, nullptr);  // still the caller's
  w.reset();
  EXPECT_EQ(b->refcount, 1);

  w = keywordlist_new_word(list.get(), "abc", nullptr, 1);
  EXPECT_EQ(keywordlist_add_word(list.get(), w, nullptr, 0, 0), KEYWORDLIST_WORD_NOTHING);
  EXPECT_EQ(list->words[0]->word_flag, KEYWORDLIST_SUBSTRING);

  keywordlist_phrase* ph = keywordlist_new_phrase(list.get(), "abc+!abc", b.get(), 2, 1);
  EXPECT_EQ(ph->number, 0u);
  w = keywordlist_new_word(list.get(), "abc", nullptr, 1);
  EXPECT_EQ(keywordlist_add_word(list.get(), w, ph, 0, KEYWORDLIST_REQUIRED),
            KEYWORDLIST_WORD_MERGED);
  EXPECT_EQ(list->words[0]->word_flag, KEYWORDLIST_BOTH);
  EXPECT_EQ(ph->required_count, 1u);
  w = keywordlist_new_word(list.get(), "abc", nullptr, 1);
  EXPECT_EQ(keywordlist_add_word(list.get(), w, ph, 1, KEYWORDLIST_FORBIDDEN),
            KEYWORDLIST_WORD_MERGED);
  EXPECT_EQ(ph->has_forbidden, 1);
  EXPECT_EQ(list->words.size(), 1u);
  EXPECT_EQ(list->words[0]->phrase_ref_count(), 2u);
  EXPECT_EQ(list->words[0]->phrase_refs[1].position, 1u);
  EXPECT_EQ(list->words[0]->phrase_refs[1].kind, KEYWORDLIST_FORBIDDEN);

  keywordlist_phrase* ph2 = keywordlist_new_phrase(list.get(), "x+y", b.get(), 2, 0);
  EXPECT_LT(keywordlist_phrases_compare(ph, ph2), 0);
  EXPECT_GT(keywordlist_phrases_compare(ph2, ph), 0);
  EXPECT_EQ(keywordlist_phrases_compare(ph, ph), 0);
  EXPECT_LT(keywordlist_phrases_compare(nullptr, ph), 0);
}

TEST(KeywordList, PhrasesNeedAllRequiredWordsInAnyOrder) {
  kwlist k;
  ASSERT_EQ(k.add("free+games", "k", 1), 0);
  EXPECT_EQ(k.id("h/games/free"), 1);
  EXPECT_EQ(k.id("h/free/games"), 1);
  EXPECT_EQ(k.id("h/freegames"), 1);  // substring phrase: words may touch
  EXPECT_EQ(k.id("h/free"), 0);
  EXPECT_EQ(k.id("h/free/free"), 0);
  EXPECT_EQ(std::string(k.lookup("games+free")->text), "free+games");

  kwlist f;
  ASSERT_EQ(f.add("free+games+!demo", "k", 2), 0);
  EXPECT_EQ(f.id("h/free/games/demo"), 0);  // forbidden word after completion
  EXPECT_EQ(f.id("h/demo/free/games"), 0);  // and before it
  EXPECT_EQ(f.id("h/free/games"), 2);
  EXPECT_EQ(f.list->phrases[0]->required_count, 2u);
  EXPECT_EQ(f.list->phrases[0]->word_count, 3u);

  // Empty pieces are dropped; a single non-empty piece is a plain keyword.
  kwlist s;
  ASSERT_EQ(s.add("a+", "k", 3), 0);
  EXPECT_TRUE(s.list->phrases.empty());
  EXPECT_NE(s.word("a"), nullptr);
  EXPECT_EQ(s.id("xay"), 3);
  ASSERT_EQ(s.add("+b++c+", "k", 4), 0);
  ASSERT_EQ(s.list->phrases.size(), 1u);
  EXPECT_EQ(s.list->phrases[0]->word_count, 2u);
  EXPECT_EQ(s.id("c/b"), 4);

  // Only "+": nothing to store.
  urllist_action_ref a = make_action(5);
  EXPECT_EQ(keywordlist_add_keyword(s.list.get(), "+", a.get(), 0, 1), -3);
  EXPECT_EQ(keywordlist_add_keyword(s.list.get(), "%2B+%20", a.get(), 0, 1), -3);
  EXPECT_EQ(s.add("+", "k", 5), -8);
  EXPECT_EQ(s.add("+++", "w", 5), -8);
  EXPECT_EQ(a->refcount, 1);
  // Without the phrase flag "+" is a keyword like any other.
  EXPECT_EQ(s.add("+", "K", 6), 0);
}

TEST(KeywordList, PhraseBeatsKeywordWhicheverIsAddedFirst) {
  // The keyword first, so that the phrase's word "games" is already stored when the
  // phrase arrives: it must still count as one of the phrase's required words.
  kwlist a;
  ASSERT_EQ(a.add("games", "K", 1), 0);
  ASSERT_EQ(a.add("free+games", "k", 2), 0);
  EXPECT_EQ(a.list->phrases[0]->required_count, 2u);
  EXPECT_EQ(a.id("h/free/games"), 2);
  EXPECT_EQ(a.id("h/games/free"), 2);
  EXPECT_EQ(a.id("h/games"), 1);
  EXPECT_EQ(a.id("h/free"), 0);

  kwlist b;
  ASSERT_EQ(b.add("free+games", "k", 2), 0);
  ASSERT_EQ(b.add("games", "K", 1), 0);
  EXPECT_EQ(b.id("h/free/games"), 2);
  EXPECT_EQ(b.id("h/games"), 1);

  // A word shared by two phrases counts in both.
  kwlist c;
  ASSERT_EQ(c.add("x1+y1", "k", 1), 0);
  ASSERT_EQ(c.add("y1+z1", "k", 2), 0);
  EXPECT_EQ(c.list->phrases[1]->required_count, 2u);
  EXPECT_EQ(c.id("h/z1"), 0);
  EXPECT_EQ(c.id("h/y1"), 0);
  EXPECT_EQ(c.id("h/z1/y1"), 2);
  EXPECT_EQ(c.id("h/y1/x1"), 1);

  // A forbidden word already stored as a keyword still marks its phrase.
  kwlist d;
  ASSERT_EQ(d.add("demo", "K", 1), 0);
  ASSERT_EQ(d.add("free+games+!demo", "k", 2), 0);
  EXPECT_EQ(d.list->phrases[0]->has_forbidden, 1);
  EXPECT_EQ(d.id("h/free/games/demo"), 1);  // phrase cancelled; the keyword remains
}

TEST(KeywordList, RepeatedRequiredWordCountsOnce) {
  kwlist k;
  ASSERT_EQ(k.add("a1+b1+a1", "k", 1), 0);
  EXPECT_EQ(k.list->phrases[0]->required_count, 2u);
  EXPECT_EQ(k.list->phrases[0]->word_count, 3u);
  EXPECT_EQ(k.id("h/a1/b1"), 1);
  EXPECT_EQ(k.id("h/b1/a1"), 1);
  // Two occurrences of the same word do not stand in for the missing one.
  EXPECT_EQ(k.id("h/a1/a1"), 0);
  EXPECT_EQ(k.id("h/a1/a1/a1"), 0);

  kwlist d;
  ASSERT_EQ(d.add("zz+zz", "k", 2), 0);
  EXPECT_EQ(d.list->phrases[0]->required_count, 1u);
  EXPECT_EQ(d.id("h/zz"), 2);
}

TEST(KeywordList, MoreRequiredWordsWinAndTiesGoToTheLaterPhrase) {
  kwlist k;
  ASSERT_EQ(k.add("aa+bb", "k", 1), 0);
  ASSERT_EQ(k.add("cc+dd+ee", "k", 2), 0);
  ASSERT_EQ(k.add("ff+gg", "k", 3), 0);
  ASSERT_EQ(k.add("xx", "K", 9), 0);
  // Nothing bigger touched yet: the two-word phrase is the result at once.
  EXPECT_EQ(k.id("h/aa/bb/cc/dd/ee"), 1);
  // The bigger phrase was touched first: the smaller one waits and loses.
  EXPECT_EQ(k.id("h/cc/aa/bb/dd/ee"), 2);
  // ... and wins at the end when the bigger one stays incomplete.
  EXPECT_EQ(k.id("h/cc/aa/bb"), 1);
  // Two waiting phrases with equal counts: the one completed later comes first.
  EXPECT_EQ(k.id("h/cc/aa/bb/ff/gg"), 3);
  EXPECT_EQ(k.id("h/cc/ff/gg/aa/bb"), 1);
  // No phrase complete: the first keyword found is the fallback.
  EXPECT_EQ(k.id("h/xx/cc/dd"), 9);
  EXPECT_EQ(k.id("h/aa/xx"), 9);
  EXPECT_EQ(k.id("h/aa/xx/bb"), 1);  // a phrase beats a keyword found earlier

  // A waiting phrase cancelled by a later forbidden word gives way to the next one.
  kwlist f;
  ASSERT_EQ(f.add("aa+bb", "k", 1), 0);
  ASSERT_EQ(f.add("ff+gg+!no", "k", 2), 0);
  ASSERT_EQ(f.add("cc+dd+ee", "k", 3), 0);
  EXPECT_EQ(f.id("h/cc/aa/bb/ff/gg"), 2);
  EXPECT_EQ(f.id("h/cc/aa/bb/ff/gg/no"), 1);
  // A phrase with a forbidden word always waits for the end of the text.
  EXPECT_EQ(f.id("h/ff/gg/aa/bb"), 1);
  EXPECT_EQ(f.id("h/ff/gg"), 2);
}

TEST(KeywordList, AnchorWordHidesTheWordsInsideIt) {
  kwlist k;
  ASSERT_EQ(k.add("sex+^sussex", "k", 1), 0);
  EXPECT_EQ(k.list->phrases[0]->required_count, 1u);
  EXPECT_EQ(k.id("h/sussex"), 0);
  EXPECT_EQ(k.id("h/sussex/sex"), 1);  // a later occurrence outside the anchor counts
  EXPECT_EQ(k.id("h/sex/sussex"), 1);  // found before the anchor
  EXPECT_EQ(k.id("h/essex"), 1);

  // The start of the word found is compared with the end of the anchor in the text.
  kwlist o;
  ASSERT_EQ(o.add("cdx+^abcd", "k", 2), 0);
  ASSERT_EQ(o.add("ef+^abcd", "k", 3), 0);
  EXPECT_EQ(o.id("h/abcdx"), 0);   // "cdx" starts inside "abcd" and reaches beyond it
  EXPECT_EQ(o.id("h/abcdef"), 3);  // "ef" starts right at the anchor's end
  EXPECT_EQ(o.id("h/abcd/cdx"), 2);

  // Anchors and forbidden words are not required: a phrase of anchors alone is complete
  // as soon as one of them is found; one of forbidden words alone never is.
  kwlist a;
  ASSERT_EQ(a.add("^only+^anchors", "k", 4), 0);
  ASSERT_EQ(a.add("!no+!never", "k", 5), 0);
  EXPECT_EQ(a.list->phrases[0]->required_count, 0u);
  EXPECT_EQ(a.id("h/anchors"), 4);
  EXPECT_EQ(a.id("h/no/never"), 0);
  EXPECT_EQ(a.id("h/nothing"), 0);

  // A complete phrase that waits (it has a forbidden word) and is touched again stays in
  // the waiting chain once; the scan ends and the answer is right.
  kwlist w;
  ASSERT_EQ(w.add("!xq+^bb", "k", 6), 0);
  ASSERT_EQ(w.add("cc+dd", "k", 7), 0);
  EXPECT_EQ(w.id("h/bb/bb/bb"), 6);
  EXPECT_EQ(w.id("h/cc/bb/bb/dd"), 7);
  EXPECT_EQ(w.id("h/bb/bb/xq"), 0);
}

TEST(KeywordList, WholeWordPhrasesAndSharedWords) {
  kwlist k;
  ASSERT_EQ(k.add("casino+online", "w", 1), 0);
  EXPECT_EQ(k.id("h/casino/online"), 1);
  EXPECT_EQ(k.id("h/casinos/online"), 0);
  EXPECT_EQ(k.id("h/casino/onlinex"), 0);

  // "casino" is a substring keyword and a word of the whole-word phrase: flag 2. Where it
  // fails the boundary test it still counts as the keyword, not for the phrase.
  kwlist b;
  ASSERT_EQ(b.add("casino", "K", 2), 0);
  ASSERT_EQ(b.add("casino+online", "w", 3), 0);
  EXPECT_EQ(b.id("h/mycasino/online"), 2);
  EXPECT_EQ(b.id("h/my/casino/online"), 3);

  // A whole-word keyword whose word is also used by a substring phrase: failing the test,
  // it still counts for that phrase, and (flag 2) as the keyword too.
  kwlist s;
  ASSERT_EQ(s.add("casino", "W", 4), 0);
  ASSERT_EQ(s.add("casino+bonus", "k", 5), 0);
  EXPECT_EQ(s.word("casino")->word_flag, KEYWORDLIST_BOTH);
  EXPECT_EQ(s.id("h/mycasino/bonus"), 5);
  EXPECT_EQ(s.id("h/mycasinox"), 4);

  // In phrase mode a whole-word keyword that fails is skipped as in keyword mode.
  kwlist m;
  ASSERT_EQ(m.add("bet", "W", 6), 0);
  ASSERT_EQ(m.add("x1+y1", "k", 7), 0);
  EXPECT_EQ(m.id("h/alphabet"), 0);
  EXPECT_EQ(m.id("h/alphabet/bet"), 6);
}

TEST(KeywordList, EmptyListsAndTexts) {
  kwlist none;
  EXPECT_EQ(none.lookup("casino"), nullptr);  // no list at all
  auto empty = keywordlist_initialize(nullptr, nullptr, nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(keywordlist_lookup(empty.get(), "casino", nullptr, nullptr), nullptr);
  EXPECT_EQ(keywordlist_lookup(empty.get(), "", nullptr, nullptr), nullptr);

  kwlist k;
  ASSERT_EQ(k.add("casino", "K", 1), 0);
  EXPECT_EQ(keywordlist_lookup(k.list.get(), nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(k.lookup(""), nullptr);

  // Null arguments when adding.
  urllist_action_ref a = make_action(2);
  EXPECT_EQ(keywordlist_add_keyword(nullptr, "x", a.get(), 0, 0), -3);
  EXPECT_EQ(keywordlist_add_keyword(k.list.get(), nullptr, a.get(), 0, 0), -3);
  EXPECT_EQ(keywordlist_add_keyword(k.list.get(), "x", nullptr, 0, 0), -3);
  EXPECT_EQ(keywordlist_add_entry(k.list, nullptr, a.get(), "K"), -8);
  EXPECT_EQ(a->refcount, 1);

  // A null or empty type word is "K".
  EXPECT_EQ(k.add("Poker", nullptr, 3), 0);
  EXPECT_EQ(k.add("Dice", "", 4), 0);
  EXPECT_EQ(k.id("h/poker"), 3);
  EXPECT_EQ(k.id("h/dicey"), 4);

  // An entry text that lower-cases to nothing is stored but can never be found.
  kwlist z;
  ASSERT_EQ(z.add("%00", "K", 5), 0);
  EXPECT_EQ(z.list->word_count, 1u);
  EXPECT_EQ(z.id("anything"), 0);
  EXPECT_EQ(z.add("", "K", 6), -10 /* same empty text */);
}

TEST(KeywordList, WordsOfEveryLengthAtEveryPlace) {
  // Words of 1 to 5 bytes at the start, in the middle and at the very end of texts of
  // every length, so that none is skipped where the text is too short for a full window.
  kwlist k;
  const char* words[] = {"q", "xz", "jvw", "kpqy", "zzkyx"};
  for (int i = 0; i < 5; i++) ASSERT_EQ(k.add(words[i], "K", i + 1), 0);
  for (int i = 0; i < 5; i++) {
    const std::string w = words[i];
    for (const std::string& text : {w, "/" + w, "ab" + w, w + "/", "abc/" + w + "e", "." + w}) {
      EXPECT_EQ(k.id(text.c_str()), i + 1) << text;
    }
  }
  EXPECT_EQ(k.id("jv"), 0);
  EXPECT_EQ(k.id("kp"), 0);
  EXPECT_EQ(k.id("zzky"), 0);
  EXPECT_EQ(k.id("x"), 0);
}

TEST(KeywordList, BoundaryStrings) {
  auto list = keywordlist_initialize("<< [", "]", nullptr);
  ASSERT_NE(list, nullptr);
  urllist_action_ref a = make_action(1);
  ASSERT_EQ(keywordlist_add_keyword(list.get(), "bet", a.get(), 1, 0), 0);
  auto hit = [&](const char* text) {
    return keywordlist_lookup(list.get(), text, nullptr, nullptr) != nullptr;
  };
  EXPECT_TRUE(hit("<<bet]"));
  EXPECT_TRUE(hit("x[bet]y"));
  EXPECT_TRUE(hit("bet]"));    // start of the text
  EXPECT_TRUE(hit("[bet"));    // end of the text
  EXPECT_FALSE(hit("/bet/"));  // punctuation no longer decides
  EXPECT_FALSE(hit("<bet]"));
  EXPECT_FALSE(hit("[bet["));

  // An empty boundary text is one empty string, which every position ends with.
  auto loose = keywordlist_initialize("", nullptr, nullptr);
  ASSERT_EQ(keywordlist_add_keyword(loose.get(), "bet", a.get(), 1, 0), 0);
  EXPECT_NE(keywordlist_lookup(loose.get(), "xbet/", nullptr, nullptr), nullptr);
  EXPECT_EQ(keywordlist_lookup(loose.get(), "xbetx", nullptr, nullptr), nullptr);
}

struct accept_log {
  std::vector<int64_t> offered;
  int64_t accept_id = 0;  // the one to accept; 0 refuses all
};

int accept_one(const urllist_action* action, void* arg) {
  auto* log = static_cast<accept_log*>(arg);
  const int64_t id = urllist_action_list_number(action);
  log->offered.push_back(id);
  return id == log->accept_id;
}

TEST(KeywordList, AcceptCallback) {
  kwlist k;
  ASSERT_EQ(k.add("poker", "K", 1), 0);
  ASSERT_EQ(k.add("pokerstars", "K", 2), 0);
  ASSERT_EQ(k.add("dice", "K", 3), 0);
  accept_log log{{}, 3};
  const keywordlist_entry* e =
      keywordlist_lookup(k.list.get(), "pokerstars/dice", accept_one, &log);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->text, "dice");
  EXPECT_EQ(log.offered, (std::vector<int64_t>{2, 1, 3}));
  accept_log none{{}, 0};
  EXPECT_EQ(keywordlist_lookup(k.list.get(), "pokerstars/dice", accept_one, &none), nullptr);
  EXPECT_EQ(none.offered.size(), 3u);

  // Phrase mode: a phrase completing with the most words is offered; a refused one is
  // neither the result nor pending, and the end results are not offered.
  kwlist p;
  ASSERT_EQ(p.add("aa+bb", "k", 4), 0);
  ASSERT_EQ(p.add("cc", "K", 5), 0);
  accept_log refuse{{}, 0};
  e = keywordlist_lookup(p.list.get(), "cc/aa/bb", accept_one, &refuse);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->text, "cc");  // the fallback, not offered
  EXPECT_EQ(refuse.offered, (std::vector<int64_t>{4}));
  accept_log take{{}, 4};
  e = keywordlist_lookup(p.list.get(), "cc/aa/bb", accept_one, &take);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->text, "aa+bb");
}

// A callback that scans another phrase-mode list from inside a scan.
struct nested {
  const keywordlist* inner;
  int inner_hits = 0;
};
int nested_accept(const urllist_action*, void* arg) {
  auto* n = static_cast<nested*>(arg);
  if (keywordlist_lookup(n->inner, "h/x1/y1", nullptr, nullptr) != nullptr) n->inner_hits++;
  return 1;
}

TEST(KeywordList, ScanInsideAScan) {
  kwlist outer;
  ASSERT_EQ(outer.add("aa+bb", "k", 1), 0);
  kwlist inner;
  ASSERT_EQ(inner.add("x1+y1", "k", 2), 0);
  nested n{inner.list.get()};
  const keywordlist_entry* e = keywordlist_lookup(outer.list.get(), "h/aa/bb", nested_accept, &n);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->text, "aa+bb");
  EXPECT_EQ(n.inner_hits, 1);
  // The outer scan's state survived: the same lists answer as before afterwards.
  EXPECT_EQ(outer.id("h/bb/aa"), 1);
  EXPECT_EQ(inner.id("h/y1/x1"), 2);
}

std::vector<int64_t> g_released;
void note_release(urllist_action* action) {
  g_released.push_back(urllist_action_list_number(action));
  EXPECT_GE(action->refcount, 1);  // still alive while the callback runs
}

TEST(KeywordList, ReleaseHandsEveryActionToTheCallback) {
  g_released.clear();
  urllist_action_ref kept = make_action(1);
  {
    auto list = keywordlist_initialize(nullptr, nullptr, note_release);
    ASSERT_EQ(keywordlist_add_keyword(list.get(), "casino", kept.get(), 0, 0), 0);
    urllist_action_ref p = make_action(2);
    ASSERT_EQ(keywordlist_add_keyword(list.get(), "casino+online", p.get(), 1, 1), 0);
    urllist_action_ref dup = make_action(3);
    ASSERT_EQ(keywordlist_add_keyword(list.get(), "casino", dup.get(), 0, 0), -2);
    EXPECT_EQ(kept->refcount, 2);
    EXPECT_EQ(p->refcount, 2);
    keywordlist_terminate(std::move(list));
    EXPECT_EQ(p->refcount, 1);
  }
  EXPECT_EQ(kept->refcount, 1);
  // One call per action held: the keyword's and the phrase's, not the duplicate's, and not
  // for the phrase words without action.
  std::sort(g_released.begin(), g_released.end());
  EXPECT_EQ(g_released, (std::vector<int64_t>{1, 2}));
  keywordlist_terminate(nullptr);
}

}  // namespace

// A word met again later in the text is looked at again only when its first meeting could
// not settle all its phrase places (inside an anchor, failing a word boundary, or being an
// anchor itself); a word shared by many phrases is loaded and scanned in linear time.
TEST(KeywordList, RepeatedWordsAndManyPhrasesSharingOne) {
  kwlist a;
  ASSERT_EQ(a.add("sex+^sussex+toys", "k", 1), 0);
  EXPECT_EQ(a.id("h/sussex/toys"), 0);
  EXPECT_EQ(a.id("h/sussex/toys/sussex/sex"), 1);  // the later "sex" is outside the anchor
  EXPECT_EQ(a.id("h/sussexsussex/toys"), 0);       // the anchor moves with each meeting
  kwlist w;
  ASSERT_EQ(w.add("casino+online", "w", 2), 0);
  EXPECT_EQ(w.id("h/mycasino/online/casinos"), 0);
  EXPECT_EQ(w.id("h/mycasino/online/casino"), 2);  // the boundary passes the second time
  kwlist f;
  ASSERT_EQ(f.add("free+games+!demo", "k", 3), 0);
  EXPECT_EQ(f.id("h/free/games/free"), 3);
  EXPECT_EQ(f.id("h/free/games/free/demo"), 0);

  kwlist many;
  constexpr int phrases = 20000;
  for (int i = 0; i < phrases; ++i) {
    const std::string text = "shared+w" + std::to_string(i) + "x";
    ASSERT_EQ(many.add(text.c_str(), "k", i + 1), 0);
  }
  // The shared word is required once by each phrase.
  EXPECT_EQ(many.word("shared")->phrase_ref_count(), static_cast<uint32_t>(phrases));
  for (const auto& p : many.list->phrases) ASSERT_EQ(p->required_count, 2u);
  std::string text = "h/";
  for (int i = 0; i < 1000; ++i) text += "shared/";
  EXPECT_EQ(many.id(text.c_str()), 0);
  EXPECT_EQ(many.id((text + "w777x").c_str()), 778);
  EXPECT_EQ(many.id(("h/w19999x/" + text).c_str()), 20000);
  // A phrase naming a word twice still counts it once.
  ASSERT_EQ(many.add("twice+twice+once", "k", 99999), 0);
  EXPECT_EQ(many.list->phrases.back()->required_count, 2u);
}
