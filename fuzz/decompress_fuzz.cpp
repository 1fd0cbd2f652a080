// Container reader: arbitrary bytes given to the decompressor.
#include <fcntl.h>
#include <unistd.h>

#include "codec/codec.h"
#include "codec/format.h"
#include "fuzz_input.h"
#include "status/status.h"

namespace {

int g_output = -1;

void run(int input, mirt::Options options) {
  if (input < 0) return;
  mirt::ChecksumRecord sums;
  mirt::decompress_stream(input, g_output, options, "fuzz.mrt", sums, -1);
  close(input);
  mirt::ext_clear();
  mirt::status_reset();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mirt_fuzz::quiet_std_streams();
  g_output = open("/dev/null", O_WRONLY);
  return 0;
}

// The block buffer is allocated at the size the header names; under the
// sanitizer a gigabyte of it takes long enough to stall the search, and
// the code paths are the same at a few megabytes.
bool huge_block_size(const uint8_t* data, size_t size) {
  if (size < 23) return false;
  const bool old_layout = data[4] == 0 && data[5] == 8 && data[6] <= 38;
  const size_t at = old_layout ? 15 : 19;
  const uint32_t block_size = uint32_t{data[at]} << 24 | uint32_t{data[at + 1]} << 16 |
                              uint32_t{data[at + 2]} << 8 | data[at + 3];
  return block_size > (64u << 20);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (huge_block_size(data, size)) return 0;
  mirt::Options options;
  run(mirt_fuzz::seekable_input(data, size), options);
  options.no_crc = 1;
  options.force = 1;
  run(mirt_fuzz::pipe_input(data, size), options);
  return 0;
}
