// What a library context holds: the settings its configuration produced.
#pragma once

#include <cstdint>

#include "codec/settings.h"
#include "mirt/mirt.h"

struct mirt_context {
  // The configuration's, with the options given over it: every call of the
  // codec made from this context runs with these, and with no others.
  mirt::Settings settings;
  uint32_t flags = 0;
};

namespace mirt::api {

// The options given over the configuration's settings.
void apply_options(const mirt_options& options, Settings& settings);
// Options of a context, defaults for null.
mirt_options options_or_defaults(const mirt_options* options);

}  // namespace mirt::api
