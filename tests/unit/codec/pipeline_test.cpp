// The block pipeline on its own: blocks finish in order whatever the
// threads do, a failure stops everything behind it, memory stays bounded,
// and no worker outlives the run. Also the per-module lock of the table.
#include "codec/pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "codec/tables.h"

namespace mirt {
namespace {

int live_threads() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

std::atomic<int> g_live_jobs{0};

// Threads inside a block task or one of its sub-tasks at once, and the most.
std::atomic<int> g_busy{0};
std::atomic<int> g_most_busy{0};
thread_local int t_depth = 0;

class Busy {
 public:
  Busy() {
    if (t_depth++ > 0) return;
    const int now = ++g_busy;
    int most = g_most_busy.load();
    while (now > most && !g_most_busy.compare_exchange_weak(most, now)) {
    }
  }
  ~Busy() {
    if (--t_depth == 0) --g_busy;
  }
};

// A block whose work takes two rounds of a few tasks of random length;
// the first task of each round hands out sub-tasks as an algorithm would.
class TestJob : public BlockJob {
 public:
  explicit TestJob(int index) : index(index), rng(static_cast<unsigned>(index)) { ++g_live_jobs; }
  ~TestJob() override { --g_live_jobs; }
  void plan(std::vector<BlockTask>& tasks) override {
    if (round++ >= 2) return;
    for (int i = 0; i < 3; ++i) {
      const int pause = static_cast<int>(rng() % 300);
      tasks.push_back({[this, pause, i](unsigned) {
                         const Busy busy;
                         std::this_thread::sleep_for(std::chrono::microseconds(pause));
                         if (i == 0) split();
                         ++work_done;
                       },
                       static_cast<uint64_t>(pause)});
    }
  }
  void split() {
    lent = helper_threads();
    run_helpers(kParts, [](void* arg, uint32_t part) {
      const Busy busy;
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      ++static_cast<TestJob*>(arg)->parts_run[part];
    }, this);
  }
  static constexpr uint32_t kParts = 5;
  const int index;
  std::mt19937 rng;
  int round = 0;
  std::atomic<int> work_done{0};
  std::atomic<int> parts_run[kParts] = {};
  unsigned lent = 0;
};

class TestStage : public BlockStage {
 public:
  // idle: blocks that need no work, as copies do.
  TestStage(int blocks, int fail_at, bool idle = false) : blocks_(blocks), fail_at_(fail_at), idle_(idle) {}
  std::unique_ptr<BlockJob> next() override {
    if (read_ == blocks_) return nullptr;
    peak_live = std::max(peak_live, g_live_jobs.load() + 1);
    auto job = std::make_unique<TestJob>(read_++);
    if (idle_) job->round = 2, job->work_done = 6, std::fill(std::begin(job->parts_run), std::end(job->parts_run), 2);
    return job;
  }
  bool finish(BlockJob& job) override {
    auto& block = static_cast<TestJob&>(job);
    finished.push_back(block.index);
    all_work_done = all_work_done && block.work_done == 6;
    for (const auto& part : block.parts_run) all_work_done = all_work_done && part == 2;
    lent.insert(block.lent);
    // Lookahead: the block after this one has been read, or none is left.
    read_ahead = read_ahead && (read_ > block.index + 1 || read_ == blocks_);
    return block.index != fail_at_;
  }
  std::vector<int> finished;
  bool all_work_done = true;
  std::set<unsigned> lent;  // helper_threads() the blocks' tasks saw
  bool read_ahead = true;
  int peak_live = 0;

