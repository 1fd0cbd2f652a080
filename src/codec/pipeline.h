// The block pipeline shared by compression and decompression: blocks are
// read in order on the calling thread, the work of each block runs on a
// pool of worker threads, and blocks are finished (checksums, cipher,
// reports, writes) in order on the calling thread. Output therefore never
// depends on the number of threads or on timing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace mirt {

// One piece of a block's work. It runs on any thread, touches only its own
// job, and gets the index of the worker running it (0 .. threads - 1) for
// per-worker scratch space. Larger `cost` runs first within a block.
struct BlockTask {
  std::function<void(unsigned worker)> run;
  uint64_t cost = 0;
};

class BlockJob {
 public:
  virtual ~BlockJob() = default;
  // Calling thread: appends the work the block needs next. Called again
  // after all of it has run; appending nothing means the block is done.
  virtual void plan(std::vector<BlockTask>& tasks) = 0;
  // Set when a task ran out of memory: when the block's turn comes, the
  // pipeline throws std::bad_alloc on the calling thread.
  bool out_of_memory = false;
};

class BlockStage {
 public:
  virtual ~BlockStage() = default;
  // Calling thread, in order: the next block, or null at the end of the
  // input. A failure to read is a job of its own, so that it is reported
  // after the blocks before it.
  virtual std::unique_ptr<BlockJob> next() = 0;
  // Calling thread, in order. False stops the pipeline: no later block is
  // finished, pending work is dropped, and the workers are joined.
  virtual bool finish(BlockJob& job) = 0;
  // Calling thread: whether another block may be read while others are
  // in flight; false waits until one is finished (fewer blocks at once,
  // when memory is short). Not asked when none is in flight.
  virtual bool may_read() { return true; }
};

struct PipelineShape {
  unsigned threads = 1;  // 1 runs everything on the calling thread
  // A block is finished only once the block after it has been read (or
  // the input has ended), so the reader knows which block is the last.
  bool lookahead = false;
};

// Runs the stage to its end; false when a finish failed. No thread
// started here outlives the call, also when it throws.
bool run_pipeline(BlockStage& stage, const PipelineShape& shape);

// Sub-tasks of the block task running on this thread (the call context's
// threads and parallel): on a pipeline worker, the pool's size, and the
// tasks run on the calling worker and on whichever workers are idle, ahead
// of other blocks' work, so at most the pool's threads are ever busy.
// Anywhere else one thread, and the tasks run in order on the caller.
unsigned helper_threads();
void run_helpers(uint32_t count, void (*task)(void* arg, uint32_t index), void* arg);

}  // namespace mirt
