// Ordinary use that must never lose or change data: several containers in
// one stream, pipe to pipe, empty files in a batch, permissions and times,
// outputs that appear only when complete, and block sizes that fit.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_fixture.h"
#include "support/files.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

using test::file_exists;
using test::make_data;
using test::read_file;
using test::RunOptions;
using test::RunResult;
using test::write_file;

using RealUseTest = test::CliTest;

// -c with several inputs, to a file, to a pipe and appended to a file that
// already holds a container: every container is whole wherever it starts,
// and -d reads them all, one after another.
TEST_F(RealUseTest, SeveralContainersInOneStream) {
  const std::string a = make_data(30000, 1, 1), b = make_data(20001, 0, 2), c = make_data(5, 2);
  ASSERT_TRUE(write_file(file("a"), a) && write_file(file("b"), b) && write_file(file("c"), c));
  const std::string all = a + b + c;

  RunResult to_pipe = run({"-c", "-b", "7000", "a", "b", "c"});
  ASSERT_EQ(to_pipe.exit_code, 0) << to_pipe.err;
  ASSERT_TRUE(write_file(file("piped.mrt"), to_pipe.out));
  // Standard output as a regular file: the headers are patched in place.
  ASSERT_EQ(std::system(("cd '" + dir.path() + "' && " + MIRT_BINARY +
                         " -c -b 7000 a b > both.mrt && " + MIRT_BINARY + " -c c >> both.mrt")
                            .c_str()),
            0);
  for (const char* name : {"piped.mrt", "both.mrt"}) {
    SCOPED_TRACE(name);
    RunResult back = run({"-d", "-c", name});
    EXPECT_EQ(back.exit_code, 0) << back.err;
    EXPECT_TRUE(back.out == all);
    RunOptions from_pipe;
    from_pipe.stdin_file = file(name);
    back = run({"-d"}, from_pipe);
    EXPECT_EQ(back.exit_code, 0) << back.err;
    EXPECT_TRUE(back.out == all);
    // The report covers each container.
    RunResult report = run({"-s", name});
    EXPECT_EQ(report.exit_code, 0) << report.err;
    size_t files = 0;
    for (size_t at = 0; (at = report.out.find("File ", at)) != std::string::npos; ++at) ++files;
    EXPECT_EQ(files, 3u) << report.out;
  }
}

