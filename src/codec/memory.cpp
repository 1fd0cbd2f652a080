#include "codec/memory.h"

#include <cstdio>

#include "common/ascii.h"

namespace mirt {
namespace {

int suffix_shift(char c) {
  switch (ascii_lower(c)) {
    case 'k': return 10;
    case 'm': return 20;
    case 'g': return 30;
    case 't': return 40;
    default: return -1;
  }
}

}  // namespace

bool parse_byte_count(const char* text, uint64_t& bytes) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  uint64_t value = 0;
  const char* p = text;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value > (UINT64_MAX - 9) / 10) return false;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
  }
  if (*p != '\0') {
    const int shift = suffix_shift(*p++);
    if (shift < 0) return false;
    if (equals_lower(p, "ib")) p += 2;
    else if (equals_lower(p, "b")) p += 1;
    if (*p != '\0' || (value != 0 && value > (UINT64_MAX >> shift))) return false;
    value <<= shift;
  }
  bytes = value;
  return true;
}

std::string shown_size(uint64_t bytes, bool round_up) {
  const bool mebibytes = bytes >= (uint64_t{1} << 20);
  const int shift = mebibytes ? 20 : 10;
  const uint64_t unit = uint64_t{1} << shift;
  const uint64_t count = bytes / unit + (round_up && bytes % unit != 0 ? 1 : 0);
  char text[32];
  std::snprintf(text, sizeof text, "%llu %s", static_cast<unsigned long long>(count),
                mebibytes ? "MiB" : "KiB");
  return text;
}

}  // namespace mirt
