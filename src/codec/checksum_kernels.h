// The Adler-32 kernels behind adler32(), reachable one by one so that the
// tests can hold every kernel to the same results on any machine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirt::detail {

enum class AdlerKernel { scalar, ssse3, avx2 };

// Whether this build and this processor can run the kernel.
bool adler32_kernel_available(AdlerKernel kernel);

// adler32() with the given kernel; the kernel must be available.
uint32_t adler32_using(AdlerKernel kernel, uint32_t seed, const uint8_t* data, size_t length);

}  // namespace mirt::detail
