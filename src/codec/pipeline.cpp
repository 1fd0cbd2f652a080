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
  void work(unsigned worker) {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
      work_ready_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
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
  std::multiset<Queued> queue_;
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
      Entry& front = *in_flight_.front();
      if (front.ready && (!shape_.lookahead || in_flight_.size() > 1 || ended_)) {
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

  void fill() {
    while (!ended_ && in_flight_.size() < window_ && (in_flight_.empty() || stage_.may_read())) {
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

}  // namespace mirt
