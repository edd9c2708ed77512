#include "catmapping_lib.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "support/run_process.h"

namespace {

category_set cats(std::initializer_list<uint32_t> list) {
  category_set s;
  for (uint32_t c : list) s.add(c);
  return s;
}

// The flags as the tool sets them unless a test says otherwise: keep-new-URL off and
// append-general off, so that only the rule under test acts.
class CatmappingLibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    catmapping_lib_initialize(0);
    catmapping_lib_append_general(0);
  }
  void TearDown() override {
    catmapping_lib_append_general(1);
    catmapping_lib_terminate();
  }

  std::unique_ptr<catmappingobj> load(const std::string& text, const std::string& removing = "0") {
    std::string path = dir_.write("map" + std::to_string(files_++) + ".dat", text);
    return catmapping_lib_load(path.c_str(), removing);
  }

  std::string map(catmappingobj* obj, int version, std::initializer_list<uint32_t> list) {
    category_set s = cats(list);
    catmapping_lib_mapcats(obj, version, &s);
    return s.to_string();
  }

  std::string custom_map(const custommappingobj* obj, std::initializer_list<uint32_t> list) {
    category_set s = cats(list);
    catmapping_lib_custom_mapcats(obj, &s);
    return s.to_string();
  }

  static std::string dump(catmappingobj* obj, int version, int* rc) {
    return capture([&](FILE* f) { *rc = catmapping_lib_dump_mapping(obj, f, version); });
  }

  template <typename F>
  static std::string capture(F write) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    write(f);
    fclose(f);
    std::string out(buf, len);
    free(buf);
    return out;
  }

  cv_tempdir dir_;
  int files_ = 0;
};

TEST_F(CatmappingLibTest, CascadesFromTheNewestVersionDown) {
  auto obj = load("2 10 20\n1 20 30\n");
  ASSERT_TRUE(obj);
  EXPECT_EQ(obj->highest, 2);
  EXPECT_EQ(obj->lowest, 1);
  EXPECT_EQ(map(obj.get(), 1, {10}), "30");
  EXPECT_EQ(map(obj.get(), 1, {20}), "30");
  EXPECT_EQ(map(obj.get(), 1, {5}), "5");
  EXPECT_EQ(map(obj.get(), 2, {10}), "20");
  EXPECT_EQ(map(obj.get(), 2, {20}), "20");
  int rc = -9;
  EXPECT_EQ(dump(obj.get(), 1, &rc), "1 10 30\n1 20 30\n");
  EXPECT_EQ(rc, 0);
}

TEST_F(CatmappingLibTest, PairThatMapsBackCancels) {
  auto obj = load("2 10 20\n1 20 10\n");
  ASSERT_TRUE(obj);
  EXPECT_EQ(map(obj.get(), 1, {10}), "10");
  EXPECT_EQ(map(obj.get(), 1, {20}), "20");
  int rc = -9;
  EXPECT_EQ(dump(obj.get(), 1, &rc), "");
  EXPECT_EQ(rc, 0);
  // Version 2 alone still maps.
  EXPECT_EQ(map(obj.get(), 2, {10}), "20");
}

TEST_F(CatmappingLibTest, TwoFieldRuleRemovesTheCategory) {
  auto obj = load("1 7\n", "0");
  ASSERT_TRUE(obj);
  EXPECT_EQ(map(obj.get(), 1, {7, 9}), "9");
  EXPECT_EQ(map(obj.get(), 1, {7}), "45");
  // Another removing list keeps the 0 destination as a category.
  auto kept = load("1 7\n", "5");
  EXPECT_EQ(map(kept.get(), 1, {7, 9}), "0,9");
}

TEST_F(CatmappingLibTest, DestinationOutsideTheFileLeavesTheSetAlone) {
  auto obj = load("2 10 20\n1 20 30\n");
  ASSERT_TRUE(obj);
  // Even the clean-up does not run: 254 stays although the keep flag is off.
  EXPECT_EQ(map(obj.get(), 3, {10, 254}), "10,254");
  EXPECT_EQ(catmapping_lib_error().value_or(""),
            "The destination cascade version exceeds ranges provided in catmapping file\n");
  EXPECT_EQ(map(obj.get(), 0, {10}), "10");
  int rc = -9;
  EXPECT_EQ(dump(obj.get(), 3, &rc), "No mapping rules for the category version 3\n");
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(catmapping_lib_dump_mapping(nullptr, stdout, 1), -1);
  EXPECT_EQ(catmapping_lib_dump_mapping(obj.get(), nullptr, 1), -1);
  catmapping_lib_mapcats(nullptr, 1, nullptr);  // null object: nothing happens
}

