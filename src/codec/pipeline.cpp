#include "codec/pipeline.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>

namespace mirt {
namespace {


// Memory bound: at most this many blocks per thread between reading and
// finishing.
constexpr unsigned kBlocksPerThread = 2;

struct Entry {
  std::unique_ptr<BlockJob> job;
  uint64_t sequence = 0;
  unsigned pending = 0;  // tasks of the current round not yet run
  bool ready = false;
};

struct Queued {
  uint64_t sequence;
  uint64_t cost;
  uint64_t order;  // keeps equal keys first-in, first-out
  Entry* entry;
  std::function<void(unsigned)> run;
  // Earlier blocks first, so the in-order finish is never starved; within
  // a block the most expensive work first, so one block's work spreads.
  bool operator<(const Queued& other) const {
    if (sequence != other.sequence) return sequence < other.sequence;
    if (cost != other.cost) return cost > other.cost;
    return order < other.order;
  }
};

void run_guarded(BlockJob& job, const std::function<void(unsigned)>& run, unsigned worker) {
  // As in run_stream: a size no allocation can meet counts as running out.
  try {
    run(worker);
  } catch (const std::bad_alloc&) {
    job.out_of_memory = true;
  } catch (const std::length_error&) {
    job.out_of_memory = true;
  }
}

// The sub-tasks of one algorithm call (mr_call_context.parallel): taken
// one index at a time by the calling worker and by any idle one.
struct Batch {
  uint32_t count;
  void (*task)(void*, uint32_t);
  void* arg;
  uint32_t next = 0;  // first index not yet taken
  uint32_t done = 0;
};

class WorkerPool;
// The pool of the worker running on this thread; null elsewhere.
thread_local WorkerPool* t_pool = nullptr;

// Worker threads and the queue they take work from. The destructor drops
// what is still queued and joins every worker.
class WorkerPool {
 public:
  explicit WorkerPool(unsigned threads) {
    // Signals belong to the calling thread, whose handlers clean up.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
      for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this, i] { work(i); });
    } catch (...) {
      // Fewer threads than asked still finish the work.
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  ~WorkerPool() {
    {
      const std::lock_guard<std::mutex> hold(mutex_);
      stopping_ = true;
      queue_.clear();
    }
    work_ready_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  bool empty() const { return workers_.empty(); }
  unsigned size() const { return static_cast<unsigned>(workers_.size()); }

  // Calling worker: runs every index of the batch, with idle workers
  // helping; sub-tasks go ahead of block work, so no more threads than
  // the pool's are ever busy.
  void run_batch(Batch& batch) {
    std::unique_lock<std::mutex> hold(mutex_);
    batches_.push_back(&batch);
    work_ready_.notify_all();
    while (batch.next < batch.count) run_index(hold, batch);
    batch_done_.wait(hold, [&batch] { return batch.done == batch.count; });
  }

  void submit(Entry* entry, std::vector<BlockTask>& tasks) {
    {
      const std::lock_guard<std::mutex> hold(mutex_);
      entry->pending = static_cast<unsigned>(tasks.size());
      for (BlockTask& task : tasks)
        queue_.insert(Queued{entry->sequence, task.cost, order_++, entry, std::move(task.run)});
    }
    work_ready_.notify_all();
  }

  // Blocks until some entry has run all its tasks; returns those entries.
  std::vector<Entry*> wait_for_rounds() {
    std::unique_lock<std::mutex> hold(mutex_);
    round_done_.wait(hold, [this] { return !done_.empty(); });
    std::vector<Entry*> rounds;
    rounds.swap(done_);
    return rounds;
  }

 private:
  // Holding the lock: takes the batch's next index and runs it unlocked.
  void run_index(std::unique_lock<std::mutex>& hold, Batch& batch) {
    const uint32_t index = batch.next++;
    if (batch.next == batch.count) std::erase(batches_, &batch);
    hold.unlock();
    batch.task(batch.arg, index);
    hold.lock();
    if (++batch.done == batch.count) batch_done_.notify_all();
  }

  void work(unsigned worker) {
    t_pool = this;
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      work_ready_.wait(hold, [this] { return stopping_ || !queue_.empty() || !batches_.empty(); });
      if (stopping_) return;
      if (!batches_.empty()) {
        run_index(hold, *batches_.front());
        continue;
      }
      Queued task = std::move(queue_.extract(queue_.begin()).value());
      hold.unlock();
      run_guarded(*task.entry->job, task.run, worker);
      hold.lock();
      if (--task.entry->pending == 0) {
        done_.push_back(task.entry);
        round_done_.notify_one();
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable round_done_;
  std::condition_variable batch_done_;
  std::multiset<Queued> queue_;
  std::vector<Batch*> batches_;
  std::vector<Entry*> done_;
  uint64_t order_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

class Coordinator {
 public:
  Coordinator(BlockStage& stage, const PipelineShape& shape)
      : stage_(stage), shape_(shape), window_(window_for(shape)) {
    if (shape.threads > 1) pool_ = std::make_unique<WorkerPool>(shape.threads);
    if (pool_ && pool_->empty()) pool_.reset();
  }

  bool run() {
    for (;;) {
      fill();
      if (in_flight_.empty()) return true;
      if (front_done()) {
        std::unique_ptr<Entry> done = std::move(in_flight_.front());
        in_flight_.pop_front();
        if (done->job->out_of_memory) throw std::bad_alloc();
        if (!stage_.finish(*done->job)) return false;
        continue;
      }
      for (Entry* entry : pool_->wait_for_rounds()) plan(*entry);
    }
  }

 private:
  static unsigned window_for(const PipelineShape& shape) {
    const unsigned threads = shape.threads > 1 ? shape.threads : 1;
    if (threads == 1) return shape.lookahead ? 2 : 1;
    return kBlocksPerThread * threads;
  }

  bool front_done() const {
    return !in_flight_.empty() && in_flight_.front()->ready && (!shape_.lookahead || in_flight_.size() > 1 || ended_);
  }

  // Reads ahead while there is room, but hands a finished front block on
  // first: blocks that need no work (copies) then hold one buffer, not a
  // window's worth of fresh ones.
  void fill() {
    while (!ended_ && in_flight_.size() < window_ && !front_done() && (in_flight_.empty() || stage_.may_read())) {
      std::unique_ptr<BlockJob> job = stage_.next();
      if (!job) {
        ended_ = true;
        return;
      }
      auto entry = std::make_unique<Entry>();
      entry->job = std::move(job);
      entry->sequence = sequence_++;
      in_flight_.push_back(std::move(entry));
      plan(*in_flight_.back());
    }
  }

  // Hands out the entry's next round of work; without workers it runs
  // every round at once.
  void plan(Entry& entry) {
    for (;;) {
      tasks_.clear();
      entry.job->plan(tasks_);
      if (tasks_.empty()) {
        entry.ready = true;
        return;
      }
      if (pool_) {
        pool_->submit(&entry, tasks_);
        return;
      }
      for (BlockTask& task : tasks_) run_guarded(*entry.job, task.run, 0);
    }
  }

  BlockStage& stage_;
  const PipelineShape shape_;
  const unsigned window_;
  std::deque<std::unique_ptr<Entry>> in_flight_;
  std::vector<BlockTask> tasks_;
  uint64_t sequence_ = 0;
  bool ended_ = false;
  // Declared last: destroyed (and joined) before the entries its workers use.
  std::unique_ptr<WorkerPool> pool_;
};

}  // namespace

bool run_pipeline(BlockStage& stage, const PipelineShape& shape) {
  Coordinator coordinator(stage, shape);
  return coordinator.run();
}

unsigned helper_threads() { return t_pool != nullptr ? t_pool->size() : 1; }

void run_helpers(uint32_t count, void (*task)(void*, uint32_t), void* arg) {
  if (count == 0) return;
  if (t_pool == nullptr || count == 1) {
    for (uint32_t i = 0; i < count; ++i) task(arg, i);
    return;
  }
  Batch batch{count, task, arg};
  t_pool->run_batch(batch);
}

}  // namespace mirt
