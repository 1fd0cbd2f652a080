#include "status/meter.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "common/diag.h"
#include "status/status.h"

namespace mirt {
namespace {

using Clock = std::chrono::steady_clock;

// A terminal gets five redraws a second; a log gets a plain line every so
// often, so that a long job still shows it is alive.
constexpr auto kTerminalInterval = std::chrono::milliseconds(200);
constexpr auto kPlainInterval = std::chrono::seconds(5);
constexpr size_t kDefaultWidth = 80;
// Until a call has finished, calls are assumed to run this fast.
constexpr double kFirstGuessRate = 1 << 20;
// A call that says nothing goes on at its expected speed up to this far,
// and then ever more slowly.
constexpr double kSteadyPart = 0.8;

std::atomic<bool> g_detailed{false};
std::atomic<bool> g_metering{false};
std::atomic<uint64_t> g_read{0};  // 0: the codec does not say

// Everything below is guarded by g_lock.
std::mutex g_lock;
std::condition_variable g_wake;
std::thread g_drawer;
bool g_stop = false;
bool g_terminal = false;
bool g_paused = false;
bool g_expanding = false;
size_t g_drawn = 0;  // characters of the line on the terminal now
std::string g_name;
uint64_t g_total = 0;
Clock::time_point g_start;
uint64_t g_in = 0;      // input bytes of finished blocks
uint64_t g_plain = 0;   // and their sizes
uint64_t g_packed = 0;
uint64_t g_shown = 0;   // the line never goes back
std::map<int64_t, uint64_t> g_settled;  // finished calls of unfinished blocks
std::vector<const MeterCall*> g_calls;
double g_rate[MeterCall::kKinds] = {};  // bytes per second, learned

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t line_width() {
  winsize size{};
  if (g_terminal && ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col - 1u;  // the last column would wrap on some terminals
  if (const char* columns = std::getenv("COLUMNS")) {
    const long c = std::strtol(columns, nullptr, 10);
    if (c > 1 && c < 100000) return static_cast<size_t>(c - 1);
  }
  return kDefaultWidth - 1;
}

MeterView current_view() {
  MeterView view{g_name, g_in, g_total, g_plain, g_packed, seconds_since(g_start)};
  for (const auto& block : g_settled) view.in_done += block.second;
  uint64_t guessed = 0;
  for (const MeterCall* call : g_calls) guessed += call->estimate();
  // Only finished blocks take the line to its end: the last block is
  // usually shorter than the shares assume.
  const uint64_t most = std::max(g_in, g_total - g_total / 100);
  view.in_done = g_total != 0 ? std::min(most, view.in_done + guessed) : view.in_done + guessed;
  const uint64_t read = g_read.load(std::memory_order_relaxed);
  if (read != 0) view.in_done = std::min(view.in_done, std::max(read, g_in));
  g_shown = view.in_done = std::max(g_shown, view.in_done);
  return view;
}

void put(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// Replaces the line on the terminal; spaces wipe what a longer one left.
void overwrite(const std::string& line, const char* end) {
  std::string text = "\r" + line;
  if (line.size() < g_drawn) text.append(g_drawn - line.size(), ' ');
  put(text + end);
  g_drawn = *end == '\n' ? 0 : line.size();
}

void draw_locked() {
  if (g_paused) return;
  const std::string line = meter_line(current_view(), line_width());
  if (g_terminal)
    overwrite(line, "");
  else
    put(line + "\n");
}

void drawer() {
  std::unique_lock<std::mutex> hold(g_lock);
  const auto interval = g_terminal ? Clock::duration(kTerminalInterval) : Clock::duration(kPlainInterval);
  auto next = Clock::now() + interval;
  while (!g_stop) {
    if (g_wake.wait_until(hold, next, [] { return g_stop; })) break;
    next += interval;
    draw_locked();
  }
}

}  // namespace

bool meter_replaces_status() { return g_detailed && status_param_get(kStatusLevel) >= 1; }

MeterFile::MeterFile(const char* name, uint64_t total, bool expanding) {
  if (!meter_replaces_status() || g_metering) return;
  std::lock_guard<std::mutex> hold(g_lock);
  g_terminal = ::isatty(STDERR_FILENO) != 0;
  g_name = name != nullptr ? name : "(standard input)";
  g_total = total;
  g_expanding = expanding;
  g_start = Clock::now();
  g_in = g_plain = g_packed = g_shown = 0;
  g_read = 0;
  g_settled.clear();
  g_stop = g_paused = false;
  g_drawn = 0;
  g_metering = true;
  if (g_terminal) draw_locked();
  g_drawer = std::thread(drawer);
}

MeterFile::~MeterFile() {
  if (!g_metering) return;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    g_stop = true;
  }
  g_wake.notify_all();
  g_drawer.join();
  std::lock_guard<std::mutex> hold(g_lock);
  g_metering = false;
  const uint64_t packed = g_expanding && g_total != 0 ? g_total : g_packed;
  const std::string summary =
      ok_ ? meter_summary(g_name, g_expanding ? packed : plain_, g_expanding ? plain_ : packed,
                          seconds_since(g_start), g_expanding)
          : "";
  if (g_terminal && (g_drawn > 0 || ok_))
    overwrite(summary, ok_ ? "\n" : "\r");
  else if (ok_)
    put(summary + "\n");
}

void meter_block(int64_t block, uint64_t in, uint64_t plain, uint64_t packed) {
  if (!g_metering) return;
  std::lock_guard<std::mutex> hold(g_lock);
  g_settled.erase(block);
  g_in += in;
  g_plain += plain;
  g_packed += packed;
}

void meter_read(uint64_t bytes) {
  if (g_metering) g_read.fetch_add(bytes, std::memory_order_relaxed);
}

namespace {

bool pause_begin() {
  if (!g_metering) return false;
  g_lock.lock();
  if (g_terminal && g_drawn > 0) overwrite("", "\r");
  g_paused = true;
  return true;
}

void pause_end() {
  g_paused = false;
  g_lock.unlock();
}

// Messages of the program (common/diag) step over the line the same way.
thread_local bool t_guarding = false;
void guard_enter() { t_guarding = pause_begin(); }
void guard_leave() {
  if (t_guarding) pause_end();
  t_guarding = false;
}

}  // namespace

void meter_set_detailed(bool on) {
  g_detailed = on;
  if (on) set_diagnostic_guard(guard_enter, guard_leave);
}

MeterPause::MeterPause() : held_(pause_begin()) {}

MeterPause::~MeterPause() {
  if (held_) pause_end();
}

namespace {
thread_local MeterCall* t_call = nullptr;
}  // namespace

MeterCall::MeterCall(uint64_t block, uint64_t share, uint64_t length, unsigned kind)
    : block_(static_cast<int64_t>(block)),
      share_(share),
      length_(length),
      kind_(kind % kKinds),
      start_(Clock::now()),
      outer_(t_call),
      active_(g_metering.load(std::memory_order_relaxed)) {
  if (!active_) return;
  t_call = this;
  std::lock_guard<std::mutex> hold(g_lock);
  g_calls.push_back(this);
}

MeterCall::~MeterCall() {
  if (!active_) return;
  t_call = outer_;
  std::lock_guard<std::mutex> hold(g_lock);
  g_calls.erase(std::find(g_calls.begin(), g_calls.end(), this));
  g_settled[block_] += share_;
  const double spent = seconds_since(start_);
  double& rate = g_rate[kind_];
  if (spent > 0.001) {
    const double speed = static_cast<double>(length_) / spent;
    rate = rate == 0 ? speed : (3 * rate + speed) / 4;
  }
}

MeterCall* MeterCall::current() { return t_call; }

void MeterCall::progress(void* host, uint64_t done) {
  auto* call = static_cast<MeterCall*>(host);
  call->done_.store(done, std::memory_order_relaxed);
  call->told_.store(true, std::memory_order_relaxed);
}

// Under g_lock.
uint64_t MeterCall::estimate() const {
  if (length_ == 0) return 0;
  const auto length = static_cast<double>(length_);
  double part = 0;
  if (told_.load(std::memory_order_relaxed)) {
    part = std::min(1.0, static_cast<double>(done_.load(std::memory_order_relaxed)) / length);
  } else {
    const double rate = g_rate[kind_] != 0 ? g_rate[kind_] : kFirstGuessRate;
    part = seconds_since(start_) * rate / length;
    if (part > kSteadyPart) {
      const double over = (part - kSteadyPart) / (1 - kSteadyPart);
      part = kSteadyPart + (1 - kSteadyPart) * over / (1 + over);
    }
  }
  return static_cast<uint64_t>(part * static_cast<double>(share_));
}

}  // namespace mirt
