// Description of one container on standard output (mode 3).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/format.h"
#include "codec/reader.h"
#include "codec/tables.h"
#include "common/diag.h"
#include "location/stream.h"

namespace mirt {
namespace {

const char* name_or_unknown(const char* name) { return name ? name : "(unknown)"; }

// Every piece goes out at once, so warnings on standard error land
// between the report lines they belong to even when both streams share
// one pipe.
[[gnu::format(printf, 1, 2)]] void put(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

int read_byte(int fd) {
  for (;;) {
    uint8_t b = 0;
    ssize_t n = read(fd, &b, 1);
    if (n == 1) return b;
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

// Walks the extension area, printing each record. Stops early when the
// input ends inside the area.
void report_records(int input, const ContainerHeader& header, const char* file_value,
                    ChecksumRecord& sums, uint64_t& program_length,
                    std::vector<std::string>& locations) {
  uint64_t consumed = 0;
  std::vector<uint8_t> data;
  do {
    uint8_t type = 0;
    if (read_be(input, &type, 1, 1) != 1) return;
    if (type == kFillerByte) {
      consumed += 1;
      continue;
    }
    uint16_t length = 0;
    if (read_be(input, &length, 2, 2) != 2) return;
    consumed += uint64_t{length} + 3;
    if (type == kRecordCompressedSum || type == kRecordPlainSum) {
      uint32_t value = 0;
      if (read_be(input, &value, 4, 4) != 4) return;
      if (type == kRecordCompressedSum) {
        sums.stored_compressed_sum = value;
        put("CRC 0             :   0x%08x\n", value);
      } else {
        sums.stored_plain_sum = value;
        put("CRC 1             :   0x%08x\n", value);
      }
      continue;
    }
    if (!read_exactly(input, data, length)) return;
    switch (type) {
      case kRecordName:
        put("Original Name     :   %s\n", record_text(data).c_str());
        break;
      case kRecordDescription:
        put("Description       :   %s\n", record_text(data).c_str());
        break;
      case kRecordLocation:
        add_location(record_text(data).c_str(), file_value, locations);
        break;
      case kRecordLocationFile: {
        std::string path = record_text(data);
        put("Download Loc File :   %s\n", path.c_str());
        read_location_list(path, file_value, locations);
        break;
      }
      case kRecordCipher: {
        int cipher = static_cast<int>(static_cast<uint32_t>(big_endian_value(data)));
        put("Ciphered using    :   %s\n",
                    name_or_unknown(cipher >= 0 && cipher < kCipherSlots ? cipher_name(cipher)
                                                                         : nullptr));
        break;
      }
      case kRecordProgramLength:
        program_length = big_endian_value(data);
        put("Program length    :   %lu\n", static_cast<unsigned long>(program_length));
        break;
      default:
        break;
    }
  } while (consumed < header.ext_length);
}

uint64_t report_container(int input, Options& options, const char* file_name,
                          ChecksumRecord& sums) {
  uint32_t magic = 0;
  read_be(input, &magic, 4, 4);
  // The fields are read before the magic is judged, whatever the input is.
  const ContainerHeader header = read_header_fields(input);
  if (header.old_layout) std::fputs(kOldHeaderWarning, stderr);
  put("File              :   %s\n", display_name(file_name));
  put("Magic             :   0x%08x", magic);
  if (magic != kContainerMagic) {
    put(" (bad magic)\n");
    return 0;
  }
  put("\n");

  uint64_t size = header.uncompressed_size;
  if (size == 0 &&
      read_trailer(input, header, 0, size) == TrailerResult::kBadMagic) {
    report("Bad end-of-file magic.  Corrupt or incomplete file?\n");
    size = 0;
  }
  const int64_t compressed = is_socket(input) ? -1 : seek_location(input, 0, SEEK_END);
  const int width = length_field_width(header.block_size);

  put("Mirt Version      :   %i.%i.%i\n", header.version[0], header.version[1],
              header.version[2]);
  put("Block Size        :   %i\n", static_cast<int>(header.block_size));
  put("Block Header Size :   %i\n", width + 1);
  if (compressed < 0) {
    put("Compressed Size   :   unknown\n");
  } else {
    put("Compressed Size   :   %llu\n", static_cast<unsigned long long>(compressed));
  }
  put("Uncompressed Size :   %llu\n", static_cast<unsigned long long>(size));
  if (compressed < 0) {
    put("Ratio             :   unknown\n");
  } else {
    float ratio = static_cast<float>(size) / static_cast<float>(compressed);
    put("Ratio             :   %2.3f to 1.0\n", static_cast<double>(ratio));
  }

  seek_location(input, header.header_length(), SEEK_SET);
  const char* file_value = file_name ? file_name : "";
  uint64_t program_length = 0;
  std::vector<std::string> locations;
  if (header.ext_length != 0)
    report_records(input, header, file_value, sums, program_length, locations);

  for (const std::string& location : locations) {
    put("Download Location :   %s", location.c_str());
    if (options.verbosity == 0) {
      put("\n");
      continue;
    }
    int fd = open_location(location.c_str(), O_RDONLY, 0);
    if (fd < 0) {
      put(" [broken]\n");
    } else {
      close(fd);
      put("\n");
    }
  }

  if (options.verbosity != 0) {
    if (program_length <= kMaxProgramLength) {
      seek_location(input,
                    static_cast<int64_t>(header.header_length() + program_length +
                                         header.ext_length),
                    SEEK_SET);
    }
    put("\nBreak down: \n");
    put("  Blk | Algo | Size    | Name\n");
    put("  ----+------+---------+---------------------------\n");
    int counter = 0;
    for (;;) {
      int algorithm = read_byte(input);
      if (algorithm < 0 || algorithm == kEndOfBlocks) break;
      uint32_t stored_length = 0;
      if (read_be(input, &stored_length, width, 4) != width) break;
      seek_location(input, stored_length, SEEK_CUR);
      put("  %03i | %03i  | %-7i | %s\n", counter, algorithm,
                  static_cast<int>(stored_length), name_or_unknown(algorithm_name(algorithm)));
      ++counter;
    }
  }
  put("\n");
  return 1;
}

}  // namespace

uint64_t report_stream(int input, Options& options, const char* file_name,
                       ChecksumRecord& sums) {
  try {
    uint64_t result = report_container(input, options, file_name, sums);
    std::fflush(stdout);
    return result;
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    report_system_error("malloc", ENOMEM);
    return 0;
  }
}

}  // namespace mirt
