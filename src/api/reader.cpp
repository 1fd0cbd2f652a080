#include "api/reader.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "api/api.h"
#include "codec/codec.h"

using mirt::api::fail;
using mirt::api::guarded;

namespace {

constexpr size_t kFeedChunk = 256 * 1024;

int system_failure(const char* operation) {
  return fail(MIRT_ERROR_IO, std::string(operation) + ": " + std::strerror(errno));
}

bool seekable_fd(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode));
}

}  // namespace

// The channels are made at once; the codec starts at the first read, so
// a reader that seeks first never decodes the file's start for nothing.
int mirt_reader::start() {
  if (!mirt::api::open_channel(plain)) return MIRT_ERROR_IO;
  if (fd < 0 && (!mirt::api::open_channel(feed) || !mirt::api::arm_reset(feed)))
    return MIRT_ERROR_IO;
  return MIRT_OK;
}

int mirt_reader::launch() {
  launched = true;
  // The codec reads from where the descriptor stood when the reader opened.
  if (fd >= 0 && seekable_fd(fd) && ::lseek(fd, static_cast<off_t>(fd_base), SEEK_SET) < 0)
    return stop(system_failure("lseek"));
  const int in = fd >= 0 ? fd : feed.theirs.get();
  const int out = plain.theirs.get();
  const mirt_context* ctx = context;
  const bool started = codec.start([ctx, in, out] {
    mirt::ChecksumRecord sums;
    const mirt::StreamResult result =
        mirt::run_stream(in, out, mirt::kModeDecompress, ctx->settings, nullptr, sums, -1);
    ::shutdown(out, SHUT_WR);
    return result.ok;
  });
  return started ? MIRT_OK : stop(fail(MIRT_ERROR_MEMORY, "cannot start the decoder"));
}

int mirt_reader::stop(int failure) {
  if (status == MIRT_OK) {
    status = failure;
    message = mirt_last_error();
  }
  return fail(status, message);
}

// The codec's reads of a stopped stream fail (see arm_reset), its writes
// find no reader: either way it ends.
void mirt_reader::stop_codec() {
  plain.ours.reset();
  feed.ours.reset();
  codec.wait();
}

// Refills `pending` from the callbacks or memory; 0 at the end.
int mirt_reader::refill() {
  pending_at = 0;
  if (memory != nullptr) {
    pending.assign(memory, memory + memory_size);
    memory = nullptr;
    return static_cast<int>(!pending.empty());
  }
  if (!has_input) return 0;
  pending.resize(kFeedChunk);
  const int64_t got = input.read(input.opaque, pending.data(), pending.size());
  if (got < 0 || static_cast<uint64_t>(got) > pending.size()) {
    pending.clear();
    return fail(MIRT_ERROR_CALLBACK, "the read callback failed");
  }
  pending.resize(static_cast<size_t>(got));
  return got > 0 ? 1 : 0;
}

int mirt_reader::feed_codec() {
  if (pending_at == pending.size()) {
    const int more = refill();
    if (more < 0) return more;
    if (more == 0) {
      feed_ended = true;
      ::shutdown(feed.ours.get(), SHUT_WR);
      return MIRT_OK;
    }
  }
  const int64_t sent =
      mirt::api::send_some(feed.ours.get(), pending.data() + pending_at, pending.size() - pending_at);
  if (sent > 0) pending_at += static_cast<size_t>(sent);
  // A codec that stopped reading has failed: its output tells why.
  if (sent < 0) feed_ended = true;
  return MIRT_OK;
}

