#include "common/diag.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace mirt {

void report_system_error(const char* operation, int err) {
  if (err < 0) err = -err;
  std::fprintf(stderr, "mirt: %s: %s\n", operation, std::strerror(err));
}

void report(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fputs("mirt: ", stderr);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

const char* display_name(const char* file_name) {
  return file_name ? file_name : "standard input";
}

}  // namespace mirt