TEST_F(CatmappingLibTest, EachHitMapsOnItsOwn) {
  // 10->20 and 20->30 in one cascade: 10 becomes 20 and the old 20 becomes 30.
  auto obj = load("1 10 20\n1 20 30\n");
  ASSERT_TRUE(obj);
  EXPECT_EQ(map(obj.get(), 1, {10, 20}), "20,30");
  EXPECT_EQ(map(obj.get(), 1, {10}), "20");
  EXPECT_EQ(map(obj.get(), 1, {20, 40}), "30,40");
  // Two hits with the same destination give it once.
  auto merge = load("1 10 50\n1 20 50\n");
  EXPECT_EQ(map(merge.get(), 1, {10, 20, 60}), "50,60");
}

TEST_F(CatmappingLibTest, CleanUpOfNewUrlAndGeneralCategories) {
  auto obj = load("1 100 101\n");
  ASSERT_TRUE(obj);
  EXPECT_EQ(map(obj.get(), 1, {254, 12}), "12");
  EXPECT_EQ(map(obj.get(), 1, {246, 254}), "246,254");
  EXPECT_EQ(map(obj.get(), 1, {244, 254}), "244,254");
  EXPECT_EQ(map(obj.get(), 1, {252, 254}), "252,254");
  EXPECT_EQ(map(obj.get(), 1, {254}), "254");
  EXPECT_EQ(map(obj.get(), 1, {246, 252, 254}), "246,252");
  EXPECT_EQ(map(obj.get(), 1, {100, 254}), "101");
  EXPECT_EQ(map(obj.get(), 1, {301}), "301");

  catmapping_lib_append_general(1);
  EXPECT_EQ(map(obj.get(), 1, {301}), "45,301");
  EXPECT_EQ(map(obj.get(), 1, {302}), "45,302");
  EXPECT_EQ(map(obj.get(), 1, {301, 12}), "12,301");
  // The append rule takes the place of the 254 rule.
  EXPECT_EQ(map(obj.get(), 1, {254, 12}), "12");

  catmapping_lib_initialize(1);
  EXPECT_EQ(map(obj.get(), 1, {254, 12}), "12,254");
  EXPECT_EQ(map(obj.get(), 1, {100, 254}), "101,254");
}

TEST_F(CatmappingLibTest, FileFormatDetails) {
  auto obj = load(
      "# comment\n"
      "\n"
      "   \t# indented comment\n"
      "  \t3 1 2\n"   // leading white space is skipped
      "3 5 6\r7 8\n"  // cut at the first carriage return
      "3 5 9\n"       // replaces the earlier rule for 5
      "3  7 8\n"      // two spaces: four fields, ignored
      "3 11 12 13\n"  // four fields, ignored
      "3\n"           // one field, ignored
      "x 20 21\n"     // text reads as 0
      "3 30\n"        // two fields: destination 0
      "3 40 41");     // no newline: not read
  ASSERT_TRUE(obj);
  EXPECT_EQ(obj->highest, 3);
  EXPECT_EQ(obj->rule_count, 5u);
  std::string all = capture([&](FILE* f) { catmapping_lib_dump_mappings(obj.get(), f); });
  EXPECT_EQ(all,
            "Category Mappings for Versions\n#VERSION FROMCAT TOCAT\n"
            "0 20 21\n3 1 2\n3 5 9\n3 30 0\n"
            "Cascade Mappings for Versions\n#VERSION FROMCAT TOCAT\n");
  // The version-0 rule lowered the lowest bound to 0 ("none yet"), so the next rule took it.
  EXPECT_EQ(obj->lowest, 3);
  EXPECT_EQ(map(obj.get(), 3, {1, 5, 30, 40}), "2,9,40");
  all = capture([&](FILE* f) { EXPECT_EQ(catmapping_lib_dump_mappings(obj.get(), f), 0); });
  EXPECT_EQ(all,
            "Category Mappings for Versions\n#VERSION FROMCAT TOCAT\n"
            "0 20 21\n3 1 2\n3 5 9\n3 30 0\n"
            "Cascade Mappings for Versions\n#VERSION FROMCAT TOCAT\n"
            "3 1 2\n3 5 9\n3 30 0\n");
  EXPECT_EQ(catmapping_lib_dump_mappings(nullptr, stdout), 1);
}

