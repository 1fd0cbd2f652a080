// The threads and progress report one call may use, from the program's
// call context (mirt/module.h). Without a context, or with one thread,
// every task runs on the calling thread, one after another. How tasks are
// scheduled never changes a result: each writes only what is its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "mirt/module.h"

namespace mirt::plugin {

// Whether the program filled in the context's field at `offset` (`width`
// bytes): it fills in `size` bytes, and fields past them are not there.
inline bool context_has(const mr_call_context* context, size_t offset, size_t width) {
  return context->size >= offset + width;
}

class Tasks {
 public:
  Tasks() = default;
  explicit Tasks(const mr_call_context* context) {
    if (context == nullptr) return;
    host_ = has(context, offsetof(mr_call_context, host), sizeof context->host) ? context->host : nullptr;
    if (has(context, offsetof(mr_call_context, progress), sizeof context->progress)) progress_ = context->progress;
    if (has(context, offsetof(mr_call_context, parallel), sizeof context->parallel) && context->parallel != nullptr &&
        context->threads > 1) {  // threads comes before parallel
      threads_ = context->threads;
      parallel_ = context->parallel;
    }
  }

  uint32_t threads() const { return threads_; }

  // Runs task(i) for every i in [0, count), side by side where it can.
  template <class Task>
  void run(uint32_t count, Task&& task) const {
    if (parallel_ == nullptr || count < 2) {
      for (uint32_t i = 0; i < count; ++i) task(i);
      return;
    }
    using Stored = std::remove_reference_t<Task>;
    parallel_(host_, count, [](void* arg, uint32_t i) { (*static_cast<Stored*>(arg))(i); },
              const_cast<std::remove_const_t<Stored>*>(&task));
  }

  // `done` bytes of the plain block are finished.
  void progress(uint64_t done) const {
    if (progress_ != nullptr) progress_(host_, done);
  }

 private:
  static bool has(const mr_call_context* context, size_t offset, size_t width) {
    return context_has(context, offset, width);
  }

  uint32_t threads_ = 1;
  void (*parallel_)(void*, uint32_t, void (*)(void*, uint32_t), void*) = nullptr;
  void (*progress_)(void*, uint64_t) = nullptr;
  void* host_ = nullptr;
};

}  // namespace mirt::plugin
