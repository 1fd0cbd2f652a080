// A call context (mirt/module.h) whose `parallel` runs the tasks on plain
// threads, for tests and benchmarks of modules that split their work; the
// program's own runs them on its worker pool. Tasks are taken in turn by
// `threads` threads, the calling one included, so the order they run in
// varies from run to run, as it may in the program.
#pragma once

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
    std::atomic<uint32_t> next{0};
    auto worker = [&] {
      for (uint32_t i; (i = next.fetch_add(1)) < count;) task(arg, i);
    };
    std::vector<std::thread> helpers;
    for (uint32_t t = 1; t < self->context_.threads && t < count; ++t) helpers.emplace_back(worker);
    worker();
    for (auto& h : helpers) h.join();
  }

  static void report(void* host, uint64_t done) {
    auto* self = static_cast<ThreadContext*>(host);
    self->done_ = done;
    ++self->reports_;
  }

  mr_call_context context_{};
  std::atomic<uint64_t> done_{0};
  std::atomic<uint64_t> reports_{0};
};

}  // namespace mirt::test
