// URL parser: arbitrary locations split into their pieces.
#include <cstring>
#include <string>

#include "common/ascii.h"
#include "location/url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string location(reinterpret_cast<const char*>(data), size);
  location.resize(std::strlen(location.c_str()));  // stop at an embedded NUL
  mirt::UrlParts parts;
  const int plain = mirt::parse_url(location.c_str(), parts);
  // Every piece stays terminated within its area.
  if (std::memchr(parts.path, 0, sizeof parts.path) == nullptr) __builtin_trap();
  if (plain == 0) {
    if (std::memchr(parts.scheme, 0, sizeof parts.scheme) == nullptr ||
        std::memchr(parts.user, 0, sizeof parts.user) == nullptr ||
        std::memchr(parts.password, 0, sizeof parts.password) == nullptr ||
        std::memchr(parts.host, 0, sizeof parts.host) == nullptr)
      __builtin_trap();
  }
  char text[64];
  std::strncpy(text, location.c_str(), sizeof text - 1);
  text[sizeof text - 1] = '\0';
  mirt::lowercase_string(text);
  return 0;
}
