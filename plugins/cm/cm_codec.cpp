// Context-mixing codec. Integer arithmetic only, so every platform decodes
// exactly what any other encoded; the vector kernels compute the very same
// integers as the portable ones.
#include "cm_codec.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "cm/coder.h"
#include "cm/model_v1.h"
#include "cm/model_v2.h"
#include "cm/text_transform.h"
#include "cm/tuning.h"
#include "common/detect.h"

namespace mirt::cm {
namespace {

int table_bits_for(uint32_t len) {
  const uint64_t lines = len > kQuarterLinesFrom ? len / 4 : len / 2;
  int bits = kMinTableBits;
  while (bits < kMaxTableBits && (uint64_t{1} << bits) < lines) ++bits;
  return bits;
}

bool mostly_text(const unsigned char* src, uint32_t len) {
  const coding::ByteKinds kinds = coding::count_kinds(src, len);
  return coding::looks_like_text(kinds, kTextRatio) && kinds.printable >= uint64_t{kTextControls} * kinds.controls;
}

bool looks_like_x86(const unsigned char* src, uint32_t len) {
  return coding::looks_like_x86(src, len, coding::X86Thresholds{kX86MinLength, kX86Spacing, kX86Base, false});
}

// Arithmetic on 25-bit displacements keeps the top byte 0x00 or 0xFF.
inline uint32_t sign_extend25(uint32_t v) {
  v &= 0x01FFFFFFu;
  return v & 0x01000000u ? v | 0xFE000000u : v;
}

// Relative displacements of E8/E9 become absolute targets (`forward`), or
// absolute targets relative again. Only displacements within +-16 MiB are
// touched, and the result keeps that form.
void x86_convert(unsigned char* data, uint32_t len, bool forward) {
  for (uint32_t i = 0; i + 5 <= len; ++i) {
    if ((data[i] & 0xFE) != 0xE8) continue;
    const unsigned char top = data[i + 4];
    // Every E8/E9 owns the next four bytes, converted or not: nothing else
    // changes them, so the inverse sees the same top byte.
    if (top != 0 && top != 0xFF) {
      i += 4;
      continue;
    }
    uint32_t v = data[i + 1] | uint32_t{data[i + 2]} << 8 | uint32_t{data[i + 3]} << 16 |
                 uint32_t{top} << 24;
    v = sign_extend25(forward ? v + (i + 5) : v - (i + 5));
    data[i + 1] = static_cast<unsigned char>(v);
    data[i + 2] = static_cast<unsigned char>(v >> 8);
    data[i + 3] = static_cast<unsigned char>(v >> 16);
    data[i + 4] = static_cast<unsigned char>(v >> 24);
    i += 4;
  }
}

}  // namespace

// Absolute targets make repeated calls to one function look alike.
void x86_forward(unsigned char* data, uint32_t len) { x86_convert(data, len, true); }

void x86_inverse(unsigned char* data, uint32_t len) { x86_convert(data, len, false); }

// The second and third sets share their tables and sizes.
Params table_param_for(uint32_t len, Params model) {
  if (model & (kModel2 | kModel3)) return v2::table_param_for(len);
  return static_cast<Params>(table_bits_for(len) - kMinTableBits);
}

namespace {

uint32_t get_params(const unsigned char* src, uint32_t len, Params& params);

// Whether the text transform makes the start of a text block smaller.
bool words_pay(const unsigned char* src, uint32_t len) {
  const uint32_t n = len < kWordsTrial ? len : kWordsTrial;
  const Params params = table_param_for(n) | kModel3 | kText;
  try {
    std::vector<unsigned char> out(n + n / 2 + 64);
    const auto cap = static_cast<uint32_t>(out.size());
    const uint32_t plain = encode_with(src, n, out.data(), cap, params);
    const uint32_t words = encode_with(src, n, out.data(), cap, params | kWords);
    Params kept = 0;
    return words != kDeclined && get_params(out.data(), words, kept) != 0 && (kept & kWords) && words < plain;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

Params choose_params(const unsigned char* src, uint32_t len) {
  Params params = table_param_for(len) | kModel3;
  if (looks_like_x86(src, len)) params |= kX86;
  if (mostly_text(src, len)) params |= kText;
  if ((params & kText) && words_pay(src, len)) params |= kWords;
  return params;
}

// Encoding: the model and the copy it reads (filtered or transformed),
// with the transform's table and its first output beside it.
uint64_t memory_for(Params params, uint32_t len) {
  const uint64_t model =
      params & (kModel2 | kModel3) ? v2::model_bytes(params) : v1::model_bytes(static_cast<uint8_t>(params));
  return model + len + (params & kWords ? len + words::working_memory() : 0);
}

// The third model set's text models are the largest; decoding needs the
// model and, for transformed text, the transformed block.
uint64_t memory_bound(bool encoding, uint32_t len) {
  const Params params = table_param_for(len, kModel3) | kModel3 | kText | kWords;
  if (encoding) return memory_for(params, len);
  return v2::model_bytes(params) + len;
}

namespace {

// LEB128 at dst[n], within limit; false when it does not fit.
bool put_length(unsigned char* dst, uint32_t limit, uint32_t& n, uint32_t v) {
  for (;; v >>= 7) {
    if (n >= limit) return false;
    dst[n++] = static_cast<unsigned char>((v & 127) | (v >= 128 ? 128 : 0));
    if (v < 128) return true;
  }
}

// LEB128 at src[n] into v, 1..max; false when malformed or out of range.
bool get_length(const unsigned char* src, uint32_t len, uint32_t& n, uint32_t max, uint32_t& v) {
  uint64_t value = 0;
  for (int shift = 0;; shift += 7) {
    if (n >= len || shift > 28) return false;
    const unsigned char b = src[n++];
    value |= uint64_t{b & 127u} << shift;
    if (!(b & 128)) break;
  }
  v = static_cast<uint32_t>(value);
  return value != 0 && value <= max;
}

bool valid_params(Params params, uint32_t len) {
  if ((params & ~kKnownBits) != 0 || (params & kTableMask) > table_param_for(len, params)) return false;
  if ((params & kModel2) && (params & kModel3)) return false;
  return !(params & kWords) || (params & (kModel2 | kModel3));
}

// The third set's second byte.
constexpr unsigned char kSet3 = 3;
constexpr unsigned char kSet3Words = 0x10;

// The parameter byte or bytes at dst[0]; returns how many.
uint32_t put_params(unsigned char* dst, Params params) {
  if (!(params & kModel3)) {
    dst[0] = static_cast<unsigned char>(params);
    return 1;
  }
  dst[0] = static_cast<unsigned char>((params & (kTableMask | kX86 | kText)) | kWords);
  dst[1] = static_cast<unsigned char>(kSet3 | (params & kWords ? kSet3Words : 0));
  return 2;
}

// The parameters at src[0] into `params`; returns their size, or 0 when
// they are cut or name a set this codec does not know.
uint32_t get_params(const unsigned char* src, uint32_t len, Params& params) {
  params = src[0];
  if (!(params & kWords) || (params & kModel2)) return 1;
  if (len < 2 || (src[1] & ~kSet3Words) != kSet3) return 0;
  params = (params & ~kWords) | kModel3 | (src[1] & kSet3Words ? kWords : 0);
  return 2;
}

// The header: parameters, the plain length and, with the text transform,
// the transformed length (both LEB128). Returns its size, or 0 when it is
// malformed, asks for more than `cap` bytes or a larger table than the
// encoder would pick.
uint32_t get_header(const unsigned char* src, uint32_t len, uint32_t cap, Params& params, uint32_t& plain,
                    uint32_t& coded) {
  if (len < 2) return 0;
  uint32_t n = get_params(src, len, params);
  if (n == 0 || !get_length(src, len, n, cap, plain) || !valid_params(params, plain)) return 0;
  coded = plain;
  if ((params & kWords) && !get_length(src, len, n, plain - 1, coded)) return 0;
  return n;
}

bool model_encode(const unsigned char* data, uint32_t len, Params params, Kernels kernels, Encoder& enc,
                  const Progress& progress) {
  return params & (kModel2 | kModel3)
             ? v2::encode(data, len, params, kernels, enc, progress)
             : v1::encode(data, len, static_cast<uint8_t>(params), kernels, enc, progress);
}

uint32_t encode_block(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit,
                      Params params, Kernels kernels, const Progress& progress) {
  // The decoder refuses what it would not have written.
  if (len == 0 || !valid_params(params, len)) return kDeclined;
  std::vector<unsigned char> data;
  if (params & kWords) data = words::forward(src, len);
  if (data.empty() || data.size() > len - len / kWordsMinShrink) {
    params &= ~kWords;
    data.assign(src, src + len);
  }
  if (limit < 3) return kDeclined;
  uint32_t n = put_params(dst, params);
  if (!put_length(dst, limit, n, len)) return kDeclined;
  const auto data_len = static_cast<uint32_t>(data.size());
  if ((params & kWords) && !put_length(dst, limit, n, data_len)) return kDeclined;
  if (params & kX86) x86_forward(data.data(), data_len);
  Encoder enc(dst + n, limit - n);
  if (!model_encode(data.data(), data_len, params, kernels, enc, progress)) return kDeclined;
  enc.flush();
  return enc.overflow() ? kDeclined : n + enc.size();
}

uint32_t decode_block(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t cap,
                      Kernels kernels, const Progress& progress) {
  Params params = 0;
  uint32_t plain = 0, coded = 0;
  const uint32_t n = get_header(src, len, cap, params, plain, coded);
  if (n == 0) return kFailed;
  std::vector<unsigned char> words;
  if (params & kWords) words.resize(coded);
  unsigned char* out = params & kWords ? words.data() : dst;
  Decoder dec(src + n, len - n);
  const bool decoded = params & (kModel2 | kModel3)
                           ? v2::decode(out, coded, params, kernels, dec, progress)
                           : v1::decode(out, coded, static_cast<uint8_t>(params), kernels, dec, progress);
  if (!decoded || dec.past_end() != 3) return kFailed;
  if (params & kX86) x86_inverse(out, coded);
  if ((params & kWords) && !words::inverse(out, coded, dst, plain)) return kFailed;
  return plain;
}

}  // namespace

// A block that does not fit in memory is declined, or fails to decode,
// like any other: no exception leaves the plugin.
uint32_t encode_with(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit,
                     Params params, Kernels kernels, const Progress& progress) {
  try {
    return encode_block(src, len, dst, limit, params, kernels, progress);
  } catch (const std::bad_alloc&) {
    return kDeclined;
  }
}

uint32_t encode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t limit,
                const Progress& progress) {
  return encode_with(src, len, dst, limit, choose_params(src, len), Kernels::kBest, progress);
}

uint32_t decode(const unsigned char* src, uint32_t len, unsigned char* dst, uint32_t cap, Kernels kernels,
                const Progress& progress) {
  try {
    return decode_block(src, len, dst, cap, kernels, progress);
  } catch (const std::bad_alloc&) {
    return kFailed;
  }
}

}  // namespace mirt::cm
