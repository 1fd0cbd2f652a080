#include "common/diag.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace mirt {
namespace {

thread_local DiagnosticCapture* t_capture = nullptr;

std::atomic<void (*)()> g_enter{nullptr};
std::atomic<void (*)()> g_leave{nullptr};

// Holds the guard while a message is written.
class Guarded {
 public:
  Guarded() : leave_(g_leave.load()) {
    if (leave_ != nullptr) g_enter.load()();
  }
  ~Guarded() {
    if (leave_ != nullptr) leave_();
  }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

 private:
  void (*leave_)();
};

// The text without its final newline, as a capture keeps it.
std::string without_newline(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

DiagnosticCapture::DiagnosticCapture() : outer_(t_capture) { t_capture = this; }

DiagnosticCapture::~DiagnosticCapture() { t_capture = outer_; }

bool diagnostics_captured() { return t_capture != nullptr; }

void DiagnosticCapture::add(std::string message, int system_error) {
  if (system_error_ == 0) system_error_ = system_error;
  if (message.empty()) return;
  if (!text_.empty()) text_ += "; ";
  text_ += message;
}

void report_system_error(const char* operation, int err) {
  if (err < 0) err = -err;
  if (t_capture != nullptr) {
    t_capture->add(std::string(operation) + ": " + std::strerror(err), err);
    return;
  }
  const Guarded guard;
  std::fprintf(stderr, "mirt: %s: %s\n", operation, std::strerror(err));
}

void report(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  if (t_capture != nullptr) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    t_capture->add(without_newline(text), 0);
    return;
  }
  const Guarded guard;
  std::fputs("mirt: ", stderr);
  std::vfprintf(stderr, format, args);
  va_end(args);
}

void set_diagnostic_guard(void (*enter)(), void (*leave)()) {
  g_enter = enter;
  g_leave = leave;
}

const char* display_name(const char* file_name) {
  return file_name ? file_name : "standard input";
}

}  // namespace mirt
