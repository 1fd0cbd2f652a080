// The entry point: start-up, configuration, options, then one run of the
// codec per input.
#include "cli/driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "build_config.h"
#include "cli/config.h"
#include "cli/install_paths.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "codec/codec.h"
#include "codec/format.h"
#include "common/diag.h"
#include "common/types.h"
#include "common/unique_fd.h"
#include "location/net.h"
#include "location/stream.h"
#include "location/template.h"
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
constexpr const char* kUserConfigTail = "/.mirt/mirt.conf";
constexpr size_t kConfigPathLimit = 255;

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

// Whether the input and the path are one regular file.
bool same_file(int input, const char* output_path) {
  struct stat in_info;
  struct stat out_info;
  return ::fstat(input, &in_info) == 0 && S_ISREG(in_info.st_mode) &&
         ::stat(output_path, &out_info) == 0 && in_info.st_dev == out_info.st_dev &&
         in_info.st_ino == out_info.st_ino;
}

// The input of one run: standard input stays open for a later "-".
class Input {
 public:
  explicit Input(const char* argument) : stdin_(std::strcmp(argument, "-") == 0) {}

  // False after a report (a directory, or an open that failed).
  bool open(const char* argument) {
    if (stdin_) {
      fd_ = STDIN_FILENO;
      return true;
    }
    if (is_directory(argument)) {
      report("%s is a directory.\n", argument);
      return false;
    }
    fd_ = open_location(argument, O_RDONLY, 0);
    if (fd_ >= 0) {
      owned_.reset(fd_);
      return true;
    }
    report("Can't open %s.\n", argument);
    report_open_failure(fd_);
    return false;
  }
  int fd() const { return fd_; }
  // A named regular file, whose permissions and times its output takes.
  const struct stat* file_status() {
    if (stdin_ || ::fstat(fd_, &status_) != 0 || !S_ISREG(status_.st_mode)) return nullptr;
    return &status_;
  }

 private:
  const bool stdin_;
  int fd_ = -1;
  UniqueFd owned_;  // every descriptor but standard input
  struct stat status_ {};
};

// Writing the output would destroy an input that is the same file: false
// after a report.
bool distinct_from_input(const Input& input, const std::string& name) {
  if (input.fd() == STDIN_FILENO || !same_file(input.fd(), name.c_str())) return true;
  report("%s: input and output are the same file.\n", name.c_str());
  return false;
}

// How one input went: written, not processed (reported; the run goes on
// and ends with status 1), or failed in the codec (the run stops).
enum class Outcome { kDone, kSkipped, kFailed };

// An existing output is replaced only with -f: true after a report.
bool refused_as_existing(const CommandLine& s, const std::string& name) {
  if (s.settings.options.force != 0 || ::access(name.c_str(), F_OK) != 0) return false;
  report("%s exists.\n", name.c_str());
  return true;
}

// False after a report.
bool open_output_file(const std::string& name, OutputFile& output) {
  // A directory cannot be written over; say so as an open would.
  const int result = is_directory(name.c_str()) ? -EISDIR : output.open(name);
  if (result == 0) return true;
  report("Can't open %s for writing.\n", name.c_str());
  report_open_failure(result);
  return false;
}

// The output of -o: one file for every input of the run, containers (or
// plain data) one after another, opened for the first input that gets
// that far and given its name when the run is over.
class NamedOutput {
 public:
  explicit NamedOutput(std::string name) : name_(std::move(name)) {}

  // The descriptor for `input`; -1 after a report. Only an input that is
  // the output itself is refused alone; a refused name refuses them all.
  int open_for(const CommandLine& s, const Input& input) {
    if (refused_) return -1;
    if (file_.fd() < 0 && refused_as_existing(s, name_)) refused_ = true;
    if (refused_ || !distinct_from_input(input, name_)) return -1;
    if (file_.fd() < 0 && !open_output_file(name_, file_)) refused_ = true;
    return file_.fd();
  }
  // An output made from one file takes its permissions and times.
  void written(Input& input) {
    if (++inputs_ == 1 && input.file_status() != nullptr) source_ = *input.file_status();
  }
  bool commit() {
    if (file_.fd() < 0) return true;
    return file_.commit(inputs_ == 1 && source_ ? &*source_ : nullptr);
  }

