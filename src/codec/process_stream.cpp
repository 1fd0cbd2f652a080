#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "codec/codec.h"
#include "common/diag.h"
#include "status/meter.h"

namespace mirt {

namespace {

StreamResult run_mode(int input, int output, int mode, const Settings& settings,
                      const char* file_name, ChecksumRecord& sums, int cipher) {
  struct stat info {};
  if (::fstat(input, &info) != 0) {
    report_system_error("fstat", errno);
    return {};
  }
  // Pipes and terminals report 0, which the compressor reads as "unknown".
  const uint64_t input_size = info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;

  switch (mode) {
    case kModeCompress: {
      MeterFile meter(file_name, input_size, false);
      return meter.done(
          compress_stream(input, output, settings, file_name, sums, cipher, input_size));
    }
    case kModeDecompress: {
      MeterFile meter(file_name, input_size, true);
      return meter.done(decompress_stream(input, output, settings, file_name, sums, cipher));
    }
    case kModeStatistics:
      return report_stream(input, settings.options, file_name, sums);
    default:
      return {};
  }
}

}  // namespace

// Every allocation in the codec may throw, and so do the gzip and bzip2
// decoders when their library runs out; a stream that runs out of memory
// fails here, with one message, whatever it was doing. A size beyond what
// a container can hold at all counts the same.
StreamResult run_stream(int input, int output, int mode, const Settings& settings,
                        const char* file_name, ChecksumRecord& sums, int cipher) {
  try {
    return run_mode(input, output, mode, settings, file_name, sums, cipher);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  std::fflush(stdout);
  report_system_error("malloc", ENOMEM);
  return {};
}

uint64_t process_stream(int input, int output, int mode, const Settings& settings,
                        const char* file_name, ChecksumRecord& sums, int cipher) {
  const StreamResult result = run_stream(input, output, mode, settings, file_name, sums, cipher);
  return result.ok ? result.bytes : 0;
}

}  // namespace mirt
