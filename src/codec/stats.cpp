// Description of every container of an input on standard output (mode 3).
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
#include "common/text.h"
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

void print_record(const ExtensionRecord& r, const char* file_value, ChecksumRecord& sums,
                  std::vector<std::string>& locations) {
  switch (r.type) {
    case kRecordCompressedSum:
      sums.stored_compressed_sum = r.value;
      put("CRC 0             :   0x%08x\n", r.value);
      break;
    case kRecordPlainSum:
      sums.stored_plain_sum = r.value;
      put("CRC 1             :   0x%08x\n", r.value);
      break;
    case kRecordName:
      put("Original Name     :   %s\n", shown_text(record_text(r.data)).c_str());
      break;
    case kRecordDescription:
      put("Description       :   %s\n", shown_text(record_text(r.data)).c_str());
      break;
    case kRecordLocation:
      add_location(record_text(r.data).c_str(), file_value, locations);
      break;
    case kRecordLocationFile: {
      std::string path = record_text(r.data);
      put("Download Loc File :   %s\n", shown_text(path).c_str());
      read_location_list(path, file_value, locations);
      break;
    }
    case kRecordCipher: {
      int cipher = static_cast<int>(static_cast<uint32_t>(big_endian_value(r.data)));
      put("Ciphered using    :   %s\n",
          name_or_unknown(cipher >= 0 && cipher < kCipherSlots ? cipher_name(cipher) : nullptr));
      break;
    }
    case kRecordProgramLength:
      put("Program length    :   %lu\n", static_cast<unsigned long>(big_endian_value(r.data)));
      break;
    default:
      break;
  }
}

// Locations come from whoever made the file: the report shows them and
// never opens one, which would tell their host who is looking.
void print_locations(const std::vector<std::string>& locations) {
  for (const std::string& location : locations)
    put("Download Location :   %s\n", shown_text(location).c_str());
}

// The block records from the current position to the end of the
// container, each skipped and, with `print`, listed. True when the list
// ended as the header says it must (then `size` holds a trailer's size).
bool walk_blocks(int input, const ContainerHeader& header, bool print, uint64_t& size) {
  const int width = length_field_width(header.block_size);
  const bool counted = counted_blocks(header);
  for (uint64_t counter = 0;; ++counter) {
    if (counted && counter == header.block_count) return true;
    uint8_t algorithm = 0;
    uint32_t stored_length = 0;
    int error = 0;
    const BlockHead head = read_block_head(input, width, algorithm, stored_length, error);
    if (head == BlockHead::kEndMarker)
      return !counted && read_trailer_rest(input, header.old_layout, size);
    if (head != BlockHead::kBlock) return false;
    seek_location(input, stored_length, SEEK_CUR);
    if (print)
      put("  %03i | %03i  | %-7i | %s\n", static_cast<int>(counter), algorithm,
          static_cast<int>(stored_length), name_or_unknown(algorithm_name(algorithm)));
  }
}

// Where the container that starts at `start` ends, and the size its
// trailer gives, for an input that can seek back; -1 when its block list
// is cut short. A header that counts its blocks may still be followed by
// the end marker and a trailer of the same size, which belong to it.
int64_t container_end(int input, int64_t start, const ContainerHeader& header, uint64_t& size) {
  if (lseek(input, start + header.header_length() + header.ext_length, SEEK_SET) < 0) return -1;
  if (!walk_blocks(input, header, false, size)) return -1;
  const off_t end = lseek(input, 0, SEEK_CUR);
  if (counted_blocks(header)) {
    int32_t got = 0;
    uint64_t trailer_size = 0;
    if (read_magic(input, got) == kEndOfFileMagic && got == 4 &&
        read_number(input, header.old_layout ? 4 : 8, trailer_size) &&
        trailer_size == header.uncompressed_size)
      return lseek(input, 0, SEEK_CUR);
  }
  return end;
}

// The bytes of the container that starts at `start`: up to its end when
// that was found, else to the end of the input; -1 for an input that
// cannot seek.
int64_t compressed_size(int input, int64_t start, int64_t end) {
  if (start < 0) return -1;
  if (end >= 0) return end - start;
  const off_t file_end = lseek(input, 0, SEEK_END);
  return file_end < start ? -1 : file_end - start;
}

