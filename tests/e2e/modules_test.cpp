// Module algorithms and ciphers as a user meets them: loaded by directives,
// listed, chosen, excluded, and used to compress and decompress.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "location/template.h"
#include "support/cli_fixture.h"
#include "support/files.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

using test::read_file;
using test::RunOptions;
using test::RunResult;
using test::write_file;

std::string module_file(const std::string& name) {
  return std::string(MIRT_TEST_MODULE_DIR) + "/" + name + ".so";
}

std::string use(const std::string& name) { return "module " + module_file(name); }

// The dynamic loader's own words about a file it cannot load.
std::string loader_words(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW);
  if (handle != nullptr) {
    dlclose(handle);
    return "<loads>";
  }
  return dlerror();
}

class ModulesTest : public test::CliTest {
 protected:
  // Options that load the given modules, in order.
  static std::vector<std::string> loading(const std::vector<std::string>& modules) {
    std::vector<std::string> args;
    for (const std::string& name : modules) {
      args.push_back("-M");
      args.push_back(use(name));
    }
    return args;
  }
  RunResult run_with(const std::vector<std::string>& modules, std::vector<std::string> args) {
    std::vector<std::string> all = loading(modules);
    all.insert(all.end(), args.begin(), args.end());
    return run(all);
  }
};

