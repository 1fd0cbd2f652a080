// Containers assembled field by field for the codec tests; the general
// helpers (files, pipes, captured streams) come from tests/support.
#pragma once

#include <cstdint>
#include <string>

#include "codec/settings.h"
#include "support/files.h"
#include "support/streams.h"
#include "support/temp_dir.h"

namespace mirt::testing {

using test::Bytes;
using test::Capture;
using test::count_of;
using test::PipeInput;
using test::TempDir;

// The codec's settings for one test run: `options`, with a fixed block
// size (0 lets the rules choose).
inline Settings run_settings(const Options& options, uint32_t block_size = 0) {
  Settings settings;
  settings.options = options;
  settings.algorithms.block_size.fixed = block_size;
  return settings;
}

// Big-endian bytes of `value`, `width` wide.
inline Bytes be(uint64_t value, int width) {
  Bytes out;
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return out;
}

inline void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

inline Bytes record(uint8_t type, const Bytes& data) {
  Bytes out{type};
  append(out, be(data.size(), 2));
  append(out, data);
  return out;
}

inline Bytes text_record(uint8_t type, const std::string& text) {
  return record(type, Bytes(text.begin(), text.end()));
}

inline Bytes block(uint8_t algorithm, const Bytes& data, int width) {
  Bytes out{algorithm};
  append(out, be(data.size(), width));
  append(out, data);
  return out;
}

// A container assembled field by field; defaults give a current header.
struct ContainerBytes {
  uint8_t version[3] = {0, 8, 42};
  uint64_t size = 0;
  // The count a writer patches in with the size; -1 derives it from them.
  int64_t count = -1;
  uint32_t block_size = 8;
  Bytes ext;
  bool ext_length_given = false;
  uint32_t ext_length = 0;
  Bytes blocks;
  bool trailer = false;
  uint64_t trailer_size = 0;

  bool old_layout() const {
    int32_t packed = static_cast<int8_t>(version[0]) * 65536 |
                     static_cast<int8_t>(version[1]) * 256 | static_cast<int8_t>(version[2]);
    return packed <= 2086;
  }

  Bytes build() const {
    const int size_width = old_layout() ? 4 : 8;
    Bytes out = {0x4D, 0x52, 0x54, 0xC3, version[0], version[1], version[2]};
    append(out, be(size, size_width));
    const uint64_t counted = block_size == 0 ? 0 : (size + block_size - 1) / block_size;
    append(out, be(count >= 0 ? static_cast<uint64_t>(count) : counted, 4));
    append(out, be(block_size, 4));
    out.push_back(0);
    append(out, be(ext_length_given ? ext_length : ext.size(), 4));
    append(out, ext);
    append(out, blocks);
    if (trailer) {
      append(out, {0xFF, 0x3F, 0xDE, 0x08});
      append(out, be(trailer_size, size_width));
    }
    return out;
  }
};

// The 3-byte text "abc" in one 8-byte block, written to a seekable file.
inline Bytes abc_file_container() {
  ContainerBytes c;
  c.size = 3;
  c.count = 1;
  c.ext = text_record(4, "t");
  append(c.ext, record(0, be(0x08100127, 4)));
  append(c.ext, record(1, be(0x08100127, 4)));
  c.blocks = block(0, {'a', 'b', 'c', 0, 0, 0, 0, 0}, 1);
  return c.build();
}

// The same input written to a pipe: no size, filler only, a trailer.
inline Bytes abc_pipe_container() {
  ContainerBytes c;
  c.ext = Bytes(18, 0x0A);
  c.blocks = block(0, {'a', 'b', 'c', 0, 0, 0, 0, 0}, 1);
  c.trailer = true;
  c.trailer_size = 3;
  return c.build();
}

}  // namespace mirt::testing
