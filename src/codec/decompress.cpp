// Container to plain bytes (mode 2): header and records, remote copy,
// block pipeline, verdict.
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
#include "codec/pipeline.h"
#include "codec/reader.h"
#include "codec/tables.h"
#include "common/buffer.h"
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

// One algorithm byte, or -1 at the end of the input; a read error gives
// the negated error number.
int read_algorithm_byte(int fd) {
  for (;;) {
    uint8_t b = 0;
    ssize_t n = read(fd, &b, 1);
    if (n == 1) return b;
    if (n == 0) return -1;
    if (errno == EINTR) continue;
    return errno == 0 ? -EIO : -errno;
  }
}

// A big-endian field of `width` bytes; false when the input ends first.
bool read_field(int fd, int width, uint32_t& value) {
  uint8_t bytes[4];
  if (width < 1 || width > 4 || read_full(fd, bytes, static_cast<uint32_t>(width)) != width)
    return false;
  value = 0;
  for (int i = 0; i < width; ++i) value = value << 8 | bytes[i];
  return true;
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

// What the header and the extension records say about one container.
struct ContainerInfo {
  ContainerHeader header;
  std::vector<std::string> locations;
  uint64_t program_length = 0;
  uint64_t size = 0;  // uncompressed size, 0 while unknown
  int cipher = -1;
};

enum class Step { kGoOn, kFailed, kForeign };

Step read_header(int input, const char* file_name, ContainerInfo& info, uint32_t& magic) {
  read_be(input, &magic, 4, 4);
  if (magic != kContainerMagic) {
    status_message(1, "Bad MIRT magic, checking others...");
    return Step::kForeign;
  }
  info.header = read_header_fields(input, true);
  if (!info.header.complete) {
    report_corrupt(file_name, "truncated header");
    return Step::kFailed;
  }
  if (info.header.block_size == 0 || info.header.block_size > kMaxBlockSize) {
    report_corrupt(file_name, "bad block size");
    return Step::kFailed;
  }
  info.size = info.header.uncompressed_size;
  return Step::kGoOn;
}

// A checksum record (types 0 and 1): always four bytes, whatever the
// length says. False when the fetched copy does not match the local one.
bool read_sum_record(int input, uint8_t type, const Options& options, const char* file_name,
                     ChecksumRecord& sums, bool& truncated) {
  uint32_t value = 0;
  truncated = read_be(input, &value, 4, 4) != 4;
  if (truncated) return false;
  uint32_t expected;
  if (type == kRecordCompressedSum) {
    sums.stored_compressed_sum = value;
    expected = sums.expected_compressed_sum;
  } else {
    sums.stored_plain_sum = value;
    expected = sums.expected_plain_sum;
  }
  if (expected == 0 || expected == value) return true;
  status_message(1, "CRC error.");
  if (options.no_crc) return true;
  // The status line is not drawn at level 0: say it plainly.
  report("%s: fetched copy does not match the local checksums.\n", display_name(file_name));
  return false;
}

bool read_records(int input, const Options& options, const char* file_name,
                  ChecksumRecord& sums, ContainerInfo& info) {
  if (info.header.ext_length == 0) return true;
  const char* file_value = file_name ? file_name : "";
  uint64_t consumed = 0;
  std::vector<uint8_t> data;
  do {
    uint8_t type = 0;
    uint16_t length = 0;
    if (read_be(input, &type, 1, 1) != 1) {
      report_corrupt(file_name, "truncated header");
      return false;
    }
    if (type == kFillerByte) {
      consumed += 1;
      continue;
    }
    if (read_be(input, &length, 2, 2) != 2) {
      report_corrupt(file_name, "truncated header");
      return false;
    }
    consumed += uint64_t{length} + 3;
    if (type == kRecordCompressedSum || type == kRecordPlainSum) {
      bool truncated = false;
      if (read_sum_record(input, type, options, file_name, sums, truncated)) continue;
      if (truncated) report_corrupt(file_name, "truncated header");
      return false;
    }
    if (!read_exactly(input, data, length)) {
      report_corrupt(file_name, "truncated header");
      return false;
    }
    switch (type) {
      case kRecordDescription:
        std::fprintf(stderr, "DESC: %s\n", record_text(data).c_str());
        break;
      case kRecordLocation:
        add_location(record_text(data).c_str(), file_value, info.locations);
        break;
      case kRecordLocationFile:
        read_location_list(record_text(data), file_value, info.locations);
        break;
      case kRecordCipher:
        info.cipher = static_cast<int>(static_cast<uint32_t>(big_endian_value(data)));
        break;
      case kRecordProgramLength:
        info.program_length = big_endian_value(data);
        if (info.program_length > kMaxProgramLength) {
          report_corrupt(file_name, "bad program length");
          return false;
        }
        break;
      default:
        break;
    }
  } while (consumed < info.header.ext_length);
  return true;
}

// The block whose data is all there: stored (and decrypted) bytes in, the
// plain block out.
class BlockExpansion : public BlockJob {
 public:
  BlockExpansion(uint8_t algorithm, std::vector<uint8_t> stored, uint32_t stored_length)
      : algorithm(algorithm), stored(std::move(stored)), stored_length(stored_length) {}

  void plan(std::vector<BlockTask>& tasks) override {
    if (planned_ || !in_worker) return;
    planned_ = true;
    tasks.push_back({[this](unsigned) { expand(); }, stored_length});
  }

  void expand() {
    produced = call_algorithm(algorithm, MR_MODE_DECOMPRESS, stored.data(), plain.get(),
                              stored_length, capacity);
    if (sum_plain && produced <= capacity) plain_sum = adler32(0, plain.get(), produced);
  }

  const uint8_t algorithm;
  std::vector<uint8_t> stored;
  const uint32_t stored_length;
  Buffer plain;
  uint32_t capacity = 0;
  uint32_t produced = 0;
  uint32_t plain_sum = 0;
  bool sum_plain = false;  // Adler-32 of the output, combined in order
  // Slots that print (the stub) or hold nothing expand in order instead.
  bool in_worker = true;

 private:
  bool planned_ = false;
};

// A record that could not be read: reported when its turn comes.
class BlockFailure : public BlockJob {
 public:
  explicit BlockFailure(const char* reason, int error = 0) : reason(reason), error(error) {}
  void plan(std::vector<BlockTask>&) override {}
  const char* reason;
  int error;
};

// The blocks of one container: read in order (the cipher state runs
// through them), expanded anywhere, checked and written in order.
class ExpandStream : public BlockStage {
 public:
  ExpandStream(int input, int output, const char* file_name, ChecksumRecord& sums,
               const ContainerInfo& info)
      : input_(input),
        output_(output),
        file_name_(file_name),
        sums_(sums),
        info_(info),
        block_size_(info.header.block_size),
        width_(length_field_width(info.header.block_size)) {}

  bool start_cipher();
  bool run() { return run_pipeline(*this, PipelineShape{codec_threads(), true}); }
  uint64_t written() const { return written_; }
  uint64_t produced() const { return produced_; }
  uint64_t blocks() const { return blocks_; }

  std::unique_ptr<BlockJob> next() override;
  bool finish(BlockJob& job) override;

 private:
  Buffer take_block();
  bool decrypt(std::vector<uint8_t>& stored, uint32_t length);
  void add_plain_sum(BlockExpansion& block);

  const int input_;
  const int output_;
  const char* const file_name_;
  ChecksumRecord& sums_;
  const ContainerInfo& info_;
  const uint32_t block_size_;
  const int width_;
  bool ended_ = false;
  CipherEntry cipher_ = nullptr;
  std::vector<uint8_t> cipher_state_;
  std::vector<uint8_t> cipher_scratch_;
  std::vector<Buffer> spare_blocks_;
  uint64_t produced_ = 0;
  uint64_t written_ = 0;
  uint64_t blocks_ = 0;
};

bool ExpandStream::start_cipher() {
  if (info_.cipher == -1) return true;
  if (!cipher_available(info_.cipher)) {
    report_corrupt(file_name_, "cipher not available");
    return false;
  }
  cipher_ = cipher_entry(info_.cipher);
  cipher_state_.assign(kCipherStateSize, 0);
  cipher_(nullptr, nullptr, 0, cipher_state_.data(), MR_CIPHER_START_DECRYPT);
  return true;
}

Buffer ExpandStream::take_block() {
  if (spare_blocks_.empty()) return allocate_buffer(block_size_);
  Buffer block = std::move(spare_blocks_.back());
  spare_blocks_.pop_back();
  return block;
}

bool ExpandStream::decrypt(std::vector<uint8_t>& stored, uint32_t length) {
  cipher_scratch_.assign(uint64_t{length} * 2, 0);
  const int32_t got =
      cipher_(stored.data(), cipher_scratch_.data(), length, cipher_state_.data(),
              MR_CIPHER_DECRYPT);
  if (got < 0 || static_cast<uint32_t>(got) > length) return false;
  std::memcpy(stored.data(), cipher_scratch_.data(), static_cast<size_t>(got));
  return true;
}

std::unique_ptr<BlockJob> ExpandStream::next() {
  if (ended_) return nullptr;
  const int algorithm = read_algorithm_byte(input_);
  if (algorithm < -1) {
    ended_ = true;
    return std::make_unique<BlockFailure>(nullptr, -algorithm);
  }
  if (algorithm < 0 || algorithm == kEndOfBlocks) {
    ended_ = true;
    return nullptr;
  }
  // Everything that ends the container is final: nothing is read after it.
  auto fail = [this](const char* reason) {
    ended_ = true;
    return std::make_unique<BlockFailure>(reason);
  };
  uint32_t stored_length = 0;
  if (!read_field(input_, width_, stored_length)) return fail("truncated block");
  // Stored blocks never exceed twice the block size (the compressor's
  // output buffer); anything longer is not ours.
  if (stored_length > uint64_t{block_size_} * 2) return fail("stored length too large");
  std::vector<uint8_t> stored;
  if (!read_exactly(input_, stored, stored_length)) return fail("truncated block");

  auto block = std::make_unique<BlockExpansion>(static_cast<uint8_t>(algorithm),
                                                std::move(stored), stored_length);
  block->plain = take_block();
  if (!block->plain) {
    ended_ = true;
    return std::make_unique<BlockFailure>(nullptr, ENOMEM);
  }
  block->capacity = block_size_;
  const bool old = info_.header.old_layout;
  sums_.compressed_sum = old ? elf_hash(sums_.compressed_sum, block->stored.data(), stored_length)
                             : adler32(sums_.compressed_sum, block->stored.data(), stored_length);
  if (cipher_ != nullptr && !decrypt(block->stored, stored_length))
    return fail("bad decrypted length");
  // The copy algorithm ignores the capacity, so hold it to the block size here.
  if (algorithm_entry(algorithm) == copy_algorithm && stored_length > block_size_)
    return fail("block longer than the block size");
  block->sum_plain = cipher_ == nullptr && !old;
  block->in_worker = algorithm_available(algorithm);
  return block;
}

void ExpandStream::add_plain_sum(BlockExpansion& block) {
  if (cipher_ != nullptr) return;
  if (info_.header.old_layout) {
    std::fputs(kOldHeaderWarning, stderr);
    sums_.plain_sum = elf_hash(sums_.plain_sum, block.plain.get(), block.produced);
  } else if (block.in_worker) {
    sums_.plain_sum = adler32_combine(sums_.plain_sum, block.plain_sum, block.produced);
  } else {
    sums_.plain_sum = adler32(sums_.plain_sum, block.plain.get(), block.produced);
  }
}

bool ExpandStream::finish(BlockJob& job) {
  if (auto* failure = dynamic_cast<BlockFailure*>(&job)) {
    if (failure->reason != nullptr)
      report_corrupt(file_name_, failure->reason);
    else
      report_system_error(failure->error == ENOMEM ? "malloc" : "read", failure->error);
    return false;
  }
  auto& block = static_cast<BlockExpansion&>(job);
  if (block.out_of_memory) {
    report_system_error("malloc", ENOMEM);
    return false;
  }
  if (info_.header.old_layout) std::fputs(kOldHeaderWarning, stderr);
  if (!block.in_worker)
    block.produced = decompress_block(block.algorithm, block.stored.data(), block.stored_length,
                                      block.plain.get(), block_size_);
  if (block.produced > block_size_) {
    report_corrupt(file_name_, "block longer than the block size");
    return false;
  }
  if (block.produced == 0) {
    report(cipher_ ? "Decompression resulted in 0-byte block.  Invalid key?\n"
                   : "Decompression resulted in 0-byte block.\n");
  }
  add_plain_sum(block);
  progress_step(1);

  const uint64_t size = info_.size;
  uint64_t to_write = block.produced;
  if (size != 0 && produced_ + block.produced > size)
    to_write = size > produced_ ? size - produced_ : 0;
  if (to_write > 0 && !write_all(output_, block.plain.get(), to_write)) return false;
  written_ += to_write;
  produced_ += block.produced;
  ++blocks_;
  spare_blocks_.push_back(std::move(block.plain));
  return true;
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

// With `try_urls`, the first download location that opens replaces the
// local data. Returns true when one was used (its result in `result`).
bool use_remote_copy(int input, int output, Options& options, const char* file_name,
                     ChecksumRecord& sums, const ContainerInfo& info, uint64_t& result) {
  for (const std::string& location : info.locations) {
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
    result = decompress_fetched(fetched, output, options, file_name, sums, info.cipher);
    close(fetched);
    return true;
  }
  return false;
}

// Without a size in the header the trailer has it, if the input can seek.
// False when the trailer is damaged (reported after the blocks, as before).
bool locate_size(int input, ContainerInfo& info, bool& size_unknown) {
  if (info.size != 0) return true;
  switch (read_trailer(input, info.header, info.program_length, info.size)) {
    case TrailerResult::kNotSeekable:
      size_unknown = true;
      return true;
    case TrailerResult::kBadMagic:
      status_message(1, "File is corrupt.");
      seek_location(input, static_cast<int64_t>(info.header.header_length() +
                                                info.program_length + info.header.ext_length),
                    SEEK_SET);
      return false;
    case TrailerResult::kFound:
      break;
  }
  seek_location(input,
                static_cast<int64_t>(info.header.header_length() + info.program_length +
                                     info.header.ext_length),
                SEEK_SET);
  return true;
}

uint64_t decompress_container(int input, int output, Options& options, const char* file_name,
                              ChecksumRecord& sums, int cipher, bool may_retry) {
  status_message(1, "Decompressing.");
  ext_clear();

  ContainerInfo info;
  info.cipher = cipher;
  uint32_t magic = 0;
  switch (read_header(input, file_name, info, magic)) {
    case Step::kForeign:
      return decompress_foreign(input, output, magic);
    case Step::kFailed:
      return 0;
    case Step::kGoOn:
      break;
  }
  if (!read_records(input, options, file_name, sums, info)) return 0;

  uint64_t fetched_result = 0;
  if (options.use_urls && may_retry &&
      use_remote_copy(input, output, options, file_name, sums, info, fetched_result))
    return fetched_result;

  bool size_unknown = false;
  const bool trailer_ok = locate_size(input, info, size_unknown);

  progress_begin(progress_total(info.size, info.header.block_size));
  ExpandStream stream(input, output, file_name, sums, info);
  if (!stream.start_cipher() || !stream.run()) return 0;

  const bool passes = pair_passes(sums.stored_compressed_sum, sums.compressed_sum) &&
                      pair_passes(sums.stored_plain_sum, sums.plain_sum);
  if (!passes) {
    status_message(1, "CRC error.");
    if (!(options.no_crc && options.force)) {
      report_corrupt(file_name, "checksum mismatch");
      return 0;
    }
  }
  if (!trailer_ok) {
    // No size could be found, so the result would be 0 without a word.
    report_corrupt(file_name, "bad end-of-file magic");
    return 0;
  }
  if (info.size != 0 && stream.blocks() > 0 && stream.produced() < info.size) {
    report_corrupt(file_name, "data ends early");
    return 0;
  }
  ext_clear();
  // Read from a pipe without a size: every block was written whole.
  if (size_unknown) return stream.written();
  return info.size;
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