int64_t mirt_reader::read_plain(uint8_t* buffer, size_t size) {
  if (!launched) {
    const int launch_status = launch();
    if (launch_status != MIRT_OK) return launch_status;
  }
  size_t done = 0;
  while (done < size && !plain_ended) {
    const ssize_t got = ::recv(plain.ours.get(), buffer + done, size - done, MSG_DONTWAIT);
    if (got > 0) {
      done += static_cast<size_t>(got);
      continue;
    }
    if (got == 0) {
      plain_ended = true;
      const int result = codec.join(MIRT_ERROR_CORRUPT);
      if (result != MIRT_OK) stop(result);
      break;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return stop(system_failure("recv"));
    const bool feeding = fd < 0 && !feed_ended;
    pollfd fds[2] = {{plain.ours.get(), POLLIN, 0}, {feeding ? feed.ours.get() : -1, POLLOUT, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return stop(system_failure("poll"));
    if (fds[1].revents != 0) {
      const int fed = feed_codec();
      if (fed < 0) {
        stop(fed);
        stop_codec();
        return fail(status, message);
      }
    }
  }
  position += done;
  // Bytes before a failure are the caller's; the failure comes next time.
  if (done == 0 && status != MIRT_OK) return fail(status, message);
  return static_cast<int64_t>(done);
}

int64_t mirt_reader::read(uint8_t* buffer, size_t size) {
  if (status != MIRT_OK) return fail(status, message);
  if (!blocks) return read_plain(buffer, size);
  const int64_t got = blocks->read(buffer, size, position);
  if (got < 0) return got;
  position += static_cast<uint64_t>(got);
  return got;
}

// Stops reading from the start and builds the index; for a descriptor
// the index comes first, so a file that has none can go on being read.
int mirt_reader::switch_to_blocks() {
  if (fd >= 0) {
    if (!seekable_fd(fd)) return fail(MIRT_ERROR_UNSUPPORTED, "the input cannot seek");
    source = std::make_unique<mirt::api::FdSource>(fd, fd_base);
  } else {
    if (!has_input || input.seek == nullptr || input.length == nullptr)
      return fail(MIRT_ERROR_UNSUPPORTED, "the input cannot seek");
    stop_codec();
    source = std::make_unique<mirt::api::InputSource>(input);
  }
  auto built = std::make_unique<mirt_index>();
  const int result = mirt::api::build_index(*source, *built);
  if (result != MIRT_OK) {
    const int failure = result == MIRT_ERROR_FORMAT ? MIRT_ERROR_UNSUPPORTED : result;
    const std::string why = std::string("cannot seek: ") + mirt_last_error();
    if (fd < 0) return stop(fail(failure, why));
    source.reset();
    return fail(failure, why);
  }
  stop_codec();
  index = std::move(built);
  blocks = std::make_unique<mirt::api::BlockReader>(*context, *index, *source);
  return MIRT_OK;
}

int64_t mirt_reader::seek(int64_t offset, int whence) {
  if (status != MIRT_OK) return fail(status, message);
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
    return fail(MIRT_ERROR_ARGUMENT, "bad whence");
  // Asking where we are needs no index.
  if (!blocks && whence == SEEK_CUR && offset == 0) return static_cast<int64_t>(position);
  if (!blocks) {
    const int result = switch_to_blocks();
    if (result != MIRT_OK) return result;
  }
  const int64_t from = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? static_cast<int64_t>(position)
                                            : static_cast<int64_t>(index->size);
  if ((offset > 0 && from > INT64_MAX - offset) || from + offset < 0)
    return fail(MIRT_ERROR_ARGUMENT, "position out of range");
  position = static_cast<uint64_t>(from + offset);
  return static_cast<int64_t>(position);
}

namespace mirt::api {

int open_memory_reader(const mirt_context* context, const void* memory, size_t size,
                       std::unique_ptr<mirt_reader>& reader) {
  reader = std::make_unique<mirt_reader>();
  reader->context = context;
  reader->memory = static_cast<const uint8_t*>(memory);
  reader->memory_size = size;
  return reader->start();
}

}  // namespace mirt::api

namespace {

int open_reader(const mirt_context* context, int fd, const mirt_input* input, mirt_reader** out) {
  if (out == nullptr || context == nullptr)
    return fail(MIRT_ERROR_ARGUMENT, "no context or no place for the reader");
  *out = nullptr;
  auto reader = std::make_unique<mirt_reader>();
  reader->context = context;
  reader->fd = fd;
  if (fd >= 0) {
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    reader->fd_base = at > 0 ? static_cast<uint64_t>(at) : 0;
  }
  if (input != nullptr) {
    reader->has_input = true;
    reader->input = *input;
  }
  const int status = reader->start();
  if (status != MIRT_OK) return status;
  *out = reader.release();
  mirt::api::succeed();
  return MIRT_OK;
}

}  // namespace

extern "C" {

MIRT_API int mirt_reader_open_fd(const mirt_context* context, int fd, mirt_reader** out) {
  return guarded([&]() -> int {
    if (fd < 0) return fail(MIRT_ERROR_ARGUMENT, "bad descriptor");
    return open_reader(context, fd, nullptr, out);
  });
}

MIRT_API int mirt_reader_open_input(const mirt_context* context, const mirt_input* input,
                                    mirt_reader** out) {
  return guarded([&]() -> int {
    if (input == nullptr || input->read == nullptr)
      return fail(MIRT_ERROR_ARGUMENT, "no read callback");
    return open_reader(context, -1, input, out);
  });
}

MIRT_API int64_t mirt_reader_read(mirt_reader* reader, void* buffer, size_t size) {
  return guarded([&]() -> int64_t {
    if (reader == nullptr || (buffer == nullptr && size > 0))
      return fail(MIRT_ERROR_ARGUMENT, "no reader or no buffer");
    const int64_t got = reader->read(static_cast<uint8_t*>(buffer), size);
    if (got >= 0) mirt::api::succeed();
    return got;
  });
}

MIRT_API int64_t mirt_reader_seek(mirt_reader* reader, int64_t offset, int whence) {
  return guarded([&]() -> int64_t {
    if (reader == nullptr) return fail(MIRT_ERROR_ARGUMENT, "no reader");
    const int64_t at = reader->seek(offset, whence);
    if (at >= 0) mirt::api::succeed();
    return at;
  });
}

MIRT_API int64_t mirt_reader_tell(const mirt_reader* reader) {
  return reader ? static_cast<int64_t>(reader->position) : fail(MIRT_ERROR_ARGUMENT, "no reader");
}

MIRT_API uint64_t mirt_reader_blocks_decoded(const mirt_reader* reader) {
  return reader && reader->blocks ? reader->blocks->decoded() : 0;
}

MIRT_API void mirt_reader_free(mirt_reader* reader) {
  if (reader == nullptr) return;
  reader->stop_codec();
  delete reader;
}

}  // extern "C"
