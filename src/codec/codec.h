// The codec's one entry and the per-block algorithm selection.
#pragma once

#include <cstdint>

#include "codec/settings.h"
#include "common/types.h"

namespace mirt {

// How one stream went: `bytes` counts the plain bytes (modes 1 and 2).
struct StreamResult {
  bool ok = false;
  uint64_t bytes = 0;
};

// The codec entry: mode 1 compress, 2 decompress, 3 statistics, with the
// run's settings. `file_name` may be null; cipher -1 means none. An empty
// input succeeds with 0 bytes.
StreamResult run_stream(int input, int output, int mode, const Settings& settings,
                        const char* file_name, ChecksumRecord& sums, int cipher);

// The byte count of run_stream (modes 1 and 2; 1 for mode 3), 0 on failure
// (and for an empty input).
uint64_t process_stream(int input, int output, int mode, const Settings& settings,
                        const char* file_name, ChecksumRecord& sums, int cipher);

// Mode-specific halves, called by run_stream after its shared start.
StreamResult compress_stream(int input, int output, const Settings& settings,
                             const char* file_name, ChecksumRecord& sums, int cipher,
                             uint64_t input_size);
StreamResult decompress_stream(int input, int output, const Settings& settings,
                               const char* file_name, ChecksumRecord& sums, int cipher);
StreamResult report_stream(int input, const Options& options, const char* file_name,
                           ChecksumRecord& sums);

// Default block size for an input of `input_size` bytes, when no rule of
// the settings says otherwise.
uint32_t default_block_size(uint64_t input_size);

}  // namespace mirt
