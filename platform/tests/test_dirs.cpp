#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "testsupport/test_env.h"

namespace zyp::platform {
namespace {

class RuntimeDir : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = std::getenv("ZYP_RUNTIME_DIR"); }
  void TearDown() override { setenv("ZYP_RUNTIME_DIR", saved_.c_str(), 1); }
  std::string saved_;
};

TEST_F(RuntimeDir, IsCreatedPrivateWhenMissing) {
  std::string dir = zyp::testing::make_temp_folder("rt") + "/nested/zyp";
  setenv("ZYP_RUNTIME_DIR", dir.c_str(), 1);
  auto got = runtime_dir();
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, dir);
  struct stat st {};
  ASSERT_EQ(stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(RuntimeDir, OpenFolderIsRefusedWithItsPathInTheMessage) {
  for (unsigned mode : {0777u, 0750u, 0701u}) {
    std::string dir = zyp::testing::make_temp_folder("open");
    chmod(dir.c_str(), mode);
    setenv("ZYP_RUNTIME_DIR", dir.c_str(), 1);
    std::string error;
    EXPECT_FALSE(runtime_dir(&error)) << std::oct << mode;
    EXPECT_NE(error.find(dir), std::string::npos) << error;
    EXPECT_NE(error.find("open to other users"), std::string::npos) << error;
  }
}

// A passed check is trusted only briefly: a folder opened up afterwards is
// refused again, and the mended folder is accepted at once.
TEST_F(RuntimeDir, AFolderOpenedUpAfterItsCheckIsRefusedSoonAfter) {
  std::string dir = zyp::testing::make_temp_folder("later");
  chmod(dir.c_str(), 0700);
  setenv("ZYP_RUNTIME_DIR", dir.c_str(), 1);
  ASSERT_TRUE(runtime_dir());
  chmod(dir.c_str(), 0777);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string error;
  EXPECT_FALSE(runtime_dir(&error));
  EXPECT_NE(error.find("open to other users"), std::string::npos) << error;
  chmod(dir.c_str(), 0700);
  EXPECT_TRUE(runtime_dir());
}

TEST_F(RuntimeDir, FolderOfAnotherOwnerIsRefused) {
  std::string dir = zyp::testing::make_temp_folder("foreign");
  chmod(dir.c_str(), 0700);
  if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  ASSERT_EQ(chown(dir.c_str(), geteuid() + 1000, static_cast<gid_t>(-1)), 0);
  setenv("ZYP_RUNTIME_DIR", dir.c_str(), 1);
  std::string error;
  EXPECT_FALSE(runtime_dir(&error));
  EXPECT_NE(error.find("belongs to another user"), std::string::npos) << error;
}

TEST_F(RuntimeDir, SymlinkIsRefused) {
  std::string target = zyp::testing::make_temp_folder("target");
  std::string link = target + "-link";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  setenv("ZYP_RUNTIME_DIR", link.c_str(), 1);
  EXPECT_FALSE(runtime_dir());
}

TEST(ObjectPath, EscapesCharactersAFileNameCannotCarry) {
  auto path = object_path("ZYPCRYPT_FILE 372 10/..\\x", ".map");
  ASSERT_TRUE(path);
  EXPECT_EQ(path->substr(path->find_last_of('/') + 1), "ZYPCRYPT_FILE 372 10%2F..%5Cx.map");
  EXPECT_FALSE(object_path("", ".map"));
}

TEST(AtomicFile, ReplacesContentsAndLeavesNoTemporaryFile) {
  std::string dir = zyp::testing::make_temp_folder("atomic");
  std::string path = dir + "/store";
  ASSERT_TRUE(write_file_atomically(path, "first"));
  ASSERT_TRUE(write_file_atomically(path, std::string("se\0cond", 7), 0640));
  EXPECT_EQ(read_whole_file(path), std::string("se\0cond", 7));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_FALSE(write_file_atomically(dir + "/missing/store", "x"));
  EXPECT_FALSE(read_whole_file(dir + "/missing/store"));
}

}  // namespace
}  // namespace zyp::platform
