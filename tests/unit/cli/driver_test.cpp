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
#include "support/temp_dir.h"

namespace mirt {
namespace {

struct NameCase {
  const char* input;
  int mode;
  const char* suffix;
  std::optional<std::string> expected;
};

class DeriveOutputNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(DeriveOutputNameTest, DerivesName) {
  const NameCase& c = GetParam();
  EXPECT_EQ(derive_output_name(c.input, c.mode, c.suffix), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DeriveOutputNameTest,
    ::testing::Values(NameCase{"data", kModeCompress, ".mrt", "data.mrt"},
                      NameCase{"data.mrt", kModeCompress, ".mrt", "data.mrt.mrt"},
                      NameCase{"file", kModeCompress, ".bin", "file.bin"},
                      NameCase{"-", kModeCompress, ".mrt", "-.mrt"},
                      NameCase{"data.mrt", kModeDecompress, ".mrt", "data"},
                      NameCase{"data.exe", kModeDecompress, ".mrt", "data"},
                      NameCase{"data.bin", kModeDecompress, ".mrt", "data"},
                      NameCase{"x.bz2", kModeDecompress, ".mrt", "x"},
                      NameCase{"x.tbz2", kModeDecompress, ".mrt", "x"},
                      NameCase{"data.tgz", kModeDecompress, ".mrt", "data"},
                      NameCase{"a.b.gz", kModeDecompress, ".mrt", "a.b"},
                      NameCase{"dir.d/f.gz", kModeDecompress, ".mrt", "dir.d/f"},
                      NameCase{".mrt", kModeDecompress, ".mrt", ""},
                      NameCase{"x.txt", kModeDecompress, ".mrt", std::nullopt},
                      NameCase{"X.MRT", kModeDecompress, ".mrt", std::nullopt},
                      NameCase{"mrt", kModeDecompress, ".mrt", std::nullopt},
                      NameCase{"data.mrt", kModeStatistics, ".mrt", std::nullopt},
                      NameCase{"data", kModeListOnly, ".mrt", std::nullopt},
                      NameCase{nullptr, kModeCompress, ".mrt", std::nullopt}));

class ParseDecimalTest : public ::testing::TestWithParam<std::pair<const char*, uint32_t>> {};

TEST_P(ParseDecimalTest, Parses) {
  EXPECT_EQ(parse_decimal(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseDecimalTest,
    ::testing::Values(std::pair<const char*, uint32_t>{"8192", 8192u},
                      std::pair<const char*, uint32_t>{"0", 0u},
                      std::pair<const char*, uint32_t>{"", 0u},
                      std::pair<const char*, uint32_t>{nullptr, 0u},
                      std::pair<const char*, uint32_t>{"1.5", 1u},
                      std::pair<const char*, uint32_t>{".5", 0u},
                      std::pair<const char*, uint32_t>{"1a", 59u},
                      std::pair<const char*, uint32_t>{"-1", 4294967267u},
                      std::pair<const char*, uint32_t>{"4294967296", 0u},
                      std::pair<const char*, uint32_t>{"99999999999", 1215752191u},
                      std::pair<const char*, uint32_t>{"2147483646", 2147483646u},
                      std::pair<const char*, uint32_t>{"3000000000", 3000000000u}));

TEST(NameKeyTest, PacksUpToFourBytesLowFirst) {
  EXPECT_EQ(name_key("list", ' '), 0x7473696Cu);
  EXPECT_EQ(name_key("ab", ' '), 0x6261u);
  EXPECT_EQ(name_key("", ' '), 0u);
  EXPECT_EQ(name_key(nullptr, ' '), 0u);
}

TEST(NameKeyTest, StopsAtStopCharacterAndAfterFourBytes) {
  EXPECT_EQ(name_key("ab cd", ' '), name_key("ab", ' '));
  EXPECT_EQ(name_key("serpentine", ' '), name_key("serpent", ' '));
  EXPECT_EQ(name_key("list all", ' '), name_key("list", ' '));
  EXPECT_NE(name_key("lis", ' '), name_key("list", ' '));
  EXPECT_EQ(name_key("a,b", ','), name_key("a", ' '));
}

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
    const char* home = std::getenv("HOME");
    had_home_ = home != nullptr;
    if (had_home_) saved_home_ = home;
    setenv("HOME", home_.path().c_str(), 1);
    reset_all();
    g_loopback_port = server_.port();
    set_connect_hook(loopback_connect);
  }
  void TearDown() override {
    reset_all();
    if (had_home_)
      setenv("HOME", saved_home_.c_str(), 1);
    else
      unsetenv("HOME");
  }
  static void reset_all() {
    module_registry_reset();
    tables_reset();
    status_reset();
    network_reset();
    reopen_table_reset();
    module_path_reset();
    ext_clear();
  }
  static std::string server_path(const char* file) {
    return expand_template("/projects/compression/mirt/@@OSNM@@-@@ARCH@@/", "") + file;
  }
  std::string user_copy() const {
    return expand_template("@@HOME@@/.mirt/@@OSNM@@-@@ARCH@@/mirt", "");
  }
  int run(std::vector<std::string> args, std::string& err) {
    args.insert(args.begin(), "mirt");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    int result = run_driver(static_cast<int>(args.size()), argv.data());
    err = testing::internal::GetCapturedStderr();
    return result;
  }

  test::HttpServer server_;
  test::TempDir home_;
  std::string saved_home_;
  bool had_home_ = false;
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
  reset_all();
  set_connect_hook(loopback_connect);
  EXPECT_EQ(run({"-M", "check_version off", "-l"}, err), 0);
  EXPECT_EQ(err.find("**+"), std::string::npos);
  EXPECT_EQ(server_.requests().size(), asked);  // nothing was asked for
}

}  // namespace
}  // namespace mirt
