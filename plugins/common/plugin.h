// Shared pieces of the bundled algorithm plugins. Everything here is
// header-only and hidden, so each plugin stays one self-contained object.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/tasks.h"
#include "mirt/module.h"

namespace mirt::plugin {

// Every stored form ends with the CRC-32 of the plain block, big-endian,
// XORed with the block key when the program gives one (see
// mr_call_context), so that a block fails anywhere but in its own place.
// Containers written to a pipe or with -n carry no checksums of their
// own, so without it a damaged or misplaced block could decode to wrong
// bytes unnoticed. Blocks written before keys existed carry the plain
// CRC-32 (the form a call without a context still writes), and decode
// wherever they stand.
inline constexpr uint32_t kCheckLength = 4;

// The key of the block being coded, or 0 without a call context.
inline uint32_t block_key(const void* reserved) {
  const auto* context = static_cast<const mr_call_context*>(reserved);
  if (context == nullptr || !context_has(context, offsetof(mr_call_context, block_key), sizeof context->block_key))
    return 0;
  return context->block_key;
}

// The CRC-32 of a plain block; a large one in pieces side by side when
// the call context lends threads, their CRCs combined (the same value):
// otherwise the check is what one thread does alone after a block that
// all threads decoded.
inline uint32_t plain_check(const unsigned char* data, uint32_t len, const void* reserved = nullptr) {
  constexpr uint32_t kPieceMinimum = 1u << 20;
  constexpr uint32_t kMostPieces = 16;
  const Tasks tasks(static_cast<const mr_call_context*>(reserved));
  uint32_t count = tasks.threads() < kMostPieces ? tasks.threads() : kMostPieces;
  if (count > len / kPieceMinimum) count = len / kPieceMinimum;
  if (count < 2) return static_cast<uint32_t>(crc32_z(crc32_z(0, nullptr, 0), data, len));
  auto begin = [&](uint32_t i) { return static_cast<uint32_t>(uint64_t{len} * i / count); };
  auto size = [&](uint32_t i) { return begin(i + 1) - begin(i); };
  uLong crc[kMostPieces];
  tasks.run(count, [&](uint32_t i) { crc[i] = crc32_z(crc32_z(0, nullptr, 0), data + begin(i), size(i)); });
  for (uint32_t i = 1; i < count; ++i) crc[0] = crc32_combine(crc[0], crc[i], static_cast<z_off_t>(size(i)));
  return static_cast<uint32_t>(crc[0]);
}

inline void put_check(unsigned char* out, uint32_t value) {
  for (uint32_t i = 0; i < kCheckLength; ++i)
    out[i] = static_cast<unsigned char>(value >> (8 * (kCheckLength - 1 - i)));
}

inline uint32_t get_check(const unsigned char* in) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < kCheckLength; ++i) value = value << 8 | in[i];
  return value;
}

// The largest stored form worth producing: anything not smaller than the
// block loses to the copy algorithm anyway.
inline uint32_t output_limit(uint32_t src_len, uint32_t dst_cap) {
  if (src_len == 0) return 0;
  return src_len - 1 < dst_cap ? src_len - 1 : dst_cap;
}

inline uint32_t unsupported_mode(uint32_t mode) {
  std::printf("Unsupported mode: %i\n", static_cast<int>(mode));
  return MR_DECLINED;
}

// Accepts the check of a plain block under `key`, or without a key (the
// earlier form).
inline bool check_matches(uint32_t stored, const unsigned char* plain, uint32_t len,
                          uint32_t key, const void* reserved = nullptr) {
  const uint32_t crc = plain_check(plain, len, reserved);
  return stored == (crc ^ key) || stored == crc;
}

// Every entry follows the same dispatch; Compress and Decompress return
// MR_DECLINED and MR_FAILED for their own failures. Compress gets a limit
// that leaves room for the check; Decompress sees the stored form without
// it and must never write more than `cap` bytes.
template <uint32_t (*Compress)(const unsigned char*, unsigned char*, uint32_t, uint32_t),
          uint32_t (*Decompress)(const unsigned char*, unsigned char*, uint32_t, uint32_t)>
