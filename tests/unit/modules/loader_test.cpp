#include "modules/loader.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "codec/tables.h"
#include "location/template.h"
#include "status/status.h"
#include "support/files.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace mirt {
namespace {

std::string module_file(const std::string& name) {
  return std::string(MIRT_TEST_MODULE_DIR) + "/" + name + ".so";
}

// Whether the object is still mapped; a probe must not keep it open.
bool is_loaded(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

// The line that names a module the dynamic loader refused, with its words.
std::string loader_refusal(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW);
  if (handle != nullptr) {
    dlclose(handle);
    return "<" + path + " loads>";
  }
  const std::string text = dlerror();
  EXPECT_FALSE(text.empty());
  return "mirt: " + (text.rfind(path + ":", 0) == 0 ? text : path + ": " + text) + "\n";
}

void copy_module(const std::string& name, const std::string& to) {
  std::filesystem::copy_file(module_file(name), to,
                             std::filesystem::copy_options::overwrite_existing);
}

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::reset_process_state();
    module_registry_init();
  }
  void TearDown() override { test::reset_process_state(); }
  int load(const std::string& name) { return load_module(name.c_str(), options_); }
  // Loads with standard error and standard output captured.
  int load_captured(const std::string& name, std::string& err, std::string& out) {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    int result = load(name);
    std::fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    return result;
  }
  std::string user_directory() const {
    return expand_template("@@HOME@@/.mirt/@@OSNM@@-@@ARCH@@", "");
  }

  test::TempDir home_;
  test::ScopedHome scoped_home_{home_.path()};
  Options options_;
};

// ---- Every row of the failure table --------------------------------------

struct RefusalCase {
  const char* label;
  const char* module;        // test module, or a path when it starts with "/"
  const char* err;           // expected standard error; "%s" is the module's path,
                             // "%L" the line with the dynamic loader's reason
  const char* out;           // expected standard output
  int recorded;              // handles left in the registry
  bool stays_loaded;
};

class RefusalTest : public LoaderTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, ReportsAndKeepsOrClosesTheObject) {
  const RefusalCase& c = GetParam();
  const std::string path = c.module[0] == '/' ? c.module : module_file(c.module);
  std::string err, out;
  EXPECT_EQ(load_captured(path, err, out), -1);
  std::string expected_err = c.err;
  if (size_t at = expected_err.find("%s"); at != std::string::npos)
    expected_err.replace(at, 2, path);
  if (size_t at = expected_err.find("%L"); at != std::string::npos)
    expected_err.replace(at, 2, loader_refusal(path));
  EXPECT_EQ(err, expected_err);
  EXPECT_EQ(out, c.out);
  EXPECT_EQ(module_registry_count(), c.recorded);
  if (c.module[0] != '/') {
    EXPECT_EQ(is_loaded(path), c.stays_loaded);
  }
}

INSTANTIATE_TEST_SUITE_P(
    FailureTable, RefusalTest,
    ::testing::Values(
        RefusalCase{"PathNotOpened", "/nonexistent/dir/module.so",
                    "mirt: Could not load module.\n%L", "", 0, false},
        RefusalCase{"RequiredSymbolMissing", "test_no_algo", "", "", 0, false},
        RefusalCase{"AtLeastNewer", "test_req_atleast_2091",
                    "%s requires atleast MIRT 0.8.43, this is MIRT 0.8.42\n", "", 0, false},
        RefusalCase{"ExactlyOlder", "test_req_exactly_2089",
                    "%s requires MIRT 0.8.41, this is MIRT 0.8.42\n", "", 0, false},
        RefusalCase{"ExactlyNewer", "test_req_exactly_2091",
                    "%s requires MIRT 0.8.43, this is MIRT 0.8.42\n", "", 0, false},
        RefusalCase{"AtMostOlder", "test_req_atmost_2089",
                    "%s requires atmost MIRT 0.8.41, this is MIRT 0.8.42\n", "", 0, false},
        RefusalCase{"CipherNumberTooHigh", "test_cipher_5", "",
                    "Encryption algorithm number too high, ignoring 5\n", 1, true},
        RefusalCase{"AlgorithmSlot255", "test_slot255", "", "", 1, true},
        RefusalCase{"CopySlotTaken", "test_slot0", "", "", 0, false},
        RefusalCase{"UnknownType", "test_type2", "", "", 1, true}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return info.param.label; });

