// The libraries run one way (util <- records <- stores <- engine <- programs), and the
// programs see the engine only through its public headers. A stray include compiles fine
// and only shows when someone tries to change one layer without the others, so it is
// checked here on the sources themselves.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

fs::path source_root() { return fs::path(CV_TEST_DATA_DIR).parent_path().parent_path(); }

// "file: include line" for every #include in the sources below `dir` that names one of
// `headers` (a prefix such as "urllist/" or a whole path).
std::vector<std::string> includes_of(const fs::path& dir, const std::vector<std::string>& headers) {
  std::vector<std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    auto ext = e.path().extension();
    if (ext != ".h" && ext != ".cpp") continue;
    std::ifstream in(e.path());
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("#include \"", 0) != 0) continue;
      for (const auto& h : headers) {
        if (line.compare(10, h.size(), h) == 0) {
          found.push_back(fs::relative(e.path(), source_root()).string() + ": " + line);
        }
      }
    }
  }
  return found;
}

size_t line_count(const fs::path& file) {
  std::ifstream in(file);
  size_t n = 0;
  std::string line;
  while (std::getline(in, line)) ++n;
  return n;
}

TEST(Layers, IncludesRunOneWay) {
  const fs::path lib = source_root() / "libcore";
  ASSERT_TRUE(fs::is_directory(lib / "urllist")) << lib;
  EXPECT_EQ(includes_of(lib / "util", {"records/", "stores/", "urllist/"}),
            std::vector<std::string>{});
  EXPECT_EQ(includes_of(lib / "records", {"stores/", "urllist/"}), std::vector<std::string>{});
  EXPECT_EQ(includes_of(lib / "stores", {"urllist/"}), std::vector<std::string>{});
}

TEST(Layers, ProgramsUseOnlyTheEnginesPublicHeaders) {
  const std::vector<std::string> private_headers = {
      "urllist/urllist_impl.h",  "urllist/urllist_node.h",   "urllist/sibling_tree.h",
      "urllist/child_index.h",   "urllist/category_sharing.h"};
  EXPECT_EQ(includes_of(source_root() / "tools", private_headers), std::vector<std::string>{});
  // A private header that no engine file includes would make the check above vacuous.
  EXPECT_FALSE(includes_of(source_root() / "libcore" / "urllist", private_headers).empty());
}

TEST(Layers, EngineFilesStayReadable) {
  for (const auto& e : fs::directory_iterator(source_root() / "libcore" / "urllist")) {
    EXPECT_LE(line_count(e.path()), 760u) << e.path().filename() << " has grown past one concern";
  }
}

}  // namespace
