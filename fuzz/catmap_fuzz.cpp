// Fuzzes the category mapping library: rules text, a category list to map, custom rules and a
// removing list, separated by NUL bytes, after two bytes that pick the destination version and
// the clean-up flags.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "catmapping_lib.h"

namespace {

std::string_view next_piece(std::string_view& rest) {
  size_t nul = rest.find('\0');
  std::string_view piece = rest.substr(0, nul);
  rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  return piece;
}

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FILE* sink = fopen("/dev/null", "w");
  if (size < 2) return 0;
  int version = static_cast<int8_t>(data[0]);
  catmapping_lib_initialize(data[1] & 1);
  catmapping_lib_append_general((data[1] >> 1) & 1);
  std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  std::string_view rules = next_piece(rest);
  std::string_view categories = next_piece(rest);
  std::string_view custom_rules = next_piece(rest);
  std::string_view removing = next_piece(rest);

  catmappingobj obj;
  catmapping_lib_parse_categories(removing, obj.removing);
  bool loaded = catmapping_lib_create_versionmappings_buffer(&obj, rules) == 0;
  check(loaded == (obj.rule_count > 0));

  category_set set;
  catmapping_lib_parse_categories(categories, set);
  category_set original = set;
  catmapping_lib_mapcats(&obj, version, &set);
  bool mapped = obj.cascades.count(version) != 0;
  // Without a cascade nothing changes; with one, the clean-up never leaves an empty set.
  check(mapped ? !set.empty() : set == original);
  for (uint32_t i = 1; i < set.count(); ++i) check(set[i - 1] < set[i]);

  catmapping_lib_dump_mapping(&obj, sink, version);
  catmapping_lib_dump_mapping(&obj, sink, version + 1);
  catmapping_lib_dump_mappings(&obj, sink);

  auto custom =
      catmapping_lib_custom_create_buffer(loaded ? &obj : nullptr, version, custom_rules, removing);
  if (custom) {
    check(!custom->mapping.rules.empty());
    category_set again = original;
    catmapping_lib_custom_mapcats(custom.get(), &again);
    check(!again.empty());
    catmapping_lib_custom_dump_mapping(custom.get(), sink);
  }
  catmapping_lib_terminate();
  return 0;
}
