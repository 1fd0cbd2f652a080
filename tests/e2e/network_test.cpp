// The binary against loopback HTTP and FTP servers: inputs, outputs and
// download locations given as URLs.
#include <bzlib.h>
#include <sys/stat.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "support/cli_fixture.h"
#include "support/files.h"
#include "support/ftp_server.h"
#include "support/http_server.h"
#include "support/loopback.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

using test::read_file;
using test::RunOptions;
using test::RunResult;
using test::write_file;

class NetworkE2eTest : public test::CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    ASSERT_TRUE(http_.ok());
    plain_ = test::make_data(70000, 1, 7);
    ASSERT_TRUE(write_file(file("plain.txt"), plain_));
  }
  // Compresses plain.txt into `name` with the extra arguments given.
  std::string compress(const std::string& name, std::vector<std::string> extra = {}) {
    extra.insert(extra.end(), {"-o", file(name), file("plain.txt")});
    RunResult r = run(extra);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return read_file(file(name));
  }

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

// Looking at a file does not talk to its author: the report shows the
// locations, templates expanded, and connects to none of them.
TEST_F(NetworkE2eTest, StatisticsNeverConnect) {
  http_.set_file("/here.mrt", "x");
  compress("local.mrt", {"-u", http_.url("/here.mrt"), "-u", http_.url("/@@OSNM@@/@@HOME@@")});
  const int before = http_.connections();
  RunResult r = run({"-s", "-v", file("local.mrt")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Download Location :   " + http_.url("/here.mrt") + "\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("[broken]"), std::string::npos) << r.out;
  EXPECT_EQ(http_.connections(), before);
}

TEST_F(NetworkE2eTest, NetworkOffRefusesUrls) {
  http_.set_file("/f.mrt", compress("local.mrt"));
  const int before = http_.connections();
  RunResult r = run({"-M", "network off", "-d", "-o", file("out"), http_.url("/f.mrt")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "mirt: Can't open " + http_.url("/f.mrt") + ".\nmirt: open: " +
                       std::strerror(EPERM) + "\n");
  EXPECT_FALSE(test::file_exists(file("out")));
  EXPECT_EQ(http_.connections(), before);
}

// A loopback port that nothing listens on.
int closed_port() {
  int port = 0;
  close(test::listen_loopback(port));
  return port;
}

struct FailureCase {
  const char* name;
  std::string path;    // on the test server; empty: a port nobody listens on
  std::string answer;  // raw answer; empty: the server's default for the path
  std::string err;     // after "mirt: Can't open URL.\n"
};

class OpenFailureTest : public NetworkE2eTest, public ::testing::WithParamInterface<FailureCase> {};

// The reason replaces the error number's text, which said "Operation not
// permitted" or "No such file or directory" for all of these.
TEST_P(OpenFailureTest, SaysWhatHappened) {
  const FailureCase& c = GetParam();
  std::string url = "http://127.0.0.1:" + std::to_string(closed_port()) + "/f.mrt";
  std::string before;
  if (!c.path.empty()) {
    url = http_.url(c.path);
    if (c.path == "/loop") http_.set_redirect("/loop", url);
    if (!c.answer.empty()) http_.set_raw(c.path, c.answer);
  } else {
    before = "mirt: connect: " + std::string(std::strerror(ECONNREFUSED)) + "\n";
  }
  // Nothing was fetched: not a success, or `mirt -d -c URL | tar x` would
  // report one with nothing extracted.
  RunResult r = run({"-d", "-c", url});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, before + "mirt: Can't open " + url + ".\n" + c.err);
  EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, OpenFailureTest,
    ::testing::Values(
        FailureCase{"refused", "", "", "mirt: open: connection refused\n"},
        FailureCase{"redirect_loop", "/loop", "", "mirt: open: too many redirects\n"},
        FailureCase{"unauthorised", "/private",
                    test::HttpServer::response("HTTP/1.0 401 Unauthorized",
                                               "WWW-Authenticate: Basic realm=\"x\"\r\n", ""),
                    "mirt: open: HTTP 401 Unauthorized\n"},
        FailureCase{"not_found", "/gone", "", "mirt: open: HTTP 404 Not Found\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Servers that stall, trickle, cut their answers oddly or break off, with
// the time-out set to a second. `script` pieces go out 100 ms apart;
// "FILE" in them stands for the compressed file, "HALF" for its first
// half. On failure no output is left.
struct ServerCase {
  const char* name;
  test::HttpServer::Script script;
  int exit_code;
  std::string err;  // "URL" stands for the location asked for
};

class HostileServerTest : public NetworkE2eTest,
                          public ::testing::WithParamInterface<ServerCase> {};

TEST_P(HostileServerTest, FailsClearlyOrDecodes) {
  const ServerCase& c = GetParam();
  const std::string container = compress("local.mrt");
  const std::string url = http_.url("/f.mrt");
  test::HttpServer::Script script = c.script;
  script.pause_ms = 100;
  for (std::string& piece : script.pieces) {
    for (const auto& [key, value] :
         {std::pair<std::string, std::string>{"FILE", container},
          {"HALF", container.substr(0, container.size() / 2)}})
      if (size_t at = piece.find(key); at != std::string::npos)
        piece.replace(at, key.size(), value);
  }
  http_.set_script("/f.mrt", script);
  RunResult r = run({"-M", "net_timeout 1", "-d", "-o", file("out"), url});
  EXPECT_EQ(r.exit_code, c.exit_code);
  EXPECT_EQ(r.err, std::regex_replace(c.err, std::regex("URL"), url));
  if (c.exit_code == 0 && c.err.empty())
    EXPECT_TRUE(read_file(file("out")) == plain_);
  else
    EXPECT_FALSE(test::file_exists(file("out")));
}

using Ending = test::HttpServer::Ending;

INSTANTIATE_TEST_SUITE_P(
    Servers, HostileServerTest,
    ::testing::Values(
        ServerCase{"silent", {{}, 0, Ending::kHold}, 1,
                   "mirt: Can't open URL.\n"
                   "mirt: open: no answer from the HTTP server in 1 second\n"},
        ServerCase{"split_minimal_header", {{"HTTP/1.", "0 200 OK\r\n\r", "\nFILE"}}, 0, ""},
        ServerCase{"reset_mid_body", {{"HTTP/1.0 200 OK\r\n\r\nHALF"}, 0, Ending::kReset}, 255,
                   "mirt: read: " + std::string(std::strerror(ECONNRESET)) + "\n"},
        ServerCase{"stall_mid_body", {{"HTTP/1.0 200 OK\r\n\r\nHALF"}, 0, Ending::kHold}, 255,
                   "mirt: read: " + std::string(std::strerror(ETIMEDOUT)) + "\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NetworkE2eTest, EndlessHeaderFailsInBoundedMemory) {
  // What an ordinary failed open costs (sanitizer builds cost more).
  RunResult baseline = run({"-d", "-c", http_.url("/missing")});
  ASSERT_GT(baseline.max_rss_kb, 0);
  http_.set_endless_header("/endless", 96u << 20);
  RunResult r = run({"-d", "-c", http_.url("/endless")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "mirt: Can't open " + http_.url("/endless") + ".\nmirt: open: HTTP header too long\n");
  // Far below the 96 MiB on offer.
  EXPECT_LT(r.max_rss_kb, baseline.max_rss_kb + 16 * 1024);
  EXPECT_LT(http_.endless_sent(), 96u << 20);
}

// Records of a container come from whoever made it. Their templates must
// not prompt, and what a user would have typed must never reach the host
// the file names. Prompts would come from standard input here (-i, and no
// terminal for the hidden one), so a prompting program would read and
// send these answers.
TEST_F(NetworkE2eTest, LocationRecordsNeverPrompt) {
  const std::string authority = "127.0.0.1:" + std::to_string(http_.port());
  compress("local.mrt", {"-u", "http://@@USRN@@:@@PSWD@@@" + authority + "/@@PSWD@@"});
  const std::string expected_request = "GET / HTTP/1.0\nHost: 127.0.0.1\n\n";
  RunOptions answers;
  answers.stdin_data = "alice\nsecret\nalice\nsecret\n";
  answers.new_session = true;

  RunResult r = run({"-i", "-M", "try_urls on", "-d", "-o", file("out"), file("local.mrt")},
                    answers);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("Enter"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(file("out")), plain_);
  ASSERT_EQ(http_.requests().size(), 1u);
  EXPECT_EQ(http_.requests()[0], expected_request);

  r = run({"-i", "-s", "-v", file("local.mrt")}, answers);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find("Enter"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Download Location :   http://:@" + authority + "/\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(http_.requests().size(), 1u);
}

// A list file (-U) that is a FIFO with no writer would block the reader
// for ever; a directory is no list either.
TEST_F(NetworkE2eTest, LocationListMustBeARegularFile) {
  const std::string fifo = file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string directory = file("listdir");
  ASSERT_EQ(mkdir(directory.c_str(), 0755), 0);
  for (const std::string& list : {fifo, directory}) {
    compress("local.mrt", {"-f", "-U", list});
    RunOptions bounded;
    bounded.timeout_ms = 20000;
    const std::string warning = "mirt: " + list + ": not a regular file, ignored.\n";
    RunResult r = run({"-M", "try_urls on", "-d", "-c", file("local.mrt")}, bounded);
    EXPECT_EQ(r.exit_code, 0) << list;
    EXPECT_EQ(r.err, warning);
    EXPECT_TRUE(r.out == plain_) << list;
    r = run({"-s", file("local.mrt")}, bounded);
    EXPECT_EQ(r.exit_code, 0) << list;
    EXPECT_EQ(r.err, warning);
    EXPECT_EQ(r.out.find("Download Location"), std::string::npos) << r.out;
  }
}

}  // namespace
}  // namespace mirt
