#include "modules/update.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "location/net.h"
#include "location/stream.h"
#include "support/files.h"
#include "support/http_server.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

class VersionFileTest : public ::testing::TestWithParam<std::pair<std::string, uint32_t>> {};

TEST_P(VersionFileTest, Parses) {
  const std::string& text = GetParam().first;
  EXPECT_EQ(parse_version_file(text.data(), static_cast<int>(text.size())), GetParam().second)
      << text;
}

INSTANTIATE_TEST_SUITE_P(
    Files, VersionFileTest,
    ::testing::Values(std::pair<std::string, uint32_t>{"000008042", 2090u},
                      std::pair<std::string, uint32_t>{"  0  8 42", 2090u},
                      std::pair<std::string, uint32_t>{"000008042trailing", 2090u},
                      std::pair<std::string, uint32_t>{"000008043", 2091u},
                      std::pair<std::string, uint32_t>{"000300000", 76800u},
                      std::pair<std::string, uint32_t>{"001002003", 0x010203u},
                      std::pair<std::string, uint32_t>{"0.8.42\n", 0u},
                      std::pair<std::string, uint32_t>{"00100", 65536u},
                      std::pair<std::string, uint32_t>{"0010", 65536u},
                      std::pair<std::string, uint32_t>{"", 0u},
                      std::pair<std::string, uint32_t>{"+01-01007", 0xFFFFFF07u},
                      std::pair<std::string, uint32_t>{"1x22y3z4w", 0x010200u},
                      std::pair<std::string, uint32_t>{std::string("00\0" "008042", 9), 2090u}));

class CheckUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    version = dir.file("mirt.ver");
    fetch = dir.file("mirt.bin");
    destination = dir.file("mirt");
    ASSERT_TRUE(test::write_file(fetch, "new program bytes"));
    ASSERT_TRUE(test::write_file(destination, "old program"));
    options.upgrade = 1;
  }
  int check(const std::string& fetch_from) {
    return check_update("mirt", fetch_from.c_str(), version.c_str(), 2090, destination.c_str(),
                        options);
  }
  int entries() const {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      ++count;
    }
    return count;
  }

  test::TempDir dir;
  std::string version, fetch, destination;
  Options options;
};

