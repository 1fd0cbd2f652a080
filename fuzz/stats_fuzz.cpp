// Statistics report: arbitrary bytes given to the report, which prints to
// a standard output that goes nowhere.
#include <unistd.h>

#include "codec/codec.h"
#include "codec/format.h"
#include "fuzz_input.h"
#include "status/status.h"

namespace {

void run(int input, uint8_t verbosity) {
  if (input < 0) return;
  mirt::Options options;
  options.verbosity = verbosity;
  mirt::ChecksumRecord sums;
  mirt::report_stream(input, options, "fuzz.mrt", sums);
  close(input);
  mirt::status_reset();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mirt_fuzz::quiet_std_streams();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  run(mirt_fuzz::seekable_input(data, size), 1);
  run(mirt_fuzz::pipe_input(data, size), 0);
  return 0;
}
