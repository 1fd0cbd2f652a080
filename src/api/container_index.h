// The block list of a file of containers, found by reading the headers
// and hopping over the block records, without decoding anything.
#pragma once

#include <cstdint>
#include <vector>

#include "api/source.h"
#include "mirt/mirt.h"

namespace mirt::api {

struct IndexedContainer {
  uint64_t plain_offset = 0;  // of its first plain byte in the whole file
  uint64_t size = 0;          // plain bytes
  uint32_t block_size = 0;
  uint64_t first_block = 0;   // index of its first block in the whole list
  bool old_layout = false;
};

struct IndexedBlock {
  uint64_t offset;  // of the stored bytes in the file
  uint32_t stored_length;
  uint32_t container;
  uint8_t algorithm;
};

}  // namespace mirt::api

struct mirt_index {
  std::vector<mirt::api::IndexedContainer> containers;
  std::vector<mirt::api::IndexedBlock> blocks;
  uint64_t size = 0;

  // Block `b`'s place in the plain bytes.
  uint64_t plain_offset(uint64_t b) const;
  uint64_t plain_length(uint64_t b) const;
  const mirt::api::IndexedContainer& container_of(uint64_t b) const {
    return containers[blocks[b].container];
  }
  // The block holding plain byte `offset`; blocks.size() beyond the end.
  uint64_t find(uint64_t offset) const;
};

namespace mirt::api {

// Reads the structure of every container in `source`; MIRT_OK, or a
// negative status with the error recorded.
int build_index(Source& source, mirt_index& index);

}  // namespace mirt::api