TEST_F(CatmappingLibTest, VersionZeroHandsTheBoundsOver) {
  // 0 means "none yet": after a version-0 rule the next rule sets the lowest bound again.
  auto obj = load("0 1 2\n3 5 6\n");
  ASSERT_TRUE(obj);
  EXPECT_EQ(obj->highest, 3);
  EXPECT_EQ(obj->lowest, 3);
  auto neg = load("-2 1 2\n4 5 6\n");
  EXPECT_EQ(neg->highest, 4);
  EXPECT_EQ(neg->lowest, -2);
  EXPECT_EQ(map(neg.get(), -2, {1, 5}), "2,6");
}

TEST_F(CatmappingLibTest, FilesWithoutRulesAreRejected) {
  for (const char* text :
       {"", "# only\n#comments\n", "1 2 3 4\n5 6 7 8 9\n", "1 2 3", "\n\n  \n"}) {
    EXPECT_FALSE(load(text)) << text;
    EXPECT_EQ(catmapping_lib_error().value_or(""),
              "No valid mapping rules in the category mapping file.\n");
    EXPECT_EQ(catmapping_lib_has_error(), 1);
  }
  EXPECT_FALSE(catmapping_lib_load((dir_.path() + "/missing.dat").c_str(), "0"));
  EXPECT_EQ(catmapping_lib_error().value_or(""), "Could not open category mapping file.\n");
  EXPECT_FALSE(catmapping_lib_load(nullptr, "0"));
  // A good load clears the error text.
  EXPECT_TRUE(load("1 2 3\n"));
  EXPECT_EQ(catmapping_lib_has_error(), 0);
  EXPECT_FALSE(catmapping_lib_error());
  catmapping_lib_set_error("x");
  catmapping_lib_terminate();
  EXPECT_FALSE(catmapping_lib_error());
}

TEST_F(CatmappingLibTest, CategoryListsStopAtTheFirstPieceThatIsNoNumber) {
  auto parse = [](std::string_view text) {
    category_set s;
    catmapping_lib_parse_categories(text, s);
    return s.to_string();
  };
  EXPECT_EQ(parse("9,x,3"), "9");
  EXPECT_EQ(parse("9,,3"), "3,9");
  EXPECT_EQ(parse(",3"), "3");
  EXPECT_EQ(parse("3,1,2,3"), "1,2,3");
  EXPECT_EQ(parse("5abc,6"), "5,6");
  EXPECT_EQ(parse("-5,6"), "");
  EXPECT_EQ(parse(""), "");
  EXPECT_EQ(parse(",,"), "");
  EXPECT_EQ(parse("4294967295,1"), "1,4294967295");
  EXPECT_EQ(parse("1,4294967296,2"), "1");
  EXPECT_EQ(parse("1,99999999999999999999999,2"), "1");
  // The removing list follows the same rule.
  auto obj = load("1 5 7\n1 6 8\n1 9 3\n", "7,x,8");
  EXPECT_EQ(map(obj.get(), 1, {5, 6, 9}), "3,8");
}

