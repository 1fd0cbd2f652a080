// Contexts: a configuration read into settings, plugins loaded once.
#include "api/context.h"

#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "api/api.h"
#include "cli/config.h"
#include "cli/install_paths.h"
#include "codec/format.h"

namespace mirt::api {
namespace {

// Reading a configuration loads plugins into the process-wide tables.
std::mutex g_configuration_lock;

// A preset name or a path, as `mirt -m` takes them.
std::string configuration_path(const char* config) {
  if (std::strchr(config, '/') != nullptr) return config;
  return preset_dir() + "/" + config + ".conf";
}

int read_configuration(const mirt_options& options, mirt_context& context) {
  const std::lock_guard<std::mutex> hold(g_configuration_lock);
  DiagnosticCapture quiet;  // a plugin that fails to load is left out
  if ((options.flags & MIRT_NO_INSTALLED_CONFIG) == 0)
    read_config_file(system_config_path().c_str(), context.settings, ConfigReader::kLibrary);
  if (options.config == nullptr) return MIRT_OK;
  const std::string path = configuration_path(options.config);
  if (::access(path.c_str(), R_OK) != 0 ||
      !read_config_file(path.c_str(), context.settings, ConfigReader::kLibrary))
    return fail(MIRT_ERROR_CONFIG, "cannot read configuration " + path);
  return MIRT_OK;
}

}  // namespace

void apply_options(const mirt_options& options, Settings& settings) {
  Options& run = settings.options;
  // The library never follows download locations, never shows status.
  run.use_urls = 0;
  run.verbosity = 0;
  run.complain = 0;
  run.no_name = 1;
  run.no_crc = (options.flags & MIRT_NO_CHECKSUMS) != 0 ? 1 : 0;
  if (options.block_size != 0) settings.algorithms.block_size.fixed = options.block_size;
  if (options.threads != 0) settings.resources.threads = options.threads;
  if (options.memory_limit != 0) settings.resources.memory_limit = options.memory_limit;
}

mirt_options options_or_defaults(const mirt_options* options) {
  mirt_options out;
  mirt_options_init(&out);
  if (options == nullptr) return out;
  // Only the fields the caller's version of the struct has.
  const size_t known = options->struct_size < sizeof out ? options->struct_size : sizeof out;
  std::memcpy(&out, options, known);
  out.struct_size = sizeof out;
  return out;
}

}  // namespace mirt::api

using mirt::api::fail;
using mirt::api::guarded;

extern "C" {

MIRT_API void mirt_options_init(mirt_options* options) {
  if (options == nullptr) return;
  std::memset(options, 0, sizeof *options);
  options->struct_size = sizeof *options;
}

MIRT_API int mirt_context_create(const mirt_options* given, mirt_context** out) {
  return guarded([&]() -> int {
    if (out == nullptr) return fail(MIRT_ERROR_ARGUMENT, "no place for the context");
    *out = nullptr;
    if (given != nullptr && given->struct_size < offsetof(mirt_options, config))
      return fail(MIRT_ERROR_ARGUMENT, "options without their size");
    const mirt_options options = mirt::api::options_or_defaults(given);
    if (options.block_size > mirt::kMaxBlockSize)
      return fail(MIRT_ERROR_ARGUMENT, "block size too large (at most 2147483646)");
    auto context = std::make_unique<mirt_context>();
    const int status = mirt::api::read_configuration(options, *context);
    if (status != MIRT_OK) return status;
    mirt::api::apply_options(options, context->settings);
    context->flags = options.flags;
    *out = context.release();
    mirt::api::succeed();
    return MIRT_OK;
  });
}

MIRT_API void mirt_context_free(mirt_context* context) { delete context; }

MIRT_API uint32_t mirt_context_block_size(const mirt_context* context, uint64_t plain_size) {
  if (context == nullptr) return 0;
  return context->settings.algorithms.block_size.choose(plain_size);
}

}  // extern "C"
