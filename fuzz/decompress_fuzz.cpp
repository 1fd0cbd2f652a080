// Container reader. Two kinds of input:
//  - bytes that begin like a container ('M') are given to the decompressor
//    as they are, from a file and through a pipe;
//  - anything else describes a container to build with one bundled plugin,
//    damage and read back: whenever the decompressor reports success, its
//    output must be exactly what the container was made from, with and
//    without checksums, written to and read from files and pipes.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/format.h"
#include "codec/pipeline.h"
#include "codec/tables.h"
#include "fuzz_input.h"
#include "status/status.h"

namespace {

int g_null = -1;
struct Plugin {
  int slot;
  mr_algorithm_entry entry;
  const char* name;
  mirt::AlgorithmTraits traits;
};
std::vector<Plugin> g_plugins;  // installed into the table

void run_raw(int input, const mirt::Settings& settings) {
  if (input < 0) return;
  mirt::ChecksumRecord sums;
  mirt::decompress_stream(input, g_null, settings, "fuzz.mrt", sums, -1);
  close(input);
  mirt::status_reset();
}

std::string own_folder() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string p(path, static_cast<size_t>(n));
  return p.substr(0, p.rfind('/'));
}

// Installs every plugin next to the target; the table then holds the copy
// algorithm and these.
void load_plugins() {
  const std::string dir = own_folder() + "/plugins";
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > 3 && name.ends_with(".so")) names.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& path : names) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) continue;
    auto* num = static_cast<const int32_t*>(dlsym(handle, "MR_NUM"));
    auto* name = static_cast<const char* const*>(dlsym(handle, "MR_NAME"));
    auto* algo = static_cast<const mr_entry*>(dlsym(handle, "MR_ALGO"));
    if (num == nullptr || name == nullptr || algo == nullptr) continue;
    const auto entry = reinterpret_cast<mr_algorithm_entry>(*algo);
    // As the loader records them: the call context binds blocks to their place.
    mirt::AlgorithmTraits traits{true, 0, nullptr};
    if (auto* context = static_cast<const int32_t*>(dlsym(handle, "MR_CONTEXT")))
      traits.context = *context;
    if (auto* memory = static_cast<const mr_memory_function*>(dlsym(handle, "MR_MEMORY")))
      traits.memory = *memory;
    if (mirt::algorithm_install(*num, entry, *name, traits))
      g_plugins.push_back({*num, entry, *name, traits});
  }
}

std::vector<uint8_t> read_all(int fd) {
  std::vector<uint8_t> out;
  lseek(fd, 0, SEEK_SET);
  uint8_t buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) out.insert(out.end(), buffer, buffer + n);
  return out;
}

// Keeps only the copy algorithm and one plugin available for one run.
class OnlyPlugin {
 public:
  explicit OnlyPlugin(const Plugin& kept) {
    for (const Plugin& p : g_plugins)
      if (p.slot != kept.slot) mirt::algorithm_disable(p.slot);
  }
  ~OnlyPlugin() {
    for (const Plugin& p : g_plugins) mirt::algorithm_install(p.slot, p.entry, p.name, p.traits);
  }
};

struct Plan {
  bool no_crc, write_to_pipe, read_from_pipe;
  unsigned threads;
  uint32_t block_size;
};

std::vector<uint8_t> build(const Plan& plan, const std::vector<uint8_t>& plain) {
  const int input = mirt_fuzz::seekable_input(plain.data(), plain.size());
  mirt::Settings settings;
  settings.options.no_crc = plan.no_crc;
  settings.algorithms.block_size.fixed = plan.block_size;
  settings.resources.threads = plan.threads;
  mirt::ChecksumRecord sums;
  std::vector<uint8_t> container;
  if (plan.write_to_pipe) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    if (!mirt::compress_stream(input, fds[1], settings, "f", sums, -1, plain.size())
             .ok)
      std::abort();
    close(fds[1]);
    uint8_t buffer[65536];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
      container.insert(container.end(), buffer, buffer + n);
    close(fds[0]);
  } else {
    const int output = memfd_create("mirt-fuzz-out", 0);
    if (!mirt::compress_stream(input, output, settings, "f", sums, -1, plain.size())
             .ok)
      std::abort();
    container = read_all(output);
    close(output);
  }
  close(input);
  return container;
}

// Edits of four bytes each: position (2), operation, value.
void damage(std::vector<uint8_t>& c, const uint8_t* edits, size_t count) {
  for (size_t i = 0; i < count && !c.empty(); ++i) {
    const uint8_t* e = edits + 4 * i;
    const size_t at = (size_t{e[0]} << 8 | e[1]) % c.size();
    switch (e[2] % 5) {
      case 0: c[at] ^= static_cast<uint8_t>(e[3] | 1); break;
      case 1: c[at] = e[3]; break;
      case 2: c.insert(c.begin() + static_cast<long>(at), e[3]); break;
      case 3: c.erase(c.begin() + static_cast<long>(at)); break;
      default: c.resize(at); break;
    }
  }
}

