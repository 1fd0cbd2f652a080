// Container to plain bytes (mode 2).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/checksum.h"
#include "codec/codec.h"
#include "codec/foreign.h"
#include "codec/format.h"
#include "codec/reader.h"
#include "codec/tables.h"
#include "common/diag.h"
#include "location/stream.h"
#include "status/status.h"

namespace mirt {
namespace {

constexpr size_t kCipherStateSize = 2048;

void report_corrupt(const char* file_name, const char* reason) {
  report("%s: corrupt file (%s).\n", display_name(file_name), reason);
}

bool write_all(int fd, const uint8_t* data, uint64_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      report_system_error("write", n < 0 ? errno : EIO);
      return false;
    }
    data += n;
    length -= static_cast<uint64_t>(n);
  }
  return true;
}

// One algorithm byte, or -1 at the end of the input, -2 on a read error.
int read_algorithm_byte(int fd) {
  for (;;) {
    uint8_t b = 0;
    ssize_t n = read(fd, &b, 1);
    if (n == 1) return b;
    if (n == 0) return -1;
    if (errno == EINTR) continue;
    report_system_error("read", errno);
    return -2;
  }
}

uint32_t running_sum(bool old_layout, uint32_t seed, const uint8_t* data, size_t length) {
  if (old_layout) {
    std::fputs(kOldHeaderWarning, stderr);
    return elf_hash(seed, data, length);
  }
  return adler32(seed, data, length);
}

bool pair_passes(uint32_t stored, uint32_t running) {
  return stored == 0 || running == 0 || stored == running;
}

