// Loading algorithm and cipher modules into the tables, and the registry
// of handles that are closed when the run ends.
#include "modules/loader.h"

#include <dirent.h>
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codec/tables.h"
#include "common/diag.h"
#include "location/template.h"
#include "modules/update.h"
#include "status/status.h"

namespace mirt {

namespace {

constexpr int kRegistrySlots = 256;
constexpr int kRecordedLimit = 255;  // the last slot is never filled
constexpr size_t kGivenPathLength = 255;
constexpr size_t kSearchPathLength = 254;
constexpr size_t kScanPathSize = 1024;

constexpr uint32_t kRequireAtLeast = 1;
constexpr uint32_t kRequireExactly = 2;
constexpr uint32_t kRequireAtMost = 3;

struct Registry {
  bool initialised = false;
  int32_t count = 0;
  void* handles[kRegistrySlots] = {};
};

Registry g_registry;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// Closes a freshly opened module unless it is handed on.
class ModuleHandle {
 public:
  explicit ModuleHandle(void* handle) : handle_(handle) {}
  ModuleHandle(const ModuleHandle&) = delete;
  ModuleHandle& operator=(const ModuleHandle&) = delete;
  ~ModuleHandle() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  void* get() const { return handle_; }
  void* release() {
    void* handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  void* handle_;
};

void* open_object(const char* path) { return dlopen(path, RTLD_NOW | RTLD_GLOBAL); }

// The directories of the expanded module path, in order; empty entries
// name no directory.
std::vector<std::string> module_directories() {
  std::string expanded = expand_template(module_path(), "");
  std::vector<std::string> directories;
  size_t start = 0;
  while (start <= expanded.size()) {
    size_t end = expanded.find(':', start);
    if (end == std::string::npos) end = expanded.size();
    if (end > start) directories.push_back(expanded.substr(start, end - start));
    start = end + 1;
  }
  return directories;
}

// "%s/%s.so" in each module path directory, cut to 254 characters; the
// first that opens wins.
void* search_module(const char* name, std::string& opened_path) {
  for (const std::string& directory : module_directories()) {
    std::string path = directory + "/" + name + ".so";
    if (path.size() > kSearchPathLength) path.resize(kSearchPathLength);
    if (void* handle = open_object(path.c_str())) {
      opened_path = path;
      return handle;
    }
  }
  return nullptr;
}

template <typename T>
bool read_symbol(void* handle, const char* symbol, T& value) {
  void* address = dlsym(handle, symbol);
  if (address == nullptr) return false;
  std::memcpy(&value, address, sizeof value);
  return true;
}

bool requirement_met(const char* path, uint32_t requirement) {
  const uint32_t kind = requirement >> 24;
  const uint32_t required = requirement & 0xFFFFFFu;
  const char* format = nullptr;
  if (kind == kRequireAtLeast && required > kPackedVersion)
    format = "%s requires atleast MIRT %i.%i.%i, this is MIRT %i.%i.%i\n";
  else if (kind == kRequireExactly && required != kPackedVersion)
    format = "%s requires MIRT %i.%i.%i, this is MIRT %i.%i.%i\n";
  else if (kind == kRequireAtMost && required < kPackedVersion)
    format = "%s requires atmost MIRT %i.%i.%i, this is MIRT %i.%i.%i\n";
  if (format == nullptr) return true;
  std::fprintf(stderr, format, path, static_cast<int>((required >> 16) & 0xFF),
               static_cast<int>((required >> 8) & 0xFF), static_cast<int>(required & 0xFF),
               kVersionMajor, kVersionMinor, kVersionPatch);
  return false;
}

// Records `handle`; the index it went to, or -1 when the registry is full.
int record_handle(void* handle) {
  if (g_registry.count >= kRecordedLimit) return -1;
  const int index = g_registry.count++;
  g_registry.handles[index] = handle;
  return index;
}

void forget_record(int index) {
  if (index < 0 || index != g_registry.count - 1) return;
  g_registry.handles[index] = nullptr;
  --g_registry.count;
}

bool ends_with_so(const char* name) {
  const size_t length = std::strlen(name);
  return length >= 3 && std::strcmp(name + length - 3, ".so") == 0;
}

}  // namespace

int module_registry_init() {
  if (g_registry.initialised) return -1;
  g_registry.initialised = true;
  for (void*& handle : g_registry.handles) handle = nullptr;
  return 0;
}

int load_module(const char* name, Options& options) {
  if (name == nullptr) return -1;

  std::string path;
  void* opened = nullptr;
  if (std::strchr(name, '/') != nullptr) {
    path.assign(name, strnlen(name, kGivenPathLength));
    opened = open_object(path.c_str());
    if (opened == nullptr) {
      report("Could not load module.\n");
      return -1;
    }
  } else {
    opened = search_module(name, path);
    if (opened == nullptr) return -1;
  }
  ModuleHandle module(opened);

  int32_t number = 0;
  const char* display_name = nullptr;
  mr_entry entry = nullptr;
  if (!read_symbol(module.get(), "MR_NUM", number) ||
      !read_symbol(module.get(), "MR_NAME", display_name) ||
      !read_symbol(module.get(), "MR_ALGO", entry)) {
    status_message(2, path.c_str());
    status_append(2, " is not a mirt module.");
    return -1;
  }

  int32_t type = 0;
  uint32_t version = 0;
  uint32_t requirement = 0;
  const char* fetch_location = nullptr;
  const char* version_location = nullptr;
  read_symbol(module.get(), "MR_TYPE", type);
  read_symbol(module.get(), "MR_VER", version);
  read_symbol(module.get(), "MR_REQUIRE", requirement);
  read_symbol(module.get(), "MR_URL_GET", fetch_location);
  read_symbol(module.get(), "MR_URL_VER", version_location);
  int32_t threadsafe = 0;
  read_symbol(module.get(), "MR_THREADSAFE", threadsafe);
  (void)dlsym(module.get(), "MR_SIGN");  // reserved for signed modules

  // A module given by absolute path was placed there on purpose and is
  // not replaced; the fetched copy takes effect at the next run.
  if (version != 0 && fetch_location != nullptr && version_location != nullptr &&
      name[0] != '/')
    check_update(name, fetch_location, version_location, version, nullptr, options);

  if (requirement != 0 && !requirement_met(path.c_str(), requirement)) return -1;

  void* handle = module.release();
  const int record = record_handle(handle);

  if (type == MR_TYPE_CIPHER) {
    if (static_cast<uint32_t>(number) >= static_cast<uint32_t>(kCipherSlots)) {
      std::printf("Encryption algorithm number too high, ignoring %i\n", number);
      // Ahead of anything the codec later writes to the same descriptor.
      std::fflush(stdout);
      return -1;
    }
    auto cipher = reinterpret_cast<CipherEntry>(entry);
    return cipher_install(number, cipher, display_name) ? 0 : -1;
  }
  if (type == MR_TYPE_ALGORITHM) {
    if (static_cast<uint32_t>(number) >= static_cast<uint32_t>(kEndOfBlocks)) return -1;
    auto algorithm = reinterpret_cast<AlgorithmEntry>(entry);
    if (algorithm_install(number, algorithm, display_name, threadsafe != 0)) return 0;
    // Taken back so the handle is not closed twice at the end.
    forget_record(record);
    dlclose(handle);
    return -1;
  }
  return -1;
}

int load_all_modules(Options& options) {
  for (const std::string& directory : module_directories()) {
    UniqueDir dir(opendir(directory.c_str()));
    if (!dir) continue;
    while (const dirent* entry = readdir(dir.get())) {
      if (!ends_with_so(entry->d_name)) continue;
      std::string path = directory + "/" + entry->d_name;
      if (path.size() > kScanPathSize - 1) path.resize(kScanPathSize - 1);
      load_module(path.c_str(), options);
    }
  }
  return 0;
}

int unload_modules() {
  if (!g_registry.initialised) return -1;
  // The count stays; a closed handle is not closed again by a second call.
  for (int i = 0; i < g_registry.count; ++i) {
    if (g_registry.handles[i] == nullptr) continue;
    dlclose(g_registry.handles[i]);
    g_registry.handles[i] = nullptr;
  }
  return 0;
}

int module_registry_count() { return g_registry.count; }

void module_registry_reset() {
  for (int i = 0; i < g_registry.count; ++i)
    if (g_registry.handles[i] != nullptr) dlclose(g_registry.handles[i]);
  g_registry = Registry{};
}

}  // namespace mirt