// The header's fields and the sizes; `compressed` is -1 when unknown.
void print_sizes(const ContainerHeader& header, int64_t compressed, uint64_t size) {
  put("Mirt Version      :   %i.%i.%i\n", header.version[0], header.version[1],
      header.version[2]);
  put("Block Size        :   %i\n", static_cast<int>(header.block_size));
  put("Block Header Size :   %i\n", length_field_width(header.block_size) + 1);
  if (compressed < 0) {
    put("Compressed Size   :   unknown\n");
  } else {
    put("Compressed Size   :   %llu\n", static_cast<unsigned long long>(compressed));
  }
  put("Uncompressed Size :   %llu\n", static_cast<unsigned long long>(size));
  if (compressed <= 0) {
    put("Ratio             :   unknown\n");
  } else {
    float ratio = static_cast<float>(size) / static_cast<float>(compressed);
    put("Ratio             :   %2.3f to 1.0\n", static_cast<double>(ratio));
  }
}

// Reports one container from just after its magic; leaves the input at
// its end. `whole` tells whether the container ended as it should.
bool report_container(int input, const Options& options, const char* file_name,
                      ChecksumRecord& sums, uint32_t magic, int64_t start, bool& whole,
                      ContainerHeader& header) {
  header = read_header_fields(input);
  if (header.old_layout) std::fputs(kOldHeaderWarning, stderr);
  put("File              :   %s\n", display_name(file_name));
  put("Magic             :   0x%08x", magic);
  if (magic != kContainerMagic) {
    put(" (bad magic)\n");
    return false;
  }
  put("\n");

  // An input that can seek back is walked first: the extent of this
  // container and, without a size in the header, its trailer's size.
  uint64_t size = header.uncompressed_size;
  int64_t end = -1;
  if (start >= 0) {
    uint64_t trailer_size = 0;
    end = container_end(input, start, header, trailer_size);
    if (header.old_layout && !counted_blocks(header)) std::fputs(kOldHeaderWarning, stderr);
    if (end < 0 && !counted_blocks(header))
      report("Bad end-of-file magic.  Corrupt or incomplete file?\n");
    if (!counted_blocks(header)) size = end < 0 ? 0 : trailer_size;
  }
  const int64_t compressed = compressed_size(input, start, end);
  if (start >= 0) lseek(input, start + header.header_length(), SEEK_SET);
  print_sizes(header, compressed, size);

  const char* file_value = file_name ? file_name : "";
  std::vector<std::string> locations;
  const bool records = walk_records(input, header.ext_length, [&](const ExtensionRecord& r) {
    print_record(r, file_value, sums, locations);
    return true;
  });
  print_locations(locations);

  if (options.verbosity != 0) {
    put("\nBreak down: \n");
    put("  Blk | Algo | Size    | Name\n");
    put("  ----+------+---------+---------------------------\n");
  }
  uint64_t trailer_size = 0;
  whole = records && header.complete &&
          walk_blocks(input, header, options.verbosity != 0, trailer_size);
  put("\n");
  return true;
}


// Every container of the input, one after another. A container cut short
// is reported as far as it goes; bytes after the last container that do
// not begin another are an error, unless they are zero padding.
StreamResult report_input(int input, const Options& options, const char* file_name,
                          ChecksumRecord& sums) {
  int64_t start = seekable_position(input);
  int32_t got = 0;
  uint32_t magic = read_magic(input, got);
  if (got != 4) magic = 0;  // no magic at all
  for (bool first = true;; first = false) {
    if (!first) sums = ChecksumRecord{};
    bool whole = false;
    ContainerHeader header;
    if (!report_container(input, options, file_name, sums, magic, start, whole, header))
      return {};
    if (!whole) return {true, 1};
    switch (what_follows(input, counted_blocks(header) ? &header : nullptr)) {
      case After::kContainer:
        magic = kContainerMagic;
        // The next container starts at its magic, which is read.
        start = seekable_position(input);
        if (start >= 0) start -= 4;
        continue;
      case After::kNothing:
        return {true, 1};
      case After::kGarbage:
        report("%s: trailing garbage after the compressed data.\n", display_name(file_name));
        return {};
      case After::kBadTrailer:
        report("%s: corrupt file (the trailer does not match the header).\n",
               display_name(file_name));
        return {};
    }
  }
}

}  // namespace

StreamResult report_stream(int input, const Options& options, const char* file_name,
                           ChecksumRecord& sums) {
  const StreamResult result = report_input(input, options, file_name, sums);
  // A report that did not reach its reader is a failure.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    report_system_error("write", errno != 0 ? errno : EIO);
    std::clearerr(stdout);
    return {};
  }
  return result;
}

}  // namespace mirt