TEST_F(CheckUpdateTest, NewerVersionFetchedIntoPlace) {
  ASSERT_TRUE(test::write_file(version, "000008043"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(check(fetch), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "There is a new version of mirt.  NEW: 0.8.43, CURR: 0.8.42, fetching...\n");
  EXPECT_EQ(test::read_file(destination), "new program bytes");
  struct stat info;
  ASSERT_EQ(stat(destination.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(entries(), 3);  // no temporary left behind
}

TEST_F(CheckUpdateTest, NotNewerDoesNothing) {
  ASSERT_TRUE(test::write_file(version, "000008042"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(check(fetch), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(test::read_file(destination), "old program");
}

TEST_F(CheckUpdateTest, AnnouncesWithoutUpgrade) {
  ASSERT_TRUE(test::write_file(version, "000300000"));
  options.upgrade = 0;
  options.version_check = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(check(fetch), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "There is a new version of mirt.  NEW: 1.44.0, CURR: 0.8.42\n");
  EXPECT_EQ(test::read_file(destination), "old program");
}

TEST_F(CheckUpdateTest, DisabledCheckingOpensNothing) {
  ASSERT_TRUE(test::write_file(version, "009009009"));
  options.upgrade = 0;
  EXPECT_EQ(fetch_version("mirt", version.c_str(), options), 0u);
  EXPECT_EQ(check(fetch), -1);
  options.version_check = 1;
  EXPECT_EQ(fetch_version("mirt", version.c_str(), options), 0x090909u);
  EXPECT_EQ(fetch_version("mirt", dir.file("absent.ver").c_str(), options), 0u);
}

TEST_F(CheckUpdateTest, FailedReadKeepsOldFile) {
  ASSERT_TRUE(test::write_file(version, "000008043"));
  // A directory opens for reading but every read fails.
  testing::internal::CaptureStderr();
  EXPECT_EQ(check(dir.path()), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "There is a new version of mirt.  NEW: 0.8.43, CURR: 0.8.42, fetching...\n"
            "mirt: read: " + std::string(std::strerror(EISDIR)) + "\n");
  EXPECT_EQ(test::read_file(destination), "old program");
  EXPECT_EQ(entries(), 3);
}

TEST_F(CheckUpdateTest, UnopenableLocationsReported) {
  ASSERT_TRUE(test::write_file(version, "000008043"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(check(dir.file("absent.bin")), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("mirt: open: " + std::string(std::strerror(ENOENT)) + "\n"),
            std::string::npos);
  EXPECT_EQ(test::read_file(destination), "old program");

  // No per-user directory yet: nothing is created.
  destination = dir.file("missing/mirt");
  testing::internal::CaptureStderr();
  EXPECT_EQ(check(fetch), -1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("mirt: open: " + std::string(std::strerror(ENOENT)) + "\n"),
            std::string::npos);
  EXPECT_FALSE(test::file_exists(dir.file("missing")));
}

TEST_F(CheckUpdateTest, FailedWriteKeepsOldFile) {
  ASSERT_TRUE(test::write_file(version, "000008043"));
  ASSERT_TRUE(test::write_file(fetch, std::string(64 * 1024, 'x')));
  // In a child: a file size limit makes the copy's writes fail.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(check(fetch) == -1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(test::read_file(destination), "old program");
  EXPECT_EQ(entries(), 3);
}

// ---- Over HTTP -------------------------------------------------------------

class HttpUpdateTest : public CheckUpdateTest {
 protected:
  void SetUp() override {
    CheckUpdateTest::SetUp();
    test::reset_process_state();
    ASSERT_TRUE(server.ok());
    version = server.url("/mirt.ver");
  }
  void TearDown() override { test::reset_process_state(); }
  test::HttpServer server;
};

struct RemoteVersionCase {
  const char* label;
  std::string body;
  int result;           // with upgrade set
  const char* message;  // standard error
};

class RemoteVersionTest : public HttpUpdateTest,
                          public ::testing::WithParamInterface<RemoteVersionCase> {};

TEST_P(RemoteVersionTest, ComparesAndFetches) {
  const RemoteVersionCase& c = GetParam();
  server.set_file("/mirt.ver", c.body);
  server.set_file("/mirt.bin", "fetched over http");
  testing::internal::CaptureStderr();
  EXPECT_EQ(check(server.url("/mirt.bin")), c.result);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
  EXPECT_EQ(test::read_file(destination), c.result == 0 ? "fetched over http" : "old program");
  EXPECT_EQ(entries(), 2);  // no temporary left behind
}

INSTANTIATE_TEST_SUITE_P(
    VersionFiles, RemoteVersionTest,
    ::testing::Values(
        RemoteVersionCase{"Newer", "000008043\n", 0,
                          "There is a new version of mirt.  NEW: 0.8.43, CURR: 0.8.42, "
                          "fetching...\n"},
        RemoteVersionCase{"BlankPadded", "  0  9  0", 0,
                          "There is a new version of mirt.  NEW: 0.9.0, CURR: 0.8.42, "
                          "fetching...\n"},
        RemoteVersionCase{"MinorSpills", "000300000", 0,
                          "There is a new version of mirt.  NEW: 1.44.0, CURR: 0.8.42, "
                          "fetching...\n"},
        RemoteVersionCase{"Same", "000008042", -1, ""},
        RemoteVersionCase{"Older", "000007255", -1, ""},
        RemoteVersionCase{"DottedText", "0.8.43\n", -1, ""},
        RemoteVersionCase{"Empty", "", -1, ""},
        RemoteVersionCase{"Garbage", "<html>404", -1, ""}),
    [](const ::testing::TestParamInfo<RemoteVersionCase>& info) { return info.param.label; });

TEST_F(HttpUpdateTest, MissingVersionFileIsNoUpdate) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(check(server.url("/mirt.bin")), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(server.requests().size(), 1u);  // the program itself is not asked for
}

TEST_F(HttpUpdateTest, BreakOffInTheMiddleKeepsOldFile) {
  server.set_file("/mirt.ver", "000008043");
  server.set_raw("/mirt.bin", test::HttpServer::response("HTTP/1.0 200 OK",
                                                         "Content-Length: 10000\r\n",
                                                         std::string(6000, 'n')));
  testing::internal::CaptureStderr();
  EXPECT_EQ(check(server.url("/mirt.bin")), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "There is a new version of mirt.  NEW: 0.8.43, CURR: 0.8.42, fetching...\n"
            "mirt: Download of mirt broke off after 6000 of 10000 bytes.\n");
  EXPECT_EQ(test::read_file(destination), "old program");
  EXPECT_EQ(entries(), 2);  // no temporary left behind
}

TEST_F(HttpUpdateTest, WithoutAnnouncedLengthEverythingArrivedCounts) {
  server.set_file("/mirt.ver", "000008043");
  server.set_raw("/mirt.bin", test::HttpServer::response("HTTP/1.0 200 OK", "", "whole body"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(check(server.url("/mirt.bin")), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(test::read_file(destination), "whole body");
}

TEST_F(HttpUpdateTest, RedirectedDownloadArrives) {
  server.set_file("/mirt.ver", "000008043");
  server.set_file("/real.bin", std::string(20000, 'r'));
  server.set_redirect("/mirt.bin", server.url("/real.bin"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(check(server.url("/mirt.bin")), 0);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(test::read_file(destination), std::string(20000, 'r'));
}

TEST_F(HttpUpdateTest, UnavailableDownloadIsReported) {
  server.set_file("/mirt.ver", "000008043");
  testing::internal::CaptureStderr();
  EXPECT_EQ(check(server.url("/mirt.bin")), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "There is a new version of mirt.  NEW: 0.8.43, CURR: 0.8.42, fetching...\n"
            "mirt: open: HTTP 404 Not Found\n");
  EXPECT_EQ(test::read_file(destination), "old program");
  EXPECT_EQ(entries(), 2);  // no temporary left behind
}

}  // namespace
}  // namespace mirt
