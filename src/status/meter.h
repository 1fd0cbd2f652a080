// Detailed progress ("progress detailed" with -v): one line per file,
// redrawn from a thread of its own several times a second on a terminal
// (plain lines now and then otherwise), and a summary line when the file
// is done. It replaces the status line; without the directive nothing
// here draws, and the codec pays one relaxed load per algorithm call.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace mirt {

// What one line shows. `in_done` counts input bytes (plain ones when
// compressing, stored ones when expanding) finished or estimated;
// `plain` and `packed` the finished blocks, for the ratio.
struct MeterView {
  std::string name;
  uint64_t in_done = 0;
  uint64_t total = 0;  // input size; 0 when unknown (a pipe)
  uint64_t plain = 0;
  uint64_t packed = 0;
  double seconds = 0;
};

// The progress line, at most `width` characters: fields that do not fit
// are left out (ratio, speed, time left, then the name is shortened).
std::string meter_line(const MeterView& view, size_t width);
// "NAME: 60.0 MiB -> 12.3 MiB (4.88:1) in 1:23"
std::string meter_summary(const std::string& name, uint64_t from, uint64_t to, double seconds,
                          bool expanding);
// "999 B", "12.3 KiB", "4.0 MiB"
std::string meter_size(uint64_t bytes);

// The directive.
void meter_set_detailed(bool on);
// Whether a file is being metered, so the status line keeps quiet.
bool meter_replaces_status();

// One input: drawn while one lives, when the directive and -v are on.
// `total` is the input's size, 0 when unknown.
class MeterFile {
 public:
  MeterFile(const char* name, uint64_t total, bool expanding);
  // Without this, the line goes without a summary (the codec failed).
  template <class Result>
  Result done(Result result) {
    ok_ = result.ok;
    plain_ = result.bytes;
    return result;
  }
  ~MeterFile();
  MeterFile(const MeterFile&) = delete;
  MeterFile& operator=(const MeterFile&) = delete;

 private:
  bool ok_ = false;
  uint64_t plain_ = 0;  // the plain size the codec counted
};
// A block is finished, in order: `in` input bytes, `plain` and `packed`
// its sizes. Written bytes outside blocks (header, trailer) count with
// block -1 and in 0.
void meter_block(int64_t block, uint64_t in, uint64_t plain, uint64_t packed);

// `bytes` more of the input were read: the line never shows more.
void meter_read(uint64_t bytes);

// While one lives, the progress line is off the terminal and stays off,
// so that other lines can be written to standard error.
class MeterPause {
 public:
  MeterPause();
  ~MeterPause();
  MeterPause(const MeterPause&) = delete;
  MeterPause& operator=(const MeterPause&) = delete;

 private:
  bool held_;
};

// One algorithm call on a block, standing for `share` input bytes of it.
// The call's progress (mr_call_context) moves the line within the block;
// a module that says nothing is estimated from the time it has taken and
// the speed earlier calls of the same `kind` (slot and mode) had.
class MeterCall {
 public:
  static constexpr unsigned kKinds = 512;
  static unsigned kind(int slot, bool expanding) {
    return (static_cast<unsigned>(slot) & 255u) + (expanding ? 256u : 0u);
  }
  MeterCall(uint64_t block, uint64_t share, uint64_t length, unsigned kind);
  ~MeterCall();
  MeterCall(const MeterCall&) = delete;
  MeterCall& operator=(const MeterCall&) = delete;

  // The call this thread is making, when a file is metered; null otherwise.
  static MeterCall* current();
  // For mr_call_context::progress, with the call as host.
  static void progress(void* host, uint64_t done);
  // Input bytes this call accounts for so far (less than its share).
  uint64_t estimate() const;

 private:
  int64_t block_;
  uint64_t share_;
  uint64_t length_;
  unsigned kind_;
  std::atomic<uint64_t> done_{0};
  std::atomic<bool> told_{false};
  std::chrono::steady_clock::time_point start_;
  MeterCall* outer_;
  bool active_;
};

}  // namespace mirt
