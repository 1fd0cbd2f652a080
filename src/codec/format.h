// Container field primitives, the extension buffer and the length width rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace mirt {

inline constexpr uint32_t kContainerMagic = 0x4D5254C3;
inline constexpr uint32_t kEndOfFileMagic = 0xFF3FDE08;
inline constexpr int32_t kOldLayoutVersion = 2086;  // 0.8.38 and older
inline constexpr int kHeaderLength = 28;
inline constexpr int kOldHeaderLength = 24;
inline constexpr int kChecksumRecordsLength = 14;  // records 0 and 1
inline constexpr uint8_t kFillerByte = 0x0A;
// Largest block size any writer produces; a header claiming more is corrupt.
inline constexpr uint32_t kMaxBlockSize = 2147483646u;
inline constexpr uint32_t kMaxRecordData = 65535u;

// Header extension record types.
enum : uint8_t {
  kRecordCompressedSum = 0,
  kRecordPlainSum = 1,
  kRecordName = 4,
  kRecordDescription = 6,
  kRecordLocation = 7,
  kRecordLocationFile = 8,
  kRecordCipher = 9,
  kRecordProgramLength = 12,
};

inline constexpr const char* kOldHeaderWarning =
    "mirt: **WARNING** This file uses the old MIRT file header, support will go away in "
    "future versions for this.\n";

// Big-endian fields, one byte per system call.
int write_be(int fd, uint64_t value, int width);
int read_be(int fd, void* destination, int count, int destination_width);

// Length field width K for block size S.
int length_field_width(uint32_t block_size);

// The key that binds a stored block to its place (struct mr_call_context):
// a mix of the block's index in its container, the block size and the
// number of real bytes in the block (the block size for every block but
// the last, the tail length for the last). Never 0. Stored blocks depend
// on it: it must never change.
uint32_t block_key(uint64_t index, uint32_t block_size, uint32_t real_bytes);
// The real bytes of block `index` of a container of `size` plain bytes.
uint32_t real_bytes_of(uint64_t index, uint64_t size, uint32_t block_size);

// Whether a record of `length` data bytes fits the record format; when
// not, says so.
bool record_fits(uint32_t length);

// The header extension records of one container being written, in order.
// The append operations return 1, or 0 when the record cannot be stored
// (allocation failure, or data longer than 65535 bytes; a message says
// which).
class ExtensionRecords {
 public:
  ExtensionRecords() = default;
  ~ExtensionRecords() { std::free(data_); }
  ExtensionRecords(const ExtensionRecords&) = delete;
  ExtensionRecords& operator=(const ExtensionRecords&) = delete;

  int add_bytes(uint8_t type, const void* data, uint32_t length);
  int add_int(uint8_t type, uint32_t value, unsigned width);
  uint32_t length() const { return used_; }
  // The records, the rest of the allocation filled with filler; null
  // before the first record.
  uint8_t* pad();
  void clear();
  uint32_t allocated() const { return allocated_; }  // for tests

 private:
  bool reserve(uint32_t length);
  void put_head(uint8_t type, uint32_t length);

  uint8_t* data_ = nullptr;
  uint32_t allocated_ = 0;
  uint32_t used_ = 0;
};

}  // namespace mirt