 private:
  const int blocks_;
  const int fail_at_;
  const bool idle_;
  int read_ = 0;
};

int settled_threads() {
  TestStage warm_up(3, -1);
  run_pipeline(warm_up, {2, false});
  return live_threads();
}

// No thread outlives the run. A joined thread may still be counted for a
// moment while the kernel finishes its exit, so give it that moment.
bool back_to(int before) {
  for (int i = 0; i < 200 && live_threads() > before; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return live_threads() <= before;
}

struct Case {
  unsigned threads;
  bool lookahead;
};

class PipelineTest : public ::testing::TestWithParam<Case> {};

// Threads of the process once any lazily started helper thread (a
// sanitizer's, say) is running: a small run first.
int settled_threads();

// Sub-tasks included: every one runs once, on no more threads than the run has.
TEST_P(PipelineTest, FinishesEveryBlockInOrderWithinTheMemoryBound) {
  const int before = settled_threads();
  TestStage stage(40, -1);
  g_most_busy = 0;
  ASSERT_TRUE(run_pipeline(stage, {GetParam().threads, GetParam().lookahead}));
  ASSERT_EQ(stage.finished.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(stage.finished[static_cast<size_t>(i)], i);
  EXPECT_TRUE(stage.all_work_done);
  EXPECT_EQ(stage.lent, std::set<unsigned>{GetParam().threads});
  EXPECT_LE(g_most_busy, static_cast<int>(GetParam().threads));
  EXPECT_EQ(helper_threads(), 1u);  // off the workers
  if (GetParam().lookahead) {
    EXPECT_TRUE(stage.read_ahead);
  }
  const int window = GetParam().threads > 1 ? 2 * static_cast<int>(GetParam().threads)
                                            : (GetParam().lookahead ? 2 : 1);
  EXPECT_LE(stage.peak_live, window);
  EXPECT_EQ(g_live_jobs, 0);
  EXPECT_TRUE(back_to(before)) << live_threads() << " threads, " << before << " before";
}

// Blocks that need no work are handed on before more are read: reading
// ahead would only hold more buffers.
TEST_P(PipelineTest, BlocksWithoutWorkAreNotReadAhead) {
  TestStage stage(10, -1, true);
  ASSERT_TRUE(run_pipeline(stage, {GetParam().threads, GetParam().lookahead}));
  EXPECT_EQ(stage.finished.size(), 10u);
  EXPECT_LE(stage.peak_live, GetParam().lookahead ? 2 : 1);
}

TEST_P(PipelineTest, AFailureStopsEverythingBehindIt) {
  const int before = settled_threads();
  TestStage stage(40, 7);
  EXPECT_FALSE(run_pipeline(stage, {GetParam().threads, GetParam().lookahead}));
  ASSERT_EQ(stage.finished.size(), 8u);
  EXPECT_EQ(stage.finished.back(), 7);
  EXPECT_EQ(g_live_jobs, 0);
  EXPECT_TRUE(back_to(before)) << live_threads() << " threads, " << before << " before";
}

INSTANTIATE_TEST_SUITE_P(Shapes, PipelineTest,
                         ::testing::Values(Case{1, false}, Case{1, true}, Case{2, false},
                                           Case{3, true}, Case{8, true}));

// An entry that records how many threads were inside it at once.
std::atomic<int> g_inside{0};
std::atomic<int> g_most_inside{0};

uint32_t counting_entry(uint32_t, void*, const unsigned char*, unsigned char*, uint32_t len,
                        uint32_t) {
  const int now = ++g_inside;
  int most = g_most_inside.load();
  while (now > most && !g_most_inside.compare_exchange_weak(most, now)) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  --g_inside;
  return len;
}

int most_concurrent_calls(bool threadsafe) {
  tables_reset();
  EXPECT_TRUE(algorithm_install(30, counting_entry, "Counting", threadsafe));
  g_most_inside = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([] {
      unsigned char byte = 0;
      for (int n = 0; n < 5; ++n) call_algorithm(30, MR_MODE_DECOMPRESS, &byte, &byte, 1, 1);
    });
  for (std::thread& t : threads) t.join();
  tables_reset();
  return g_most_inside;
}

TEST(AlgorithmLock, OnlyThreadSafeEntriesRunSideBySide) {
  EXPECT_EQ(most_concurrent_calls(false), 1);
  EXPECT_GT(most_concurrent_calls(true), 1);
}

}  // namespace
}  // namespace mirt