TEST_F(CatmappingLibTest, CompositionAndCascadeDirections) {
  catmapping_rules p{{1, 2}, {3, 4}, {5, 6}};
  catmapping_rules n{{2, 9}, {4, 3}, {7, 8}};
  auto r = catmapping_lib_accumulate_mappings(&p, &n);
  ASSERT_TRUE(r);
  // 1->2->9; 3->4->3 cancels (3 and 4 dropped); 5->6 carried; 7->8 and 2->9 from n.
  EXPECT_EQ(*r, (catmapping_rules{{1, 9}, {2, 9}, {5, 6}, {7, 8}}));
  EXPECT_EQ(*catmapping_lib_accumulate_mappings(&p, nullptr), p);
  EXPECT_EQ(*catmapping_lib_accumulate_mappings(nullptr, &n), n);
  EXPECT_FALSE(catmapping_lib_accumulate_mappings(nullptr, nullptr));

  auto obj = load("3 1 2\n2 2 3\n1 3 4\n");
  ASSERT_TRUE(obj);
  EXPECT_EQ(*catmapping_lib_cascade(obj.get(), 4, 1), (catmapping_rules{{1, 4}, {2, 4}, {3, 4}}));
  EXPECT_EQ(*catmapping_lib_cascade(obj.get(), 4, 3), (catmapping_rules{{1, 2}}));
  // Going up composes a+1 .. b.
  EXPECT_EQ(*catmapping_lib_cascade(obj.get(), 1, 3), (catmapping_rules{{1, 2}, {2, 3}}));
  EXPECT_FALSE(catmapping_lib_cascade(obj.get(), 2, 2));
  EXPECT_FALSE(catmapping_lib_cascade(obj.get(), 4, 0));
  EXPECT_FALSE(catmapping_lib_cascade(obj.get(), 5, 1));
  EXPECT_FALSE(catmapping_lib_cascade(nullptr, 4, 1));
}

