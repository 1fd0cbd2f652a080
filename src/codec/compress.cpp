#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "codec/checksum.h"
#include "codec/codec.h"
#include "codec/format.h"
#include "codec/tables.h"
#include "common/diag.h"
#include "location/stream.h"
#include "status/status.h"

namespace mirt {

namespace {

constexpr uint32_t kDeclined = static_cast<uint32_t>(-1);
constexpr uint32_t kCipherStateSize = 2048;

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t[], FreeDeleter>;

// malloc rather than new: failure must end in a message, not an exception.
Buffer allocate(uint64_t size) {
  if (size > SIZE_MAX) return nullptr;
  return Buffer(static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : static_cast<size_t>(size))));
}

// What one candidate did, replayed in slot order after the selection so
// that the selection itself prints nothing.
struct CandidateNote {
  uint8_t slot;
  int32_t shown_length;
  bool became_best;
  bool verify_failed;
};

// Buffers for choosing the algorithm of one block. The two stored
// buffers take turns: the winner stays where it was written and the next
// candidate goes to the other one, so no candidate is ever copied.
struct SelectionScratch {
  uint8_t* stored[2] = {nullptr, nullptr};
  uint8_t* verify = nullptr;
  uint32_t capacity = 0;
  CandidateNote notes[kEndOfBlocks] = {};
  int note_count = 0;
};

struct Selection {
  uint32_t length = 0;  // 0: no acceptable candidate
  uint8_t algorithm = 0;
  const uint8_t* data = nullptr;  // the block itself or one of the stored buffers
};

// Largest stored length the block record's length field can carry.
uint32_t storable_length(uint32_t block_length) {
  const int width = length_field_width(block_length);
  if (width >= 4) return kDeclined - 1;
  return (uint32_t{1} << (8 * width)) - 1;
}

// Depends only on the block and the tables: ranked by stored length, the
// lower slot keeps a tie, and only an improvement is verified.
Selection choose_algorithm(SelectionScratch& scratch, const uint8_t* block,
                           uint32_t block_length) {
  Selection best;
  bool have_best = false;
  const uint32_t limit = std::min(storable_length(block_length), scratch.capacity);
  uint8_t* candidate = scratch.stored[0];
  uint8_t* spare = scratch.stored[1];
  scratch.note_count = 0;

  const int highest = highest_available_algorithm();
  for (int slot = 0; slot <= highest; ++slot) {
    if (!algorithm_available(slot)) continue;
    const AlgorithmEntry entry = algorithm_entry(slot);
    // The copy algorithm's output is the block itself; skip producing and
    // checking a copy of it.
    const bool identity = entry == copy_algorithm;
    uint32_t c = identity ? block_length
                          : entry(1, nullptr, block, candidate, block_length, scratch.capacity);
    if (c != kDeclined && c > limit) c = kDeclined;

    CandidateNote note{static_cast<uint8_t>(slot), static_cast<int32_t>(c), false, false};
    if (c != kDeclined && (!have_best || c < best.length)) {
      bool verified = true;
      if (!identity) {
        const uint32_t plain =
            entry(2, nullptr, candidate, scratch.verify, c, block_length);
        verified = plain == block_length &&
                   (block_length == 0 || std::memcmp(scratch.verify, block, block_length) == 0);
      }
      if (verified) {
        have_best = true;
        best.length = c;
        best.algorithm = static_cast<uint8_t>(slot);
        best.data = identity ? block : candidate;
        if (!identity) std::swap(candidate, spare);
        note.became_best = true;
      } else {
        note.verify_failed = true;
        note.shown_length = -1;
      }
    }
    scratch.notes[scratch.note_count++] = note;
  }
  if (!have_best) return Selection{};
  return best;
}

const char* shown_name(const char* name) { return name != nullptr ? name : ""; }

