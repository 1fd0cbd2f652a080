// Records and constants shared by every layer of the program.
#pragma once

#include <cstdint>

#include "mirt/version.h"

namespace mirt {

// Program version (from CMakeLists.txt's project()) and release tag;
// packed as major * 65536 + minor * 256 + patch.
inline constexpr int kVersionMajor = MR_VERSION_MAJOR;
inline constexpr int kVersionMinor = MR_VERSION_MINOR;
inline constexpr int kVersionPatch = MR_VERSION_PATCH;
inline constexpr const char* kReleaseTag = "rel";
inline constexpr uint32_t kPackedVersion =
    kVersionMajor * 65536 + kVersionMinor * 256 + kVersionPatch;

// The sixteen one-byte run options, in their fixed byte order.
struct Options {
  uint8_t force = 0;            // 0  -f (count)
  uint8_t to_stdout = 0;        // 1  -c (toggle), output name "-"
  uint8_t verbosity = 0;        // 2  -v (count)
  uint8_t complain = 0;         // 3  -C (count)
  uint8_t version_check = 0;    // 4  check_version directive
  uint8_t run_user_binary = 0;  // 5  user_binary directive
  uint8_t flag_t = 0;           // 6  -T (toggle, unused)
  uint8_t flag_p = 0;           // 7  -P (toggle, unused)
  uint8_t no_name = 0;          // 8  -O (toggle)
  uint8_t header_only = 0;      // 9  -H (toggle)
  uint8_t speed_metric = 0;     // 10 -S (toggle, unused)
  uint8_t no_crc = 0;           // 11 -n (toggle)
  uint8_t reserved = 0;         // 12 always 0
  uint8_t use_urls = 0;         // 13 try_urls directive
  uint8_t upgrade = 0;          // 14 -a, -N, auto_upgrade directive
  uint8_t self_extract = 0;     // 15 -x (toggle)
};
static_assert(sizeof(Options) == 16, "options record is sixteen bytes");

// Running and recorded checksums of one stream; 0 means "no value".
struct ChecksumRecord {
  uint32_t compressed_sum = 0;
  uint32_t plain_sum = 0;
  uint32_t stored_compressed_sum = 0;
  uint32_t stored_plain_sum = 0;
  uint32_t expected_compressed_sum = 0;
  uint32_t expected_plain_sum = 0;
};

// Codec modes of process_stream.
inline constexpr int kModeCompress = 1;
inline constexpr int kModeDecompress = 2;
inline constexpr int kModeStatistics = 3;
inline constexpr int kModeListOnly = 4;

}  // namespace mirt