TEST_F(LoaderTest, MissingSymbolShowsThePathAtLevelTwo) {
  status_param_set(kStatusLevel, 2);
  const std::string path = module_file("test_no_algo");
  testing::internal::CaptureStderr();
  EXPECT_EQ(load(path), -1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::string(status_text()), path + " is not a mirt module.");
}

// Required and optional names exported as the wrong kind of thing: each
// is refused before it is read as data or called, with the reason at the
// module-detail level where " is not a mirt module." has always been.
struct MisfitCase {
  const char* module;
  const char* problem;
};

class MisfitTest : public LoaderTest, public ::testing::WithParamInterface<MisfitCase> {};

TEST_P(MisfitTest, IsRefusedWithItsReason) {
  // A short path keeps the reason within the status text.
  test::TempDir dir;
  const std::string path = dir.file("m.so");
  copy_module(GetParam().module, path);
  status_param_set(kStatusLevel, 2);
  std::string err, out;
  EXPECT_EQ(load_captured(path, err, out), -1);
  EXPECT_EQ(std::string(status_text()),
            path + " is not a mirt module. (" + GetParam().problem + ")");
  EXPECT_EQ(out, "");
  EXPECT_FALSE(algorithm_available(80));
  EXPECT_EQ(module_registry_count(), 0);
  EXPECT_FALSE(is_loaded(path));
}

INSTANTIATE_TEST_SUITE_P(
    Symbols, MisfitTest,
    ::testing::Values(
        MisfitCase{"test_misfit_algo_function", "MR_ALGO is not a pointer variable"},
        MisfitCase{"test_misfit_algo_data", "MR_ALGO does not point to a function"},
        MisfitCase{"test_misfit_name_int", "MR_NAME is not a pointer variable"},
        MisfitCase{"test_misfit_name_wild", "MR_NAME points outside every loaded object"},
        MisfitCase{"test_misfit_url_int", "MR_URL_GET is not a pointer variable"},
        MisfitCase{"test_misfit_memory_data", "MR_MEMORY does not point to a function"}),
    [](const auto& info) { return std::string(info.param.module).substr(12); });

TEST_F(LoaderTest, WellFormedModuleFromTheMisfitSourceLoads) {
  std::string err, out;
  EXPECT_EQ(load_captured(module_file("test_misfit_none"), err, out), 0);
  EXPECT_EQ(err, "");
  EXPECT_STREQ(algorithm_name(80), "Misfit");
}

// What a call needs is the module's word when it gives one (MR_MEMORY),
// else a multiple of the block size.
TEST_F(LoaderTest, MemoryOfACallIsWhatTheModuleSays) {
  std::string err, out;
  ASSERT_EQ(load_captured(module_file("test_memory"), err, out), 0);
  ASSERT_EQ(load_captured(module_file("test_type0"), err, out), 0);
  EXPECT_EQ(algorithm_memory(61, MR_MODE_DECOMPRESS, 1000), 3000u + 2 + 1);
  EXPECT_EQ(algorithm_memory(60, MR_MODE_DECOMPRESS, 1000), kUnstatedMemoryFactor * 1000);
  EXPECT_EQ(algorithm_memory(0, MR_MODE_DECOMPRESS, 1000), 0u);
}

TEST_F(LoaderTest, BareNameThatFailsToLoadIsReportedAndTheSearchGoesOn) {
  test::TempDir broken, good;
  ASSERT_TRUE(test::write_file(broken.file("x.so"), "not an object\n"));
  copy_module("test_misfit_none", good.file("x.so"));
  module_path_append(broken.path().c_str());
  module_path_append(good.path().c_str());
  std::string err, out;
  EXPECT_EQ(load_captured("x", err, out), 0);
  EXPECT_EQ(err, "mirt: Could not load module.\n" + loader_refusal(broken.file("x.so")));
  EXPECT_TRUE(algorithm_available(80));
}

