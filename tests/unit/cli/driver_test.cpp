#include "cli/driver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "build_config.h"
#include "codec/format.h"
#include "codec/tables.h"
#include "common/types.h"
#include "location/net.h"
#include "location/stream.h"
#include "location/template.h"
#include "modules/loader.h"
#include "status/status.h"
#include "support/files.h"
#include "support/http_server.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

// ---- The program's own version check ----------------------------------------
// The program's locations name the configured download host, which never
// resolves in tests; the connection step is sent to a loopback server instead.

int g_loopback_port = 0;

int loopback_connect(const char*, int32_t) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -5;
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(g_loopback_port));
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    close(fd);
    return -5;
  }
  return fd;
}

class ProgramUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    test::reset_process_state();
    g_loopback_port = server_.port();
    set_connect_hook(loopback_connect);
  }
  void TearDown() override { test::reset_process_state(); }
  static std::string server_path(const char* file) {
    return expand_template("/projects/compression/mirt/@@OSNM@@-@@ARCH@@/", "") + file;
  }
  std::string user_copy() const {
    return expand_template("@@HOME@@/.mirt/@@OSNM@@-@@ARCH@@/mirt", "");
  }
  int run(std::vector<std::string> args, std::string& err) {
    test::Argv argv(std::move(args));
    testing::internal::CaptureStderr();
    int result = run_driver(argv.argc(), argv.argv());
    err = testing::internal::GetCapturedStderr();
    return result;
  }

  test::HttpServer server_;
  test::TempDir home_;
  test::ScopedHome scoped_home_{home_.path()};
};

TEST_F(ProgramUpdateTest, FirstArgumentNFetchesANewerProgram) {
  std::filesystem::create_directories(std::filesystem::path(user_copy()).parent_path());
  server_.set_file(server_path("mirt.ver"), "000008043");
  server_.set_file(server_path("mirt.bin"), "#!/bin/sh\necho newer\n");
  std::string err;
  EXPECT_EQ(run({"-N", "-v"}, err), 0);
  EXPECT_EQ(err, "There is a new version of mirt.  NEW: 0.8.43, CURR: 0.8.42, fetching...\n");
  EXPECT_EQ(test::read_file(user_copy()), "#!/bin/sh\necho newer\n");
  struct stat info;
  ASSERT_EQ(stat(user_copy().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(ProgramUpdateTest, FirstArgumentNWithoutNewerVersionFails) {
  std::filesystem::create_directories(std::filesystem::path(user_copy()).parent_path());
  server_.set_file(server_path("mirt.ver"), "000008042");
  std::string err;
  EXPECT_EQ(run({"-N"}, err), -1);
  EXPECT_EQ(err, "");
  EXPECT_FALSE(test::file_exists(user_copy()));
}

TEST_F(ProgramUpdateTest, NoticeBlockAfterTheOptions) {
  server_.set_file(server_path("mirt.ver"), "000300000");
  std::string err;
  EXPECT_EQ(run({"-M", "network on", "-M", "check_version on", "-l"}, err), 0);
  const std::string notice =
      "mirt: **+\n"
      "mirt: **> There is a new version of MIRT available.\n"
      "mirt: **>\n"
      "mirt: **> [CURR: MIRT 0.8.42]\n"
      "mirt: **> [NEW:  MIRT 1.44.0]\n"
      "mirt: **>\n"
      "mirt: **> Run `mirt -N' to get it.\n"
      "mirt: **> or get the source at: http://" MIRT_DOWNLOAD_HOST "/devel/mirt.tar.gz\n"
      "mirt: **>\n"
      "mirt: **-\n";
  EXPECT_NE(err.find(notice), std::string::npos) << err;
}

TEST_F(ProgramUpdateTest, NoNoticeUnlessNewerOrAskedFor) {
  server_.set_file(server_path("mirt.ver"), "000008042");
  std::string err;
  EXPECT_EQ(run({"-M", "network on", "-M", "check_version on", "-l"}, err), 0);
  EXPECT_EQ(err.find("**+"), std::string::npos);
  server_.set_file(server_path("mirt.ver"), "000009000");
  const size_t asked = server_.requests().size();
  test::reset_process_state();
  set_connect_hook(loopback_connect);
  EXPECT_EQ(run({"-M", "check_version off", "-l"}, err), 0);
  EXPECT_EQ(err.find("**+"), std::string::npos);
  EXPECT_EQ(server_.requests().size(), asked);  // nothing was asked for
}

}  // namespace
}  // namespace mirt
