// The entry point: start-up, options and the per-file run loop.
#include "cli/driver.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "build_config.h"
#include "cli/config.h"
#include "codec/codec.h"
#include "codec/format.h"
#include "codec/tables.h"
#include "common/diag.h"
#include "common/types.h"
#include "location/net.h"
#include "location/stream.h"
#include "location/template.h"
#include "location/url.h"
#include "modules/loader.h"
#include "modules/update.h"
#include "status/status.h"

namespace mirt {

namespace {

constexpr const char* kProgramFetch =
    "http://" MIRT_DOWNLOAD_HOST "/projects/compression/mirt/@@OSNM@@-@@ARCH@@/mirt.bin";
constexpr const char* kProgramVersionFile =
    "http://" MIRT_DOWNLOAD_HOST "/projects/compression/mirt/@@OSNM@@-@@ARCH@@/mirt.ver";
constexpr const char* kUserBinary = "@@HOME@@/.mirt/@@OSNM@@-@@ARCH@@/mirt";
constexpr const char* kSourceArchive = "http://" MIRT_DOWNLOAD_HOST "/devel/mirt.tar.gz";
constexpr const char* kUserConfigTail = "/.mirt/mirt.conf";
constexpr size_t kConfigPathLimit = 255;
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

void list_algorithms() {
  std::fputs("mirt: Num | Name\n", stderr);
  for (int slot = 0; slot < kEndOfBlocks; ++slot) {
    if (!algorithm_available(slot)) continue;
    const char* name = algorithm_name(slot);
    std::fprintf(stderr, "mirt: %3i | %s\n", slot, name != nullptr ? name : "");
  }
}

bool cipher_selectable(int slot) { return cipher_name(slot) != nullptr && cipher_available(slot); }

// atoi-like slot number, wrapped into the table: -1 is slot 255.
int algorithm_slot(const char* text) {
  return static_cast<int>(static_cast<unsigned long>(std::strtol(text, nullptr, 10)) & 0xFFu);
}

std::string user_config_path() {
  const char* home = std::getenv("HOME");
  std::string path = home != nullptr ? std::string(home).substr(0, kConfigPathLimit) : "";
  path += kUserConfigTail;
  if (path.size() > kConfigPathLimit) path.resize(kConfigPathLimit);
  return path;
}

void run_user_copy(char** argv) {
  // Outlives this call: when the execution fails, argument 0 keeps naming
  // the copy for the rest of the run (usage, option diagnostics).
  static std::string binary;
  binary = expand_template(kUserBinary, "");
  if (argv[0] != nullptr && binary == argv[0]) return;
  if (::access(binary.c_str(), X_OK) != 0) return;
  argv[0] = binary.data();
  std::fflush(nullptr);  // the replacement would drop buffered output
  ::execv(binary.c_str(), argv);
  // Still here: carry on with this program.
}

int finish_run(int status) {
  unload_modules();
  status_finish();
  return status;
}

bool is_directory(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// Opening the output with truncation would destroy an input that is the
// same file before a byte of it was read.
bool same_file(int input, const char* output_path) {
  struct stat in_info;
  struct stat out_info;
  return ::fstat(input, &in_info) == 0 && S_ISREG(in_info.st_mode) &&
         ::stat(output_path, &out_info) == 0 && in_info.st_dev == out_info.st_dev &&
         in_info.st_ino == out_info.st_ino;
}

// The output being written, removed if a signal ends the run so that no
// half-written file is left under a finished-looking name.
char g_partial_output[4096];
volatile sig_atomic_t g_partial_output_set = 0;

void remove_partial_output(int signal_number) {
  if (g_partial_output_set) ::unlink(g_partial_output);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

void watch_partial_output(const std::string& path) {
  g_partial_output_set = 0;
  if (path.size() >= sizeof g_partial_output) return;
  std::memcpy(g_partial_output, path.c_str(), path.size() + 1);
  g_partial_output_set = 1;
  static bool handlers_installed = false;
  if (!handlers_installed) {
    for (int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGXFSZ}) {
      if (std::signal(signal_number, remove_partial_output) == SIG_IGN)
        std::signal(signal_number, SIG_IGN);  // keep what the parent chose to ignore
    }
    handlers_installed = true;
  }
}

void unwatch_partial_output() { g_partial_output_set = 0; }

}  // namespace

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

int run_driver(int argc, char** argv) {
  status_init();
  network_init();

  Options options;
  if (argc > 1 && std::strcmp(argv[1], "-N") == 0) {
    options.upgrade = 1;
    return check_update("mirt", kProgramFetch, kProgramVersionFile, kPackedVersion, kUserBinary,
                        options) == 0
               ? 0
               : -1;
  }
  if (argc > 1 && std::strcmp(argv[1], "-a") == 0) options.upgrade = 1;

  uint32_t block_size = 0;
  read_config_file(MIRT_SYSTEM_CONFIG, options, &block_size);
  read_config_file(user_config_path().c_str(), options, &block_size);

  if (options.run_user_binary != 0) run_user_copy(argv);

  int mode = kModeCompress;
  int cipher = -1;
  const char* suffix = ".mrt";
  std::optional<std::string> output_name;

#ifdef __GLIBC__
  optind = 0;  // full re-initialisation, including the "+" in the string
#else
  optind = 1;
#endif
  opterr = 1;
  int option;
  while ((option = ::getopt(argc, argv, kOptionString)) != -1) {
    switch (option) {
      case 'a':
        options.upgrade = 1;
        break;
      case 'b': {
        uint32_t value = parse_decimal(optarg);
        if (value <= kLargestBlockOption) block_size = value;
        break;
      }
      case 'c':
        options.to_stdout ^= 1;
        break;
      case 'C':
        ++options.complain;
        break;
      case 'd':
        mode = kModeDecompress;
        break;
      case 'D':
      case 'u':
      case 'U': {
        uint8_t type = option == 'D'   ? kRecordDescription
                       : option == 'u' ? kRecordLocation
                                       : kRecordLocationFile;
        // A record that cannot be stored would silently go missing from
        // the container.
        if (ext_add_bytes(type, optarg, static_cast<uint32_t>(std::strlen(optarg))) == 0) {
          return -1;
        }
        break;
      }
      case 'e':
        algorithm_disable(algorithm_slot(optarg));
        break;
      case 'E': {
        lowercase_string(optarg);
        uint32_t key = name_key(optarg, ' ');
        if (key == name_key("list", ' ')) {
          std::fputs("mirt: Num | Name\n", stderr);
          for (int slot = 0; slot < kCipherSlots; ++slot) {
            if (cipher_selectable(slot)) {
              std::fprintf(stderr, "mirt: %3i | %s\n", slot, cipher_name(slot));
            }
          }
          return 0;
        }
        int chosen = -1;
        for (int slot = 0; slot < kCipherSlots; ++slot) {
          if (cipher_selectable(slot) && name_key(cipher_name(slot), ' ') == key) {
            chosen = slot;
            break;
          }
        }
        if (chosen < 0) {
          report("No such cipher.\n");
          return -1;
        }
        cipher = chosen;
        break;
      }
      case 'f':
        ++options.force;
        break;
      case 'h':
        print_usage(argv[0]);
        return finish_text_output();
      case 'H':
        options.header_only ^= 1;
        break;
      case 'i':
        status_param_set(kStatusPromptStdin, 1);
        break;
      case 'I':
        algorithm_restrict(static_cast<uint32_t>(std::atoi(optarg)));
        break;
      case 'l':
        list_algorithms();
        mode = kModeListOnly;
        break;
      case 'm':
        read_config_file(optarg, options, &block_size);
        break;
      case 'M':
        apply_config_line(optarg, options, &block_size);
        break;
      case 'n':
        options.no_crc ^= 1;
        break;
      case 'N':
        report("The `-N' option must be the first and only argument passed to mirt.\n");
        return 0;
      case 'o':
        output_name = expand_template(optarg, "");
        break;
      case 'O':
        options.no_name ^= 1;
        break;
      case 'p':
        report("%s\n", expand_template(optarg, "@@file@@").c_str());
        mode = kModeListOnly;
        break;
      case 'P':
        options.flag_p ^= 1;
        break;
      case 's':
        mode = kModeStatistics;
        break;
      case 'S':
        options.speed_metric ^= 1;
        break;
      case 'T':
        options.flag_t ^= 1;
        break;
      case 'v':
        ++options.verbosity;
        status_param_set(kStatusLevel, status_param_get(kStatusLevel) + 1);
        break;
      case 'V':
        print_version();
        return finish_text_output();
      case 'x':
        options.self_extract ^= 1;
        suffix = ".bin";
        break;
      default:  // getopt has printed its own diagnostic
        print_usage(argv[0]);
        return 0;
    }
  }

  uint32_t remote = fetch_version("mirt", kProgramVersionFile, options);
  if (remote > kPackedVersion) print_notice(remote);

  if (mode == kModeListOnly) return 0;

  ChecksumRecord sums;
  if (optind >= argc) {
    if (::isatty(STDOUT_FILENO) && options.force == 0) {
      report("Refusing to write compressed output to a terminal.\n");
      return finish_run(0);
    }
    sums = ChecksumRecord{};
    if (process_stream(STDIN_FILENO, STDOUT_FILENO, mode, options, nullptr, sums, block_size,
                       cipher) == 0) {
      return finish_run(-1);
    }
    return finish_run(0);
  }

  for (int index = optind; index < argc; ++index) {
    const char* argument = argv[index];
    std::optional<std::string> out_name =
        output_name ? output_name : derive_output_name(argument, mode, suffix);

    const bool from_stdin = std::strcmp(argument, "-") == 0;
    int input = STDIN_FILENO;
    if (!from_stdin) {
      if (is_directory(argument)) {
        report("%s is a directory.\n", argument);
        continue;
      }
      input = open_location(argument, O_RDONLY, 0);
      if (input < 0) {
        report("Can't open %s.\n", argument);
        report_open_failure(input);
        continue;
      }
    }
    // Standard input stays open: a later "-" or a later open must not
    // land on descriptor 0.
    auto close_input = [&] {
      if (!from_stdin) ::close(input);
    };

    int output = -1;
    bool output_opened = false;
    if (out_name) {
      if (*out_name == "-") options.to_stdout = 1;
      if (::access(out_name->c_str(), F_OK) == 0 && options.force == 0 &&
          options.to_stdout == 0) {
        report("%s exists.\n", out_name->c_str());
        close_input();
        continue;
      }
      if (options.to_stdout == 0 && !from_stdin && same_file(input, out_name->c_str())) {
        report("%s: input and output are the same file.\n", out_name->c_str());
        close_input();
        continue;
      }
      if (options.to_stdout == 0) {
        output = open_location(out_name->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (output < 0) {
          report("Can't open %s for writing.\n", out_name->c_str());
          report_open_failure(output);
          close_input();
          continue;
        }
        output_opened = true;
        if (out_name->find("://") == std::string::npos) watch_partial_output(*out_name);
      }
    }
    if (options.to_stdout != 0) output = STDOUT_FILENO;
    if (output < 0 && mode != kModeStatistics) {
      close_input();
      continue;
    }

    sums = ChecksumRecord{};
    uint64_t result =
        process_stream(input, output, mode, options, argument, sums, block_size, cipher);
    close_input();
    if (output_opened) ::close(output);
    if (result == 0) {
      // Leave no half-written result under a finished-looking name.
      if (output_opened && out_name->find("://") == std::string::npos)
        ::unlink(out_name->c_str());
      unwatch_partial_output();
      return finish_run(-1);
    }
    unwatch_partial_output();
  }
  return finish_run(0);
}

}  // namespace mirt