TEST_F(LoaderTest, BareNameFoundNowhereIsSilent) {
  std::string err, out;
  EXPECT_EQ(load_captured("no_such_module_anywhere", err, out), -1);
  EXPECT_EQ(err, "");
  EXPECT_EQ(out, "");
  EXPECT_EQ(module_registry_count(), 0);
}

// ---- Version requirements that pass --------------------------------------

class RequirementPassTest : public LoaderTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RequirementPassTest, Installs) {
  std::string err, out;
  EXPECT_EQ(load_captured(module_file(GetParam()), err, out), 0);
  EXPECT_EQ(err, "");
  EXPECT_TRUE(algorithm_available(50));
  EXPECT_STREQ(algorithm_name(50), "Variant");
  EXPECT_EQ(module_registry_count(), 1);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, RequirementPassTest,
                         ::testing::Values("test_req_atleast_2090", "test_req_exactly_2090",
                                           "test_req_atmost_2090", "test_req_kind0",
                                           "test_req_kind4"));

// ---- Slots -----------------------------------------------------------------

TEST_F(LoaderTest, StubSlotTakesTheModuleAndItsName) {
  ASSERT_FALSE(algorithm_available(9));
  EXPECT_EQ(load(module_file("test_slot9")), 0);
  EXPECT_TRUE(algorithm_available(9));
  EXPECT_STREQ(algorithm_name(9), "Slot Nine");
  EXPECT_EQ(highest_available_algorithm(), 9);
}

TEST_F(LoaderTest, SecondLoadOfAnAlgorithmIsRefusedAndOnlyItsRecordGoes) {
  const std::string path = module_file("test_slot9");
  EXPECT_EQ(load(path), 0);
  EXPECT_EQ(load(path), -1);
  EXPECT_EQ(module_registry_count(), 1);
  EXPECT_TRUE(is_loaded(path));  // the first load's reference stays
  EXPECT_EQ(unload_modules(), 0);
  EXPECT_FALSE(is_loaded(path));
  tables_reset();
}

TEST_F(LoaderTest, DisabledSlotCanBeFilledAgain) {
  EXPECT_EQ(load(module_file("test_rle")), 0);
  tables_reset();
  algorithm_disable(1);
  EXPECT_EQ(load(module_file("test_rle")), 0);
  EXPECT_STREQ(algorithm_name(1), "Test RLE");
}

TEST_F(LoaderTest, MissingTypeMeansAlgorithm) {
  EXPECT_EQ(load(module_file("test_req_kind0")), 0);
  EXPECT_TRUE(algorithm_available(50));
  EXPECT_EQ(load(module_file("test_type0")), 0);
  EXPECT_TRUE(algorithm_available(60));
}

TEST_F(LoaderTest, CiphersFillStubSlotsAndTheEmptyFifthSlot) {
  ASSERT_EQ(cipher_name(4), nullptr);
  EXPECT_EQ(load(module_file("test_cipher")), 0);
  EXPECT_TRUE(cipher_available(4));
  EXPECT_STREQ(cipher_name(4), "stream");
  EXPECT_EQ(load(module_file("test_cipher_chaos")), 0);
  EXPECT_TRUE(cipher_available(0));
  EXPECT_STREQ(cipher_name(0), "stream");
  EXPECT_FALSE(algorithm_available(4));  // the algorithm table is untouched
}

TEST_F(LoaderTest, CipherLoadedTwiceIsRefusedAndStaysRecorded) {
  const std::string path = module_file("test_cipher");
  EXPECT_EQ(load(path), 0);
  EXPECT_EQ(load(path), -1);
  EXPECT_EQ(module_registry_count(), 2);
  EXPECT_EQ(unload_modules(), 0);
  EXPECT_FALSE(is_loaded(path));  // both references closed
  tables_reset();
}

// ---- Registry ----------------------------------------------------------------

