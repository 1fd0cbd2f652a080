// Base64 (RFC 4648) over a process-wide bit accumulator: bits go in at one
// width and come out at another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mirt {

// Appends `value` behind the pending bits, at `width` or the value's own bit
// length if that is larger. Dropped without notice when it would not fit.
void bits_put(uint32_t value, int width);
// Takes up to `width` of the oldest pending bits, right-aligned.
uint32_t bits_take(int width);
int bits_count();
void bits_reset();

// Padded Base64 of `length` bytes; `length` becomes the number of symbols.
// Empty only when memory runs out. Pending accumulator bits survive.
std::optional<std::string> base64_encode(const uint8_t* data, size_t& length);
std::optional<std::string> base64_encode_string(const char* text);
// Decodes up to the first "=" or the end; characters outside the alphabet
// are skipped.
std::optional<std::vector<uint8_t>> base64_decode(const char* text);

}  // namespace mirt
