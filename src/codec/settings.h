// The settings of one run of the codec, as one value: the configuration
// and the command line (or a library context) make it, the caller hands it
// down, and the codec reads no other configuration.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/memory.h"
#include "codec/tables.h"
#include "common/types.h"

namespace mirt {

using SlotSet = std::bitset<kAlgorithmSlots>;

// How the block size is chosen for one input.
struct BlockSizeRules {
  uint32_t fixed = 0;  // -b, blocksize; 0 chooses by the rules below
  uint32_t pipe = 0;   // pipe_blocksize: input of unknown size; 0 keeps the default rule
  uint32_t limit = 0;  // blocksize_limit: one block up to it, blocks of it beyond; 0 none
  bool even = false;   // blocksize_even: beyond the limit, equal blocks instead

  // The fixed size, else what the rules give for `input_size` bytes
  // (0: unknown, as from a pipe).
  uint32_t choose(uint64_t input_size) const;
  // What the rules alone give, the fixed size aside.
  uint32_t rule_size(uint64_t input_size) const;
};

// What the compressor tries and how it cuts the input.
struct AlgorithmChoice {
  // try_algorithms; none means every available slot. It only narrows the
  // candidates: decoding uses every available slot, and the copy algorithm
  // is tried whenever it is available.
  std::optional<SlotSet> tried;
  BlockSizeRules block_size;

  // Whether the compressor tries `slot` when it is available.
  bool tries(int slot) const;
};

// What a run may take of the machine.
struct Resources {
  uint32_t threads = 0;  // threads; 0 is one per online processor
  // memory_limit for decoding; 0 means none.
  uint64_t memory_limit = kDefaultMemoryLimit;

  // Threads of codec work: as configured, at most a sane ceiling.
  unsigned worker_threads() const;
  bool fits_memory(uint64_t need) const { return memory_limit == 0 || need <= memory_limit; }
};

// A header record from -D, -u or -U.
struct HeaderRecord {
  uint8_t type;
  std::string data;
};

struct Settings {
  AlgorithmChoice algorithms;
  // Input and output: the run switches (checksums with -n among them), and
  // the records every container written starts with, in their order.
  Options options;
  std::vector<HeaderRecord> records;
  Resources resources;
};

}  // namespace mirt