// After the last container: zero padding is fine, anything else is an
// error that says so, and the data before it is not claimed as a success.
TEST_F(RealUseTest, TrailingBytesAfterTheLastContainer) {
  ASSERT_TRUE(write_file(file("a"), make_data(4000, 1)));
  const std::string packed = run({"-c", "a"}).out;
  struct Case {
    std::string tail;
    int status;
    std::string err;
  } cases[] = {
      {std::string(10000, '\0'), 0, ""},
      {"x", 255, "mirt: t.mrt: trailing garbage after the compressed data.\n"},
      {std::string(3, '\0') + "junk", 255,
       "mirt: t.mrt: trailing garbage after the compressed data.\n"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(write_file(file("t.mrt"), packed + c.tail));
    for (const char* mode : {"-d", "-s"}) {
      RunResult r = run({mode, "-c", "t.mrt"});
      EXPECT_EQ(r.exit_code, c.status) << mode << " " << r.err;
      EXPECT_EQ(r.err, c.err) << mode;
    }
  }
}

// Pipe to pipe: the last block is cut at the size the trailer gives, for
// every size from one byte to several blocks, and the padding never leaks.
TEST_F(RealUseTest, PipeToPipeRoundTripsExactly) {
  for (size_t size : {size_t{1}, size_t{8191}, size_t{8192}, size_t{8193}, size_t{5894},
                      size_t{40000}, size_t{65536 * 3 + 17}}) {
    SCOPED_TRACE(size);
    const std::string data = make_data(size, static_cast<int>(size % 3));
    RunResult packed = run_stdin({}, data);
    ASSERT_EQ(packed.exit_code, 0) << packed.err;
    RunResult back = run_stdin({"-d"}, packed.out);
    EXPECT_EQ(back.exit_code, 0) << back.err;
    EXPECT_TRUE(back.out == data) << back.out.size();
  }
}

// An empty file is compressed like any other; the batch goes on.
TEST_F(RealUseTest, EmptyFilesInABatch) {
  ASSERT_TRUE(write_file(file("1.log"), "one") && write_file(file("2.log"), "") &&
              write_file(file("3.log"), "three"));
  RunResult r = run({"1.log", "2.log", "3.log"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (const char* name : {"1.log", "2.log", "3.log"}) {
    SCOPED_TRACE(name);
    const std::string original = read_file(file(name));
    ASSERT_TRUE(file_exists(file(std::string(name) + ".mrt")));
    std::filesystem::remove(file(name));
    EXPECT_EQ(run({"-d", std::string(name) + ".mrt"}).exit_code, 0);
    EXPECT_TRUE(file_exists(file(name)));
    EXPECT_EQ(read_file(file(name)), original);
  }
  RunResult empty_pipe = run_stdin({}, "");
  EXPECT_EQ(empty_pipe.exit_code, 0);
  RunResult back = run_stdin({"-d"}, empty_pipe.out);
  EXPECT_EQ(back.exit_code, 0) << back.err;
  EXPECT_EQ(back.out, "");
}

// Outputs for a named file take its permission bits (no set-ID or sticky
// bits) and modification time, both ways; outputs from standard input
// are as any new file.
TEST_F(RealUseTest, PermissionsAndTimesFollowTheInput) {
  struct Case {
    mode_t mode;
    mode_t expected;
  } cases[] = {{0600, 0600}, {0640, 0640}, {0444, 0444}, {04755, 0755}, {01777, 0777}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_TRUE(write_file(file("p"), "private"));
    ASSERT_EQ(chmod(file("p").c_str(), c.mode), 0);
    const timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file("p").c_str(), times, 0), 0);
    ASSERT_EQ(run({"-f", "p"}).exit_code, 0);
    struct stat packed {};
    ASSERT_EQ(stat(file("p.mrt").c_str(), &packed), 0);
    EXPECT_EQ(packed.st_mode & 07777, c.expected);
    EXPECT_EQ(packed.st_mtim.tv_sec, 1200000000);
    std::filesystem::remove(file("p"));
    ASSERT_EQ(run({"-d", "p.mrt"}).exit_code, 0);
    struct stat back {};
    ASSERT_EQ(stat(file("p").c_str(), &back), 0);
    EXPECT_EQ(back.st_mode & 07777, c.expected);
    EXPECT_EQ(back.st_mtim.tv_sec, 1200000000);
    chmod(file("p").c_str(), 0600);
    std::filesystem::remove(file("p"));
    std::filesystem::remove(file("p.mrt"));
  }
  RunResult piped = run_stdin({"-o", "s.mrt", "-"}, "data");
  ASSERT_EQ(piped.exit_code, 0) << piped.err;
  struct stat st {};
  ASSERT_EQ(stat(file("s.mrt").c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
}

// Neither a container nor gzip nor bzip2: one line, and a failure.
TEST_F(RealUseTest, UnknownDataIsNamed) {
  ASSERT_TRUE(write_file(file("notes.txt"), "just some notes\n"));
  ASSERT_TRUE(write_file(file("x"), "ab"));
  for (const char* name : {"notes.txt", "x"}) {
    RunResult r = run({"-d", "-c", name});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, std::string("mirt: ") + name + ": not a compressed file.\n");
    EXPECT_EQ(r.out, "");
  }
}

// While a file is being written it has a temporary name; killed, the run
// leaves nothing under the final name, so a later "exists" cannot hide
// that the file was never finished.
TEST_F(RealUseTest, KilledRunLeavesNoFinishedLookingFile) {
  ASSERT_TRUE(write_file(file("big"), make_data(400000, 2)));
  // The picky module waits a little in every call: a run of many blocks.
  const std::string module = std::string(MIRT_TEST_MODULE_DIR) + "/test_picky.so";
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(dir.path().c_str()) != 0) _exit(127);
    execl(MIRT_BINARY, "mirt", "-M", ("module " + module).c_str(), "-M", "threads 1", "-b",
          "1000", "big", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  bool writing = false;
  for (int i = 0; i < 200 && !writing; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      writing = writing || entry.path().filename().string().rfind(".big.mrt.", 0) == 0;
  }
  EXPECT_TRUE(writing) << "no temporary output seen";
  EXPECT_FALSE(file_exists(file("big.mrt")));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_FALSE(file_exists(file("big.mrt")));
  // A new run is not refused, and finishes the job.
  RunResult again = run({"big"});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_TRUE(file_exists(file("big.mrt")));
}

// A log that grows while it is compressed: reading stops where the input
// ended, and the container gives back exactly what was read, a prefix of
// what the file became. (The slow module gives the writer time to append
// between the blocks.)
TEST_F(RealUseTest, FileGrowingWhileCompressedGivesBackWhatWasRead) {
  const std::string start = make_data(5000, 1);
  ASSERT_TRUE(write_file(file("log"), start));
  std::atomic<bool> done{false};
  std::thread writer([&] {
    const int fd = ::open(file("log").c_str(), O_WRONLY | O_APPEND);
    const std::string line(100, 'x');
    while (!done && fd >= 0 && ::write(fd, line.data(), line.size()) > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (fd >= 0) ::close(fd);
  });
  const std::string module = std::string(MIRT_TEST_MODULE_DIR) + "/test_picky.so";
  RunResult packed = run({"-M", "module " + module, "-M", "threads 1", "-b", "1000", "log"});
  done = true;
  writer.join();
  ASSERT_EQ(packed.exit_code, 0) << packed.err;
  RunResult back = run({"-M", "module " + module, "-d", "-c", "log.mrt"});
  EXPECT_EQ(back.exit_code, 0) << back.err;
  const std::string grown = read_file(file("log"));
  EXPECT_GE(back.out.size(), start.size());
  EXPECT_TRUE(grown.compare(0, back.out.size(), back.out) == 0);
}

// Block size directives: pipe_blocksize for inputs of unknown size, and
// blocksize_limit for one block up to the limit, the limit beyond.
TEST_F(RealUseTest, BlockSizeDirectives) {
  const std::string data = make_data(300000, 1);
  ASSERT_TRUE(write_file(file("d"), data));
  auto block_size = [](const std::string& container) {
    uint32_t size = 0;
    for (int i = 19; i < 23; ++i) size = size << 8 | static_cast<uint8_t>(container[i]);
    return size;
  };
  RunResult piped = run_stdin({"-M", "pipe_blocksize 100000"}, data);
  EXPECT_EQ(block_size(piped.out), 100000u);
  // An input that ends inside its first block is sized like a file of it.
  EXPECT_EQ(block_size(run_stdin({"-M", "pipe_blocksize 100000"}, data.substr(0, 5000)).out),
            5005u);
  EXPECT_EQ(block_size(run_stdin({}, data.substr(0, 5000)).out), 8192u);
  EXPECT_EQ(block_size(run_stdin({}, data).out), 8192u);
  EXPECT_EQ(block_size(run({"-c", "-M", "blocksize_limit 400000", "d"}).out), 300005u);
  EXPECT_EQ(block_size(run({"-c", "-M", "blocksize_limit 70000", "d"}).out), 70000u);
  EXPECT_EQ(
      block_size(run({"-c", "-M", "blocksize_limit 70000", "-M", "blocksize_even on", "d"}).out),
      60000u);
  // -b and the blocksize directive still win.
  EXPECT_EQ(block_size(run({"-c", "-M", "blocksize_limit 70000", "-b", "5000", "d"}).out),
            5000u);
  for (const char* directive : {"pipe_blocksize 100000", "blocksize_limit 70000"}) {
    for (size_t size : {data.size(), size_t{5000}}) {
      RunOptions options;
      options.stdin_data = run_stdin({"-M", directive}, data.substr(0, size)).out;
      EXPECT_TRUE(run({"-d"}, options).out == data.substr(0, size)) << directive << size;
    }
  }
}

// -m finds an installed preset by name; a file that cannot be read at
// all is named in a warning, and the run goes on.
TEST_F(RealUseTest, ConfigurationByPresetName) {
  ASSERT_TRUE(write_file(file("f"), "some text"));
  RunResult r = run({"-m", "fast", "-l"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err.find("Cannot read"), std::string::npos) << r.err;
  r = run({"-m", "no-such-preset", "-c", "f"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: Cannot read configuration no-such-preset.\n");
  EXPECT_NE(r.out, "");
}

// A report that cannot be written is a failure.
TEST_F(RealUseTest, ReportToAFullDevice) {
  ASSERT_TRUE(write_file(file("f"), "some text"));
  ASSERT_EQ(run({"f"}).exit_code, 0);
  const int status =
      std::system(("cd '" + dir.path() + "' && " + MIRT_BINARY + " -s f.mrt > /dev/full 2>/dev/null")
                      .c_str());
  EXPECT_EQ(WEXITSTATUS(status), 255);
}

}  // namespace
}  // namespace mirt
