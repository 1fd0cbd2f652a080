// Configuration files: one directive per line, keyword and value.
#include "cli/config.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "cli/driver.h"
#include "codec/format.h"
#include "codec/memory.h"
#include "codec/tables.h"
#include "common/diag.h"
#include "common/keyword.h"
#include "location/net.h"
#include "modules/loader.h"
#include "status/meter.h"
#include "status/status.h"

namespace mirt {

namespace {

enum class Directive {
  kColour,
  kModule,
  kCheckVersion,
  kPromptStdin,
  kUserBinary,
  kAutoUpgrade,
  kBlockSize,
  kTryUrls,
  kNetwork,
  kExcludeAlgorithm,
  kAllModules,
  kModuleDir,
  kThreads,
  kPipeBlockSize,
  kBlockSizeLimit,
  kEvenBlocks,
  kNetTimeout,
  kTryAlgorithms,
  kMemoryLimit,
  kProgress,
};

struct DirectiveKeyword {
  const char* name;
  Directive directive;
};

constexpr DirectiveKeyword kDirectives[] = {
    {"colour", Directive::kColour},
    {"module", Directive::kModule},
    {"use_module", Directive::kModule},
    {"check_version", Directive::kCheckVersion},
    {"prompt_stdin", Directive::kPromptStdin},
    {"stdin_prompt", Directive::kPromptStdin},
    {"user_binary", Directive::kUserBinary},
    {"auto_upgrade", Directive::kAutoUpgrade},
    {"blocksize", Directive::kBlockSize},
    {"try_urls", Directive::kTryUrls},
    {"network", Directive::kNetwork},
    {"exclude_algorithm", Directive::kExcludeAlgorithm},
    {"all_modules", Directive::kAllModules},
    {"module_dir", Directive::kModuleDir},
    {"threads", Directive::kThreads},
    {"pipe_blocksize", Directive::kPipeBlockSize},
    {"blocksize_limit", Directive::kBlockSizeLimit},
    {"blocksize_even", Directive::kEvenBlocks},
    {"net_timeout", Directive::kNetTimeout},
    {"try_algorithms", Directive::kTryAlgorithms},
    {"memory_limit", Directive::kMemoryLimit},
    {"progress", Directive::kProgress},
};

constexpr int kMaxFields = 4;
constexpr int kConfigBufferSize = 512;
constexpr int kConfigPieceLength = 510;

// Switches are off only for the exact text "off".
uint8_t switch_value(const char* value) { return std::strcmp(value, "off") == 0 ? 0 : 1; }

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Cuts `line` in place into at most kMaxFields words separated by blanks;
// returns how many.
int split_fields(std::string& line, char* (&fields)[kMaxFields]) {
  int count = 0;
  char* cursor = line.data();
  while (count < kMaxFields && *cursor != '\0') {
    while (*cursor == ' ' || *cursor == '\t') ++cursor;
    if (*cursor == '\0') break;
    fields[count++] = cursor;
    while (*cursor != '\0' && *cursor != ' ' && *cursor != '\t') ++cursor;
    if (*cursor != '\0') *cursor++ = '\0';
  }
  return count;
}

// A slot number of the list: digits only, 0 to 254; -1 otherwise.
int list_slot(const std::string& text) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  const int slot = std::stoi(text);
  return slot < kEndOfBlocks ? slot : -1;
}

// "17,18,20-22": slot numbers and ranges separated by commas, or "all",
// which lifts the limit. False for anything else.
bool parse_slot_list(const std::string& text, std::optional<SlotSet>& tried) {
  if (text == "all") {
    tried.reset();
    return true;
  }
  SlotSet slots;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    const size_t dash = item.find('-');
    const int first = list_slot(item.substr(0, dash));
    const int last = dash == std::string::npos ? first : list_slot(item.substr(dash + 1));
    if (first < 0 || last < first) return false;
    for (int slot = first; slot <= last; ++slot) slots.set(static_cast<size_t>(slot));
    start = end + 1;
  }
  tried = slots;
  return true;
}

void limit_tried_algorithms(const char* value, AlgorithmChoice& choice) {
  if (!parse_slot_list(value, choice.tried))
    report("try_algorithms %s: not a list of slots, ignored.\n", value);
}

