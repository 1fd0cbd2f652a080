// Containers to plain bytes (mode 2): for each container one after
// another, header and records, remote copy, block pipeline, verdict.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/expand.h"
#include "codec/foreign.h"
#include "common/diag.h"
#include "common/text.h"
#include "location/stream.h"
#include "status/status.h"

namespace mirt {
namespace {

bool pair_passes(uint32_t stored, uint32_t running) {
  return stored == 0 || running == 0 || stored == running;
}

uint32_t progress_total(uint64_t size, uint32_t block_size) {
  float q = static_cast<float>(size) / static_cast<float>(block_size);
  double total = q + 0.9999;
  if (total >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(total);
}

// A checksum record: false when a fetched copy does not match the local
// file it replaces.
bool take_sum(const ExtensionRecord& record, const Options& options, const char* file_name,
              ChecksumRecord& sums) {
  uint32_t expected;
  if (record.type == kRecordCompressedSum) {
    sums.stored_compressed_sum = record.value;
    expected = sums.expected_compressed_sum;
  } else {
    sums.stored_plain_sum = record.value;
    expected = sums.expected_plain_sum;
  }
  if (expected == 0 || expected == record.value) return true;
  status_message(1, "CRC error.");
  if (options.no_crc) return true;
  // The status line is not drawn at level 0: say it plainly.
  report("%s: fetched copy does not match the local checksums.\n", display_name(file_name));
  return false;
}

// Header fields and extension records, from just after the magic.
bool read_container_head(int input, const Options& options, const char* file_name,
                         ChecksumRecord& sums, ContainerInfo& info) {
  info.header = read_header_fields(input, true);
  const ContainerHeader& header = info.header;
  if (!header.complete) {
    report_corrupt(file_name, "truncated header");
    return false;
  }
  if (header.block_size == 0 || header.block_size > kMaxBlockSize) {
    report_corrupt(file_name, "bad block size");
    return false;
  }
  // Nothing checks the size field but this: every block but the last is
  // full, so the size fixes the count.
  if (counted_blocks(header) &&
      blocks_for(header.uncompressed_size, header.block_size) != header.block_count) {
    report_corrupt(file_name, "size and block count disagree");
    return false;
  }
  const char* file_value = file_name ? file_name : "";
  bool mismatch = false;
  const bool whole = walk_records(input, header.ext_length, [&](const ExtensionRecord& r) {
    switch (r.type) {
      case kRecordCompressedSum:
      case kRecordPlainSum:
        mismatch = !take_sum(r, options, file_name, sums);
        return !mismatch;
      case kRecordDescription:
        std::fprintf(stderr, "DESC: %s\n", shown_text(record_text(r.data)).c_str());
        break;
      case kRecordLocation:
        add_location(record_text(r.data).c_str(), file_value, info.locations);
        break;
      case kRecordLocationFile:
        read_location_list(record_text(r.data), file_value, info.locations);
        break;
      case kRecordCipher:
        info.cipher = static_cast<int>(static_cast<uint32_t>(big_endian_value(r.data)));
        break;
      case kRecordProgramLength:
        info.program_length = big_endian_value(r.data);
        break;
      default:
        break;
    }
    return true;
  });
  if (mismatch) return false;
  if (!whole) {
    report_corrupt(file_name, "truncated header");
    return false;
  }
  return true;
}

StreamResult decompress_input(int input, int output, const Settings& settings,
                              const char* file_name, ChecksumRecord& sums, int cipher,
                              bool may_retry);

// With `try_urls`, the first download location that opens replaces the
// local data: it is read in its place, as a stream of its own, and its
// download locations are not followed again. The local input is left to
// its owner, who closes it.
bool use_remote_copy(int output, const Settings& settings, const char* file_name,
                     ChecksumRecord& sums, const ContainerInfo& info, StreamResult& result) {
  for (const std::string& location : info.locations) {
    status_message(1, "Trying to get remote url ");
    status_append(2, shown_text(location).c_str());
    int fetched = open_location(location.c_str(), O_RDONLY, 0);
    if (fetched < 0) {
      status_message(1, "Failed.");
      continue;
    }
    sums.expected_compressed_sum = sums.stored_compressed_sum;
    sums.expected_plain_sum = sums.stored_plain_sum;
    result = decompress_input(fetched, output, settings, file_name, sums, info.cipher, false);
    close(fetched);
    return true;
  }
  return false;
}

// A size for the progress display before the blocks are read: the
// header's, or a trailer found by walking the block records of an input
// that can seek back. Purely a display: the blocks are checked as read.
// Such an input without its trailer is said to be corrupt at once, as the
// failure that follows from the blocks comes only at their end.
uint64_t size_for_progress(int input, const ContainerInfo& info) {
  if (counted_blocks(info.header)) return info.header.uncompressed_size;
  const int64_t at = seekable_position(input);
  if (at < 0) return 0;
  const int width = length_field_width(info.header.block_size);
  uint64_t size = 0;
  bool trailer = false;
  for (;;) {
    uint8_t algorithm = 0;
    uint32_t length = 0;
    int error = 0;
    const BlockHead head = read_block_head(input, width, algorithm, length, error);
    if (head == BlockHead::kEndMarker)
      trailer = read_trailer_rest(input, info.header.old_layout, size);
    if (head != BlockHead::kBlock || lseek(input, length, SEEK_CUR) < 0) break;
  }
  lseek(input, at, SEEK_SET);
  if (!trailer) status_message(1, "File is corrupt.");
  return trailer ? size : 0;
}

// One container, from just after its magic, whose header it leaves in
// `header`. `took_input` tells that a remote copy was read in its place.
StreamResult decompress_container(int input, int output, const Settings& settings,
                                  const char* file_name, ChecksumRecord& sums, int cipher,
                                  bool may_retry, bool& took_input, ContainerHeader& header) {
  const Options& options = settings.options;
  ContainerInfo info;
  info.cipher = cipher;
  const bool read = read_container_head(input, options, file_name, sums, info);
  header = info.header;
  if (!read) return {};

  StreamResult fetched;
  if (options.use_urls && may_retry &&
      use_remote_copy(output, settings, file_name, sums, info, fetched)) {
    took_input = true;
    return fetched;
  }

  progress_begin(progress_total(size_for_progress(input, info), info.header.block_size));
  ExpandStream stream(input, output, file_name, sums, info, settings.resources);
  if (!stream.start_cipher() || !stream.run()) return {};

  const bool passes = pair_passes(sums.stored_compressed_sum, sums.compressed_sum) &&
                      pair_passes(sums.stored_plain_sum, sums.plain_sum);
  if (!passes) {
    status_message(1, "CRC error.");
    if (!(options.no_crc && options.force)) {
      report_corrupt(file_name, "checksum mismatch");
      return {};
    }
  }
  return {true, stream.size()};
}


// Every container of the input, one after another, like gzip members.
StreamResult decompress_input(int input, int output, const Settings& settings,
                              const char* file_name, ChecksumRecord& sums, int cipher,
                              bool may_retry) {
  status_message(1, "Decompressing.");
  int32_t got = 0;
  const uint32_t magic = read_magic(input, got);
  if (got != 4 || magic != kContainerMagic) {
    status_message(1, "Bad MIRT magic, checking others...");
    if (got == 4 && is_foreign_magic(magic)) return decompress_foreign(input, output, magic);
    report("%s: not a compressed file.\n", display_name(file_name));
    return {};
  }
  StreamResult total{true, 0};
  for (bool first = true;; first = false) {
    if (!first) sums = ChecksumRecord{};
    bool took_input = false;
    ContainerHeader header;
    const StreamResult one = decompress_container(input, output, settings, file_name, sums,
                                                  cipher, may_retry && first, took_input, header);
    if (!one.ok) return one;
    total.bytes += one.bytes;
    if (took_input) return total;
    switch (what_follows(input, counted_blocks(header) ? &header : nullptr)) {
      case After::kContainer:
        continue;
      case After::kNothing:
            return total;
      case After::kGarbage:
        report("%s: trailing garbage after the compressed data.\n", display_name(file_name));
        return {};
      case After::kBadTrailer:
        report_corrupt(file_name, "the trailer does not match the header");
        return {};
    }
  }
}

}  // namespace

StreamResult decompress_stream(int input, int output, const Settings& settings,
                               const char* file_name, ChecksumRecord& sums, int cipher) {
  return decompress_input(input, output, settings, file_name, sums, cipher, true);
}

}  // namespace mirt
