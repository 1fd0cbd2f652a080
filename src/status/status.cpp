#include "status/status.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/diag.h"
#include "status/meter.h"

namespace mirt {
namespace {

constexpr int kParamCount = 10;
constexpr size_t kTextSize = 128;
// status_append keeps the text at this many characters or fewer.
constexpr size_t kAppendLimit = 126;

int32_t g_params[kParamCount] = {};
char g_text[kTextSize] = {};
uint32_t g_progress_counter = 0;
uint32_t g_spinner = 0;

constexpr char kSpinner[] = "|/-\\";

bool index_ok(int32_t index) { return static_cast<uint32_t>(index) < kParamCount; }

// COLUMNS read like atoi, but without its undefined overflow.
int columns_value(const char* text) {
  long v = std::strtol(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

void set_text(const char* text) {
  if (text == nullptr) text = "";
  size_t n = std::strlen(text);
  if (n > kTextSize - 1) n = kTextSize - 1;
  std::memcpy(g_text, text, n);
  g_text[n] = '\0';
}

}  // namespace

void status_init() {
  g_params[kStatusColour] = 0;
  if (g_params[kStatusLevel] < 0) return;
  set_text("Initialized.");
  status_redraw();
}

int32_t status_param_get(int32_t index) {
  if (!index_ok(index)) return -1;
  return g_params[index];
}

int32_t status_param_set(int32_t index, int32_t value) {
  if (!index_ok(index)) return -1;
  g_params[index] = value;
  return value;
}

int32_t status_param_access(int32_t operation, int32_t index, int32_t value) {
  if (!index_ok(index)) return -1;
  if (operation == 0) return status_param_set(index, value);
  if (operation == 1) return status_param_get(index);
  return -1;
}

void status_message(int32_t level, const char* text) {
  if (diagnostics_captured()) return;  // a library call: no status line
  if (g_params[kStatusLevel] < level) return;
  set_text(text);
  status_redraw();
}

void status_append(int32_t level, const char* text) {
  if (diagnostics_captured()) return;  // a library call: no status line
  if (g_params[kStatusLevel] < level) return;
  size_t have = std::strlen(g_text);
  if (text != nullptr && have < kAppendLimit) {
    size_t n = std::strlen(text);
    if (n > kAppendLimit - have) n = kAppendLimit - have;
    std::memcpy(g_text + have, text, n);
    g_text[have + n] = '\0';
  }
  status_redraw();
}

void progress_begin(uint32_t total) {
  if (diagnostics_captured()) return;  // a library call: no status line
  g_params[kStatusProgressTotal] = static_cast<int32_t>(total);
  g_progress_counter = 0;
  g_params[kStatusPercent] = total > 0 ? 0 : -1;
  status_redraw();
}

void progress_step(uint32_t n) {
  if (diagnostics_captured()) return;  // a library call: no status line
  g_progress_counter = n == 0 ? 0 : g_progress_counter + n;
  uint32_t total = static_cast<uint32_t>(g_params[kStatusProgressTotal]);
  if (total != 0) {
    float percent = static_cast<float>(g_progress_counter) / static_cast<float>(total) * 100.0f;
    // More units than announced can push this far past 100; keep the
    // conversion defined.
    g_params[kStatusPercent] = percent >= 2147483520.0f ? INT32_MAX : static_cast<int32_t>(percent);
  } else {
    g_params[kStatusPercent] = -1;
  }
  status_redraw();
}

void status_set_percent(int32_t percent) {
  if (diagnostics_captured()) return;  // a library call: no status line
  g_params[kStatusPercent] = percent;
  status_redraw();
}

void status_redraw() {
  if (g_params[kStatusLevel] == 0 || meter_replaces_status()) return;

  int width = 10;
  if (const char* columns = std::getenv("COLUMNS")) {
    int c = columns_value(columns);
    if (c < 10) return;  // too narrow: no line, and the spinner stays put
    if (c < 31) width = 5;
  }

  // At most 10 characters each, plus the terminator.
  char filled[11] = {};
  char empty[11] = {};
  int shown = 0;
  int32_t p = g_params[kStatusPercent];
  if (p < 0) {
    std::memset(empty, '?', static_cast<size_t>(width));
  } else {
    int q = p > 100 ? 100 : p;
    float f = static_cast<float>(q) / 100.0f * static_cast<float>(width);
    int nf = static_cast<int>(f);
    float rest = static_cast<float>(width) - f;
    int ne = static_cast<int>(static_cast<double>(rest) + 0.9999999);
    if (nf > width) nf = width;
    if (ne > width) ne = width;
    if (ne < 0) ne = 0;
    std::memset(filled, '#', static_cast<size_t>(nf));
    std::memset(empty, '.', static_cast<size_t>(ne));
    shown = q;
  }

  bool colour = g_params[kStatusColour] != 0;
  if (colour) {
    std::fprintf(stderr,
                 "=> \033[1;30m[\033[1;32m%s\033[1;37m%s\033[1;30m] \033[1;37m%03i\033[0;31m%%\033[0m",
                 filled, empty, shown);
  } else {
    std::fprintf(stderr, "=> [%s%s] %3i%%", filled, empty, shown);
  }
  std::fprintf(stderr, " [%c] | Status: %s%s\r", kSpinner[g_spinner % 4], g_text,
               colour ? "\033[K" : "");
  std::fflush(stderr);
  ++g_spinner;
}

void status_finish() {
  if (g_params[kStatusLevel] == 0 || meter_replaces_status()) return;
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void status_reset() {
  std::memset(g_params, 0, sizeof g_params);
  g_text[0] = '\0';
  g_progress_counter = 0;
  g_spinner = 0;
}

const char* status_text() { return g_text; }

}  // namespace mirt
