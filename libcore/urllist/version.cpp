#include "urllist/version.h"

const char* cv_version_string() { return CV_VERSION; }
