// The binary against loopback HTTP and FTP servers: inputs, outputs and
// download locations given as URLs.
#include <bzlib.h>
#include <sys/stat.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/ftp_server.h"
#include "support/http_server.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

using test::read_file;
using test::RunOptions;
using test::RunResult;
using test::write_file;

class NetworkE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = dir_.file("home");
    ASSERT_EQ(mkdir(home_.c_str(), 0755), 0);
    ASSERT_TRUE(http_.ok());
    plain_ = test::make_data(70000, 1, 7);
    ASSERT_TRUE(write_file(file("plain.txt"), plain_));
  }
  RunResult run(std::vector<std::string> args) {
    RunOptions options;
    options.args = std::move(args);
    options.home = home_;
    options.cwd = dir_.path();
    RunResult result = test::run_mirt(options);
    EXPECT_FALSE(result.timed_out);
    return result;
  }
  std::string file(const std::string& name) const { return dir_.file(name); }
  // Compresses plain.txt into `name` with the extra arguments given.
  std::string compress(const std::string& name, std::vector<std::string> extra = {}) {
    extra.insert(extra.end(), {"-o", file(name), file("plain.txt")});
    RunResult r = run(extra);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return read_file(file(name));
  }

  test::TempDir dir_;
  std::string home_;
  std::string plain_;
  test::HttpServer http_;
};

TEST_F(NetworkE2eTest, DecompressesAndReportsFromHttp) {
  http_.set_file("/f.mrt", compress("local.mrt"));
  RunResult r = run({"-d", "-o", file("out"), http_.url("/f.mrt")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(file("out")), plain_);

  for (const char* verbose : {"", "-v"}) {
    std::vector<std::string> args = {"-s", http_.url("/f.mrt")};
    std::vector<std::string> local_args = {"-s", file("local.mrt")};
    if (*verbose != '\0') {
      args.insert(args.begin(), verbose);
      local_args.insert(local_args.begin(), verbose);
    }
    r = run(args);
    RunResult local = run(local_args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    // A stream cannot tell its compressed size; the rest reads the same.
    std::string expected = std::regex_replace(local.out, std::regex("(File              :   ).*"),
                                              "$1" + http_.url("/f.mrt"));
    expected = std::regex_replace(expected, std::regex("(Compressed Size   :   )[0-9]+"), "$1unknown");
    expected = std::regex_replace(expected, std::regex("(Ratio             :   ).*"), "$1unknown");
    EXPECT_EQ(r.out, expected) << verbose;
  }
}

std::string gzip_bytes(const std::string& plain, const std::string& path) {
  gzFile out = gzopen(path.c_str(), "wb");
  if (out == nullptr) return "";
  gzwrite(out, plain.data(), static_cast<unsigned>(plain.size()));
  gzclose(out);
  return read_file(path);
}

std::string bzip2_bytes(const std::string& plain) {
  std::vector<char> out(plain.size() + plain.size() / 100 + 600);
  unsigned length = static_cast<unsigned>(out.size());
  std::string source = plain;
  if (BZ2_bzBuffToBuffCompress(out.data(), &length, source.data(),
                               static_cast<unsigned>(source.size()), 9, 0, 0) != BZ_OK)
    return "";
  return std::string(out.data(), length);
}

TEST_F(NetworkE2eTest, ForeignInputByUrl) {
  http_.set_file("/f.gz", gzip_bytes(plain_, file("f.gz")));
  http_.set_file("/f.bz2", bzip2_bytes(plain_));
  for (const char* path : {"/f.gz", "/f.bz2"}) {
    RunResult r = run({"-d", "-c", http_.url(path)});
    EXPECT_EQ(r.exit_code, 0) << path << r.err;
    EXPECT_TRUE(r.out == plain_) << path;
  }
}

TEST_F(NetworkE2eTest, CompressesToFtpWithATrailer) {
  test::FtpServer ftp;
  ASSERT_TRUE(ftp.ok());
  RunResult r = run({"-o", ftp.url("/x.mrt"), file("plain.txt")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  auto stored = ftp.stored("/x.mrt");
  ASSERT_TRUE(stored.has_value());
  ASSERT_GT(stored->size(), 12u);
  std::string trailer = stored->substr(stored->size() - 12);
  EXPECT_EQ(trailer.substr(0, 4), std::string("\xFF\x3F\xDE\x08", 4));
  uint64_t size = 0;
  for (int i = 4; i < 12; ++i) size = size << 8 | static_cast<uint8_t>(trailer[i]);
  EXPECT_EQ(size, plain_.size());

  ASSERT_TRUE(write_file(file("fetched.mrt"), *stored));
  r = run({"-d", "-c", file("fetched.mrt")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out == plain_);
}

TEST_F(NetworkE2eTest, RemoteCopyIsFetchedAndVerified) {
  // The local file names the copy; a copy of other data fails verification.
  const std::string local = compress("local.mrt", {"-u", http_.url("/copy.mrt")});
  http_.set_file("/copy.mrt", local);
  RunResult r = run({"-d", "-M", "try_urls on", "-o", file("out"), file("local.mrt")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(file("out")), plain_);
  ASSERT_EQ(http_.requests().size(), 1u);
  EXPECT_EQ(http_.requests()[0].substr(0, 14), "GET /copy.mrt ");

  ASSERT_TRUE(write_file(file("plain.txt"), plain_ + "changed"));
  http_.set_file("/copy.mrt", compress("other.mrt"));
  r = run({"-d", "-M", "try_urls on", "-o", file("out2"), file("local.mrt")});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_FALSE(test::file_exists(file("out2")));
  EXPECT_EQ(http_.requests().size(), 2u);

  // Without the switch the local data is used and nothing is fetched.
  r = run({"-d", "-o", file("out3"), file("local.mrt")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(http_.requests().size(), 2u);
}

TEST_F(NetworkE2eTest, ReachabilityProbeMarksBrokenLocations) {
  http_.set_file("/here.mrt", "x");
  compress("local.mrt", {"-u", http_.url("/here.mrt"), "-u", http_.url("/gone.mrt")});
  RunResult r = run({"-s", "-v", file("local.mrt")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Download Location :   " + http_.url("/here.mrt") + "\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Download Location :   " + http_.url("/gone.mrt") + " [broken]\n"),
            std::string::npos)
      << r.out;

  r = run({"-M", "network off", "-s", "-v", file("local.mrt")});
  EXPECT_NE(r.out.find(http_.url("/here.mrt") + " [broken]\n"), std::string::npos) << r.out;
}

TEST_F(NetworkE2eTest, NetworkOffRefusesUrls) {
  http_.set_file("/f.mrt", compress("local.mrt"));
  const int before = http_.connections();
  RunResult r = run({"-M", "network off", "-d", "-o", file("out"), http_.url("/f.mrt")});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: Can't open " + http_.url("/f.mrt") + ".\nmirt: open: " +
                       std::strerror(EPERM) + "\n");
  EXPECT_FALSE(test::file_exists(file("out")));
  EXPECT_EQ(http_.connections(), before);
}

}  // namespace
}  // namespace mirt
