#include "common/text.h"

#include <cstdint>
#include <cstdio>

namespace mirt {
namespace {

// The length of the valid UTF-8 sequence of a printable character at the
// start of `text`, or 0: no overlong forms, surrogates or values above
// U+10FFFF, and no C1 control.
size_t printable_sequence(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(0);
  size_t length;
  uint32_t code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i) & 0x3Fu);
  }
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ||
      code < 0xA0)
    return 0;
  return length;
}

}  // namespace

std::string shown_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const auto c = static_cast<uint8_t>(text[0]);
    size_t take = c >= 0x20 && c < 0x7F ? 1 : c >= 0x80 ? printable_sequence(text) : 0;
    if (take == 0) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
      take = 1;
    } else {
      out.append(text.substr(0, take));
    }
    text.remove_prefix(take);
  }
  return out;
}

}  // namespace mirt
