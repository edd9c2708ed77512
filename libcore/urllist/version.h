#pragma once
// Kept for callers that still include the version from the engine's folder; the version
// belongs to the common utilities, below every layer that prints it.
#include "util/version.h"
