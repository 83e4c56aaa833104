#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/tests/child_process.h"
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

std::set<std::string> temporaries_of(const std::string& dir, const std::string& name) {
  std::set<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string file = entry.path().filename();
    if (file.size() == name.size() + 7 && file.rfind(name + ".", 0) == 0) found.insert(file);
  }
  return found;
}

TEST(AtomicFile, StaleTemporariesOfTheTargetAreRemovedAndNothingElse) {
  std::string dir = zyp::testing::make_temp_folder("stale");
  std::string path = dir + "/store";
  ASSERT_TRUE(write_file_atomically(path, "contents"));
  for (const char* name : {"store.Ab12Cd", "store.zzzzzz"}) ASSERT_TRUE(write_file_atomically(dir + "/" + name, "old"));
  // Names that are no temporaries of "store", a folder and a link.
  for (const char* name : {"store.Ab12C", "store.Ab12Cde", "store.Ab-2Cd", "storeXAb12Cd", "other.Ab12Cd"}) {
    ASSERT_TRUE(write_file_atomically(dir + "/" + name, "other"));
  }
  std::filesystem::create_directory(dir + "/store.Dir123");
  std::filesystem::create_symlink(dir + "/other.Ab12Cd", dir + "/store.Lnk123");

  // A temporary that a live writer holds locked stays until the writer is gone.
  std::string live = dir + "/store.Live12";
  zyp::testing::ChildProcess writer([&](zyp::testing::ChildProcess& self) {
    int fd = ::open(live.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return 1;
    self.tell_parent();
    zyp::testing::ChildProcess::hang();
  });
  ASSERT_EQ(writer.hear_from_child(), 'r');

  EXPECT_EQ(remove_stale_temporaries(path), 2u);
  const std::set<std::string> expected = {"store",        "store.Ab12C",  "store.Ab12Cde", "store.Ab-2Cd", "storeXAb12Cd",
                                          "other.Ab12Cd", "store.Dir123", "store.Lnk123",  "store.Live12"};
  std::set<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) left.insert(entry.path().filename());
  EXPECT_EQ(left, expected);
  EXPECT_EQ(read_whole_file(path), "contents");

  writer.kill();
  EXPECT_EQ(remove_stale_temporaries(path), 1u);
  EXPECT_FALSE(std::filesystem::exists(live));
  EXPECT_EQ(remove_stale_temporaries(dir + "/missing/store"), 0u);
}

TEST(AtomicFile, AWriterKilledMidWriteLeavesATemporaryTheCleanupRemoves) {
  std::string dir = zyp::testing::make_temp_folder("killed");
  std::string path = dir + "/store";
  const std::string old_contents = "old", new_contents(8 << 20, 'n');
  ASSERT_TRUE(write_file_atomically(path, old_contents));
  // The kill lands at an arbitrary moment; it is repeated until it has hit
  // a writer between the creation of its temporary and the rename.
  std::set<std::string> left;
  for (int attempt = 0; attempt < 50 && left.empty(); ++attempt) {
    zyp::testing::ChildProcess writer([&](zyp::testing::ChildProcess& self) {
      self.tell_parent();
      for (;;) write_file_atomically(path, new_contents);
      return 0;
    });
    ASSERT_EQ(writer.hear_from_child(), 'r');
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (temporaries_of(dir, "store").empty() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::yield();
    }
    writer.kill();
    left = temporaries_of(dir, "store");
  }
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(remove_stale_temporaries(path), 1u);
  EXPECT_TRUE(temporaries_of(dir, "store").empty());
  auto contents = read_whole_file(path);
  EXPECT_TRUE(contents == old_contents || contents == new_contents);
}

TEST(AtomicFile, CleanupNeverTakesALiveWritersTemporary) {
  std::string dir = zyp::testing::make_temp_folder("concurrent");
  std::string path = dir + "/store";
  constexpr int kWrites = 100;
  zyp::testing::ChildProcess writer([&](zyp::testing::ChildProcess&) {
    int failures = 0;
    for (int i = 0; i < kWrites; ++i) failures += write_file_atomically(path, std::string(4096, 'a' + i % 26)) ? 0 : 1;
    return failures;
  });
  for (;;) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(writer.pid()), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0) {
      break;
    }
    remove_stale_temporaries(path);
  }
  EXPECT_EQ(writer.join(), 0);
  EXPECT_TRUE(temporaries_of(dir, "store").empty());
}

}  // namespace
}  // namespace zyp::platform
