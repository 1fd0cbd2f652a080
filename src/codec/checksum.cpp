#include "codec/checksum.h"

#include <cstring>

#include "codec/checksum_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#define MIRT_ADLER_X86 1
#include <immintrin.h>
#else
#define MIRT_ADLER_X86 0
#endif

namespace mirt {
namespace {

constexpr uint32_t kBase = 65521;
// Largest n with 255 n (n + 1) / 2 + (n + 1) (kBase - 1) <= 2^32 - 1: the
// sums may run this many bytes before they must be reduced.
constexpr size_t kNmax = 5552;

// Every kernel takes and returns s1 and s2 already reduced below kBase.
struct Sums {
  uint32_t s1;
  uint32_t s2;
};

// Fewer than kNmax bytes.
inline Sums adler_tail(Sums s, const uint8_t* p, size_t n) {
  uint32_t s1 = s.s1;
  uint32_t s2 = s.s2;
  while (n--) {
    s1 += *p++;
    s2 += s1;
  }
  return {s1 % kBase, s2 % kBase};
}

Sums adler_scalar(Sums s, const uint8_t* p, size_t n) {
  uint32_t s1 = s.s1;
  uint32_t s2 = s.s2;
  while (n > 0) {
    size_t chunk = n < kNmax ? n : kNmax;
    n -= chunk;
    // Bytes are added unreduced for a whole chunk. Eight bytes at a time,
    // with s2 advanced by 8 * s1 plus the weighted bytes, so the additions
    // do not all wait on each other.
    while (chunk >= 8) {
      uint32_t b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
      uint32_t b4 = p[4], b5 = p[5], b6 = p[6], b7 = p[7];
      s2 += 8 * s1 + 8 * b0 + 7 * b1 + 6 * b2 + 5 * b3 + 4 * b4 + 3 * b5 + 2 * b6 + b7;
      s1 += ((b0 + b1) + (b2 + b3)) + ((b4 + b5) + (b6 + b7));
      p += 8;
      chunk -= 8;
    }
    while (chunk--) {
      s1 += *p++;
      s2 += s1;
    }
    s1 %= kBase;
    s2 %= kBase;
  }
  return {s1, s2};
}

#if MIRT_ADLER_X86

// Vector kernels. For a run of W-byte groups starting from sums (s1, s2):
//   s1 += sum of all bytes
//   s2 += len * s1 + sum over groups of (W * byte sum of earlier groups
//         + sum of byte[j] * (W - j) within the group)
// Byte sums come from psadbw, the weighted sums from pmaddubsw/pmaddwd.
// The lanes are folded into the scalar sums once per chunk of at most
// kNmax bytes, so no lane can overflow.

__attribute__((target("ssse3"))) uint64_t hsum128(__m128i v) {
  alignas(16) uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
  return uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
}

__attribute__((target("ssse3"))) Sums adler_ssse3(Sums s, const uint8_t* p, size_t n) {
  const __m128i weights = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
  const __m128i ones = _mm_set1_epi16(1);
  const __m128i zero = _mm_setzero_si128();
  while (n >= 16) {
    size_t groups = (n < kNmax ? n : kNmax) / 16;
    size_t len = groups * 16;
    n -= len;
    __m128i byte_sum = zero;     // bytes of the groups so far
    __m128i prefix_sum = zero;   // byte_sum as it stood before each group
    __m128i weighted = zero;
    // Two groups per round where possible.
    while (groups >= 2) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
      __m128i sad_a = _mm_sad_epu8(a, zero);
      prefix_sum = _mm_add_epi32(prefix_sum, _mm_add_epi32(byte_sum, byte_sum));
      prefix_sum = _mm_add_epi32(prefix_sum, sad_a);
      byte_sum = _mm_add_epi32(byte_sum, _mm_add_epi32(sad_a, _mm_sad_epu8(b, zero)));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_maddubs_epi16(a, weights), ones));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_maddubs_epi16(b, weights), ones));
      p += 32;
      groups -= 2;
    }
    if (groups) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      prefix_sum = _mm_add_epi32(prefix_sum, byte_sum);
      byte_sum = _mm_add_epi32(byte_sum, _mm_sad_epu8(a, zero));
      weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_maddubs_epi16(a, weights), ones));
      p += 16;
    }
    uint64_t s2 = s.s2 + uint64_t{s.s1} * len + 16 * hsum128(prefix_sum) + hsum128(weighted);
    uint64_t s1 = s.s1 + hsum128(byte_sum);
    s = {static_cast<uint32_t>(s1 % kBase), static_cast<uint32_t>(s2 % kBase)};
  }
  return adler_tail(s, p, n);
}

__attribute__((target("avx2"))) uint64_t hsum256(__m256i v) {
  alignas(32) uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
  uint64_t sum = 0;
  for (uint32_t lane : lanes) sum += lane;
  return sum;
}

