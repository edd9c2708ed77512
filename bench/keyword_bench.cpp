// Keyword scan speed: typical 80-byte lower-cased URLs against 10,000 keywords and 1,000
// phrases (which puts the scan in phrase mode, so every URL is scanned to its end), and for
// comparison against the keywords alone (keyword mode, the scan stops at the first match).
//
// All data comes from a fixed-seed generator: words are built from syllables, a fifth of the
// keywords are whole-word entries, a quarter of the phrases whole-word phrases; phrases have
// two or three words (a few forbidden "!" or anchors "^"), three in ten of them keywords;
// URLs are host, path and query made of such words (see make_data for the two data sets).
// The counters report the share of URLs that matched anything ("matched") and a phrase.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "stores/keywordlist.h"
#include "util/cvlog.h"

namespace {

struct rng {
  uint64_t s;
  uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

const char* const kOnsets[] = {"b",  "c",  "d",  "f",  "g",  "h",  "j",  "k",  "l",
                               "m",  "n",  "p",  "r",  "s",  "t",  "v",  "w",  "z",
                               "st", "tr", "pl", "gr", "sh", "ch", "br", "cl", "sp"};
const char* const kVowels[] = {"a", "e", "i", "o", "u", "ai", "ou", "ee", "y"};

std::string make_word(rng& r, int min_syl, int max_syl) {
  std::string w;
  const int n = min_syl + static_cast<int>(r.below(max_syl - min_syl + 1));
  for (int i = 0; i < n; i++) {
    w += kOnsets[r.below(std::size(kOnsets))];
    w += kVowels[r.below(std::size(kVowels))];
  }
  if (r.below(3) == 0) w += "nrst"[r.below(4)];
  return w;
}

struct bench_data {
  std::vector<std::string> keywords;
  std::vector<std::string> phrases;
  std::vector<std::string> urls;
};

// Typical data: keywords of three or four syllables, URL words of one to three, so that a
// URL holds a keyword mostly where one was planted: a keyword in one URL of ten, all words
// of a phrase in one of thirty, a single phrase word in another one of thirty. About one URL
// in seven matches, the common case of a filter is a full scan that finds nothing.
//
// Dense data (a stress case): keywords of two to four syllables and URLs drawn from keywords
// for a quarter of their words; nearly every URL holds several keywords, and every keyword
// found is handed to the phrase logic.
bench_data make_data(bool dense) {
  bench_data b;
  rng r{dense ? 0x9e3779b97f4a7c15ULL : 0x2545f4914f6cdd1dULL};
  std::set<std::string> seen;
  while (b.keywords.size() < 10000) {
    std::string w = make_word(r, dense ? 2 : 3, 4);
    if (seen.insert(w).second) b.keywords.push_back(w);
  }
  std::vector<std::string> other;  // words that are not keywords
  while (other.size() < 20000) {
    std::string w = make_word(r, 1, dense ? 4 : 3);
    if (seen.insert(w).second) other.push_back(w);
  }
  std::vector<std::string> phrase_words;
  while (phrase_words.size() < 3000) {
    std::string w = make_word(r, dense ? 1 : 3, dense ? 4 : 3);
    if (seen.insert(w).second) phrase_words.push_back(w);
  }
  auto keyword = [&]() -> const std::string& { return b.keywords[r.below(b.keywords.size())]; };
  auto url_word = [&]() -> const std::string& {
    return dense && r.below(4) == 0 ? keyword() : other[r.below(other.size())];
  };
  std::vector<std::vector<std::string>> required;  // the required words of each phrase
  for (int i = 0; i < 1000; i++) {
    const int n = 2 + static_cast<int>(r.below(2));
    std::string p;
    required.emplace_back();
    for (int j = 0; j < n; j++) {
      if (j > 0) p += '+';
      const std::string& w = r.below(10) < 3 ? keyword() : phrase_words[r.below(3000)];
      const size_t kind = r.below(20);
      if (j > 0 && kind == 0) {
        p += '!';
      } else if (j > 0 && kind == 1) {
        p += '^';
      } else {
        required.back().push_back(w);
      }
      p += w;
    }
    b.phrases.push_back(p);
  }
  static const char* const kTlds[] = {".com", ".net", ".org", ".de", ".co.uk"};
  for (int i = 0; i < 8192; i++) {
    std::string u = r.below(4) == 0 ? "https://" : "http://";
    if (r.below(2) == 0) u += "www.";
    u += url_word();
    if (r.below(2) == 0) {
      u += '-';
      u += url_word();
    }
    u += kTlds[r.below(std::size(kTlds))];
    const size_t plant = r.below(30);
    if (plant < 3) {
      u += '/';
      u += keyword();
    } else if (plant == 3) {
      for (const std::string& w : required[r.below(required.size())]) {
        u += '/';
        u += w;
      }
    } else if (plant == 4) {
      const auto& words = required[r.below(required.size())];
      u += '/';
      u += words[r.below(words.size())];
    }
    while (u.size() < 80) {
      u += '/';
      u += url_word();
      if (r.below(3) == 0) {
        u += '_';
        u += std::to_string(r.below(1000));
      }
      if (r.below(5) == 0) {
        u += "?id=";
        u += std::to_string(r.below(100000));
        u += "&q=";
        u += url_word();
      }
    }
    u.resize(80);
    b.urls.push_back(u);
  }
  return b;
}

const bench_data& data(bool dense) {
  static const bench_data typical = make_data(false);
  static const bench_data stress = make_data(true);
  return dense ? stress : typical;
}

std::unique_ptr<keywordlist> build(bool with_phrases, bool dense) {
  cvlog_set_silent(true);
  const bench_data& d = data(dense);
  std::unique_ptr<keywordlist> list;
  for (size_t i = 0; i < d.keywords.size(); i++) {
    urllist_action_ref a =
        urllist_action_share(urllist_action_new(URLLIST_ACTION_DENY, nullptr, -1));
    keywordlist_add_entry(list, d.keywords[i].c_str(), a.get(), i % 5 == 0 ? "W" : "K");
  }
  if (with_phrases) {
    for (size_t i = 0; i < d.phrases.size(); i++) {
      urllist_action_ref a =
          urllist_action_share(urllist_action_new(URLLIST_ACTION_ALLOW, nullptr, -1));
      keywordlist_add_entry(list, d.phrases[i].c_str(), a.get(), i % 4 == 0 ? "w" : "k");
    }
  }
  cvlog_set_silent(false);
  return list;
}

void scan(benchmark::State& state, bool with_phrases, bool dense) {
  const std::unique_ptr<keywordlist> list = build(with_phrases, dense);
  const std::vector<std::string>& urls = data(dense).urls;
  size_t i = 0;
  int64_t hits = 0, phrase_hits = 0, n = 0;
  for (auto _ : state) {
    const keywordlist_entry* e = keywordlist_lookup(list.get(), urls[i].c_str(), nullptr, nullptr);
    benchmark::DoNotOptimize(e);
    if (e != nullptr) {
      hits++;
      if (e->action->kind == URLLIST_ACTION_ALLOW) phrase_hits++;
    }
    n++;
    if (++i == urls.size()) i = 0;
  }
  state.SetItemsProcessed(n);
  state.counters["matched"] = static_cast<double>(hits) / static_cast<double>(n);
  state.counters["phrase"] = static_cast<double>(phrase_hits) / static_cast<double>(n);
}

void BM_KeywordScan_10kKeywords_1kPhrases(benchmark::State& state) { scan(state, true, false); }
void BM_KeywordScan_10kKeywordsOnly(benchmark::State& state) { scan(state, false, false); }
void BM_KeywordScan_Dense_10kKeywords_1kPhrases(benchmark::State& state) {
  scan(state, true, true);
}
void BM_KeywordScan_Dense_10kKeywordsOnly(benchmark::State& state) { scan(state, false, true); }

}  // namespace

BENCHMARK(BM_KeywordScan_10kKeywords_1kPhrases);
BENCHMARK(BM_KeywordScan_10kKeywordsOnly);
BENCHMARK(BM_KeywordScan_Dense_10kKeywords_1kPhrases);
BENCHMARK(BM_KeywordScan_Dense_10kKeywordsOnly);

BENCHMARK_MAIN();