void report_candidates(const SelectionScratch& scratch, const Options& options) {
  for (int i = 0; i < scratch.note_count; ++i) {
    const CandidateNote& note = scratch.notes[i];
    if (note.verify_failed && options.complain)
      status_message(0, "Compression verification failed (ignoring)");
    if (options.verbosity >= 3)
      std::fprintf(stderr, "mirt: \033[%im----| %03i  | %-7i | %s\033[0m\n",
                   note.became_best ? 7 : 0, static_cast<int>(note.slot), note.shown_length,
                   shown_name(algorithm_name(note.slot)));
  }
}

bool write_all(int fd, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      report_system_error("write", n == 0 ? EIO : errno);
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// One system call per block record in the usual case.
bool write_block_record(int fd, uint8_t algorithm, uint32_t length, int width,
                        const uint8_t* data) {
  uint8_t head[1 + 4];
  head[0] = algorithm;
  for (int i = 0; i < width; ++i)
    head[1 + i] = static_cast<uint8_t>(length >> (8 * (width - 1 - i)));
  iovec parts[2] = {{head, static_cast<size_t>(1 + width)},
                    {const_cast<uint8_t*>(data), length}};
  int first = 0;
  while (first < 2) {
    const ssize_t n = ::writev(fd, parts + first, 2 - first);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      report_system_error("write", n == 0 ? EIO : errno);
      return false;
    }
    auto done = static_cast<size_t>(n);
    while (first < 2 && done >= parts[first].iov_len) {
      done -= parts[first].iov_len;
      ++first;
    }
    if (first < 2) {
      parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + done;
      parts[first].iov_len -= done;
    }
  }
  return true;
}

void put_be(uint8_t* out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

// No executable prefix ships with the program; the option is accepted
// but can only fail.
int64_t write_self_extract_prefix(int) { return -1; }

uint32_t expected_blocks(uint64_t input_size, uint32_t block_size) {
  if (input_size == 0) return 0;
  const double blocks =
      static_cast<double>(static_cast<float>(input_size) / static_cast<float>(block_size)) +
      0.9999;
  if (blocks >= 4294967295.0) return UINT32_MAX;
  return static_cast<uint32_t>(blocks);
}

void report_block(const Options& options, uint32_t count, uint8_t algorithm, uint32_t length) {
  const char* name = shown_name(algorithm_name(algorithm));
  if (options.verbosity >= 2) {
    if (options.verbosity >= 3)
      std::fputs("mirt: ^^^\\ /^^^^\\ /^^^^^^^\\ /^^^^^^^^^^^^^^^^^^^^^^^^^^\n", stderr);
    std::fprintf(stderr, "mirt: %03i | %03i  | %-7i | %s\n", static_cast<int>(count),
                 static_cast<int>(algorithm), static_cast<int>(length), name);
    if (options.verbosity >= 3)
      std::fputs("mirt: ___/ \\____/ \\_______/ \\__________________________\n", stderr);
  }
  progress_step(1);
  status_message(1, "Algorithm ");
  status_append(1, name);
}

}  // namespace

uint32_t default_block_size(uint64_t input_size) {
  if (input_size == 0) return 8192;
  if (input_size < 204800) return static_cast<uint32_t>(input_size + 5);
  // Single precision on purpose: existing files were sized this way.
  const double steps =
      static_cast<double>(static_cast<float>(input_size) / 102400.0f) - 0.9999999;
  constexpr uint32_t kCap = 4194304;
  if (steps >= 65.0) return kCap;
  const uint64_t size = static_cast<uint64_t>(steps) * 65535u;
  return size > kCap ? kCap : static_cast<uint32_t>(size);
}

uint32_t select_block_algorithm(uint8_t& algorithm, uint8_t* destination, const uint8_t* block,
                                uint32_t block_length, const Options& options,
                                uint32_t destination_capacity) {
  Buffer candidate = allocate(destination_capacity);
  Buffer verify = allocate(block_length);
  if (!candidate || !verify) {
    report_system_error("malloc", ENOMEM);
    return 0;
  }
  auto scratch = std::make_unique<SelectionScratch>();
  scratch->stored[0] = destination;
  scratch->stored[1] = candidate.get();
  scratch->verify = verify.get();
  scratch->capacity = destination_capacity;

  const Selection chosen = choose_algorithm(*scratch, block, block_length);
  report_candidates(*scratch, options);
  if (chosen.data == nullptr) return 0;
  algorithm = chosen.algorithm;
  if (chosen.data != destination) std::memmove(destination, chosen.data, chosen.length);
  return chosen.length;
}

