// ASCII case folding: only A-Z change, whatever the locale; bytes above
// 127 stay as they are.
#pragma once

#include <string>
#include <string_view>

namespace mirt {

constexpr char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// In place; null is left alone.
void lowercase_string(char* text);
// A folded copy; null gives "".
std::string lowercase_copy(const char* text);
// Whether `text`, folded, starts with or equals `lower` (already lower case).
bool starts_with_lower(std::string_view text, std::string_view lower);
bool equals_lower(std::string_view text, std::string_view lower);

}  // namespace mirt
