// The codec behind a streaming writer or reader: one stream run on a
// thread of its own, joined to the caller by local stream sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "common/unique_fd.h"

namespace mirt::api {

// Both ends of a local stream socket. The caller's end does not block;
// the codec's end does, as the codec expects of its descriptors.
struct Channel {
  UniqueFd ours;
  UniqueFd theirs;
};

// False after recording the error.
bool open_channel(Channel& channel);

// Makes the codec's next read of `channel` fail once the caller's end is
// closed without a shutdown: a byte left unread in the caller's end turns
// that close into a reset for the codec's end. Without it an abandoned
// stream would look like one that ended.
bool arm_reset(Channel& channel);

// Sends what the codec end will take now: the count sent (0 when full),
// or -1 when the codec end is gone.
int64_t send_some(int fd, const void* data, size_t size);

class CodecThread {
 public:
  CodecThread() = default;
  CodecThread(const CodecThread&) = delete;
  CodecThread& operator=(const CodecThread&) = delete;
  ~CodecThread() { wait(); }

  // Runs `body` on a new thread with every signal blocked; its messages go
  // to the stream, not to standard error. False after recording the error.
  bool start(std::function<bool()> body);
  // Readable once the body has returned.
  int done_fd() const { return done_.get(); }
  bool started() const { return thread_.joinable(); }
  // Waits for the body: MIRT_OK, or its failure recorded for the calling
  // thread (a status told from its messages, `fallback` for none).
  int join(int fallback);
  // Waits without recording anything.
  void wait();

 private:
  std::thread thread_;
  UniqueFd done_;
  bool ok_ = false;
  std::string messages_;
};

}  // namespace mirt::api
