#pragma once
// Runs a built program as a child process for end-to-end tests.
//
// cv_run starts `argv[0]` (a path, or a name found under CV_BIN_DIR when it has no "/"),
// feeds `input` to its standard input and collects standard output, standard error and
// the exit status. The child's working directory is `cwd` when given.

#include <string>
#include <vector>

struct cv_run_result {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal number when the child was killed
};

cv_run_result cv_run(const std::vector<std::string>& argv, const std::string& input = "",
                     const std::string& cwd = "");

// Path of a built program (CV_BIN_DIR/name).
std::string cv_bin(const std::string& name);

// A fresh, empty scratch directory for one test; removed by the destructor.
class cv_tempdir {
 public:
  cv_tempdir();
  ~cv_tempdir();
  cv_tempdir(const cv_tempdir&) = delete;
  cv_tempdir& operator=(const cv_tempdir&) = delete;
  const std::string& path() const { return path_; }
  // Writes `content` to path()/name and returns the full path.
  std::string write(const std::string& name, const std::string& content) const;
  // Reads path()/name (or an absolute path); empty when the file is missing.
  std::string read(const std::string& name) const;

 private:
  std::string path_;
};