TEST_F(LoaderTest, RegistryInitialisesOnceAndUnloadNeedsIt) {
  module_registry_reset();
  EXPECT_EQ(unload_modules(), -1);
  EXPECT_EQ(module_registry_init(), 0);
  EXPECT_EQ(module_registry_init(), -1);
  EXPECT_EQ(unload_modules(), 0);
}

TEST_F(LoaderTest, UnloadClosesRecordedHandlesOnceAndKeepsTheCount) {
  const std::string rle = module_file("test_rle");
  const std::string cipher = module_file("test_cipher");
  ASSERT_EQ(load(rle), 0);
  ASSERT_EQ(load(cipher), 0);
  EXPECT_EQ(module_registry_count(), 2);
  EXPECT_EQ(unload_modules(), 0);
  EXPECT_FALSE(is_loaded(rle));
  EXPECT_FALSE(is_loaded(cipher));
  EXPECT_EQ(module_registry_count(), 2);
  EXPECT_EQ(unload_modules(), 0);  // nothing closed twice
  // The tables point into closed objects now; they are not used again.
  tables_reset();
}

TEST_F(LoaderTest, RegistryHoldsAtMost255Handles) {
  const std::string cipher = module_file("test_cipher");
  const std::string extra = module_file("test_type0");
  testing::internal::CaptureStdout();
  for (int i = 0; i < 255; ++i) load(cipher);  // refused after the first, but recorded
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(module_registry_count(), 255);
  // Installed as usual, but never recorded, so never closed by unload.
  EXPECT_EQ(load(extra), 0);
  EXPECT_TRUE(algorithm_available(60));
  EXPECT_EQ(module_registry_count(), 255);
  EXPECT_EQ(unload_modules(), 0);
  EXPECT_FALSE(is_loaded(cipher));
  EXPECT_TRUE(is_loaded(extra));
  tables_reset();
  void* handle = dlopen(extra.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr);
  dlclose(handle);
  dlclose(handle);  // the load's own reference, which nothing else closes
  EXPECT_FALSE(is_loaded(extra));
}

// ---- Finding modules -----------------------------------------------------------

TEST_F(LoaderTest, BareNameSearchesTheModulePathInOrder) {
  test::TempDir first, second;
  copy_module("test_twin_a", first.file("pick.so.1"));  // numbered objects are not found
  copy_module("test_twin_b", second.file("pick.so"));
  module_path_append(first.path().c_str());
  module_path_append(second.path().c_str());
  EXPECT_EQ(load("pick"), 0);
  EXPECT_TRUE(algorithm_available(41));

  copy_module("test_twin_a", first.file("pick.so"));
  tables_reset();
  module_registry_reset();
  module_registry_init();
  EXPECT_EQ(load("pick"), 0);
  EXPECT_TRUE(algorithm_available(40));
  EXPECT_FALSE(algorithm_available(41));
}

TEST_F(LoaderTest, DefaultModulePathIsTheUserDirectory) {
  std::filesystem::create_directories(user_directory());
  copy_module("test_rle", user_directory() + "/rle.so");
  EXPECT_EQ(load("rle"), 0);
  EXPECT_STREQ(algorithm_name(1), "Test RLE");
}

TEST_F(LoaderTest, SearchPathIsCutTo254Characters) {
  // A directory whose "%s/%s.so" path is 255 characters: the cut drops
  // the final "o", and the cut name is what is opened.
  test::TempDir base;
  const std::string name = "cut";
  std::string directory = base.path() + "/";
  directory += std::string(255 - directory.size() - (1 + name.size() + 3), 'd');
  std::filesystem::create_directories(directory);
  const std::string full = directory + "/" + name + ".so";
  ASSERT_EQ(full.size(), 255u);
  copy_module("test_rle", full.substr(0, 254));
  module_path_append(directory.c_str());
  EXPECT_EQ(load(name), 0);
  EXPECT_TRUE(algorithm_available(1));
}