 private:
  std::string name_;
  OutputFile file_;
  bool refused_ = false;
  int inputs_ = 0;
  std::optional<struct stat> source_;
};

Outcome run_codec(CommandLine& s, Input& input, int output, const char* argument) {
  ChecksumRecord sums;
  const StreamResult result =
      run_stream(input.fd(), output, s.mode, s.settings, argument, sums, s.cipher);
  return result.ok ? Outcome::kDone : Outcome::kFailed;
}

// An input whose output is named after it (or standard output).
Outcome process_own_output(CommandLine& s, Input& input, const char* argument) {
  if (s.settings.options.to_stdout != 0) return run_codec(s, input, STDOUT_FILENO, argument);
  const std::optional<std::string> name = derive_output_name(argument, s.mode, s.suffix);
  if (!name) {
    if (s.mode == kModeStatistics) return run_codec(s, input, -1, argument);
    report("%s: unknown suffix, not decompressed (use -c or -o).\n", argument);
    return Outcome::kSkipped;
  }
  OutputFile file;
  if (refused_as_existing(s, *name) || !distinct_from_input(input, *name) ||
      !open_output_file(*name, file))
    return Outcome::kSkipped;
  const Outcome outcome = run_codec(s, input, file.fd(), argument);
  if (outcome != Outcome::kDone) return outcome;
  return file.commit(input.file_status()) ? Outcome::kDone : Outcome::kFailed;
}

Outcome process_input(CommandLine& s, const char* argument, std::optional<NamedOutput>& named) {
  Input input(argument);
  if (!input.open(argument)) return Outcome::kSkipped;
  // An output name "-" is standard output for the rest of the run.
  if (s.output_name && *s.output_name == "-") s.settings.options.to_stdout = 1;
  if (!s.output_name || s.settings.options.to_stdout != 0)
    return process_own_output(s, input, argument);
  if (!named) named.emplace(*s.output_name);
  const int output = named->open_for(s, input);
  if (output < 0) return Outcome::kSkipped;
  const Outcome outcome = run_codec(s, input, output, argument);
  if (outcome == Outcome::kDone) named->written(input);
  return outcome;
}

// Every input argument in turn: 0, 1 when an input was not processed, -1
// when the codec failed (the run stops there).
int process_inputs(CommandLine& s, int first, int argc, char** argv) {
  std::optional<NamedOutput> named;
  bool skipped = false;
  for (int index = first; index < argc; ++index) {
    const Outcome outcome = process_input(s, argv[index], named);
    if (outcome == Outcome::kFailed) return -1;  // `named` goes without a name
    skipped = skipped || outcome == Outcome::kSkipped;
  }
  if (named && !named->commit()) return -1;
  return skipped ? 1 : 0;
}

// No input arguments: standard input to standard output.
int process_standard_streams(CommandLine& s) {
  if (::isatty(STDOUT_FILENO) && s.settings.options.force == 0) {
    report("Refusing to write compressed output to a terminal.\n");
    return finish_run(1);
  }
  ChecksumRecord sums;
  const StreamResult result =
      run_stream(STDIN_FILENO, STDOUT_FILENO, s.mode, s.settings, nullptr, sums, s.cipher);
  return finish_run(result.ok ? 0 : -1);
}

}  // namespace

int run_driver(int argc, char** argv) {
  status_init();
  network_init();

  CommandLine s;
  if (argc > 1 && std::strcmp(argv[1], "-N") == 0) {
    s.settings.options.upgrade = 1;
    return check_update("mirt", kProgramFetch, kProgramVersionFile, kPackedVersion, kUserBinary,
                        s.settings.options) == 0
               ? 0
               : -1;
  }
  if (argc > 1 && std::strcmp(argv[1], "-a") == 0) s.settings.options.upgrade = 1;

  read_config_file(system_config_path().c_str(), s.settings);
  read_config_file(user_config_path().c_str(), s.settings);
  if (s.settings.options.run_user_binary != 0) run_user_copy(argv);

  if (std::optional<int> status = parse_options(argc, argv, s)) return *status;

  const uint32_t remote = fetch_version("mirt", kProgramVersionFile, s.settings.options);
  if (remote > kPackedVersion) print_notice(remote);
  if (s.mode == kModeListOnly) return 0;

  if (optind >= argc) return process_standard_streams(s);
  return finish_run(process_inputs(s, optind, argc, argv));
}

}  // namespace mirt