uint64_t field(const std::vector<uint8_t>& c, size_t at, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v = v << 8 | c[at + static_cast<size_t>(i)];
  return v;
}

// Whether a block of the (undamaged, current-layout) container is stored
// by the copy algorithm, whose fixed format carries no check of its own.
bool holds_copy_block(const std::vector<uint8_t>& c, uint32_t block_size) {
  const int width = mirt::length_field_width(block_size);
  size_t at = 28 + field(c, 24, 4);
  while (at < c.size() && c[at] != 0xFF) {
    if (c[at] == 0) return true;
    at += 1 + static_cast<size_t>(width) + field(c, at + 1, width);
  }
  return false;
}

// The size field, which no checksum covers, moved inside the zero fill of
// the last block: the blocks decode as they should, and nothing stored
// tells the real end from the fill.
bool differs_in_fill_only(const std::vector<uint8_t>& plain, const std::vector<uint8_t>& back,
                          uint32_t block_size) {
  const auto blocks = [&](size_t n) { return (n + block_size - 1) / block_size; };
  if (plain.empty() || back.empty() || blocks(plain.size()) != blocks(back.size())) return false;
  const std::vector<uint8_t>& longer = plain.size() > back.size() ? plain : back;
  const size_t common = std::min(plain.size(), back.size());
  return std::equal(plain.begin(), plain.begin() + static_cast<long>(common), back.begin()) &&
         std::all_of(longer.begin() + static_cast<long>(common), longer.end(),
                     [](uint8_t b) { return b == 0; });
}

void check_round_trip(const uint8_t* data, size_t size) {
  if (size < 4 || g_plugins.empty()) return;
  Plan plan{};
  plan.no_crc = data[0] & 1;
  plan.write_to_pipe = data[0] & 2;
  plan.read_from_pipe = data[0] & 4;
  plan.threads = data[0] & 8 ? 2 : 1;
  plan.block_size = 1 + ((uint32_t{data[1]} << 8 | data[2]) % 8192);
  const size_t edits = std::min<size_t>(data[3] % 8, (size - 4) / 4);
  const uint8_t* edit_bytes = data + 4;
  const std::vector<uint8_t> plain(data + 4 + 4 * edits,
                                   data + std::min<size_t>(size, 4 + 4 * edits + 16384));

  OnlyPlugin only(g_plugins[(data[0] >> 4) % g_plugins.size()]);
  std::vector<uint8_t> container = build(plan, plain);
  const bool unchecked_copy = (plan.no_crc || plan.write_to_pipe) &&
                              holds_copy_block(container, plan.block_size);
  damage(container, edit_bytes, edits);

  const int input = plan.read_from_pipe
                        ? mirt_fuzz::pipe_input(container.data(), container.size(), 1 << 20)
                        : mirt_fuzz::seekable_input(container.data(), container.size());
  if (input < 0) return;
  const int output = memfd_create("mirt-fuzz-back", 0);
  mirt::Settings settings;
  settings.options.no_crc = plan.no_crc;
  settings.resources.threads = plan.threads;
  mirt::ChecksumRecord sums;
  const mirt::StreamResult r =
      mirt::decompress_stream(input, output, settings, "fuzz.mrt", sums, -1);
  close(input);
  const std::vector<uint8_t> back = read_all(output);
  close(output);
  mirt::status_reset();
  // Success means the data, and the undamaged container always succeeds.
  // Two damages cannot be seen without checksums in the format: a copy
  // block's bytes, and the size moved within the last block's fill.
  if (r.ok && back != plain && !unchecked_copy &&
      !differs_in_fill_only(plain, back, plan.block_size))
    std::abort();
  if (edits == 0 && !r.ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mirt_fuzz::quiet_std_streams();
  g_null = open("/dev/null", O_WRONLY);
  load_plugins();
  return 0;
}

// The block buffer is allocated at the size the header names; under the
// sanitizer a gigabyte of it takes long enough to stall the search, and
// the code paths are the same at a few megabytes.
bool huge_block_size(const uint8_t* data, size_t size) {
  if (size < 23) return false;
  const bool old_layout = data[4] == 0 && data[5] == 8 && data[6] <= 38;
  const size_t at = old_layout ? 15 : 19;
  const uint32_t block_size = uint32_t{data[at]} << 24 | uint32_t{data[at + 1]} << 16 |
                              uint32_t{data[at + 2]} << 8 | data[at + 3];
  return block_size > (64u << 20);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0 && data[0] != 'M') {
    check_round_trip(data, size);
    return 0;
  }
  if (huge_block_size(data, size)) return 0;
  mirt::Settings settings;
  settings.resources.threads = size % 2 + 1;
  run_raw(mirt_fuzz::seekable_input(data, size), settings);
  settings.options.no_crc = 1;
  settings.options.force = 1;
  run_raw(mirt_fuzz::pipe_input(data, size), settings);
  return 0;
}
