#include "codec/format.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/diag.h"
#include "common/io.h"

namespace mirt {

namespace {

// Pending header extension records, kept across streams until a
// compression completes.
struct ExtensionBuffer {
  uint8_t* data = nullptr;
  uint32_t allocated = 0;
  uint32_t used = 0;
};

ExtensionBuffer g_ext;

constexpr uint32_t kExtGrain = 1024;

// Makes room for a record of `length` data bytes; false when memory or
// the record format cannot take it (the message is already printed).
bool ext_reserve(uint32_t length) {
  if (length > kMaxRecordData) {
    report("Header record too long (%u bytes; at most 65535).\n", length);
    return false;
  }
  if (g_ext.data == nullptr) {
    g_ext.data = static_cast<uint8_t*>(std::malloc(kExtGrain));
    if (g_ext.data == nullptr) {
      report_system_error("malloc", ENOMEM);
      return false;
    }
    g_ext.allocated = kExtGrain;
    g_ext.used = 0;
  }
  const uint64_t need = uint64_t{g_ext.used} + 3 + length;
  if (need > g_ext.allocated) {
    const uint64_t grown = (need + kExtGrain - 1) / kExtGrain * kExtGrain;
    if (grown > UINT32_MAX) {
      report_system_error("malloc", ENOMEM);
      return false;
    }
    auto* data = static_cast<uint8_t*>(std::realloc(g_ext.data, grown));
    if (data == nullptr) {
      report_system_error("malloc", ENOMEM);
      return false;
    }
    g_ext.data = data;
    g_ext.allocated = static_cast<uint32_t>(grown);
  }
  return true;
}

void ext_put_record_head(uint8_t type, uint32_t length) {
  g_ext.data[g_ext.used++] = type;
  g_ext.data[g_ext.used++] = static_cast<uint8_t>(length >> 8);
  g_ext.data[g_ext.used++] = static_cast<uint8_t>(length);
}

}  // namespace

int write_be(int fd, uint64_t value, int width) {
  if (width <= 0) return 0;
  for (int i = width - 1; i >= 0; --i) {
    // Widths beyond eight bytes lead with zeros rather than shifting past 63.
    const uint8_t byte = i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : 0;
    if (!write_full(fd, &byte, 1)) {
      report_system_error("write", errno);
      return -1;
    }
  }
  return width;
}

int read_be(int fd, void* destination, int count, int destination_width) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) {
    uint8_t byte = 0;
    const ssize_t n = read_some(fd, &byte, 1);
    if (n == 0) {
      // errno says nothing about an end of file; don't print a stale text.
      report("read: unexpected end of file\n");
      return -1;
    }
    if (n < 0) {
      report_system_error("read", errno);
      return -1;
    }
    value = (value << 8) | byte;
  }
  switch (destination_width) {
    case 1: {
      const auto v = static_cast<uint8_t>(value);
      std::memcpy(destination, &v, 1);
      break;
    }
    case 2: {
      const auto v = static_cast<uint16_t>(value);
      std::memcpy(destination, &v, 2);
      break;
    }
    case 4: {
      const auto v = static_cast<uint32_t>(value);
      std::memcpy(destination, &v, 4);
      break;
    }
    case 8:
      std::memcpy(destination, &value, 8);
      break;
    default:
      break;
  }
  return count;
}

int length_field_width(uint32_t block_size) {
  // Kept in exactly this floating-point form: readers of existing files
  // derive the same width, including the early step to 4 bytes.
  const double x = std::log(static_cast<double>(block_size) + 1.0);
  const double y = x / std::log(2.0) + 7.99999999;
  const float z = static_cast<float>(y * 0.125);
  return static_cast<int>(z);
}

int ext_add_bytes(uint8_t type, const void* data, uint32_t length) {
  if (!ext_reserve(length)) return 0;
  ext_put_record_head(type, length);
  if (length > 0) std::memcpy(g_ext.data + g_ext.used, data, length);
  g_ext.used += length;
  return 1;
}

int ext_add_int(uint8_t type, uint32_t value, unsigned width) {
  if (!ext_reserve(width)) return 0;
  ext_put_record_head(type, width);
  for (unsigned i = width; i-- > 0;)
    g_ext.data[g_ext.used++] = i < 4 ? static_cast<uint8_t>(value >> (8 * i)) : 0;
  return 1;
}

uint32_t ext_length() { return g_ext.used; }

uint8_t* ext_pad() {
  if (g_ext.data != nullptr && g_ext.allocated > g_ext.used)
    std::memset(g_ext.data + g_ext.used, kFillerByte, g_ext.allocated - g_ext.used);
  return g_ext.data;
}

void ext_clear() {
  std::free(g_ext.data);
  g_ext = ExtensionBuffer{};
}

uint32_t ext_allocated() { return g_ext.allocated; }

namespace {

// The finaliser of SplitMix64: every input bit reaches every output bit.
uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

}  // namespace

uint32_t block_key(uint64_t index, uint32_t block_size, uint32_t real_bytes) {
  const uint64_t h = mix64(mix64(index) ^ (uint64_t{block_size} << 32 | real_bytes));
  const auto key = static_cast<uint32_t>(h ^ (h >> 32));
  return key != 0 ? key : 1;
}

uint32_t real_bytes_of(uint64_t index, uint64_t size, uint32_t block_size) {
  const uint64_t start = index * block_size;
  if (size <= start) return 0;
  return size - start < block_size ? static_cast<uint32_t>(size - start) : block_size;
}

}  // namespace mirt
