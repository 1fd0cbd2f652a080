// Status parameters and the one-line status display on standard error.
#pragma once

#include <cstdint>

namespace mirt {

// Parameter indexes.
inline constexpr int kStatusColour = 0;
inline constexpr int kStatusLevel = 1;
inline constexpr int kStatusProgressTotal = 2;
inline constexpr int kStatusPercent = 3;
inline constexpr int kStatusPromptStdin = 4;

void status_init();
int32_t status_param_get(int32_t index);
int32_t status_param_set(int32_t index, int32_t value);
int32_t status_param_access(int32_t operation, int32_t index, int32_t value);
void status_message(int32_t level, const char* text);
void status_append(int32_t level, const char* text);
void progress_begin(uint32_t total);
void progress_step(uint32_t n);
void status_set_percent(int32_t percent);
void status_redraw();
void status_finish();

// Tests only: back to the program-start state (all parameters 0, empty
// text, counters 0).
void status_reset();
// Tests only: the current status text.
const char* status_text();

}  // namespace mirt
