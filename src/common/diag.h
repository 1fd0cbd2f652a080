// Diagnostics on standard error, all starting with "mirt: ".
#pragma once

#include <string>

namespace mirt {

// "mirt: OPERATION: <system text for err>\n"; err may be negative.
void report_system_error(const char* operation, int err);

// "mirt: " followed by the formatted text (which carries its own newline).
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Called around every message written to standard error: a line being
// redrawn there steps aside. Set once, before any thread starts.
void set_diagnostic_guard(void (*enter)(), void (*leave)());

// The name shown for a stream in messages ("standard input" when null).
const char* display_name(const char* file_name);

// While one lives, the diagnostics of the thread that made it go to it
// instead of standard error, one call per message (without "mirt: " and
// without the final newline). The library keeps its messages this way.
class DiagnosticCapture {
 public:
  DiagnosticCapture();
  ~DiagnosticCapture();
  DiagnosticCapture(const DiagnosticCapture&) = delete;
  DiagnosticCapture& operator=(const DiagnosticCapture&) = delete;

  // Every message so far, joined by "; ".
  const std::string& text() const { return text_; }
  // The system error number of the first report_system_error, or 0.
  int system_error() const { return system_error_; }
  bool empty() const { return text_.empty(); }

  void add(std::string message, int system_error);

 private:
  DiagnosticCapture* outer_;
  std::string text_;
  int system_error_ = 0;
};

// Whether this thread's diagnostics are captured: the library is working
// on it, and the program's status line is none of its business.
bool diagnostics_captured();

}  // namespace mirt