// The cascade composes the versions without copying the accumulated rules at each step; it
// must give exactly what composing them one by one with catmapping_lib_accumulate_mappings
// gives, cycles, merges and cancelled pairs included. Few categories make those frequent.
TEST_F(CatmappingLibTest, CascadeAgreesWithStepByStepComposition) {
  uint32_t seed = 7;
  auto next = [&seed](uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  for (int round = 0; round < 400; ++round) {
    const int versions = 1 + static_cast<int>(next(8));
    const uint32_t cats = 2 + next(6);
    std::string text;
    for (int v = 1; v <= versions; ++v) {
      const uint32_t rules = next(5);
      for (uint32_t r = 0; r < rules; ++r) {
        text += std::to_string(v) + " " + std::to_string(next(cats)) + " " +
                std::to_string(next(cats)) + "\n";
      }
    }
    text += std::to_string(versions) + " 0 0\n";  // at least one rule, in the top version
    auto obj = load(text);
    ASSERT_TRUE(obj) << text;
    for (int64_t a = obj->lowest; a <= obj->highest + 1; ++a) {
      for (int64_t b = obj->lowest; b <= obj->highest + 1; ++b) {
        std::optional<catmapping_rules> expected;
        auto fold = [&](int v) {
          auto it = obj->versions.find(v);
          if (it == obj->versions.end()) return;
          expected = catmapping_lib_accumulate_mappings(expected ? &*expected : nullptr,
                                                        &it->second);
        };
        if (a != b) {
          if (b < a) {
            for (int64_t v = a - 1; v >= b; --v) fold(static_cast<int>(v));
          } else {
            for (int64_t v = a + 1; v <= b; ++v) fold(static_cast<int>(v));
          }
        }
        EXPECT_EQ(catmapping_lib_cascade(obj.get(), a, b), expected)
            << "from " << a << " to " << b << " with rules\n"
            << text;
      }
    }
  }
  // A version per rule, each rule new: linear now (25 s for 20,000 versions before).
  std::string chain;
  for (int v = 1; v <= 20000; ++v) {
    chain += std::to_string(v) + " " + std::to_string(v) + " " + std::to_string(v + 1) + "\n";
  }
  auto obj = load(chain);
  ASSERT_TRUE(obj);
  auto rules = catmapping_lib_cascade(obj.get(), 20001, 1);
  ASSERT_TRUE(rules);
  EXPECT_EQ(rules->size(), 20000u);
  EXPECT_EQ(rules->at(1), 2);
  EXPECT_EQ(rules->at(20000), 20001);
}

TEST_F(CatmappingLibTest, FarApartVersionsCascadeWithoutWalkingTheGap) {
  // Two billion versions without rules in between: only the present ones are composed.
  auto obj = load("1 5 6\n2000000000 1 2\n");
  ASSERT_TRUE(obj);
  EXPECT_EQ(map(obj.get(), 1, {1, 5}), "2,6");
  EXPECT_EQ(map(obj.get(), 1000, {1, 5}), "2,5");
  auto top = load("2147483647 1 2\n-2147483648 3 4\n");
  ASSERT_TRUE(top);
  EXPECT_EQ(map(top.get(), 2147483647, {1, 3}), "2,3");
  EXPECT_EQ(map(top.get(), INT_MIN, {1, 3}), "2,4");
}

TEST_F(CatmappingLibTest, LargeAndNegativeCategoriesAreMappedToo) {
  // Categories beyond the flat table are found in the rule tree; a negative rule category is
  // carried bit for bit.
  auto obj = load("1 70000 3\n1 4000000000 5\n1 6 -1\n");
  ASSERT_TRUE(obj);
  EXPECT_EQ(map(obj.get(), 1, {70000, 6}), "3,4294967295");
  EXPECT_EQ(map(obj.get(), 1, {4000000000u}), "4000000000");
  auto big = load("1 2147483647 8\n");
  EXPECT_EQ(map(big.get(), 1, {2147483647u, 1}), "1,8");
}

TEST_F(CatmappingLibTest, CustomRulesComposeAfterTheCascade) {
  auto obj = load("2 10 20\n1 20 30\n");
  ASSERT_TRUE(obj);
  auto custom = catmapping_lib_custom_create_buffer(obj.get(), 1, "0 30 40\n", "0");
  ASSERT_TRUE(custom);
  EXPECT_EQ(custom->srcversion, 3);
  EXPECT_EQ(custom->dstversion, 1);
  EXPECT_EQ(custom_map(custom.get(), {10, 7}), "7,40");
  EXPECT_EQ(custom_map(custom.get(), {30}), "40");
  std::string out =
      capture([&](FILE* f) { EXPECT_EQ(catmapping_lib_custom_dump_mapping(custom.get(), f), 0); });
  EXPECT_EQ(out, "1 10 40\n1 20 40\n1 30 40\n");
  EXPECT_EQ(catmapping_lib_custom_dump_mapping(nullptr, stdout), -1);

  // Only the custom file's lowest version counts; without object there is no cascade.
  auto alone = catmapping_lib_custom_create_buffer(nullptr, 5, "1 3 4\n0 1 2\n", "0");
  ASSERT_TRUE(alone);
  EXPECT_EQ(alone->srcversion, 0);
  EXPECT_EQ(custom_map(alone.get(), {1, 3}), "2,3");
  // Rules all of version 0 are valid rules.
  auto zero = catmapping_lib_custom_create_buffer(nullptr, 0, "0 1 0\n", "0");
  ASSERT_TRUE(zero);
  EXPECT_EQ(custom_map(zero.get(), {1}), "45");

  // No custom rules: the cascade alone.
  auto cascade_only = catmapping_lib_custom_create_buffer(obj.get(), 1, "# none\n", "0");
  ASSERT_TRUE(cascade_only);
  EXPECT_EQ(custom_map(cascade_only.get(), {10}), "30");
  // Nothing at all.
  EXPECT_FALSE(catmapping_lib_custom_create_buffer(nullptr, 1, "", "0"));
  EXPECT_EQ(catmapping_lib_error().value_or(""),
            "No valid mapping rules in the category mapping file.\n");
  // A destination the mapping file cannot reach.
  EXPECT_FALSE(catmapping_lib_custom_create_buffer(obj.get(), 0, "0 1 2\n", "0"));
  EXPECT_EQ(catmapping_lib_error().value_or(""),
            "The destination cascade version exceeds ranges provided in catmapping file\n");
  // At or above the source version: the custom rules alone.
  auto above = catmapping_lib_custom_create_buffer(obj.get(), 3, "0 10 11\n", "0");
  ASSERT_TRUE(above);
  EXPECT_EQ(custom_map(above.get(), {10, 20}), "11,20");
  // Its own removing list.
  auto removing = catmapping_lib_custom_create_buffer(nullptr, 1, "0 1 9\n0 2 3\n", "9");
  EXPECT_EQ(custom_map(removing.get(), {1, 2}), "3");
  catmapping_lib_custom_mapcats(nullptr, nullptr);
}

TEST_F(CatmappingLibTest, CustomObjectsFromFiles) {
  std::string map_path = dir_.write("versions.dat", "2 10 20\n1 20 30\n");
  std::string custom_path = dir_.write("custom.dat", "0 30 40\n");
  std::string missing = dir_.path() + "/missing.dat";
  auto obj = catmapping_lib_load(map_path.c_str(), "0");
  ASSERT_TRUE(obj);

  auto custom = catmapping_lib_custom_create(obj.get(), 1, custom_path.c_str(), "0");
  ASSERT_TRUE(custom);
  EXPECT_EQ(custom_map(custom.get(), {10}), "40");
  EXPECT_FALSE(catmapping_lib_custom_create(obj.get(), 1, missing.c_str(), "0"));
  EXPECT_EQ(catmapping_lib_error().value_or(""), "Could not open category mapping file.\n");

  auto loaded = catmapping_lib_custom_load(3, 1, map_path.c_str(), custom_path.c_str(), "0");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(custom_map(loaded.get(), {20}), "40");
  auto from_two = catmapping_lib_custom_load(2, 1, map_path.c_str(), custom_path.c_str(), "0");
  ASSERT_TRUE(from_two);
  EXPECT_EQ(custom_map(from_two.get(), {10, 20}), "10,40");

  EXPECT_FALSE(catmapping_lib_custom_load(4, 1, map_path.c_str(), custom_path.c_str(), "0"));
  EXPECT_EQ(catmapping_lib_error().value_or(""),
            "Source cat version given is greater than max cat version provided in catmapping "
            "file");
  EXPECT_FALSE(catmapping_lib_custom_load(3, 0, map_path.c_str(), custom_path.c_str(), "0"));
  EXPECT_EQ(catmapping_lib_error().value_or(""),
            "Destination cat version given is less than max cat version provided in catmapping "
            "file");
  // Without a readable mapping file: the custom rules alone.
  auto alone = catmapping_lib_custom_load(3, 1, missing.c_str(), custom_path.c_str(), "0");
  ASSERT_TRUE(alone);
  EXPECT_EQ(custom_map(alone.get(), {10, 30}), "10,40");
  EXPECT_EQ(catmapping_lib_error().value_or(""), "Could not open category mapping file.\n");
  catmapping_lib_terminate_custommappingobj(std::move(alone));
  catmapping_lib_terminate_catmappingobj(std::move(obj));
  catmapping_lib_terminate_catmappingobj(nullptr);
}

TEST_F(CatmappingLibTest, ThreadsShareTheCascadesOfOneObject) {
  std::string text;
  for (int v = 1; v <= 8; ++v)
    for (int c = 1; c <= 50; ++c)
      text.append(std::to_string(v)).append(" ").append(std::to_string(c)).append(" ").append(
          std::to_string(c + 1)).append("\n");
  auto obj = load(text);
  ASSERT_TRUE(obj);
  // Mapping 1 from version 9 to version v adds 9 - v (the 50 cap aside).
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        int v = 1 + (t + i) % 8;
        category_set s = cats({1});
        catmapping_lib_mapcats(obj.get(), v, &s);
        if (s.to_string() != std::to_string(1 + 9 - v)) ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
  EXPECT_EQ(obj->cascades.size(), 8u);
}

}  // namespace

TEST(CatmappingCascade, MadeFromRulesAnswersEachSourceAndIsReleasedByItsFreeFunction) {
  catmapping_rules rules{{10, 20}, {70000, 5}};
  catmapping_cascade* c = catmapping_lib_make_cascade(rules).release();
  ASSERT_NE(c, nullptr);
  int dst = 0;
  EXPECT_TRUE(c->find(10, &dst));
  EXPECT_EQ(dst, 20);
  EXPECT_TRUE(c->find(70000, &dst));  // beyond the flat table
  EXPECT_EQ(dst, 5);
  EXPECT_FALSE(c->find(11, &dst));
  EXPECT_EQ(c->srccats.to_string(), "10,70000");
  catmapping_lib_free_cascademapping(c);  // the sanitizer build reports a leak otherwise
  catmapping_lib_free_cascademapping(nullptr);
}
