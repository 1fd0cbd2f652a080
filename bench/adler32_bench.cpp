// mirt::adler32 against zlib's adler32 on the same buffers in the same run.
//   cmake -DMIRT_BENCH=ON ... && ./adler32_bench
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codec/checksum.h"
#include "codec/checksum_kernels.h"

namespace {

const std::vector<uint8_t>& buffer() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> out((4u << 20) + 64);
    std::mt19937 rng(1);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
  }();
  return data;
}

// The offset of 1 keeps the buffer unaligned, as block data usually is.
void BM_mirt_adler32(benchmark::State& state) {
  const uint8_t* p = buffer().data() + 1;
  auto n = static_cast<size_t>(state.range(0));
  uint32_t sum = 0;
  for (auto _ : state) {
    sum = mirt::adler32(sum, p, n);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_zlib_adler32(benchmark::State& state) {
  const uint8_t* p = buffer().data() + 1;
  auto n = static_cast<uInt>(state.range(0));
  uLong sum = 1;
  for (auto _ : state) {
    sum = ::adler32(sum, p, n);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_mirt_adler32_kernel(benchmark::State& state, mirt::detail::AdlerKernel kernel) {
  if (!mirt::detail::adler32_kernel_available(kernel)) {
    state.SkipWithError("kernel not available on this processor");
    return;
  }
  const uint8_t* p = buffer().data() + 1;
  auto n = static_cast<size_t>(state.range(0));
  uint32_t sum = 0;
  for (auto _ : state) {
    sum = mirt::detail::adler32_using(kernel, sum, p, n);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

}  // namespace

BENCHMARK(BM_zlib_adler32)->Arg(4 << 20)->Arg(4096)->Arg(64);
BENCHMARK(BM_mirt_adler32)->Arg(4 << 20)->Arg(4096)->Arg(64);
BENCHMARK_CAPTURE(BM_mirt_adler32_kernel, scalar, mirt::detail::AdlerKernel::scalar)->Arg(4 << 20);
BENCHMARK_CAPTURE(BM_mirt_adler32_kernel, ssse3, mirt::detail::AdlerKernel::ssse3)->Arg(4 << 20);
BENCHMARK_CAPTURE(BM_mirt_adler32_kernel, avx2, mirt::detail::AdlerKernel::avx2)->Arg(4 << 20);

BENCHMARK_MAIN();
