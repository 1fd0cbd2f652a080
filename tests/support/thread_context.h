// A call context (mirt/module.h) whose `parallel` runs the tasks on plain
// threads, for tests and benchmarks of modules that split their work; the
// program's own runs them on its worker pool. Tasks are taken in turn by
// `threads` threads, the calling one included, so the order they run in
// varies from run to run, as it may in the program.
//
// It also keeps the CPU time of the longest-working thread of each
// parallel call: with the calling thread's time outside those calls, that
// is how long the call takes on as many idle cores, whatever else the
// machine is doing.
#pragma once

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "mirt/module.h"

namespace mirt::test {

class ThreadContext {
 public:
  explicit ThreadContext(uint32_t threads, uint32_t block_key = 1) {
    context_.size = sizeof context_;
    context_.version = MR_CONTEXT_VERSION;
    context_.block_key = block_key;
    context_.threads = threads;
    context_.parallel = threads > 1 ? &run : nullptr;
    context_.progress = &report;
    context_.host = this;
  }
  ThreadContext(const ThreadContext&) = delete;
  ThreadContext& operator=(const ThreadContext&) = delete;

  mr_call_context* get() { return &context_; }
  // The last progress reported, and how often it was.
  uint64_t progress() const { return done_; }
  uint64_t reports() const { return reports_; }

 private:
  static void run(void* host, uint32_t count, void (*task)(void*, uint32_t), void* arg) {
    auto* self = static_cast<ThreadContext*>(host);
    const uint32_t used = std::min(self->context_.threads, count);
    std::vector<double> busy(used);
    std::atomic<uint32_t> next{0};
    auto worker = [&](uint32_t t) {
      const double start = thread_seconds();
      for (uint32_t i; (i = next.fetch_add(1)) < count;) task(arg, i);
      busy[t] = thread_seconds() - start;
    };
    std::vector<std::thread> helpers;
    for (uint32_t t = 1; t < used; ++t) helpers.emplace_back(worker, t);
    worker(0);
    for (auto& h : helpers) h.join();
    self->longest_ += *std::max_element(busy.begin(), busy.end());
    self->caller_inside_ += busy[0];
  }

 public:
  static double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  }
  // Seconds on idle cores of what ran on the calling thread since
  // `caller_start` (its thread_seconds() then).
  double span_since(double caller_start) const {
    return thread_seconds() - caller_start - caller_inside_ + longest_;
  }
  void reset_span() {
    longest_ = 0;
    caller_inside_ = 0;
  }

 private:

  static void report(void* host, uint64_t done) {
    auto* self = static_cast<ThreadContext*>(host);
    self->done_ = done;
    ++self->reports_;
  }

  mr_call_context context_{};
  double longest_ = 0, caller_inside_ = 0;
  std::atomic<uint64_t> done_{0};
  std::atomic<uint64_t> reports_{0};
};

}  // namespace mirt::test
