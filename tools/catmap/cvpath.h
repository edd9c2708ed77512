#pragma once
// The install root of the suite, taken from the environment variable CV_PATH.
//
// cvpath_init must run once, on the main thread, before cvpath_append is used and before any
// other thread starts (it may set the environment variable). cvpath_append may then be called
// from any thread.

#include <string>
#include <string_view>

// The root used when CV_PATH is not set.
inline constexpr const char* cvpath_default_root = "/usr/local/corvane";

// Takes the install root from CV_PATH. When CV_PATH is not set, sets it (without overwriting a
// value set meanwhile) to cvpath_default_root and uses that. An empty CV_PATH is an empty root.
void cvpath_init();

// The install root as taken by the last cvpath_init (empty before it).
const std::string& cvpath_root();

// The root followed by `text` when the text begins with "/", else the root, "/" and the text.
std::string cvpath_append(std::string_view text);