uint64_t compress_stream(int input, int output, Options& options, const char* file_name,
                         ChecksumRecord& sums, uint32_t block_size, int cipher,
                         uint64_t input_size) {
  const uint32_t size = block_size != 0 ? block_size : default_block_size(input_size);
  if (size > kMaxBlockSize) {
    report("Block size %u is too large (at most 2147483646).\n", size);
    return 0;
  }

  uint64_t base = 0;  // length of a self-extracting prefix
  if (options.self_extract) {
    const int64_t prefix = write_self_extract_prefix(output);
    if (prefix < 0) {
      report("Couldn't initialize self-extracting header.\n");
      return 0;
    }
    ext_add_int(kRecordProgramLength, static_cast<uint32_t>(prefix), 8);
    base = static_cast<uint64_t>(prefix);
  }

  const uint64_t capacity = 2 * uint64_t{size};
  Buffer block = allocate(size);
  Buffer stored_a = allocate(capacity);
  Buffer stored_b = allocate(capacity);
  Buffer verify = allocate(size);
  auto scratch = std::unique_ptr<SelectionScratch>(new (std::nothrow) SelectionScratch);
  if (!block || !stored_a || !stored_b || !verify || !scratch) {
    report_system_error("malloc", ENOMEM);
    return 0;
  }
  scratch->stored[0] = stored_a.get();
  scratch->stored[1] = stored_b.get();
  scratch->verify = verify.get();
  scratch->capacity = static_cast<uint32_t>(std::min<uint64_t>(capacity, UINT32_MAX));

  progress_begin(expected_blocks(input_size, size));

  // The container cannot record an empty input, so look before writing.
  int32_t got = read_full(input, block.get(), size);
  if (got < 0) {
    report_system_error("read", errno);
    return 0;
  }
  if (got == 0) {
    report("%s: empty input\n", display_name(file_name));
    return 0;
  }

  CipherEntry encrypt = nullptr;
  Buffer cipher_state;
  Buffer cipher_scratch;
  uint64_t cipher_scratch_size = 0;
  if (cipher != -1) {
    if (!cipher_available(cipher)) {
      report("No such cipher.\n");
      return 0;
    }
    encrypt = cipher_entry(cipher);
    cipher_state = allocate(kCipherStateSize);
    if (!cipher_state) {
      report_system_error("malloc", ENOMEM);
      return 0;
    }
    std::memset(cipher_state.get(), 0, kCipherStateSize);
    ext_add_int(kRecordCipher, static_cast<uint32_t>(cipher), 4);
    encrypt(nullptr, nullptr, 0, cipher_state.get(), 11);
  }

  const int width = length_field_width(size);

  if (file_name != nullptr && !options.no_name) {
    const size_t name_length = std::strlen(file_name);
    ext_add_bytes(kRecordName, file_name,
                  static_cast<uint32_t>(std::min<size_t>(name_length, UINT32_MAX)));
  }

  // Header and an extension area of filler, with room for the pending
  // records plus the two checksums patched in at the end.
  const uint32_t area = ext_length() + kChecksumRecordsLength;
  {
    Buffer head = allocate(uint64_t{kHeaderLength} + area);
    if (!head) {
      report_system_error("malloc", ENOMEM);
      return 0;
    }
    uint8_t* h = head.get();
    put_be(h, kContainerMagic, 4);
    h[4] = kVersionMajor;
    h[5] = kVersionMinor;
    h[6] = kVersionPatch;
    put_be(h + 7, 0, 8);
    put_be(h + 15, 0, 4);
    put_be(h + 19, size, 4);
    h[23] = 0;
    put_be(h + 24, area, 4);
    std::memset(h + kHeaderLength, kFillerByte, area);
    if (!write_all(output, h, kHeaderLength + size_t{area})) return 0;
  }

  if (options.verbosity >= 2) {
    std::fputs("mirt: Blk | Algo | Size    | Name\n", stderr);
    std::fputs("mirt: ----+------+---------+---------------------------\n", stderr);
  }

  uint64_t total = 0;
  uint32_t blocks = 0;
  uint8_t* const plain = block.get();
  while (got > 0) {
    const auto filled = static_cast<uint32_t>(got);
    // The last block is offered whole, zero fill included.
    if (filled < size) std::memset(plain + filled, 0, size - filled);
    total += filled;
    ++blocks;

    const Selection chosen = choose_algorithm(*scratch, plain, size);
    report_candidates(*scratch, options);
    if (chosen.data == nullptr || chosen.length == 0) {
      report("Compression resulted in 0-byte block.\n");
      return 0;
    }
    const uint32_t length = chosen.length;
    // The winner lives in one of our own buffers; find it writable.
    uint8_t* stored = chosen.data == plain           ? plain
                      : chosen.data == stored_a.get() ? stored_a.get()
                                                      : stored_b.get();

    if (encrypt != nullptr) {
      const uint64_t need = 2 * uint64_t{length};
      if (need > cipher_scratch_size) {
        cipher_scratch = allocate(need);
        if (!cipher_scratch) {
          report_system_error("malloc", ENOMEM);
          return 0;
        }
        cipher_scratch_size = need;
      }
      const int32_t produced =
          encrypt(stored, cipher_scratch.get(), length, cipher_state.get(), 6);
      // The record keeps the compressed length whatever the cipher says.
      if (produced > 0)
        std::memcpy(stored, cipher_scratch.get(), std::min<uint32_t>(produced, length));
    }

    report_block(options, blocks, chosen.algorithm, length);

    if (encrypt == nullptr && stored == plain) {
      // Stored bytes are the plain bytes: one pass serves both sums.
      const uint32_t sum = adler32(0, plain, size);
      sums.compressed_sum = adler32_combine(sums.compressed_sum, sum, size);
      sums.plain_sum = adler32_combine(sums.plain_sum, sum, size);
    } else {
      sums.compressed_sum = adler32(sums.compressed_sum, stored, length);
      if (encrypt == nullptr) sums.plain_sum = adler32(sums.plain_sum, plain, size);
    }

    if (!options.header_only &&
        !write_block_record(output, chosen.algorithm, length, width, stored))
      return 0;

    got = read_full(input, plain, size);
    if (got < 0) {
      report_system_error("read", errno);
      return 0;
    }
  }

  // Patch size and count in place; an output that cannot seek gets a
  // trailer instead and keeps its extension area as plain filler.
  const auto patch_at = static_cast<int64_t>(base + 7);
  if (seek_location(output, patch_at, SEEK_SET) != patch_at) {
    uint8_t trailer[12];
    put_be(trailer, kEndOfFileMagic, 4);
    put_be(trailer + 4, total, 8);
    if (!write_all(output, trailer, sizeof trailer)) return 0;
  } else {
    uint8_t fields[12];
    put_be(fields, total, 8);
    put_be(fields + 8, blocks, 4);
    if (!write_all(output, fields, sizeof fields)) return 0;
    if (seek_location(output, static_cast<int64_t>(base + kHeaderLength), SEEK_SET) > 0) {
      if (!options.no_crc) {
        ext_add_int(kRecordCompressedSum, sums.compressed_sum, 4);
        ext_add_int(kRecordPlainSum, sums.plain_sum, 4);
      }
      const uint8_t* records = ext_pad();
      // Never spill past the reserved area into the block records.
      const uint32_t length = std::min(ext_length(), area);
      if (records != nullptr && length > 0 && !write_all(output, records, length)) return 0;
    }
  }
  ext_clear();
  return total;
}

}  // namespace mirt
