// The streaming writer: plain bytes go through a local socket to the
// compressor, which runs on its own thread and writes the container to
// the caller's descriptor, or back through a second socket to the
// caller's write callback.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/api.h"
#include "api/codec_thread.h"
#include "api/context.h"
#include "codec/codec.h"

struct mirt_writer {
  const mirt_context* context = nullptr;
  mirt::api::Channel input;   // plain bytes to the codec
  mirt::api::Channel output;  // the container back, for a write callback
  int target = -1;            // the caller's descriptor, or output.theirs
  mirt_write_function write = nullptr;
  void* opaque = nullptr;
  mirt::api::CodecThread codec;
  int status = MIRT_OK;  // once failed or finished, every call returns this
  std::string message;
  bool ended = false;

  int open();
  int deliver(const uint8_t* data, size_t size);
  int finish();
  void abandon();

 private:
  int stop(int status);
  int wait_for_codec(pollfd* fds, nfds_t count);
  int drain_output();
};

using mirt::api::fail;
using mirt::api::guarded;

namespace {

constexpr size_t kChunk = 256 * 1024;

// Waits until one of `fds` is ready; -1 after recording the error.
int wait_ready(pollfd* fds, nfds_t count) {
  for (;;) {
    const int ready = ::poll(fds, count, -1);
    if (ready >= 0) return ready;
    if (errno != EINTR) return fail(MIRT_ERROR_IO, std::string("poll: ") + std::strerror(errno));
  }
}

}  // namespace

int mirt_writer::open() {
  if (!mirt::api::open_channel(input) || !mirt::api::arm_reset(input)) return MIRT_ERROR_IO;
  if (write != nullptr) {
    if (!mirt::api::open_channel(output)) return MIRT_ERROR_IO;
    target = output.theirs.get();
  }
  const int in = input.theirs.get();
  const int out = target;
  const bool shut_output = write != nullptr;
  // Of unknown size: the configuration's rule for pipes, kept however
  // short the stream turns out.
  mirt::Settings settings = context->settings;
  settings.algorithms.block_size.fixed = mirt_context_block_size(context, 0);
  const bool started = codec.start([settings, in, out, shut_output] {
    mirt::ChecksumRecord sums;
    const mirt::StreamResult result =
        mirt::run_stream(in, out, mirt::kModeCompress, settings, nullptr, sums, -1);
    if (shut_output) ::shutdown(out, SHUT_WR);
    return result.ok;
  });
  return started ? MIRT_OK : MIRT_ERROR_MEMORY;
}

// Records the first failure; every later call repeats it.
int mirt_writer::stop(int failure) {
  if (status == MIRT_OK) {
    status = failure;
    message = mirt_last_error();
  }
  ended = true;
  return fail(status, message);
}

int mirt_writer::drain_output() {
  std::vector<uint8_t> chunk(kChunk);
  for (;;) {
    // Never block here: the codec may be waiting for input we have yet to send.
    const ssize_t got = ::recv(output.ours.get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (got == 0) return 1;  // the codec has ended its output
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return MIRT_OK;
      return fail(MIRT_ERROR_IO, std::string("read: ") + std::strerror(errno));
    }
    if (write(opaque, chunk.data(), static_cast<size_t>(got)) < 0) {
      abandon();
      return fail(MIRT_ERROR_CALLBACK, "the write callback failed");
    }
  }
}

int mirt_writer::deliver(const uint8_t* data, size_t size) {
  while (size > 0) {
    pollfd fds[3] = {{input.ours.get(), POLLOUT, 0},
                     {codec.done_fd(), POLLIN, 0},
                     {write != nullptr ? output.ours.get() : -1, POLLIN, 0}};
    if (wait_ready(fds, 3) < 0) return stop(MIRT_ERROR_IO);
    if (fds[2].revents != 0) {
      const int drained = drain_output();
      if (drained < 0) return stop(drained);
    }
    if (fds[0].revents != 0) {
      const int64_t sent = mirt::api::send_some(input.ours.get(), data, size);
      if (sent > 0) {
        data += sent;
        size -= static_cast<size_t>(sent);
        continue;
      }
    }
    // The codec ended before its input did: it failed.
    if (fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLHUP)) != 0) {
      abandon();
      return stop(codec.join(MIRT_ERROR_IO));
    }
  }
  return MIRT_OK;
}

