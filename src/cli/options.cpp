#include "cli/options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "build_config.h"
#include "cli/config.h"
#include "cli/install_paths.h"
#include "codec/format.h"
#include "codec/tables.h"
#include "common/ascii.h"
#include "common/diag.h"
#include "location/template.h"
#include "status/status.h"

namespace mirt {

namespace {

constexpr const char* kSourceArchive = "http://" MIRT_DOWNLOAD_HOST "/devel/mirt.tar.gz";
constexpr uint32_t kLargestBlockOption = 2147483646u;

// glibc permutes arguments unless the string starts with "+"; inputs such
// as "x -d" must stay inputs.
constexpr const char* kOptionString = "+adfsvcnhixNVHCM:E:p:I:m:e:lb:u:U:TPOD:o:S";

const char* const kSuffixes[] = {".mrt", ".exe", ".bin", ".bz2", ".tbz2", ".tgz", ".gz"};

void print_usage(const char* program) {
  std::printf("MIRT %i.%i.%i-%s %s\n", kVersionMajor, kVersionMinor, kVersionPatch, kReleaseTag,
              MIRT_MAKER);
  std::printf("usage: %s [options...] [file ...]\n", program != nullptr ? program : "mirt");
  std::printf("Options:\n");
  std::printf("  -d          Decompress instead of compressing.\n");
  std::printf("  -s          Give statistics rather than compress or decompress.\n");
  std::printf("  -f          Force unsafe things to happen.\n");
  std::printf("  -c          (De)compress to stdout.\n");
  std::printf("  -v          Increase verbosity.\n");
  std::printf("  -l          List available algorithms.\n");
  std::printf("  -n          Toggle use of CRCs.\n");
  std::printf("  -i          Use stdin to read information from instead of /dev/tty.\n");
  std::printf("  -C          Complain when compression errors occur.\n");
  std::printf("  -H          Write only header (no data).\n");
  std::printf("  -O          Toggle writing original file name.\n");
  std::printf("  -S          Use speed-size as a metric rather than size.\n");
  std::printf("  -h          Give this help.\n");
  std::printf("  -V          Display MIRT version (%i.%i.%i-%s).\n", kVersionMajor, kVersionMinor,
              kVersionPatch, kReleaseTag);
  std::printf("  -N          Upgrade MIRT.\n");
  std::printf("  -a          Upgrade MIRT modules.\n");
  std::printf("  -x          Create self-extracting MIRT file.\n");
  std::printf("  -b NN       Use a block size of NN bytes for compression.\n");
  std::printf("  -e NN       Exclude algorithm NN from being used.\n");
  std::printf("  -m CONF     Load config file CONF.\n");
  std::printf("  -o FILE     Send output to FILE.\n");
  std::printf("  -u URL      Specify download location as URL.\n");
  std::printf("  -p URL      Parse URL and print results, then exit.\n");
  std::printf("  -M COMMAND  Execute COMMAND as if it had appeared in a config file.\n");
  std::printf("  -D DESC     Specify a description of DESC.\n");
  std::printf("  -I NN       Use ONLY 2 algorithms, NN and 0.\n");
  std::printf("  -U FILE     Use FILE to select download location.\n");
  std::printf("  -E CIPHER   Use CIPHER to encrypt data (LIST  lists available ciphers.)\n");
  std::printf("  file...     File(s) to (de)compress.  (If none given, use standard input).\n");
}

void print_version() {
  std::printf("MIRT %i.%i.%i-%s  built on %s at %s %s\n", kVersionMajor, kVersionMinor,
              kVersionPatch, kReleaseTag, __DATE__, __TIME__, MIRT_MAKER);
}

// The usage and version texts are all that -h and -V are for: a text that
// did not arrive (a full disk, a closed pipe) makes the run fail.
int finish_text_output() {
  errno = 0;
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  report_system_error("write", errno != 0 ? errno : EIO);
  return -1;
}

// Slots that try_algorithms leaves out are still listed: they decode.
void list_algorithms(const AlgorithmChoice& choice) {
  std::fputs("mirt: Num | Name\n", stderr);
  for (int slot = 0; slot < kEndOfBlocks; ++slot) {
    if (!algorithm_available(slot)) continue;
    const char* name = algorithm_name(slot);
    std::fprintf(stderr, "mirt: %3i | %s%s\n", slot, name != nullptr ? name : "",
                 choice.tries(slot) ? "" : " (decompression only)");
  }
}

bool cipher_selectable(int slot) { return cipher_name(slot) != nullptr && cipher_available(slot); }

// atoi-like slot number, wrapped into the table: -1 is slot 255.
int algorithm_slot(const char* text) {
  return static_cast<int>(static_cast<unsigned long>(std::strtol(text, nullptr, 10)) & 0xFFu);
}

// -E: a cipher by the first four letters of its name, or the list.
std::optional<int> choose_cipher(char* argument, CommandLine& s) {
  lowercase_string(argument);
  const uint32_t key = name_key(argument, ' ');
  if (key == name_key("list", ' ')) {
    std::fputs("mirt: Num | Name\n", stderr);
    for (int slot = 0; slot < kCipherSlots; ++slot)
      if (cipher_selectable(slot)) std::fprintf(stderr, "mirt: %3i | %s\n", slot, cipher_name(slot));
    return 0;
  }
  for (int slot = 0; slot < kCipherSlots; ++slot) {
    if (cipher_selectable(slot) && name_key(cipher_name(slot), ' ') == key) {
      s.cipher = slot;
      return std::nullopt;
    }
  }
  report("No such cipher.\n");
  return -1;
}

// Options that only count or toggle a field. False when `option` is not one.
bool set_switch(int option, CommandLine& s) {
  Options& o = s.settings.options;
  switch (option) {
    case 'a': o.upgrade = 1; break;
    case 'c': o.to_stdout ^= 1; break;
    case 'C': ++o.complain; break;
    case 'd': s.mode = kModeDecompress; break;
    case 'f': ++o.force; break;
    case 'H': o.header_only ^= 1; break;
    case 'i': status_param_set(kStatusPromptStdin, 1); break;
    case 'n': o.no_crc ^= 1; break;
    case 'O': o.no_name ^= 1; break;
    case 'P': o.flag_p ^= 1; break;
    case 's': s.mode = kModeStatistics; break;
    case 'S': o.speed_metric ^= 1; break;
    case 'T': o.flag_t ^= 1; break;
    case 'v':
      ++o.verbosity;
      status_param_set(kStatusLevel, status_param_get(kStatusLevel) + 1);
      break;
    case 'x':
      o.self_extract ^= 1;
      s.suffix = ".bin";
      break;
    default:
      return false;
  }
  return true;
}

// Options with an argument, and those that end the run.
std::optional<int> apply_option(int option, char** argv, CommandLine& s) {
  switch (option) {
    case 'b': {
      const uint32_t value = parse_decimal(optarg);
      if (value <= kLargestBlockOption) s.settings.algorithms.block_size.fixed = value;
      return std::nullopt;
    }
    case 'D':
    case 'u':
    case 'U': {
      const uint8_t type = option == 'D'   ? kRecordDescription
                           : option == 'u' ? kRecordLocation
                                           : kRecordLocationFile;
      // A record that cannot be stored would silently go missing from
      // the container.
      if (!record_fits(static_cast<uint32_t>(std::min<size_t>(std::strlen(optarg), UINT32_MAX))))
        return -1;
      s.settings.records.push_back({type, optarg});
      return std::nullopt;
    }
    case 'e': algorithm_disable(algorithm_slot(optarg)); return std::nullopt;
    case 'E': return choose_cipher(optarg, s);
    case 'h':
      print_usage(argv[0]);
      return finish_text_output();
    case 'I':
      // The one slot asked for is tried whatever the configuration listed.
      algorithm_restrict(static_cast<uint32_t>(std::atoi(optarg)));
      s.settings.algorithms.tried.reset();
      return std::nullopt;
    case 'l':
      list_algorithms(s.settings.algorithms);
      s.mode = kModeListOnly;
      return std::nullopt;
    case 'm': read_option_config(optarg, s); return std::nullopt;
    case 'M': apply_config_line(optarg, s.settings); return std::nullopt;
    case 'N':
      report("The `-N' option must be the first and only argument passed to mirt.\n");
      return 1;
    case 'o': s.output_name = expand_template(optarg, ""); return std::nullopt;
    case 'p':
      report("%s\n", expand_template(optarg, "@@file@@").c_str());
      s.mode = kModeListOnly;
      return std::nullopt;
    case 'V':
      print_version();
      return finish_text_output();
    default:  // getopt has printed its own diagnostic
      print_usage(argv[0]);
      return 1;
  }
}


}  // namespace

void print_notice(uint32_t remote) {
  std::fputs("mirt: **+\n", stderr);
  std::fputs("mirt: **> There is a new version of MIRT available.\n", stderr);
  std::fputs("mirt: **>\n", stderr);
  std::fprintf(stderr, "mirt: **> [CURR: MIRT %i.%i.%i]\n", kVersionMajor, kVersionMinor,
               kVersionPatch);
  std::fprintf(stderr, "mirt: **> [NEW:  MIRT %i.%i.%i]\n", static_cast<int>(remote / 65536),
               static_cast<int>((remote / 256) % 256), static_cast<int>(remote % 256));
  std::fputs("mirt: **>\n", stderr);
  std::fputs("mirt: **> Run `mirt -N' to get it.\n", stderr);
  std::fprintf(stderr, "mirt: **> or get the source at: %s\n", kSourceArchive);
  std::fputs("mirt: **>\n", stderr);
  std::fputs("mirt: **-\n", stderr);
}

void read_option_config(const char* name, CommandLine& s) {
  if (read_config_file(name, s.settings)) return;
  // Not a readable file: perhaps the name of an installed preset.
  if (std::strchr(name, '/') == nullptr) {
    const std::string presets = preset_dir();
    for (const std::string& path : {presets + "/" + name + ".conf", presets + "/" + name})
      if (read_config_file(path.c_str(), s.settings)) return;
  }
  report("Cannot read configuration %s.\n", name);
}

std::optional<int> parse_options(int argc, char** argv, CommandLine& s) {
#ifdef __GLIBC__
  optind = 0;  // full re-initialisation, including the "+" in the string
#else
  optind = 1;
#endif
  opterr = 1;
  int option;
  while ((option = ::getopt(argc, argv, kOptionString)) != -1) {
    if (set_switch(option, s)) continue;
    if (std::optional<int> status = apply_option(option, argv, s)) return status;
  }
  return std::nullopt;
}

std::optional<std::string> derive_output_name(const char* input_name, int mode,
                                              const char* suffix) {
  if (input_name == nullptr) return std::nullopt;
  if (mode == kModeCompress) return std::string(input_name) + (suffix != nullptr ? suffix : "");
  if (mode != kModeDecompress) return std::nullopt;
  std::string name(input_name);
  for (const char* known : kSuffixes) {
    size_t length = std::strlen(known);
    if (name.size() >= length && name.compare(name.size() - length, length, known) == 0) {
      return name.substr(0, name.rfind('.'));
    }
  }
  return std::nullopt;
}

uint32_t parse_decimal(const char* text) {
  if (text == nullptr) return 0;
  uint32_t value = 0;
  for (const char* p = text; *p != '\0' && *p != '.'; ++p) {
    value = value * 10u + (static_cast<uint32_t>(static_cast<unsigned char>(*p)) - 48u);
  }
  return value;
}

uint32_t name_key(const char* text, char stop) {
  if (text == nullptr) return 0;
  uint32_t key = 0;
  for (int i = 0; i < 4 && text[i] != '\0' && text[i] != stop; ++i) {
    key |= static_cast<uint32_t>(static_cast<unsigned char>(text[i])) << (8 * i);
  }
  return key;
}

}  // namespace mirt
