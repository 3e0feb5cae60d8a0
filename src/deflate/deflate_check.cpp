#include "deflate/deflate_check.h"

#include <cstdio>
#include <cstdlib>

namespace tessel {

void deflate_check_failed(const char* text) {
  std::fprintf(stderr, "deflate consistency check failed: %s\n", text);
  std::abort();
}

}  // namespace tessel