uint32_t progress_total(uint64_t size, uint32_t block_size) {
  float q = static_cast<float>(size) / static_cast<float>(block_size);
  double total = q + 0.9999;
  if (total >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(total);
}

uint64_t decompress_container(int input, int output, Options& options, const char* file_name,
                              ChecksumRecord& sums, int cipher, bool may_retry);

// A fetched copy gets the checks every stream gets at the codec entry,
// then is read as a container of its own. Its download locations are not
// followed again.
uint64_t decompress_fetched(int input, int output, Options& options, const char* file_name,
                            ChecksumRecord& sums, int cipher) {
  struct stat st {};
  if (fstat(input, &st) != 0) {
    report_system_error("fstat", errno);
    return 0;
  }
  return decompress_container(input, output, options, file_name, sums, cipher, false);
}

uint64_t decompress_container(int input, int output, Options& options, const char* file_name,
                              ChecksumRecord& sums, int cipher, bool may_retry) {
  status_message(1, "Decompressing.");
  ext_clear();

  uint32_t magic = 0;
  read_be(input, &magic, 4, 4);
  if (magic != kContainerMagic) {
    status_message(1, "Bad MIRT magic, checking others...");
    return decompress_foreign(input, output, magic);
  }

  const ContainerHeader header = read_header_fields(input, true);
  if (!header.complete) {
    report_corrupt(file_name, "truncated header");
    return 0;
  }
  const uint32_t block_size = header.block_size;
  if (block_size == 0 || block_size > kMaxBlockSize) {
    report_corrupt(file_name, "bad block size");
    return 0;
  }

  const char* file_value = file_name ? file_name : "";
  std::vector<std::string> locations;
  uint64_t program_length = 0;
  uint64_t size = header.uncompressed_size;

  if (header.ext_length != 0) {
    uint64_t consumed = 0;
    std::vector<uint8_t> data;
    do {
      uint8_t type = 0;
      if (read_be(input, &type, 1, 1) != 1) {
        report_corrupt(file_name, "truncated header");
        return 0;
      }
      if (type == kFillerByte) {
        consumed += 1;
        continue;
      }
      uint16_t length = 0;
      if (read_be(input, &length, 2, 2) != 2) {
        report_corrupt(file_name, "truncated header");
        return 0;
      }
      consumed += uint64_t{length} + 3;
      if (type == kRecordCompressedSum || type == kRecordPlainSum) {
        // Always four bytes, whatever the length says.
        uint32_t value = 0;
        if (read_be(input, &value, 4, 4) != 4) {
          report_corrupt(file_name, "truncated header");
          return 0;
        }
        uint32_t expected;
        if (type == kRecordCompressedSum) {
          sums.stored_compressed_sum = value;
          expected = sums.expected_compressed_sum;
        } else {
          sums.stored_plain_sum = value;
          expected = sums.expected_plain_sum;
        }
        if (expected != 0 && expected != value) {
          status_message(1, "CRC error.");
          if (!options.no_crc) {
            // The status line is not drawn at level 0: say it plainly.
            report("%s: fetched copy does not match the local checksums.\n",
                   display_name(file_name));
            return 0;
          }
        }
        continue;
      }
      if (!read_exactly(input, data, length)) {
        report_corrupt(file_name, "truncated header");
        return 0;
      }
      switch (type) {
        case kRecordDescription:
          std::fprintf(stderr, "DESC: %s\n", record_text(data).c_str());
          break;
        case kRecordLocation:
          add_location(record_text(data).c_str(), file_value, locations);
          break;
        case kRecordLocationFile:
          read_location_list(record_text(data), file_value, locations);
          break;
        case kRecordCipher:
          cipher = static_cast<int>(static_cast<uint32_t>(big_endian_value(data)));
          break;
        case kRecordProgramLength:
          program_length = big_endian_value(data);
          if (program_length > kMaxProgramLength) {
            report_corrupt(file_name, "bad program length");
            return 0;
          }
          break;
        default:
          break;
      }
    } while (consumed < header.ext_length);
  }

  if (options.use_urls && may_retry) {
    for (const std::string& location : locations) {
      status_message(1, "Trying to get remote url ");
      status_append(2, location.c_str());
      int fetched = open_location(location.c_str(), O_RDONLY, 0);
      if (fetched < 0) {
        status_message(1, "Failed.");
        continue;
      }
      close(input);
      sums.expected_compressed_sum = sums.stored_compressed_sum;
      sums.expected_plain_sum = sums.stored_plain_sum;
      uint64_t result = decompress_fetched(fetched, output, options, file_name, sums, cipher);
      close(fetched);
      return result;
    }
  }

  // Without a size in the header the trailer has it, if the input can seek.
  bool size_unknown = false;
  bool bad_trailer = false;
  if (size == 0) {
    switch (read_trailer(input, header, program_length, size)) {
      case TrailerResult::kNotSeekable:
        size_unknown = true;
        break;
      case TrailerResult::kBadMagic:
        status_message(1, "File is corrupt.");
        bad_trailer = true;
        [[fallthrough]];
      case TrailerResult::kFound:
        seek_location(input,
                      static_cast<int64_t>(header.header_length() + program_length +
                                           header.ext_length),
                      SEEK_SET);
        break;
    }
  }

  // The block buffer is allocated with the first block whose data is all
  // there, so a header alone never costs a block size of memory.
  std::unique_ptr<uint8_t[]> plain;
  const int width = length_field_width(block_size);
  progress_begin(progress_total(size, block_size));

  std::vector<uint8_t> cipher_state;
  CipherEntry cipher_call = nullptr;
  if (cipher != -1) {
    if (!cipher_available(cipher)) {
      report_corrupt(file_name, "cipher not available");
      return 0;
    }
    cipher_call = cipher_entry(cipher);
    cipher_state.assign(kCipherStateSize, 0);
    cipher_call(nullptr, nullptr, 0, cipher_state.data(), 12);
  }
  const AlgorithmEntry copy_entry = &copy_algorithm;
  // Stored blocks never exceed twice the block size (the compressor's
  // output buffer); anything longer is not ours.
  const uint64_t max_stored = uint64_t{block_size} * 2;

  uint64_t produced = 0;
  uint64_t written = 0;
  uint64_t blocks = 0;
  std::vector<uint8_t> stored;
  std::vector<uint8_t> scratch;
  for (;;) {
    int algorithm = read_algorithm_byte(input);
    if (algorithm == -2) return 0;
    if (algorithm < 0 || algorithm == kEndOfBlocks) break;

    uint32_t stored_length = 0;
    if (read_be(input, &stored_length, width, 4) != width) {
      report_corrupt(file_name, "truncated block");
      return 0;
    }
    if (stored_length > max_stored) {
      report_corrupt(file_name, "stored length too large");
      return 0;
    }
    if (!read_exactly(input, stored, stored_length)) {
      report_corrupt(file_name, "truncated block");
      return 0;
    }
    if (!plain) {
      plain.reset(new (std::nothrow) uint8_t[block_size]);
      if (!plain) {
        report_system_error("malloc", ENOMEM);
        return 0;
      }
    }
    ++blocks;
    sums.compressed_sum =
        running_sum(header.old_layout, sums.compressed_sum, stored.data(), stored_length);

    if (cipher_call) {
      scratch.assign(uint64_t{stored_length} * 2, 0);
      int32_t got =
          cipher_call(stored.data(), scratch.data(), stored_length, cipher_state.data(), 7);
      if (got < 0 || static_cast<uint32_t>(got) > stored_length) {
        report_corrupt(file_name, "bad decrypted length");
        return 0;
      }
      std::memcpy(stored.data(), scratch.data(), static_cast<size_t>(got));
    }

    // The copy algorithm ignores the capacity, so hold it to the block size here.
    if (algorithm_entry(algorithm) == copy_entry && stored_length > block_size) {
      report_corrupt(file_name, "block longer than the block size");
      return 0;
    }
    uint32_t got = decompress_block(algorithm, stored.data(), stored_length, plain.get(),
                                    block_size);
    if (got > block_size) {
      report_corrupt(file_name, "block longer than the block size");
      return 0;
    }
    if (got == 0) {
      report(cipher_call ? "Decompression resulted in 0-byte block.  Invalid key?\n"
                         : "Decompression resulted in 0-byte block.\n");
    }
    if (!cipher_call)
      sums.plain_sum = running_sum(header.old_layout, sums.plain_sum, plain.get(), got);
    progress_step(1);

    uint64_t to_write = got;
    if (size != 0 && produced + got > size) to_write = size > produced ? size - produced : 0;
    if (to_write > 0 && !write_all(output, plain.get(), to_write)) return 0;
    written += to_write;
    produced += got;
  }

  plain.reset();
  bool passes = pair_passes(sums.stored_compressed_sum, sums.compressed_sum) &&
                pair_passes(sums.stored_plain_sum, sums.plain_sum);
  if (!passes) {
    status_message(1, "CRC error.");
    if (!(options.no_crc && options.force)) {
      report_corrupt(file_name, "checksum mismatch");
      return 0;
    }
  }
  if (bad_trailer) {
    // No size could be found, so the result would be 0 without a word.
    report_corrupt(file_name, "bad end-of-file magic");
    return 0;
  }
  if (size != 0 && blocks > 0 && produced < size) {
    report_corrupt(file_name, "data ends early");
    return 0;
  }
  ext_clear();
  // Read from a pipe without a size: every block was written whole.
  if (size_unknown) return written;
  return size;
}

}  // namespace

uint64_t decompress_stream(int input, int output, Options& options, const char* file_name,
                           ChecksumRecord& sums, int cipher) {
  try {
    return decompress_container(input, output, options, file_name, sums, cipher, true);
  } catch (const std::bad_alloc&) {
    report_system_error("malloc", ENOMEM);
    return 0;
  }
}

}  // namespace mirt