TEST_F(LoaderTest, GivenPathIsCutTo255Characters) {
  test::TempDir base;
  std::string directory = base.path() + "/";
  directory += std::string(255 - directory.size() - std::strlen("/m.so"), 'p');
  std::filesystem::create_directories(directory);
  const std::string path = directory + "/m.so";
  ASSERT_EQ(path.size(), 255u);
  copy_module("test_rle", path);
  EXPECT_EQ(load(path + "-anything-beyond"), 0);
  EXPECT_TRUE(algorithm_available(1));
}

TEST_F(LoaderTest, RelativePathIsOpenedDirectly) {
  test::TempDir base;
  std::filesystem::create_directories(base.file("sub"));
  copy_module("test_rle", base.file("sub/rle.so"));
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(base.path());
  const int result = load("sub/rle.so");
  std::filesystem::current_path(cwd);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(algorithm_available(1));
}

TEST_F(LoaderTest, LoadAllTakesEverySharedObjectOfEveryDirectory) {
  test::TempDir first, second;
  copy_module("test_rle", first.file("a.so"));
  copy_module("test_twin_a", first.file("numbered.so.2"));
  ASSERT_TRUE(test::write_file(first.file("notes.txt"), "not a module"));
  copy_module("test_cipher", second.file("c.so"));
  module_path_append(first.path().c_str());
  module_path_append((home_.path() + "/missing-directory").c_str());
  module_path_append(second.path().c_str());
  EXPECT_EQ(load_all_modules(options_), 0);
  EXPECT_TRUE(algorithm_available(1));
  EXPECT_FALSE(algorithm_available(40));
  EXPECT_TRUE(cipher_available(4));
  EXPECT_EQ(module_registry_count(), 2);
}

TEST_F(LoaderTest, LoadAllReportsAnObjectThatIsNoModule) {
  test::TempDir dir;
  ASSERT_TRUE(test::write_file(dir.file("junk.so"), "not an object"));
  module_path_append(dir.path().c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(load_all_modules(options_), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "mirt: Could not load module.\n" + loader_refusal(dir.file("junk.so")));
  EXPECT_EQ(module_registry_count(), 0);
}

// ---- Update check of modules ------------------------------------------------------

class ModuleUpdateTest : public LoaderTest {
 protected:
  void SetUp() override {
    LoaderTest::SetUp();
    std::filesystem::create_directories(home_.file("updates"));
    std::filesystem::create_directories(user_directory());
    ASSERT_TRUE(test::write_file(home_.file("updates/update_me.bin"), "newer module"));
    ASSERT_TRUE(test::write_file(home_.file("updates/update_me.ver"), "001000001"));
    copy_module("test_update", modules_.file("update_me.so"));
    module_path_append(modules_.path().c_str());
  }
  std::string fetched() const { return user_directory() + "/update_me.so"; }

  test::TempDir modules_;
};

TEST_F(ModuleUpdateTest, BareNameIsCheckedAndFetchedForTheNextRun) {
  options_.upgrade = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(load("update_me"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "There is a new version of update_me.  NEW: 1.0.1, CURR: 1.0.0, fetching...\n");
  EXPECT_EQ(test::read_file(fetched()), "newer module");
  EXPECT_TRUE(algorithm_available(70));  // the loaded copy is used in this run
}

TEST_F(ModuleUpdateTest, CheckOnlyAnnounces) {
  options_.version_check = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(load("update_me"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "There is a new version of update_me.  NEW: 1.0.1, CURR: 1.0.0\n");
  EXPECT_FALSE(test::file_exists(fetched()));
}

TEST_F(ModuleUpdateTest, AbsolutePathAndDisabledCheckingFetchNothing) {
  options_.upgrade = 1;
  testing::internal::CaptureStderr();
  EXPECT_EQ(load(modules_.file("update_me.so")), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(test::file_exists(fetched()));

  tables_reset();
  options_.upgrade = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(load("update_me"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(test::file_exists(fetched()));
}

TEST_F(ModuleUpdateTest, ModulesWithoutVersionOrLocationsAreNotChecked) {
  options_.upgrade = 1;
  copy_module("test_rle", modules_.file("update_me.so"));
  testing::internal::CaptureStderr();
  EXPECT_EQ(load("update_me"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(test::file_exists(fetched()));
}

}  // namespace
}  // namespace mirt
