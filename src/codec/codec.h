// The codec's one entry and the per-block algorithm selection.
#pragma once

#include <cstdint>

#include "common/types.h"

namespace mirt {

// How one stream went: `bytes` counts the plain bytes (modes 1 and 2).
struct StreamResult {
  bool ok = false;
  uint64_t bytes = 0;
};

// The codec entry: mode 1 compress, 2 decompress, 3 statistics.
// `file_name` may be null; block size 0 lets the compressor choose;
// cipher -1 means none. An empty input succeeds with 0 bytes.
StreamResult run_stream(int input, int output, int mode, const Options& options,
                        const char* file_name, ChecksumRecord& sums, uint32_t block_size,
                        int cipher);

// Mode 1 compress, 2 decompress, 3 statistics. Returns the plain byte
// count (modes 1 and 2) or 1 (mode 3); 0 means failure. `file_name` may be
// null. Block size 0 lets the compressor choose; cipher -1 means none.
// The byte count of run_stream, 0 on failure (and for an empty input).
uint64_t process_stream(int input, int output, int mode, const Options& options,
                        const char* file_name, ChecksumRecord& sums, uint32_t block_size,
                        int cipher);

// Mode-specific halves, called by process_stream after its shared start.
StreamResult compress_stream(int input, int output, const Options& options, const char* file_name,
                         ChecksumRecord& sums, uint32_t block_size, int cipher,
                         uint64_t input_size);
StreamResult decompress_stream(int input, int output, const Options& options, const char* file_name,
                           ChecksumRecord& sums, int cipher);
StreamResult report_stream(int input, const Options& options, const char* file_name,
                       ChecksumRecord& sums);

// Default block size for an input of `input_size` bytes.
uint32_t default_block_size(uint64_t input_size);

// Block size chosen when none is given: pipe_block_size for an input of
// unknown size (0 keeps the default rule), and with a limit, one block for
// an input of up to `limit` bytes and `limit` beyond (0: no limit).
void set_pipe_block_size(uint32_t size);
void set_block_size_limit(uint32_t limit);
// With a limit: inputs above it are cut into equal blocks, not limit-sized ones.
void set_even_blocks(bool on);
uint32_t choose_block_size(uint64_t input_size);

}  // namespace mirt
