// Loading algorithm and cipher modules into the tables, and the registry
// of handles that are closed when the run ends.
#include "modules/loader.h"

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

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

// dlopen; on failure `error` gets the dynamic loader's own words.
void* open_object(const char* path, std::string& error) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    error = text != nullptr ? text : "unknown error";
  }
  return handle;
}

// Which module failed and why. The loader's text usually starts with the
// path already; it is not repeated then.
void report_load_failure(const std::string& path, const std::string& error) {
  report("Could not load module.\n");
  if (error.compare(0, path.size() + 1, path + ":") == 0)
    report("%s\n", error.c_str());
  else
    report("%s: %s\n", path.c_str(), error.c_str());
}

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
// first that opens wins. A name found nowhere is no error, but a file
// that is there and does not load is.
void* search_module(const char* name, std::string& opened_path) {
  for (const std::string& directory : module_directories()) {
    std::string path = directory + "/" + name + ".so";
    if (path.size() > kSearchPathLength) path.resize(kSearchPathLength);
    std::string error;
    if (void* handle = open_object(path.c_str(), error)) {
      opened_path = path;
      return handle;
    }
    if (::access(path.c_str(), F_OK) == 0) report_load_failure(path, error);
  }
  return nullptr;
}

// The loaded object an address lies in; null when it is in none.
const link_map* object_containing(const void* address) {
  Dl_info info;
  void* map = nullptr;
  if (dladdr1(address, &info, &map, RTLD_DL_LINKMAP) == 0) return nullptr;
  return static_cast<const link_map*>(map);
}

// The type of a symbol table entry (the low four bits in either ELF class).
unsigned symbol_type(const ElfW(Sym) * symbol) { return symbol->st_info & 0xFu; }

// The exported symbol that starts exactly at `address`, if any.
const ElfW(Sym) * symbol_starting_at(const void* address) {
  Dl_info info;
  void* symbol = nullptr;
  if (dladdr1(address, &info, &symbol, RTLD_DL_SYMENT) == 0 || info.dli_saddr != address)
    return nullptr;
  return static_cast<const ElfW(Sym)*>(symbol);
}

// Whether `address` lies in an executable segment of a loaded object.
bool in_loaded_code(const void* address) {
  struct Search {
    uintptr_t address;
    bool found;
  } search{reinterpret_cast<uintptr_t>(address), false};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& segment = info->dlpi_phdr[i];
          if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
          const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
          if (s->address >= start && s->address - start < segment.p_memsz) s->found = true;
        }
        return s->found ? 1 : 0;
      },
      &search);
  return search.found;
}

// Reads the MR_ symbols of a module, each checked before it is trusted: a
// data object big enough for what we read, defined by the module itself, whose
// pointers lead into loaded objects. A module that exports a function
// where a variable belongs, or a number where a pointer belongs, would
// otherwise have us read code as data and later call or print through
// garbage. The first misfit is kept as the reason for refusing the module.
class SymbolReader {
 public:
  explicit SymbolReader(void* handle) {
    void* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0) own_ = static_cast<const link_map*>(map);
    handle_ = handle;
  }

  // False when the symbol is absent or unfit; `value` is then unchanged.
  bool number(const char* name, int32_t& value) { return read(name, value, "a 32-bit variable"); }
  bool number(const char* name, uint32_t& value) { return read(name, value, "a 32-bit variable"); }

  // A text pointer: null, or into a loaded object.
  bool text(const char* name, const char*& value) {
    const char* pointer = nullptr;
    if (!read(name, pointer, "a pointer variable")) return false;
    if (pointer != nullptr && object_containing(pointer) == nullptr)
      return unfit(name, "points outside every loaded object");
    value = pointer;
    return true;
  }

  bool entry(const char* name, mr_entry& value) { return function(name, value); }

  // A pointer to a function of the module's (MR_ALGO, MR_MEMORY).
  template <typename Function>
  bool function(const char* name, Function& value) {
    Function pointer = nullptr;
    if (!read(name, pointer, "a pointer variable")) return false;
    const void* code = reinterpret_cast<const void*>(pointer);
    const ElfW(Sym)* symbol = code != nullptr ? symbol_starting_at(code) : nullptr;
    if (code == nullptr || !in_loaded_code(code) ||
        (symbol != nullptr && symbol_type(symbol) != STT_FUNC &&
         symbol_type(symbol) != STT_GNU_IFUNC))
      return unfit(name, "does not point to a function");
    value = pointer;
    return true;
  }

  // Empty while every symbol read so far fits.
  const std::string& problem() const { return problem_; }

 private:
  template <typename T>
  bool read(const char* name, T& value, const char* kind) {
    void* address = dlsym(handle_, name);
    if (address == nullptr) return false;
    if (own_ == nullptr || object_containing(address) != own_)
      return unfit(name, "is not defined by the module itself");
    const ElfW(Sym)* symbol = symbol_starting_at(address);
    // At least as large as what is read: sanitizer builds pad objects.
    if (symbol == nullptr || symbol_type(symbol) != STT_OBJECT ||
        symbol->st_size < sizeof value)
      return unfit(name, (std::string("is not ") + kind).c_str());
    std::memcpy(&value, address, sizeof value);
    return true;
  }

  bool unfit(const char* name, const char* why) {
    if (problem_.empty()) problem_ = std::string(name) + " " + why;
    return false;
  }

  void* handle_ = nullptr;
  const link_map* own_ = nullptr;
  std::string problem_;
};

