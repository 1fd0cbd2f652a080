#include "common/ascii.h"

namespace mirt {

void lowercase_string(char* text) {
  if (text == nullptr) return;
  for (; *text != '\0'; ++text) *text = ascii_lower(*text);
}

std::string lowercase_copy(const char* text) {
  std::string out = text != nullptr ? text : "";
  for (char& c : out) c = ascii_lower(c);
  return out;
}

bool starts_with_lower(std::string_view text, std::string_view lower) {
  if (text.size() < lower.size()) return false;
  for (size_t i = 0; i < lower.size(); ++i) {
    if (ascii_lower(text[i]) != lower[i]) return false;
  }
  return true;
}

bool equals_lower(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() && starts_with_lower(text, lower);
}

}  // namespace mirt
