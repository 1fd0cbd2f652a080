// The file an input is written to. It is written under a temporary name
// in the same directory and takes its final name only when complete, with
// its permissions and times already set: a crash or a killed run never
// leaves a partial file under a name that looks finished.
#pragma once

#include <sys/stat.h>

#include <string>

namespace mirt {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Opens for writing; 0 or a negated error number. A URL is opened as
  // it is (it cannot be renamed); a path gets a temporary sibling.
  int open(const std::string& name);
  int fd() const { return fd_; }

  // Closes and gives the file its final name. `source` is the input file
  // whose permission bits (never wider) and times the output takes; null
  // keeps what a new file gets (0644 less the umask). False after a report.
  bool commit(const struct stat* source);
  // Closes and removes what was written.
  void discard();

 private:
  std::string name_;
  std::string temporary_;  // empty for a URL
  int fd_ = -1;
};

}  // namespace mirt
