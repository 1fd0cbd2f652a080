#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace mirt::test {

namespace {

using Clock = std::chrono::steady_clock;

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Reads what is there; false once the stream has ended.
bool drain(int fd, std::string* sink) {
  char buffer[65536];
  ssize_t got = ::read(fd, buffer, sizeof buffer);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (got <= 0) return false;  // end, or EIO from a pty whose slave is gone
  if (sink != nullptr) sink->append(buffer, static_cast<size_t>(got));
  return true;
}

}  // namespace

RunResult run_process(const std::string& program, const RunOptions& options) {
  RunResult result;
  ::signal(SIGPIPE, SIG_IGN);

  std::vector<std::string> arg_store{program};
  arg_store.insert(arg_store.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (std::string& arg : arg_store) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_store{"PATH=/usr/bin:/bin"};
  if (!options.home.empty()) env_store.push_back("HOME=" + options.home);
  for (const auto& [name, value] : options.env) env_store.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : env_store) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
  int master = -1;
  std::string slave_name;
  if (options.stdin_data && ::pipe2(in_pipe, O_CLOEXEC) != 0) return result;
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) return result;
  const bool to_file = !options.stdout_file.empty();
  if (to_file) {
    // Standard output goes straight to the file; nothing to collect.
  } else if (options.stdout_tty) {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return result;
    slave_name = ::ptsname(master);
  } else if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    return result;
  }
  int stdin_file = -1;
  if (!options.stdin_file.empty()) {
    stdin_file = ::open(options.stdin_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (stdin_file < 0) return result;
  }

  pid_t pid = ::fork();
  if (pid < 0) return result;
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    if (options.new_session) ::setsid();
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int input = in_pipe[0] >= 0 ? in_pipe[0] : stdin_file >= 0 ? stdin_file : null_fd;
    int output = to_file                ? ::open(options.stdout_file.c_str(), O_WRONLY)
                 : options.stdout_tty ? ::open(slave_name.c_str(), O_RDWR | O_NOCTTY)
                                      : out_pipe[1];
    if (input < 0 || output < 0) ::_exit(126);
    if (::dup2(input, 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(err_pipe[1], 2) < 0) ::_exit(126);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }

  close_fd(in_pipe[0]);
  close_fd(out_pipe[1]);
  close_fd(err_pipe[1]);
  close_fd(stdin_file);
  int out_fd = to_file ? -1 : options.stdout_tty ? master : out_pipe[0];
  int err_fd = err_pipe[0];
  int in_fd = in_pipe[1];
  if (in_fd >= 0) ::fcntl(in_fd, F_SETFL, ::fcntl(in_fd, F_GETFL) | O_NONBLOCK);
  size_t in_done = 0;
  const std::string empty;
  const std::string& in_data = options.stdin_data ? *options.stdin_data : empty;
  if (in_fd >= 0 && in_data.empty()) close_fd(in_fd);

  const auto deadline = Clock::now() + std::chrono::milliseconds(options.timeout_ms);
  int status = 0;
  bool reaped = false;
  while (true) {
    if (Clock::now() >= deadline) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (!reaped) {
      rusage usage{};
      pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
      if (done == pid) {
        reaped = true;
        result.max_rss_kb = usage.ru_maxrss;
      }
    }
    // With a pty, the master never reports the end while we hold it; the
    // child having exited is the end.
    if (options.stdout_tty && reaped && out_fd >= 0) {
      while (true) {
        pollfd p{out_fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !drain(out_fd, &result.out)) break;
      }
      close_fd(out_fd);
    }
    if (out_fd < 0 && err_fd < 0 && reaped) break;
    pollfd fds[3];
    int count = 0;
    if (out_fd >= 0) fds[count++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) fds[count++] = {err_fd, POLLIN, 0};
    if (in_fd >= 0) fds[count++] = {in_fd, POLLOUT, 0};
    if (count == 0) {
      ::usleep(2000);
      continue;
    }
    int ready = ::poll(fds, count, 20);
    if (ready <= 0) continue;
    for (int i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        ssize_t put = ::write(in_fd, in_data.data() + in_done, in_data.size() - in_done);
        if (put > 0) in_done += static_cast<size_t>(put);
        if ((put < 0 && errno != EAGAIN && errno != EINTR) || in_done == in_data.size()) {
          close_fd(in_fd);
        }
      } else if (fds[i].fd == out_fd) {
        if (!drain(out_fd, &result.out)) close_fd(out_fd);
      } else if (fds[i].fd == err_fd) {
        if (!drain(err_fd, &result.err)) close_fd(err_fd);
      }
    }
  }
  close_fd(in_fd);
  close_fd(out_fd);
  close_fd(err_fd);
  if (!reaped) {
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) == pid) result.max_rss_kb = usage.ru_maxrss;
  }
  if (result.timed_out) return result;
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
  }
  return result;
}

RunResult run_mirt(const RunOptions& options) {
  RunOptions isolated = options;
  for (const auto& [name, value] : installation_override()) {
    bool given = false;
    for (const auto& entry : options.env) given = given || entry.first == name;
    if (!given) isolated.env.emplace_back(name, value);
  }
  return run_process(MIRT_BINARY, isolated);
}

std::vector<std::pair<std::string, std::string>> installation_override() {
  return {{"MIRT_TEST_SYSTEM_CONFIG", ""},
          {"MIRT_TEST_PRESET_DIR", std::string(MIRT_SOURCE_DIR) + "/share/mirt"}};
}

namespace {

// The test process itself, too: the driver called in process, and the
// binary started through std::system or exec, inherit it.
[[maybe_unused]] const bool g_isolated = [] {
  for (const auto& [name, value] : installation_override()) ::setenv(name.c_str(), value.c_str(), 1);
  return true;
}();

}  // namespace

}  // namespace mirt::test
