// Plain bytes to a container (mode 1): header, block pipeline, finish.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "codec/block_select.h"
#include "codec/checksum.h"
#include "codec/codec.h"
#include "codec/format.h"
#include "codec/pipeline.h"
#include "codec/reader.h"
#include "codec/tables.h"
#include "common/buffer.h"
#include "common/diag.h"
#include "common/io.h"
#include "location/stream.h"
#include "status/meter.h"
#include "status/status.h"

namespace mirt {

namespace {

const char* shown_name(const char* name) { return name != nullptr ? name : ""; }

bool write_all(int fd, const void* data, size_t length) {
  if (write_full(fd, data, length)) return true;
  report_system_error("write", errno);
  return false;
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
  if (write_full(fd, parts, 2)) return true;
  report_system_error("write", errno);
  return false;
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

void report_candidates(const std::vector<CandidateNote>& notes, const Options& options) {
  std::optional<MeterPause> pause;
  if (options.verbosity >= 3 || options.complain) pause.emplace();
  for (const CandidateNote& note : notes) {
    if (note.verify_failed && options.complain)
      status_message(0, "Compression verification failed (ignoring)");
    if (options.verbosity >= 3)
      std::fprintf(stderr, "mirt: \033[%im----| %03i  | %-7i | %s\033[0m\n",
                   note.became_best ? 7 : 0, static_cast<int>(note.slot), note.shown_length,
                   shown_name(algorithm_name(note.slot)));
  }
}

void report_block(const Options& options, uint32_t count, uint8_t algorithm, uint32_t length) {
  const char* name = shown_name(algorithm_name(algorithm));
  if (options.verbosity >= 2) {
    const MeterPause pause;
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

// Stands in the pipeline for a read that failed, so that the failure is
// reported after the blocks read before it.
class ReadFailure : public BlockJob {
 public:
  explicit ReadFailure(int error) : error(error) {}
  void plan(std::vector<BlockTask>&) override {}
  int error;
};

SelectionContext selection(const Settings& settings, uint32_t block_size) {
  // Each candidate's verdict is shown only in these two cases.
  const bool shown = settings.options.complain || settings.options.verbosity >= 3;
  return SelectionContext(block_size, settings.resources.worker_threads(), settings.algorithms,
                          shown);
}

// One stream being compressed: what the header phase set up, the block
// stage, and what the finish needs.
class CompressStream : public BlockStage {
 public:
  CompressStream(int input, int output, const Settings& settings, ChecksumRecord& sums,
                 uint32_t block_size, ExtensionRecords& ext)
      : input_(input),
        output_(output),
        settings_(settings),
        options_(settings.options),
        ext_(ext),
        sums_(sums),
        block_size_(block_size),
        width_(length_field_width(block_size)),
        selection_(selection(settings, block_size)) {}

  // Reads the first block, if there is one; false after a message.
  bool read_first();
  // Before the header: a smaller block size for an input that turned out
  // to fit in its first block.
  void fit_block_size(uint32_t size);
  bool start_cipher(int cipher);
  bool write_header(const char* file_name);
  bool run_blocks();
  bool finish_container(int64_t start);
  uint64_t total() const { return total_; }

  std::unique_ptr<BlockJob> next() override;
  bool finish(BlockJob& job) override;

 private:
  // A block buffer, from those finished blocks gave back when there is one.
  Buffer take_block();
  // Reads one block; its length, 0 at the end, or a negative error.
  int32_t read_block(Buffer& block);
  std::unique_ptr<BlockJob> choice(Buffer block, uint32_t filled);
  void encrypt(uint8_t* stored, uint32_t length);
  void add_sums(BlockChoice& choice);

  const int input_;
  const int output_;
  const Settings& settings_;
  const Options& options_;
  ExtensionRecords& ext_;  // the container's records, the name and sums still to come
  ChecksumRecord& sums_;
  uint32_t block_size_;
  int width_;
  SelectionContext selection_;
  bool write_trailer();

  std::vector<Buffer> spare_blocks_;
  Buffer first_block_;
  uint32_t first_filled_ = 0;
  uint64_t chosen_ = 0;  // blocks handed to the pipeline
  bool input_ended_ = false;
  uint64_t total_ = 0;
  uint32_t blocks_ = 0;
  uint32_t area_ = 0;
  CipherEntry cipher_ = nullptr;
  Buffer cipher_state_;
  Buffer cipher_scratch_;
  uint64_t cipher_scratch_size_ = 0;
};

Buffer CompressStream::take_block() {
  if (spare_blocks_.empty()) return allocate_buffer(block_size_);
  Buffer block = std::move(spare_blocks_.back());
  spare_blocks_.pop_back();
  return block;
}

int32_t CompressStream::read_block(Buffer& block) {
  const int32_t got = read_full(input_, block.get(), block_size_);
  if (got <= 0) return got < 0 ? -(errno != 0 ? errno : EIO) : 0;
  // A short block is the last: the input ended there, even if a file that
  // grows would give more to a later read. It is offered whole, zero fill
  // included.
  const auto filled = static_cast<uint32_t>(got);
  if (filled < block_size_) {
    std::memset(block.get() + filled, 0, block_size_ - filled);
    input_ended_ = true;
  }
  total_ += filled;
  meter_read(filled);
  return got;
}

bool CompressStream::read_first() {
  first_block_ = take_block();
  // A read error is better reported before anything is written.
  const int32_t got = read_block(first_block_);
  if (got < 0) {
    report_system_error("read", got);
    return false;
  }
  if (got == 0) {
    first_block_.reset();
    input_ended_ = true;
  }
  first_filled_ = static_cast<uint32_t>(got);
  return true;
}

void CompressStream::fit_block_size(uint32_t size) {
  if (size >= block_size_) return;
  // The first block's zero fill already covers the smaller size.
  block_size_ = size;
  width_ = length_field_width(size);
  selection_ = selection(settings_, size);
}

bool CompressStream::start_cipher(int cipher) {
  if (cipher == -1) return true;
  if (!cipher_available(cipher)) {
    report("No such cipher.\n");
    return false;
  }
  cipher_ = cipher_entry(cipher);
  cipher_state_ = allocate_buffer(MR_CIPHER_STATE_SIZE);
  std::memset(cipher_state_.get(), 0, MR_CIPHER_STATE_SIZE);
  ext_.add_int(kRecordCipher, static_cast<uint32_t>(cipher), 4);
  cipher_(nullptr, nullptr, 0, cipher_state_.get(), MR_CIPHER_START_ENCRYPT);
  return true;
}

// Header and an extension area of filler, with room for the pending
// records plus the two checksums patched in at the end.
bool CompressStream::write_header(const char* file_name) {
  if (file_name != nullptr && !options_.no_name) {
    const size_t name_length = std::strlen(file_name);
    ext_.add_bytes(kRecordName, file_name,
                  static_cast<uint32_t>(std::min<size_t>(name_length, UINT32_MAX)));
  }
  area_ = ext_.length() + kChecksumRecordsLength;
  Buffer head = allocate_buffer(uint64_t{kHeaderLength} + area_);
  uint8_t* h = head.get();
  put_be(h, kContainerMagic, 4);
  h[4] = kVersionMajor;
  h[5] = kVersionMinor;
  h[6] = kVersionPatch;
  put_be(h + 7, 0, 8);
  put_be(h + 15, 0, 4);
  put_be(h + 19, block_size_, 4);
  h[23] = 0;
  put_be(h + 24, area_, 4);
  std::memset(h + kHeaderLength, kFillerByte, area_);
  meter_block(-1, 0, 0, kHeaderLength + uint64_t{area_});
  return write_all(output_, h, kHeaderLength + size_t{area_});
}

// The block's index and key: its real bytes are all that was read, the
// block size for every block but a short last one.
std::unique_ptr<BlockJob> CompressStream::choice(Buffer block, uint32_t filled) {
  const BlockPlace place{chosen_, block_key(chosen_, block_size_, filled)};
  ++chosen_;
  return std::make_unique<BlockChoice>(selection_, std::move(block), place);
}

std::unique_ptr<BlockJob> CompressStream::next() {
  if (first_block_) return choice(std::move(first_block_), first_filled_);
  if (input_ended_) return nullptr;
  Buffer block = take_block();
  const int32_t got = read_block(block);
  if (got <= 0) {
    input_ended_ = true;
    if (got == 0) return nullptr;
    return std::make_unique<ReadFailure>(-got);
  }
  return choice(std::move(block), static_cast<uint32_t>(got));
}

void CompressStream::encrypt(uint8_t* stored, uint32_t length) {
  const uint64_t need = 2 * uint64_t{length};
  if (need > cipher_scratch_size_) {
    cipher_scratch_size_ = 0;
    cipher_scratch_ = allocate_buffer(need);
    cipher_scratch_size_ = need;
  }
  const int32_t produced =
      cipher_(stored, cipher_scratch_.get(), length, cipher_state_.get(), MR_CIPHER_ENCRYPT);
  // The record keeps the compressed length whatever the cipher says.
  if (produced > 0)
    std::memcpy(stored, cipher_scratch_.get(), std::min<uint32_t>(produced, length));
}

void CompressStream::add_sums(BlockChoice& choice) {
  const uint32_t length = choice.length();
  const uint8_t* stored = choice.stored();
  if (cipher_ == nullptr && stored == choice.plain()) {
    // Stored bytes are the plain bytes: one pass serves both sums.
    const uint32_t sum = adler32(0, stored, block_size_);
    sums_.compressed_sum = adler32_combine(sums_.compressed_sum, sum, block_size_);
    sums_.plain_sum = adler32_combine(sums_.plain_sum, sum, block_size_);
    return;
  }
  sums_.compressed_sum = adler32(sums_.compressed_sum, stored, length);
  if (cipher_ == nullptr) sums_.plain_sum = adler32(sums_.plain_sum, choice.plain(), block_size_);
}

bool CompressStream::finish(BlockJob& job) {
  if (auto* failure = dynamic_cast<ReadFailure*>(&job)) {
    report_system_error("read", failure->error);
    return false;
  }
  auto& choice = static_cast<BlockChoice&>(job);
  ++blocks_;
  report_candidates(choice.notes(), options_);
  if (!choice.chosen() || choice.length() == 0) {
    report("Compression resulted in 0-byte block.\n");
    return false;
  }
  const uint32_t length = choice.length();
  if (cipher_ != nullptr) encrypt(choice.stored(), length);
  report_block(options_, blocks_, choice.algorithm(), length);
  add_sums(choice);
  if (!options_.header_only &&
      !write_block_record(output_, choice.algorithm(), length, width_, choice.stored()))
    return false;
  // Every block but the last is whole.
  const uint64_t in = std::min<uint64_t>(block_size_, total_ - uint64_t{block_size_} * (blocks_ - 1));
  meter_block(static_cast<int64_t>(blocks_ - 1), in, in, 1 + static_cast<uint64_t>(width_) + length);
  spare_blocks_.push_back(choice.take_plain());
  return true;
}

bool CompressStream::run_blocks() {
  if (options_.verbosity >= 2) {
    std::fputs("mirt: Blk | Algo | Size    | Name\n", stderr);
    std::fputs("mirt: ----+------+---------+---------------------------\n", stderr);
  }
  return run_pipeline(*this, PipelineShape{settings_.resources.worker_threads(), false});
}

bool CompressStream::write_trailer() {
  uint8_t trailer[12];
  put_be(trailer, kEndOfFileMagic, 4);
  put_be(trailer + 4, total_, 8);
  meter_block(-1, 0, 0, sizeof trailer);
  return write_all(output_, trailer, sizeof trailer);
}

// Patch size, count and records in place, counted from where this
// container starts (the output may already hold others); an output that
// cannot be patched gets a trailer instead and keeps its extension area
// as plain filler. An empty input has no size to patch: its trailer (of
// size 0) ends the container either way.
bool CompressStream::finish_container(int64_t start) {
  const off_t end = start < 0 ? -1 : lseek(output_, 0, SEEK_CUR);
  const int64_t patch_at = start + 7;
  if (end < 0 || seek_location(output_, patch_at, SEEK_SET) != patch_at) return write_trailer();
  uint8_t fields[12];
  put_be(fields, total_, 8);
  put_be(fields + 8, blocks_, 4);
  if (!write_all(output_, fields, sizeof fields)) return false;
  if (seek_location(output_, start + kHeaderLength, SEEK_SET) > 0) {
    if (!options_.no_crc) {
      ext_.add_int(kRecordCompressedSum, sums_.compressed_sum, 4);
      ext_.add_int(kRecordPlainSum, sums_.plain_sum, 4);
    }
    const uint8_t* records = ext_.pad();
    // Never spill past the reserved area into the block records.
    const uint32_t length = std::min(ext_.length(), area_);
    if (records != nullptr && length > 0 && !write_all(output_, records, length)) return false;
  }
  // Later containers follow this one.
  if (lseek(output_, end, SEEK_SET) != end) {
    report_system_error("lseek", errno);
    return false;
  }
  return blocks_ > 0 || write_trailer();
}

// Where the container starts when it can be patched in place: a file or
// device that seeks, not opened for appending (every write would land at
// the end). -1 otherwise.
int64_t patchable_start(int output) {
  const int flags = fcntl(output, F_GETFL);
  if (flags < 0 || (flags & O_APPEND) != 0) return -1;
  return seekable_position(output);
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

StreamResult compress_stream(int input, int output, const Settings& settings,
                             const char* file_name, ChecksumRecord& sums, int cipher,
                             uint64_t input_size) {
  const BlockSizeRules& rules = settings.algorithms.block_size;
  const uint32_t size = rules.choose(input_size);
  if (size > kMaxBlockSize) {
    report("Block size %u is too large (at most 2147483646).\n", size);
    return {};
  }

  ExtensionRecords ext;
  for (const HeaderRecord& record : settings.records)
    if (!ext.add_bytes(record.type, record.data.data(),
                       static_cast<uint32_t>(std::min<size_t>(record.data.size(), UINT32_MAX))))
      return {};
  int64_t start = patchable_start(output);
  if (settings.options.self_extract) {
    const int64_t prefix = write_self_extract_prefix(output);
    if (prefix < 0) {
      report("Couldn't initialize self-extracting header.\n");
      return {};
    }
    ext.add_int(kRecordProgramLength, static_cast<uint32_t>(prefix), 8);
    if (start >= 0) start += prefix;
  }

  CompressStream stream(input, output, settings, sums, size, ext);
  progress_begin(expected_blocks(input_size, size));
  if (!stream.read_first()) return {};
  // An input of unknown size that ended inside its first block is sized
  // like a file of that length, when pipe blocks are chosen at all.
  if (rules.fixed == 0 && input_size == 0 && rules.pipe != 0 && stream.total() > 0 &&
      stream.total() < size)
    stream.fit_block_size(rules.rule_size(stream.total()));
  if (!stream.start_cipher(cipher) || !stream.write_header(file_name) || !stream.run_blocks() ||
      !stream.finish_container(start))
    return {};
  return {true, stream.total()};
}

}  // namespace mirt
