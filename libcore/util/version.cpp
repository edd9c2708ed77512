#include "util/version.h"

const char* cv_version_string() { return CV_VERSION; }

// Debian's build flags warn on these macros (-Wdate-time: builds would differ); the banner
// needs them, SOURCE_DATE_EPOCH makes them reproducible, and libcore/CMakeLists.txt turns
// the warning off for this file alone.
const char* cv_build_stamp() { return __DATE__ " " __TIME__; }
