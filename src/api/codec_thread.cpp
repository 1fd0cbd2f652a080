#include "api/codec_thread.h"

#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "api/api.h"
#include "common/diag.h"

namespace mirt::api {
namespace {

// Room for a few blocks' worth of bytes in flight each way.
constexpr int kSocketBuffer = 1 << 20;

int system_failure(const char* operation) {
  return fail(MIRT_ERROR_IO, std::string(operation) + ": " + std::strerror(errno));
}

}  // namespace

bool open_channel(Channel& channel) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
    system_failure("socketpair");
    return false;
  }
  channel.ours.reset(ends[0]);
  channel.theirs.reset(ends[1]);
  for (int end : ends) {
    // Larger buffers mean fewer round trips; the defaults still work.
    ::setsockopt(end, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
    ::setsockopt(end, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
  }
  return true;
}

bool arm_reset(Channel& channel) {
  const char byte = 0;
  if (::send(channel.theirs.get(), &byte, 1, MSG_NOSIGNAL) == 1) return true;
  system_failure("send");
  return false;
}

int64_t send_some(int fd, const void* data, size_t size) {
  for (;;) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) return sent;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

bool CodecThread::start(std::function<bool()> body) {
  done_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (done_.get() < 0) {
    system_failure("eventfd");
    return false;
  }
  // The signals stay with the caller's threads; a write to a closed
  // socket then only fails.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  try {
    thread_ = std::thread([this, body = std::move(body)] {
      {
        DiagnosticCapture capture;
        try {
          ok_ = body();
        } catch (...) {
          ok_ = false;
          report_system_error("malloc", ENOMEM);
        }
        messages_ = capture.text();
      }
      const uint64_t one = 1;
      (void)!::write(done_.get(), &one, sizeof one);
    });
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    fail(MIRT_ERROR_MEMORY, "cannot start a thread");
    return false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return true;
}

int CodecThread::join(int fallback) {
  wait();
  if (ok_) return MIRT_OK;
  return fail_from(messages_, fallback);
}

void CodecThread::wait() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace mirt::api
