#include "location/base64.h"

#include <cstring>
#include <new>

namespace mirt {
namespace {

// Pending bits sit at the top of the word, oldest first; the rest is zero.
uint32_t g_bit_word = 0;
int32_t g_bit_count = 0;

constexpr char kAlphabet[64] = {
    'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
    'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
    'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
    'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};

int bit_length(uint32_t value) {
  int length = 0;
  while (value != 0) {
    ++length;
    value >>= 1;
  }
  return length;
}

int alphabet_index(char c) {
  const void* hit = std::memchr(kAlphabet, c, sizeof kAlphabet);
  if (c == '\0' || hit == nullptr) return -1;
  return static_cast<int>(static_cast<const char*>(hit) - kAlphabet);
}

// Whatever another user had pending is taken out for the duration of an
// encode or decode and put back afterwards.
class SavedBits {
 public:
  SavedBits() : count_(bits_count()), bits_(bits_take(count_)) {}
  ~SavedBits() { bits_put(bits_, count_); }
  SavedBits(const SavedBits&) = delete;
  SavedBits& operator=(const SavedBits&) = delete;

 private:
  int count_;
  uint32_t bits_;
};

}  // namespace

void bits_put(uint32_t value, int width) {
  int effective = width > bit_length(value) ? width : bit_length(value);
  if (effective <= 0 || g_bit_count + effective > 32) return;
  g_bit_word |= value << (32 - g_bit_count - effective);
  g_bit_count += effective;
}

uint32_t bits_take(int width) {
  if (width > g_bit_count) width = g_bit_count;
  if (width <= 0) return 0;
  uint32_t result = g_bit_word >> (32 - width);
  g_bit_word = width == 32 ? 0 : g_bit_word << width;
  g_bit_count -= width;
  return result;
}

int bits_count() { return g_bit_count; }

void bits_reset() {
  g_bit_word = 0;
  g_bit_count = 0;
}

std::optional<std::string> base64_encode(const uint8_t* data, size_t& length) {
  SavedBits saved;
  std::string text;
  try {
    text.reserve(static_cast<size_t>(static_cast<double>(length) * 1.5 + 7));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  for (size_t i = 0; i < length; ++i) {
    while (bits_count() >= 6) text += kAlphabet[bits_take(6)];
    if (bits_count() <= 24) bits_put(data[i], 8);
  }
  while (bits_count() >= 6) text += kAlphabet[bits_take(6)];
  if (bits_count() > 0) {
    int rest = bits_count();
    text += kAlphabet[bits_take(rest) << (6 - rest)];
  }
  while (text.size() % 4 != 0) text += '=';
  length = text.size();
  return text;
}

std::optional<std::string> base64_encode_string(const char* text) {
  size_t length = std::strlen(text);
  return base64_encode(reinterpret_cast<const uint8_t*>(text), length);
}

std::optional<std::vector<uint8_t>> base64_decode(const char* text) {
  SavedBits saved;
  std::vector<uint8_t> bytes;
  try {
    bytes.reserve(static_cast<size_t>(static_cast<double>(std::strlen(text)) * 0.75 + 6));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  for (const char* p = text; *p != '\0' && *p != '='; ++p) {
    while (bits_count() >= 8) bytes.push_back(static_cast<uint8_t>(bits_take(8)));
    int index = alphabet_index(*p);
    if (index >= 0 && bits_count() <= 26) bits_put(static_cast<uint32_t>(index), 6);
  }
  while (bits_count() >= 8) bytes.push_back(static_cast<uint8_t>(bits_take(8)));
  // Filler bits of the last symbol are not data.
  bits_take(bits_count());
  return bytes;
}

}  // namespace mirt
