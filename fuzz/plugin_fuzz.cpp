// Algorithm plugins: arbitrary and damaged stored data given to mode 2 of
// each bundled plugin, and round trips through mode 1 and mode 2.
//
// MIRT_PLUGIN names one plugin file; without it every .so in the plugins
// folder next to this executable is loaded and the first input byte
// picks one.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mirt/module.h"

namespace {

std::vector<mr_algorithm_entry> g_entries;

void load(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "plugin_fuzz: %s\n", dlerror());
    std::abort();
  }
  auto* algo = static_cast<const mr_entry*>(dlsym(handle, "MR_ALGO"));
  if (algo == nullptr) std::abort();
  g_entries.push_back(reinterpret_cast<mr_algorithm_entry>(*algo));
}

std::string own_folder() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string p(path, static_cast<size_t>(n));
  return p.substr(0, p.rfind('/'));
}

constexpr size_t kGuard = 64;
constexpr unsigned char kGuardByte = 0xA5;

// Mode 2 into a destination with guard bytes behind it: the libraries
// themselves are not instrumented, so check their writes by hand.
uint32_t expand(mr_algorithm_entry entry, const std::vector<unsigned char>& src, uint32_t cap,
                mr_call_context* context = nullptr) {
  std::vector<unsigned char> out(cap + kGuard, kGuardByte);
  const uint32_t produced = entry(MR_MODE_DECOMPRESS, context, src.data(), out.data(),
                                  static_cast<uint32_t>(src.size()), cap);
  if (produced > cap) std::abort();
  for (size_t i = cap; i < out.size(); ++i)
    if (out[i] != kGuardByte) std::abort();
  return produced;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* one = std::getenv("MIRT_PLUGIN"); one != nullptr && *one != '\0') {
    load(one);
  } else {
    const std::string dir = own_folder() + "/plugins";
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 3 && name.ends_with(".so")) names.push_back(dir + "/" + name);
      }
      closedir(d);
    }
    std::sort(names.begin(), names.end());  // stable choice by the first byte
    for (const auto& n : names) load(n);
  }
  if (g_entries.empty()) {
    std::fprintf(stderr, "plugin_fuzz: no plugins found\n");
    std::abort();
  }
  return 0;
}

// Byte 0: plugin (low six bits) and what to do (high two bits); bytes
// 1-2: output capacity for mode 2; the rest is the block.
//   00: the block as stored data
//   10: round trip of the block
//   x1: compress the block, damage the result at places the block's first
//       bytes choose, and expand it: deep paths without coverage feedback
//       from the uninstrumented libraries
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const mr_algorithm_entry entry = g_entries[(data[0] & 0x3F) % g_entries.size()];
  const uint32_t cap = (uint32_t{data[1]} << 8 | data[2]) + 1;
  // Exactly sized copies, so any access past either end is caught.
  std::vector<unsigned char> src(data + 3, data + size);
  const auto len = static_cast<uint32_t>(src.size());
  if (len == 0) return 0;

  if ((data[0] & 0xC0) == 0) {
    expand(entry, src, cap);
    return 0;
  }

  // Round trips go through a block key (the capacity), as the program
  // gives one to every call.
  mr_call_context context{};
  context.size = sizeof context;
  context.version = MR_CONTEXT_VERSION;
  context.block_key = cap;
  context.threads = 1;
  std::vector<unsigned char> packed(2 * size_t{len});
  const uint32_t stored =
      entry(MR_MODE_COMPRESS, &context, src.data(), packed.data(), len, 2 * len);
  if (stored == MR_DECLINED) return 0;
  if (stored >= len) std::abort();
  std::vector<unsigned char> exact(packed.begin(), packed.begin() + stored);

  if (data[0] & 0x40) {
    // Up to eight edits of (position, xor) pairs, then an optional cut.
    for (uint32_t i = 0; i + 2 < std::min<uint32_t>(len, 17); i += 2) {
      const uint32_t at = (uint32_t{src[i]} * 257 + src[i + 1] * 31u) % stored;
      exact[at] ^= static_cast<unsigned char>(src[i + 2] | 1);
    }
    if (len > 20 && (src[20] & 1)) exact.resize(stored - (src[20] >> 1) % stored);
    if (!exact.empty()) expand(entry, exact, std::max(cap, len), &context);
    return 0;
  }

  std::vector<unsigned char> back(len);
  if (entry(MR_MODE_DECOMPRESS, &context, exact.data(), back.data(), stored, len) != len ||
      back != src)
    std::abort();
  return 0;
}
