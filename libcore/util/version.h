#pragma once
// The suite's version and build stamp, printed in each tool's banner.

#include "util/version_number.h"  // CV_VERSION, generated from the project's version

// The suite's version text, CV_VERSION.
const char* cv_version_string();

// The build's date and time as the compiler gives them ("Oct 11 2019 14:01:10"). A
// reproducible build fixes them through SOURCE_DATE_EPOCH, which the compiler honours.
const char* cv_build_stamp();
