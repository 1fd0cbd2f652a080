// Splitting a location into URL pieces.
#pragma once

#include <cstdint>
#include <string_view>

namespace mirt {

inline constexpr int kSchemeSize = 5;
inline constexpr int kUserSize = 128;
inline constexpr int kPasswordSize = 128;
inline constexpr int kHostSize = 512;
inline constexpr int kPathSize = 1024;

struct UrlParts {
  // Lower-cased; empty when the URL's scheme is longer than four characters.
  char scheme[kSchemeSize] = {};
  char user[kUserSize] = {};
  char password[kPasswordSize] = {};
  char host[kHostSize] = {};
  int32_t port = 0;
  char path[kPathSize] = {};
};

// Whether a location names a URL rather than a path: "://" anywhere in it.
bool is_url(std::string_view location);

// 1 for a plain path (only `path` is set), 0 for a URL.
int parse_url(const char* location, UrlParts& parts);

}  // namespace mirt
