#include "urllist/exploded_url.h"