void refuse_module(const std::string& path, const std::string& problem) {
  status_message(2, path.c_str());
  status_append(2, " is not a mirt module.");
  if (!problem.empty()) status_append(2, (" (" + problem + ")").c_str());
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

// A path (anything with a slash) is opened as given, a bare name is
// searched for. Null after a report; `path` names what was opened.
void* open_named_module(const char* name, std::string& path) {
  if (std::strchr(name, '/') == nullptr) return search_module(name, path);
  path.assign(name, strnlen(name, kGivenPathLength));
  std::string error;
  void* opened = open_object(path.c_str(), error);
  if (opened == nullptr) report_load_failure(path, error);
  return opened;
}

// What a module's MR_ symbols say.
struct ModuleFacts {
  int32_t number = 0;
  const char* display_name = nullptr;
  mr_entry entry = nullptr;
  int32_t type = 0;
  uint32_t version = 0;
  uint32_t requirement = 0;
  const char* fetch_location = nullptr;
  const char* version_location = nullptr;
  int32_t threadsafe = 0;
  int32_t context = 0;
  mr_memory_function memory = nullptr;
};

// Reads every MR_ symbol; false after refusing the module.
bool read_module_facts(void* handle, const std::string& path, ModuleFacts& facts) {
  SymbolReader symbols(handle);
  // Each is read even when an earlier one is missing: a misfit is the
  // better reason to give.
  const bool has_number = symbols.number("MR_NUM", facts.number);
  const bool has_name = symbols.text("MR_NAME", facts.display_name);
  const bool has_entry = symbols.entry("MR_ALGO", facts.entry);
  if (!has_number || !has_name || !has_entry) {
    refuse_module(path, symbols.problem());
    return false;
  }
  symbols.number("MR_TYPE", facts.type);
  symbols.number("MR_VER", facts.version);
  symbols.number("MR_REQUIRE", facts.requirement);
  symbols.text("MR_URL_GET", facts.fetch_location);
  symbols.text("MR_URL_VER", facts.version_location);
  symbols.number("MR_THREADSAFE", facts.threadsafe);
  symbols.number("MR_CONTEXT", facts.context);
  symbols.function("MR_MEMORY", facts.memory);
  (void)dlsym(handle, "MR_SIGN");  // reserved for signed modules
  if (!symbols.problem().empty()) {
    refuse_module(path, symbols.problem());
    return false;
  }
  return true;
}

// Records `handle` and puts the entry into its table: 0, or -1.
int install_module(void* handle, const ModuleFacts& facts) {
  const int record = record_handle(handle);
  if (facts.type == MR_TYPE_CIPHER) {
    if (static_cast<uint32_t>(facts.number) >= static_cast<uint32_t>(kCipherSlots)) {
      std::printf("Encryption algorithm number too high, ignoring %i\n", facts.number);
      // Ahead of anything the codec later writes to the same descriptor.
      std::fflush(stdout);
      return -1;
    }
    auto cipher = reinterpret_cast<CipherEntry>(facts.entry);
    return cipher_install(facts.number, cipher, facts.display_name) ? 0 : -1;
  }
  if (facts.type == MR_TYPE_ALGORITHM) {
    if (static_cast<uint32_t>(facts.number) >= static_cast<uint32_t>(kEndOfBlocks)) return -1;
    auto algorithm = reinterpret_cast<AlgorithmEntry>(facts.entry);
    const AlgorithmTraits traits{facts.threadsafe != 0, facts.context, facts.memory};
    if (algorithm_install(facts.number, algorithm, facts.display_name, traits)) return 0;
    // Taken back so the handle is not closed twice at the end.
    forget_record(record);
    dlclose(handle);
    return -1;
  }
  return -1;
}

}  // namespace

int module_registry_init() {
  if (g_registry.initialised) return -1;
  g_registry.initialised = true;
  for (void*& handle : g_registry.handles) handle = nullptr;
  return 0;
}

int load_module(const char* name, const Options& options) {
  if (name == nullptr) return -1;
  std::string path;
  ModuleHandle module(open_named_module(name, path));
  if (module.get() == nullptr) return -1;

  ModuleFacts facts;
  if (!read_module_facts(module.get(), path, facts)) return -1;

  // A module given by absolute path was placed there on purpose and is
  // not replaced; the fetched copy takes effect at the next run.
  if (facts.version != 0 && facts.fetch_location != nullptr &&
      facts.version_location != nullptr && name[0] != '/')
    check_update(name, facts.fetch_location, facts.version_location, facts.version, nullptr,
                 options);

  if (facts.requirement != 0 && !requirement_met(path.c_str(), facts.requirement)) return -1;
  return install_module(module.release(), facts);
}

int load_all_modules(const Options& options) {
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
