// One file as one block of the block-sorting codec, called directly: the
// stored size of each form, compression and decompression speed in MB of
// plain data per second of CPU time, and the speed-up of THREADS threads
// on the same block in both directions, the tasks run on plain threads as
// the program's pool would. Every round trip is checked.
//   bwt_block [-r ROUNDS] [-t THREADS] FILE...
// The speed-up is the time the call takes on one idle core over that on
// THREADS idle cores, from the threads' CPU time (thread_context.h): wall
// time says nothing on a machine that others keep busy. Best of ROUNDS
// (default 3).
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bwt_codec.h"
#include "support/thread_context.h"

namespace {

using mirt::bwt::Form;
using mirt::bwt::Tasks;
using Bytes = std::vector<unsigned char>;

double now(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// CPU seconds and seconds on idle cores of the best of `rounds` runs of
// `f(context)`.
struct Times {
  double cpu = 1e30, span = 1e30;
};
template <class F>
Times best_of(int rounds, uint32_t threads, F&& f) {
  Times t;
  for (int r = 0; r < rounds; ++r) {
    mirt::test::ThreadContext context(threads);
    const double c0 = now(CLOCK_PROCESS_CPUTIME_ID), s0 = mirt::test::ThreadContext::thread_seconds();
    if (!f(context.get())) {
      std::fprintf(stderr, "round trip failed\n");
      std::exit(1);
    }
    t.span = std::min(t.span, context.span_since(s0));
    t.cpu = std::min(t.cpu, now(CLOCK_PROCESS_CPUTIME_ID) - c0);
  }
  return t;
}

void measure(const std::string& path, const Bytes& in, Form form, int rounds, uint32_t threads) {
  const auto n = static_cast<uint32_t>(in.size());
  Bytes stored(n + n / 8 + 1024), back(n);
  uint32_t m = 0;
  auto pack = [&](uint32_t t) {
    return best_of(rounds, t, [&](const mr_call_context* context) {
      m = mirt::bwt::encode(in.data(), n, stored.data(), static_cast<uint32_t>(stored.size()), Tasks(context), form);
      return m != mirt::bwt::kDeclined;
    });
  };
  auto expand = [&](uint32_t t) {
    return best_of(rounds, t, [&](const mr_call_context* context) {
      std::fill(back.begin(), back.end(), 0);
      return mirt::bwt::decode(stored.data(), m, back.data(), n, Tasks(context)) == n && back == in;
    });
  };
  const Times c1 = pack(1), ct = pack(threads), d1 = expand(1), dt = expand(threads);
  std::printf("%-12s form%d %10u %7.4f %7.1f %7.1f %6.2f %6.2f\n", path.substr(path.rfind('/') + 1).c_str(),
              static_cast<int>(form), m, double(m) / n, n / c1.cpu / 1e6, n / d1.cpu / 1e6, c1.span / ct.span,
              d1.span / dt.span);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3, opt;
  uint32_t threads = 2;
  while ((opt = getopt(argc, argv, "r:t:")) != -1) {
    if (opt == 'r') rounds = std::max(1, std::atoi(optarg));
    else if (opt == 't') threads = static_cast<uint32_t>(std::max(1, std::atoi(optarg)));
    else return 2;
  }
  std::printf("%-12s %-5s %10s %7s %7s %7s %6s %6s\n", "file", "form", "bytes", "ratio", "c_MB/s", "d_MB/s",
              "c_x", "d_x");
  for (int i = optind; i < argc; ++i) {
    std::ifstream f(argv[i], std::ios::binary);
    const Bytes in((std::istreambuf_iterator<char>(f)), {});
    if (in.empty() || in.size() > mirt::bwt::kMaxBlock) {
      std::fprintf(stderr, "%s: empty, unreadable or too large\n", argv[i]);
      return 1;
    }
    for (Form form : {Form::kFirst, Form::kParts}) measure(argv[i], in, form, rounds, threads);
  }
  return 0;
}