__attribute__((target("avx2"))) Sums adler_avx2(Sums s, const uint8_t* p, size_t n) {
  const __m256i weights = _mm256_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19,
                                           18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3,
                                           2, 1);
  const __m256i ones = _mm256_set1_epi16(1);
  const __m256i zero = _mm256_setzero_si256();
  while (n >= 32) {
    size_t groups = (n < kNmax ? n : kNmax) / 32;
    size_t len = groups * 32;
    n -= len;
    __m256i byte_sum = zero;
    __m256i prefix_sum = zero;
    __m256i weighted_a = zero;
    __m256i weighted_b = zero;
    while (groups >= 2) {
      __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
      __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
      __m256i sad_a = _mm256_sad_epu8(a, zero);
      prefix_sum = _mm256_add_epi32(prefix_sum, _mm256_add_epi32(byte_sum, byte_sum));
      prefix_sum = _mm256_add_epi32(prefix_sum, sad_a);
      byte_sum = _mm256_add_epi32(byte_sum, _mm256_add_epi32(sad_a, _mm256_sad_epu8(b, zero)));
      weighted_a = _mm256_add_epi32(
          weighted_a, _mm256_madd_epi16(_mm256_maddubs_epi16(a, weights), ones));
      weighted_b = _mm256_add_epi32(
          weighted_b, _mm256_madd_epi16(_mm256_maddubs_epi16(b, weights), ones));
      p += 64;
      groups -= 2;
    }
    if (groups) {
      __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
      prefix_sum = _mm256_add_epi32(prefix_sum, byte_sum);
      byte_sum = _mm256_add_epi32(byte_sum, _mm256_sad_epu8(a, zero));
      weighted_a = _mm256_add_epi32(
          weighted_a, _mm256_madd_epi16(_mm256_maddubs_epi16(a, weights), ones));
      p += 32;
    }
    uint64_t s2 = s.s2 + uint64_t{s.s1} * len + 32 * hsum256(prefix_sum) +
                  hsum256(_mm256_add_epi32(weighted_a, weighted_b));
    uint64_t s1 = s.s1 + hsum256(byte_sum);
    s = {static_cast<uint32_t>(s1 % kBase), static_cast<uint32_t>(s2 % kBase)};
  }
  return adler_tail(s, p, n);
}

#endif  // MIRT_ADLER_X86

using Kernel = Sums (*)(Sums, const uint8_t*, size_t);

Kernel kernel_for(detail::AdlerKernel kernel) {
  switch (kernel) {
#if MIRT_ADLER_X86
    case detail::AdlerKernel::ssse3:
      return adler_ssse3;
    case detail::AdlerKernel::avx2:
      return adler_avx2;
#endif
    default:
      return adler_scalar;
  }
}

Kernel best_kernel() {
  if (detail::adler32_kernel_available(detail::AdlerKernel::avx2))
    return kernel_for(detail::AdlerKernel::avx2);
  if (detail::adler32_kernel_available(detail::AdlerKernel::ssse3))
    return kernel_for(detail::AdlerKernel::ssse3);
  return adler_scalar;
}

// Short inputs are not worth the indirect call.
constexpr size_t kVectorMinimum = 64;

uint32_t adler32_with(Kernel kernel, uint32_t seed, const uint8_t* data, size_t length) {
  if (seed == 0) seed = 1;
  if (length == 0) return seed;
  // Reducing first gives the same result as reducing after every byte,
  // also for seeds whose halves are not below the modulus.
  Sums s{(seed & 0xFFFF) % kBase, (seed >> 16) % kBase};
  s = length < kVectorMinimum ? adler_tail(s, data, length) : kernel(s, data, length);
  return (s.s2 << 16) | s.s1;
}

}  // namespace

namespace detail {

bool adler32_kernel_available(AdlerKernel kernel) {
  switch (kernel) {
    case AdlerKernel::scalar:
      return true;
#if MIRT_ADLER_X86
    case AdlerKernel::ssse3:
      __builtin_cpu_init();
      return __builtin_cpu_supports("ssse3");
    case AdlerKernel::avx2:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2");
#endif
    default:
      return false;
  }
}

uint32_t adler32_using(AdlerKernel kernel, uint32_t seed, const uint8_t* data, size_t length) {
  return adler32_with(kernel_for(kernel), seed, data, length);
}

}  // namespace detail

uint32_t adler32(uint32_t seed, const uint8_t* data, size_t length) {
  static const Kernel kernel = best_kernel();
  return adler32_with(kernel, seed, data, length);
}

uint32_t adler32_combine(uint32_t adler_a, uint32_t adler_b, uint64_t length_b) {
  if (adler_a == 0) adler_a = 1;
  if (adler_b == 0) adler_b = 1;
  uint64_t a1 = (adler_a & 0xFFFF) % kBase;
  uint64_t a2 = (adler_a >> 16) % kBase;
  uint64_t b1 = (adler_b & 0xFFFF) % kBase;
  uint64_t b2 = (adler_b >> 16) % kBase;
  uint64_t n = length_b % kBase;
  // B's sums started from s1 = 1, s2 = 0; restart them from A's sums:
  // s1 = a1 + b1 - 1, s2 = a2 + b2 + n * a1 - n.
  uint64_t s1 = (a1 + b1 + kBase - 1) % kBase;
  uint64_t s2 = (a2 + b2 + n * a1 % kBase + kBase - n) % kBase;
  return static_cast<uint32_t>((s2 << 16) | s1);
}

}  // namespace mirt
