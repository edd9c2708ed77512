#pragma once
// The suite's version, printed in each tool's banner.

#define CV_VERSION "6.3.3"

const char* cv_version_string();