uint32_t entry(uint32_t mode, void* reserved, const unsigned char* src, unsigned char* dst,
               uint32_t src_len, uint32_t dst_cap) {
  const uint32_t key = block_key(reserved);
  if (mode == MR_MODE_COMPRESS) {
    if (src == nullptr || dst == nullptr) return MR_DECLINED;
    const uint32_t limit = output_limit(src_len, dst_cap);
    if (limit <= kCheckLength) return MR_DECLINED;
    const uint32_t body = Compress(src, dst, src_len, limit - kCheckLength);
    if (body == MR_DECLINED || body > limit - kCheckLength) return MR_DECLINED;
    put_check(dst + body, plain_check(src, src_len, reserved) ^ key);
    return body + kCheckLength;
  }
  if (mode == MR_MODE_DECOMPRESS) {
    if (src == nullptr || dst == nullptr || src_len <= kCheckLength || dst_cap == 0)
      return MR_FAILED;
    const uint32_t body = src_len - kCheckLength;
    const uint32_t produced = Decompress(src, dst, body, dst_cap);
    if (produced == MR_FAILED || produced > dst_cap) return MR_FAILED;
    if (!check_matches(get_check(src + body), dst, produced, key, reserved)) return MR_FAILED;
    return produced;
  }
  return unsupported_mode(mode);
}

// For formats that carry a check of their own and verify it when they
// decode (a zlib or bzip2 stream, a Zstandard frame with its checksum).
// With a block key the stream is followed by a tag, the CRC-32 of the
// plain block XORed with the key; without one (and in blocks written
// before keys existed) the stream stands alone. Decompress tells in
// `consumed` where the format itself says its stream ends.
template <uint32_t (*Compress)(const unsigned char*, unsigned char*, uint32_t, uint32_t),
          uint32_t (*Decompress)(const unsigned char*, unsigned char*, uint32_t, uint32_t,
                                 uint32_t&)>
uint32_t self_checked_entry(uint32_t mode, void* reserved, const unsigned char* src,
                            unsigned char* dst, uint32_t src_len, uint32_t dst_cap) {
  const uint32_t key = block_key(reserved);
  if (mode == MR_MODE_COMPRESS) {
    if (src == nullptr || dst == nullptr) return MR_DECLINED;
    const uint32_t tag = key != 0 ? kCheckLength : 0;
    const uint32_t limit = output_limit(src_len, dst_cap);
    if (limit <= tag) return MR_DECLINED;
    const uint32_t stream = Compress(src, dst, src_len, limit - tag);
    if (stream == MR_DECLINED || stream > limit - tag) return MR_DECLINED;
    if (tag != 0) put_check(dst + stream, plain_check(src, src_len, reserved) ^ key);
    return stream + tag;
  }
  if (mode == MR_MODE_DECOMPRESS) {
    if (src == nullptr || dst == nullptr || src_len == 0 || dst_cap == 0) return MR_FAILED;
    uint32_t consumed = 0;
    const uint32_t produced = Decompress(src, dst, src_len, dst_cap, consumed);
    if (produced == MR_FAILED || produced > dst_cap || consumed > src_len) return MR_FAILED;
    const uint32_t rest = src_len - consumed;
    if (rest == 0) return produced;
    if (rest != kCheckLength ||
        get_check(src + consumed) != (plain_check(dst, produced, reserved) ^ key))
      return MR_FAILED;
    return produced;
  }
  return unsupported_mode(mode);
}

// The call context of the call this thread is serving (null without one),
// for codecs that read threads or progress from it in functions the entry
// templates above call with the buffers only.
inline thread_local const mr_call_context* t_call_context = nullptr;

inline const mr_call_context* call_context() { return t_call_context; }

// Wraps an entry so that call_context() holds the call's context during it.
template <uint32_t (*Entry)(uint32_t, void*, const unsigned char*, unsigned char*, uint32_t,
                            uint32_t)>
uint32_t entry_with_context(uint32_t mode, void* reserved, const unsigned char* src,
                            unsigned char* dst, uint32_t src_len, uint32_t dst_cap) {
  t_call_context = static_cast<const mr_call_context*>(reserved);
  const uint32_t result = Entry(mode, reserved, src, dst, src_len, dst_cap);
  t_call_context = nullptr;
  return result;
}

}  // namespace mirt::plugin