int mirt_writer::finish() {
  ::shutdown(input.ours.get(), SHUT_WR);
  while (write != nullptr) {
    pollfd fds[1] = {{output.ours.get(), POLLIN, 0}};
    if (wait_ready(fds, 1) < 0) return stop(MIRT_ERROR_IO);
    const int drained = drain_output();
    if (drained < 0) return stop(drained);
    if (drained == 1) break;
  }
  const int result = codec.join(MIRT_ERROR_IO);
  if (result != MIRT_OK) return stop(result);
  ended = true;
  return MIRT_OK;
}

// Closing the caller's input end without a shutdown resets the codec's
// next read (see arm_reset), so the container is left unfinished.
void mirt_writer::abandon() {
  input.ours.reset();
  output.ours.reset();
  codec.wait();
}

namespace {

int open_writer(const mirt_context* context, int fd, mirt_write_function write, void* opaque,
                mirt_writer** out) {
  if (out == nullptr || context == nullptr)
    return fail(MIRT_ERROR_ARGUMENT, "no context or no place for the writer");
  *out = nullptr;
  auto writer = std::make_unique<mirt_writer>();
  writer->context = context;
  writer->target = fd;
  writer->write = write;
  writer->opaque = opaque;
  const int status = writer->open();
  if (status != MIRT_OK) return status;
  *out = writer.release();
  mirt::api::succeed();
  return MIRT_OK;
}

}  // namespace

extern "C" {

MIRT_API int mirt_writer_open_fd(const mirt_context* context, int fd, mirt_writer** out) {
  return guarded([&]() -> int {
    if (fd < 0) return fail(MIRT_ERROR_ARGUMENT, "bad descriptor");
    return open_writer(context, fd, nullptr, nullptr, out);
  });
}

MIRT_API int mirt_writer_open_callback(const mirt_context* context, mirt_write_function write,
                                       void* opaque, mirt_writer** out) {
  return guarded([&]() -> int {
    if (write == nullptr) return fail(MIRT_ERROR_ARGUMENT, "no write callback");
    return open_writer(context, -1, write, opaque, out);
  });
}

MIRT_API int mirt_writer_write(mirt_writer* writer, const void* data, size_t size) {
  return guarded([&]() -> int {
    if (writer == nullptr || (data == nullptr && size > 0))
      return fail(MIRT_ERROR_ARGUMENT, "no writer or no data");
    if (writer->ended)
      return writer->status != MIRT_OK ? fail(writer->status, writer->message)
                                       : fail(MIRT_ERROR_STATE, "the writer is finished");
    const int status = writer->deliver(static_cast<const uint8_t*>(data), size);
    if (status == MIRT_OK) mirt::api::succeed();
    return status;
  });
}

MIRT_API int mirt_writer_finish(mirt_writer* writer) {
  return guarded([&]() -> int {
    if (writer == nullptr) return fail(MIRT_ERROR_ARGUMENT, "no writer");
    if (writer->ended)
      return writer->status != MIRT_OK ? fail(writer->status, writer->message)
                                       : fail(MIRT_ERROR_STATE, "the writer is finished");
    const int status = writer->finish();
    if (status == MIRT_OK) mirt::api::succeed();
    return status;
  });
}

MIRT_API void mirt_writer_free(mirt_writer* writer) {
  if (writer == nullptr) return;
  if (!writer->ended) writer->abandon();
  delete writer;
}

}  // extern "C"