TEST_F(ModulesTest, ModuleAlgorithmShrinksAndRoundTrips) {
  const std::string data = test::make_data(50000, 2) + test::make_data(30000, 1);
  ASSERT_TRUE(write_file(file("data"), data));
  RunResult r = run_with({"test_rle"}, {"-b", "8192", "data"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string container = read_file(file("data.mrt"));
  EXPECT_LT(container.size(), data.size() / 2);

  r = run_with({"test_rle"}, {"-d", "-c", "data.mrt"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out == data);

  // Without the module the blocks cannot be expanded: one line says which
  // block needs which slot, after the stub's warning, which stays off
  // standard output when that carries the data.
  const std::string stub =
      "You tried to decompress a file with an algorithm that is not compiled into your "
      "version.  Output will be unusable.\n";
  const std::string missing =
      "mirt: data.mrt: block 0 needs algorithm 1 (RLE Compression), which is not available.\n";
  r = run({"-d", "-c", "data.mrt"});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, stub + missing);
  std::filesystem::remove(file("data"));
  r = run({"-d", "data.mrt"});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.out, stub);
  EXPECT_EQ(r.err, missing);
  EXPECT_FALSE(test::file_exists(file("data")));
}

TEST_F(ModulesTest, CipherEncryptsEveryBlockAndDecryptsInOrder) {
  const std::string data = test::make_data(40000, 1, 7);
  ASSERT_TRUE(write_file(file("plain"), data));
  ASSERT_TRUE(write_file(file("secret"), data));
  RunResult r = run_with({"test_rle"}, {"-b", "4096", "plain"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = run_with({"test_rle", "test_cipher"}, {"-b", "4096", "-E", "STREAM", "secret"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string plain = read_file(file("plain.mrt"));
  const std::string secret = read_file(file("secret.mrt"));
  // Same blocks plus the cipher record, different stored bytes.
  EXPECT_GT(secret.size(), plain.size());
  EXPECT_LT(secret.size(), plain.size() + 16);
  EXPECT_EQ(secret.find(plain.substr(plain.size() - 200, 64)), std::string::npos);

  r = run_with({"test_rle", "test_cipher"}, {"-s", "secret.mrt"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("stream"), std::string::npos) << r.out;

  // The file names its cipher: no -E needed to read it back.
  r = run_with({"test_rle", "test_cipher"}, {"-d", "-c", "secret.mrt"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out == data);

  // Without the cipher module the file is refused, not expanded wrongly.
  r = run_with({"test_rle"}, {"-d", "-c", "secret.mrt"});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.out, "");
}

// A pipe keeps no header records, the cipher's included: the reader
// names the cipher itself.
TEST_F(ModulesTest, CipherWithTheCopyAlgorithmThroughAPipe) {
  const std::string data = test::make_data(10000, 0, 3);
  ASSERT_TRUE(write_file(file("random"), data));
  RunResult r = run_with({"test_cipher"}, {"-b", "1000", "-E", "stream", "-c", "random"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.find(data.substr(1000, 100)), std::string::npos);
  ASSERT_TRUE(write_file(file("random.mrt"), r.out));
  r = run_with({"test_cipher"}, {"-E", "stream", "-d", "-c", "random.mrt"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out == data);
}

TEST_F(ModulesTest, ListingsShowModules) {
  RunResult r = run_with({"test_rle", "test_twin_a", "test_cipher"}, {"-l"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err,
            "mirt: Num | Name\n"
            "mirt:   0 | Uncompressed\n"
            "mirt:   1 | Test RLE\n"
            "mirt:  40 | Twin A\n");

  r = run_with({"test_rle", "test_twin_a", "test_cipher"}, {"-e", "1", "-E", "LIST"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: Num | Name\nmirt:   4 | stream\n");

  r = run_with({"test_rle", "test_twin_a"}, {"-e", "1", "-M", "exclude_algorithm 40", "-l"});
  EXPECT_EQ(r.err, "mirt: Num | Name\nmirt:   0 | Uncompressed\n");

  r = run_with({"test_rle", "test_twin_a", "test_twin_b"}, {"-I", "40", "-l"});
  EXPECT_EQ(r.err, "mirt: Num | Name\nmirt:   0 | Uncompressed\nmirt:  40 | Twin A\n");

  r = run({"-E", "stream"});
  EXPECT_EQ(r.exit_code, 255);
  EXPECT_EQ(r.err, "mirt: No such cipher.\n");
}

TEST_F(ModulesTest, ExcludedModuleIsNotUsed) {
  const std::string data = test::make_data(20000, 2);
  ASSERT_TRUE(write_file(file("data"), data));
  RunResult r = run_with({"test_rle"}, {"-e", "1", "-b", "4096", "data"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_GT(read_file(file("data.mrt")).size(), data.size());
  // The container decompresses without the module: only copies inside.
  r = run({"-d", "-c", "data.mrt"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out == data);
}

TEST_F(ModulesTest, EqualOutputsGoToTheLowerSlot) {
  ASSERT_TRUE(write_file(file("short"), "a short text without zero bytes"));
  for (const auto& order : {std::vector<std::string>{"test_twin_a", "test_twin_b"},
                            std::vector<std::string>{"test_twin_b", "test_twin_a"}}) {
    RunResult r = run_with(order, {"-v", "-v", "-b", "1000", "-c", "short"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("mirt: 001 | 040  | 35      | Twin A\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("| 041  |"), std::string::npos);
  }
}

TEST_F(ModulesTest, WrongDecoderNeverWinsAndIsReported) {
  const std::string data = test::make_data(6000, 1, 11);
  ASSERT_TRUE(write_file(file("text"), data));
  RunResult r = run_with({"test_broken"}, {"-C", "-v", "-b", "2000", "text"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("Compression verification failed (ignoring)"), std::string::npos)
      << r.err;
  r = run({"-d", "-c", "text.mrt"});  // only copies: no module needed
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out == data);

  r = run_with({"test_broken"}, {"-v", "-b", "2000", "-c", "text"});
  EXPECT_EQ(r.err.find("Compression verification failed"), std::string::npos);
}

TEST_F(ModulesTest, AllModulesFromModuleDirectories) {
  const std::string modules = file("modules");
  std::filesystem::create_directories(modules);
  std::filesystem::copy_file(module_file("test_rle"), modules + "/rle.so");
  std::filesystem::copy_file(module_file("test_cipher"), modules + "/cipher.so");
  std::filesystem::copy_file(module_file("test_twin_a"), modules + "/twin.so.1");
  RunResult r = run({"-M", "module_dir " + modules, "-M", "all_modules on", "-l"});
  EXPECT_EQ(r.err, "mirt: Num | Name\nmirt:   0 | Uncompressed\nmirt:   1 | Test RLE\n");
  r = run({"-M", "module_dir " + modules, "-M", "all_modules yes", "-l"});
  EXPECT_EQ(r.err, "mirt: Num | Name\nmirt:   0 | Uncompressed\n");
  // A bare name is found along the same path.
  r = run({"-M", "module_dir " + modules, "-M", "use_module rle", "-l"});
  EXPECT_EQ(r.err, "mirt: Num | Name\nmirt:   0 | Uncompressed\nmirt:   1 | Test RLE\n");
}

TEST_F(ModulesTest, LoaderMessagesReachTheUser) {
  // Which module, and the dynamic loader's reason (which names the path).
  RunResult r = run({"-M", "module " + file("absent.so"), "-l"});
  ASSERT_EQ(loader_words(file("absent.so")).rfind(file("absent.so") + ": ", 0), 0u);
  EXPECT_EQ(r.err, "mirt: Could not load module.\nmirt: " + loader_words(file("absent.so")) +
                       "\nmirt: Num | Name\nmirt:   0 | Uncompressed\n");
  r = run({"-M", use("test_cipher_5"), "-l"});
  EXPECT_EQ(r.out, "Encryption algorithm number too high, ignoring 5\n");
  r = run({"-M", use("test_req_atleast_2091"), "-l"});
  EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
            module_file("test_req_atleast_2091") +
                " requires atleast MIRT 0.8.43, this is MIRT 0.8.42\n");
}

TEST_F(ModulesTest, FirstArgumentAUpgradesModulesFromConfiguration) {
  // Per-user directory, module directory, and the module's own locations
  // (templates under HOME) for its version file and newer copy.
  const std::string user_dir = home + "/.mirt/" +
                               expand_template("@@OSNM@@-@@ARCH@@", "");
  std::filesystem::create_directories(user_dir);
  std::filesystem::create_directories(home + "/updates");
  ASSERT_TRUE(write_file(home + "/updates/update_me.ver", "001000001"));
  ASSERT_TRUE(write_file(home + "/updates/update_me.bin", "next module"));
  const std::string modules = file("modules");
  std::filesystem::create_directories(modules);
  std::filesystem::copy_file(module_file("test_update"), modules + "/update_me.so");
  ASSERT_TRUE(write_file(home + "/.mirt/mirt.conf",
                         "module_dir " + modules + "\nmodule update_me\n"));

  RunResult r = run({"-l"});
  EXPECT_EQ(r.err, "mirt: Num | Name\nmirt:   0 | Uncompressed\nmirt:  70 | Variant\n");
  EXPECT_FALSE(test::file_exists(user_dir + "/update_me.so"));

  r = run({"-a", "-l"});
  EXPECT_EQ(r.err,
            "There is a new version of update_me.  NEW: 1.0.1, CURR: 1.0.0, fetching...\n"
            "mirt: Num | Name\nmirt:   0 | Uncompressed\nmirt:  70 | Variant\n");
  EXPECT_EQ(read_file(user_dir + "/update_me.so"), "next module");
}

// Modules the program can tell are broken: a text file named like a
// module, and modules whose required names are the wrong kind of thing.
// None may crash the run; each says why it was refused.
TEST_F(ModulesTest, BrokenModulesAreRefusedWithTheirReason) {
  ASSERT_TRUE(write_file(file("x.so"), "just text\n"));
  RunResult r = run({"-M", "module " + file("x.so"), "-l"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "mirt: Could not load module.\nmirt: " + loader_words(file("x.so")) +
                       "\nmirt: Num | Name\nmirt:   0 | Uncompressed\n");

  // The detail shows where " is not a mirt module." always has: in the
  // status line at level 2. A short path keeps it whole.
  const std::string data = test::make_data(20000, 2);
  ASSERT_TRUE(write_file(file("data"), data));
  for (const auto& [module, reason] :
       {std::pair<std::string, std::string>{"test_misfit_algo_function",
                                            "MR_ALGO is not a pointer variable"},
        {"test_misfit_name_int", "MR_NAME is not a pointer variable"}}) {
    std::filesystem::copy_file(module_file(module), file("m.so"),
                               std::filesystem::copy_options::overwrite_existing);
    r = run({"-v", "-v", "-M", "module " + file("m.so"), "-l"});
    EXPECT_EQ(r.exit_code, 0) << module;
    EXPECT_NE(r.err.find(file("m.so") + " is not a mirt module. (" + reason + ")"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("| Misfit"), std::string::npos) << r.err;
    // Every block is offered to every algorithm: a misfit that slipped
    // in would be called here.
    r = run({"-f", "-M", "module " + file("m.so"), "-c", "data"});
    EXPECT_EQ(r.exit_code, 0) << module << r.err;
    EXPECT_EQ(r.err, "") << module;
  }
}

}  // namespace
}  // namespace mirt
