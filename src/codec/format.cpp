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

constexpr uint32_t kExtGrain = 1024;

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

bool record_fits(uint32_t length) {
  if (length <= kMaxRecordData) return true;
  report("Header record too long (%u bytes; at most 65535).\n", length);
  return false;
}

// Makes room for a record of `length` data bytes; false when memory or
// the record format cannot take it (the message is already printed).
bool ExtensionRecords::reserve(uint32_t length) {
  if (!record_fits(length)) return false;
  const uint64_t need = uint64_t{used_} + 3 + length;
  if (data_ != nullptr && need <= allocated_) return true;
  const uint64_t grown = (need + kExtGrain - 1) / kExtGrain * kExtGrain;
  auto* data = grown > UINT32_MAX ? nullptr : static_cast<uint8_t*>(std::realloc(data_, grown));
  if (data == nullptr) {
    report_system_error("malloc", ENOMEM);
    return false;
  }
  data_ = data;
  allocated_ = static_cast<uint32_t>(grown);
  return true;
}

void ExtensionRecords::put_head(uint8_t type, uint32_t length) {
  data_[used_++] = type;
  data_[used_++] = static_cast<uint8_t>(length >> 8);
  data_[used_++] = static_cast<uint8_t>(length);
}

int ExtensionRecords::add_bytes(uint8_t type, const void* data, uint32_t length) {
  if (!reserve(length)) return 0;
  put_head(type, length);
  if (length > 0) std::memcpy(data_ + used_, data, length);
  used_ += length;
  return 1;
}

int ExtensionRecords::add_int(uint8_t type, uint32_t value, unsigned width) {
  if (!reserve(width)) return 0;
  put_head(type, width);
  for (unsigned i = width; i-- > 0;)
    data_[used_++] = i < 4 ? static_cast<uint8_t>(value >> (8 * i)) : 0;
  return 1;
}

uint8_t* ExtensionRecords::pad() {
  if (data_ != nullptr && allocated_ > used_)
    std::memset(data_ + used_, kFillerByte, allocated_ - used_);
  return data_;
}

void ExtensionRecords::clear() {
  std::free(data_);
  data_ = nullptr;
  allocated_ = 0;
  used_ = 0;
}

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