// Directives that concern the program alone: process-wide state of the
// command line (status line, network), and its own switches.
void apply_program_directive(Directive directive, const char* value, Options& options) {
  switch (directive) {
    case Directive::kColour:
      status_param_set(kStatusColour, switch_value(value));
      break;
    case Directive::kCheckVersion:
      options.version_check = switch_value(value);
      break;
    case Directive::kPromptStdin:
      status_param_set(kStatusPromptStdin, 1);
      break;
    case Directive::kUserBinary:
      options.run_user_binary = switch_value(value);
      break;
    case Directive::kAutoUpgrade:
      if (std::strcmp(value, "on") == 0) options.upgrade = 1;
      break;
    case Directive::kTryUrls:
      options.use_urls = switch_value(value);
      break;
    case Directive::kNetwork:
      set_network_disabled(std::strcmp(value, "off") == 0);
      break;
    case Directive::kNetTimeout:
      // A value that is no number leaves the time-out as it was.
      if (value[0] >= '0' && value[0] <= '9') {
        const unsigned long seconds = std::strtoul(value, nullptr, 10);
        set_network_timeout(static_cast<uint32_t>(std::min(seconds, 0xFFFFFFFFul)));
      }
      break;
    case Directive::kProgress:
      meter_set_detailed(std::strcmp(value, "detailed") == 0);
      break;
    default:
      break;
  }
}

// Directives for the codec's settings; plugins go into the process-wide
// tables, loaded once.
void apply_codec_directive(Directive directive, const char* value, Settings& settings) {
  BlockSizeRules& rules = settings.algorithms.block_size;
  switch (directive) {
    case Directive::kModule:
      module_registry_init();
      load_module(value, settings.options);
      break;
    case Directive::kAllModules:
      if (std::strcmp(value, "on") == 0) {
        module_registry_init();
        load_all_modules(settings.options);
      }
      break;
    case Directive::kModuleDir:
      module_path_append(value);
      break;
    case Directive::kExcludeAlgorithm:
      algorithm_disable(
          static_cast<int>(static_cast<unsigned long>(std::strtol(value, nullptr, 10)) & 0xFFu));
      break;
    case Directive::kBlockSize:
      rules.fixed = parse_decimal(value);
      break;
    case Directive::kPipeBlockSize:
      rules.pipe = std::min(parse_decimal(value), kMaxBlockSize);
      break;
    case Directive::kBlockSizeLimit:
      rules.limit = std::min(parse_decimal(value), kMaxBlockSize - 5);
      break;
    case Directive::kEvenBlocks:
      rules.even = switch_value(value) != 0;
      break;
    case Directive::kTryAlgorithms:
      limit_tried_algorithms(value, settings.algorithms);
      break;
    case Directive::kThreads:
      settings.resources.threads = parse_decimal(value);
      break;
    case Directive::kMemoryLimit: {
      uint64_t bytes = 0;
      if (parse_byte_count(value, bytes)) settings.resources.memory_limit = bytes;
      break;
    }
    default:
      break;
  }
}

// Whether the directive belongs to the program alone.
bool program_directive(Directive directive) {
  switch (directive) {
    case Directive::kColour:
    case Directive::kCheckVersion:
    case Directive::kPromptStdin:
    case Directive::kUserBinary:
    case Directive::kAutoUpgrade:
    case Directive::kTryUrls:
    case Directive::kNetwork:
    case Directive::kNetTimeout:
    case Directive::kProgress:
      return true;
    default:
      return false;
  }
}

}  // namespace

int apply_config_line(const char* text, Settings& settings, ConfigReader reader) {
  if (text == nullptr) return 0;
  std::string line(text);
  if (!line.empty() && line[0] == '#') return 0;

  // Line ends, stray control bytes and anything above 127 carry no meaning
  // at the end of a value.
  while (!line.empty() && static_cast<signed char>(line.back()) < 32) line.pop_back();

  char* fields[kMaxFields] = {};
  if (split_fields(line, fields) < 2) return 0;

  const DirectiveKeyword* found = find_keyword(kDirectives, elf_hash(fields[0]));
  if (found == nullptr) return 1;
  if (!program_directive(found->directive))
    apply_codec_directive(found->directive, fields[1], settings);
  else if (reader == ConfigReader::kProgram)
    apply_program_directive(found->directive, fields[1], settings.options);
  return 1;
}

bool read_config_file(const char* path, Settings& settings, ConfigReader reader) {
  if (path == nullptr) return false;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "r"));
  if (!file) return false;
  char buffer[kConfigBufferSize];
  // Longer lines arrive in pieces, each applied as a line of its own.
  while (std::fgets(buffer, kConfigPieceLength + 1, file.get()) != nullptr) {
    apply_config_line(buffer, settings, reader);
  }
  return true;
}

}  // namespace mirt
