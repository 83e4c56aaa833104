#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "platform/atomic_file.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "testsupport/test_env.h"

namespace zyp::platform {
namespace {

void write_text(const std::string& path, const std::string& text, mode_t mode = 0644) {
  ASSERT_TRUE(write_file_atomically(path, text, mode)) << path;
}

std::string read_text(const std::string& path) { return read_whole_file(path).value_or("<missing>"); }

ino_t inode_of(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool xattrs_supported(const std::string& folder) {
  std::string probe = folder + "/.xattr-probe";
  write_file_atomically(probe, "", 0600);
  bool ok = ::setxattr(probe.c_str(), "user.zyp.probe", "1", 1, 0) == 0;
  ::unlink(probe.c_str());
  return ok;
}

// Names and contents of everything below `folder`, to show that a refused
// operation changed nothing.
std::map<std::string, std::string> snapshot(const std::string& folder) {
  std::map<std::string, std::string> entries;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return entries;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = folder + "/" + name;
    if (is_folder(path)) {
      for (auto& [sub, text] : snapshot(path)) entries[name + "/" + sub] = text;
      entries[name + "/"] = "";
    } else {
      entries[name] = read_text(path) + " mode " + std::to_string(mode_of(path));
    }
  }
  ::closedir(dir);
  return entries;
}

// A folder holding: a ("alpha"), b ("beta"), ro (a read-only file), full/
// (a folder with one file), empty/ and rodir/ (an empty folder with the
// read-only attribute).
std::string make_fixture() {
  std::string dir = zyp::testing::make_temp_folder("files");
  write_file_atomically(dir + "/a", "alpha", 0644);
  write_file_atomically(dir + "/b", "beta", 0644);
  write_file_atomically(dir + "/ro", "kept", 0444);
  ::mkdir((dir + "/full").c_str(), 0755);
  write_file_atomically(dir + "/full/inner", "x", 0644);
  ::mkdir((dir + "/empty").c_str(), 0755);
  ::mkdir((dir + "/rodir").c_str(), 0755);
  set_file_attributes(dir + "/rodir", kAttributeReadOnly);
  return dir;
}

struct RefusalCase {
  const char* what;
  std::function<bool(const std::string& dir)> call;
  uint32_t error;
};

TEST(FileOperations, RefusalsGiveTheWindowsErrorAndChangeNothing) {
  const RefusalCase cases[] = {
      {"copy onto an existing file without overwrite", [](auto& d) { return copy_file(d + "/a", d + "/b", true); },
       kErrorFileExists},
      {"copy a missing file", [](auto& d) { return copy_file(d + "/none", d + "/c", false); }, kErrorFileNotFound},
      {"copy into a missing folder", [](auto& d) { return copy_file(d + "/a", d + "/none/c", false); },
       kErrorPathNotFound},
      {"copy over a read-only file", [](auto& d) { return copy_file(d + "/a", d + "/ro", false); }, kErrorAccessDenied},
      {"copy over a folder", [](auto& d) { return copy_file(d + "/a", d + "/empty", false); }, kErrorAccessDenied},
      {"copy a folder", [](auto& d) { return copy_file(d + "/full", d + "/c", false); }, kErrorAccessDenied},
      {"move onto an existing file", [](auto& d) { return move_file(d + "/a", d + "/b"); }, kErrorAlreadyExists},
      {"move onto an existing folder", [](auto& d) { return move_file(d + "/empty", d + "/full"); },
       kErrorAlreadyExists},
      {"move a missing file", [](auto& d) { return move_file(d + "/none", d + "/c"); }, kErrorFileNotFound},
      {"move into a missing folder", [](auto& d) { return move_file(d + "/a", d + "/none/c"); }, kErrorPathNotFound},
      {"delete a read-only file", [](auto& d) { return delete_file(d + "/ro"); }, kErrorAccessDenied},
      {"delete a folder", [](auto& d) { return delete_file(d + "/empty"); }, kErrorAccessDenied},
      {"delete a missing file", [](auto& d) { return delete_file(d + "/none"); }, kErrorFileNotFound},
      {"delete in a missing folder", [](auto& d) { return delete_file(d + "/none/x"); }, kErrorPathNotFound},
      {"remove a non-empty folder", [](auto& d) { return remove_folder(d + "/full"); }, kErrorDirNotEmpty},
      {"remove a read-only folder", [](auto& d) { return remove_folder(d + "/rodir"); }, kErrorAccessDenied},
      {"remove a missing folder", [](auto& d) { return remove_folder(d + "/none"); }, kErrorFileNotFound},
      {"remove a file as a folder", [](auto& d) { return remove_folder(d + "/a"); }, kErrorDirectory},
      {"rewrite a missing file", [](auto& d) { return rewrite_in_place(d + "/a", d + "/none"); }, kErrorFileNotFound},
      {"rewrite a read-only file", [](auto& d) { return rewrite_in_place(d + "/a", d + "/ro"); }, kErrorAccessDenied},
      {"rewrite from a missing file", [](auto& d) { return rewrite_in_place(d + "/none", d + "/b"); },
       kErrorFileNotFound},
      {"temporary file in a missing folder", [](auto& d) { return temp_file_name(d + "/none", "ZYP").has_value(); },
       kErrorPathNotFound},
  };
  bool with_xattrs = xattrs_supported(zyp::testing::make_temp_folder("probe"));
  for (const auto& c : cases) {
    if (!with_xattrs && std::string(c.what).find("read-only folder") != std::string::npos) continue;
    std::string dir = make_fixture();
    auto before = snapshot(dir);
    set_last_error(0);
    EXPECT_FALSE(c.call(dir)) << c.what;
    EXPECT_EQ(last_error(), c.error) << c.what;
    EXPECT_EQ(snapshot(dir), before) << c.what;
  }
}

TEST(FileOperations, ReadOnlyFileAndFolderGoOnceTheAttributeIsCleared) {
  std::string dir = make_fixture();
  ASSERT_TRUE(set_file_attributes(dir + "/ro", kAttributeNormal));
  EXPECT_TRUE(delete_file(dir + "/ro"));
  EXPECT_FALSE(file_exists(dir + "/ro"));
  ASSERT_TRUE(set_file_attributes(dir + "/rodir", kAttributeNormal));
  EXPECT_TRUE(remove_folder(dir + "/rodir"));
  EXPECT_FALSE(file_exists(dir + "/rodir"));
}

TEST(FileOperations, CopyTakesContentsModeTimeAndAttributes) {
  std::string dir = make_fixture();
  ASSERT_TRUE(set_file_attributes(dir + "/a", kAttributeHidden | kAttributeReadOnly));
  ASSERT_TRUE(set_file_times(dir + "/a", std::nullopt, 130000000000000000ull));

  ASSERT_TRUE(copy_file(dir + "/a", dir + "/b", false));
  EXPECT_EQ(read_text(dir + "/b"), "alpha");
  EXPECT_EQ(mode_of(dir + "/b"), mode_of(dir + "/a"));
  EXPECT_EQ(get_file_times(dir + "/b")->last_write, 130000000000000000ull);
  uint32_t expected = kAttributeReadOnly | (xattrs_supported(dir) ? uint32_t{kAttributeHidden} : 0u);
  EXPECT_EQ(get_file_attributes(dir + "/b"), expected);

  ASSERT_TRUE(copy_file(dir + "/a", dir + "/new", true));
  EXPECT_EQ(read_text(dir + "/new"), "alpha");
  EXPECT_EQ(read_text(dir + "/a"), "alpha");
}

TEST(FileOperations, MoveRenamesFilesAndFolders) {
  std::string dir = make_fixture();
  ino_t inode = inode_of(dir + "/a");
  ASSERT_TRUE(move_file(dir + "/a", dir + "/moved"));
  EXPECT_FALSE(file_exists(dir + "/a"));
  EXPECT_EQ(inode_of(dir + "/moved"), inode);
  ASSERT_TRUE(move_file(dir + "/full", dir + "/renamed"));
  EXPECT_EQ(read_text(dir + "/renamed/inner"), "x");
  // Moving a read-only file is allowed, as on Windows.
  EXPECT_TRUE(move_file(dir + "/ro", dir + "/ro2"));
}

// /dev/shm is a tmpfs on a usual Linux machine; the test folders are not.
std::optional<std::string> folder_on_another_file_system(const std::string& here) {
  struct stat a {
  }, b{};
  if (::stat(here.c_str(), &a) != 0 || ::stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev) return std::nullopt;
  std::string other = "/dev/shm/zyp-files-" + std::to_string(::getpid());
  if (::mkdir(other.c_str(), 0700) != 0) return std::nullopt;
  return other;
}

TEST(FileOperations, MoveAcrossFileSystemsCopiesThenUnlinks) {
  std::string dir = make_fixture();
  auto other = folder_on_another_file_system(dir);
  if (!other) GTEST_SKIP() << "no second file system at /dev/shm";
  ASSERT_TRUE(set_file_times(dir + "/ro", std::nullopt, 125000000000000000ull));

  EXPECT_TRUE(move_file(dir + "/ro", *other + "/ro"));
  EXPECT_FALSE(file_exists(dir + "/ro"));
  EXPECT_EQ(read_text(*other + "/ro"), "kept");
  EXPECT_EQ(mode_of(*other + "/ro"), 0444u);
  EXPECT_EQ(get_file_times(*other + "/ro")->last_write, 125000000000000000ull);

  write_text(*other + "/b", "there");
  EXPECT_FALSE(move_file(dir + "/b", *other + "/b"));
  EXPECT_EQ(last_error(), kErrorAlreadyExists);
  EXPECT_EQ(read_text(dir + "/b"), "beta");
  EXPECT_EQ(read_text(*other + "/b"), "there");

  EXPECT_FALSE(move_file(dir + "/full", *other + "/full"));
  EXPECT_EQ(last_error(), 17u);  // folders do not cross file systems
  EXPECT_TRUE(is_folder(dir + "/full"));

  for (const char* name : {"/ro", "/b"}) ::unlink((*other + name).c_str());
  ::rmdir(other->c_str());
}

TEST(RewriteInPlace, KeepsTheInodeAndTakesTheSourceLength) {
  struct Case {
    const char* old_text;
    const char* new_text;
  };
  for (const Case c : {Case{"a longer old text", "short"}, Case{"old", "a longer new text"}, Case{"old", ""}}) {
    std::string dir = zyp::testing::make_temp_folder("inplace");
    write_text(dir + "/dst", c.old_text);
    write_text(dir + "/src", c.new_text);
    ASSERT_EQ(::link((dir + "/dst").c_str(), (dir + "/alias").c_str()), 0);
    ino_t inode = inode_of(dir + "/dst");

    ASSERT_TRUE(rewrite_in_place(dir + "/src", dir + "/dst")) << c.new_text;
    EXPECT_EQ(inode_of(dir + "/dst"), inode);
    EXPECT_EQ(read_text(dir + "/alias"), c.new_text);
    EXPECT_EQ(read_text(dir + "/src"), c.new_text);
  }
}

TEST(Attributes, RoundTripOnFilesAndFolders) {
  std::string dir = zyp::testing::make_temp_folder("attrs");
  if (!xattrs_supported(dir)) GTEST_SKIP() << "no user extended attributes here";
  write_text(dir + "/file", "x", 0640);
  ::mkdir((dir + "/folder").c_str(), 0750);
  struct Case {
    const char* path;
    uint32_t set;
    uint32_t get;
  };
  const Case cases[] = {
      {"/file", kAttributeReadOnly, kAttributeReadOnly},
      {"/file", kAttributeReadOnly | kAttributeHidden, kAttributeReadOnly | kAttributeHidden},
      {"/file", kAttributeReadOnly | kAttributeSystem, kAttributeReadOnly | kAttributeSystem},
      {"/file", kAttributeArchive | kAttributeDirectory, kAttributeArchive},
      {"/file", kAttributeNormal, kAttributeNormal},
      {"/file", 0, kAttributeNormal},
      {"/folder", kAttributeReadOnly | kAttributeHidden, kAttributeDirectory | kAttributeReadOnly | kAttributeHidden},
      {"/folder", kAttributeNormal, kAttributeDirectory},
      {"/folder", kAttributeSystem, kAttributeDirectory | kAttributeSystem},
  };
  for (const auto& c : cases) {
    std::string path = dir + c.path;
    ASSERT_TRUE(set_file_attributes(path, c.set)) << c.path << " " << c.set;
    EXPECT_EQ(get_file_attributes(path), c.get) << c.path << " " << c.set;
  }
}

TEST(Attributes, ReadOnlyIsTheOwnerWriteBitOfAFileOnly) {
  std::string dir = zyp::testing::make_temp_folder("attrs");
  write_text(dir + "/file", "x", 0664);
  ::mkdir((dir + "/folder").c_str(), 0755);

  ASSERT_TRUE(set_file_attributes(dir + "/file", kAttributeReadOnly));
  EXPECT_EQ(mode_of(dir + "/file"), 0464u);
  ASSERT_TRUE(set_file_attributes(dir + "/file", kAttributeNormal));
  EXPECT_EQ(mode_of(dir + "/file"), 0664u);

  ASSERT_TRUE(set_file_attributes(dir + "/folder", kAttributeReadOnly));
  EXPECT_EQ(mode_of(dir + "/folder"), 0755u);

  ::chmod((dir + "/file").c_str(), 0444);
  EXPECT_EQ(get_file_attributes(dir + "/file"), uint32_t{kAttributeReadOnly});
}

// Without privileges, writing the extended attribute of a read-only file
// needs the write bit back for a moment.
int change_attributes_of_read_only_file(void*) {
  if (geteuid() == 0 && setuid(65534) != 0) return 90;
  if (!set_file_attributes("file", kAttributeReadOnly | kAttributeHidden)) return 91;
  if (!set_file_attributes("file", kAttributeReadOnly | kAttributeSystem)) return 92;
  if (get_file_attributes("file") != (kAttributeReadOnly | kAttributeSystem)) return 93;
  return mode_of("file") == 0444 ? 0 : 94;
}

TEST(Attributes, ReadOnlyFileOfAnUnprivilegedOwnerTakesOtherBits) {
  std::string dir = zyp::testing::make_temp_folder("attrs");
  if (!xattrs_supported(dir)) GTEST_SKIP() << "no user extended attributes here";
  write_text(dir + "/file", "x", 0644);
  if (geteuid() == 0) {
    ASSERT_EQ(chown((dir + "/file").c_str(), 65534, 65534), 0);
  }
  // The child works by relative names: it cannot search the private test root.
  std::string previous = std::filesystem::current_path();
  ASSERT_EQ(chdir(dir.c_str()), 0);
  int status = zyp::testing::run_in_child(&change_attributes_of_read_only_file, nullptr);
  ASSERT_EQ(chdir(previous.c_str()), 0);
  EXPECT_EQ(status, 0);
}

TEST(Attributes, MissingPathIsInvalid) {
  std::string dir = zyp::testing::make_temp_folder("attrs");
  EXPECT_EQ(get_file_attributes(dir + "/none"), kInvalidFileAttributes);
  EXPECT_EQ(last_error(), kErrorFileNotFound);
  EXPECT_FALSE(set_file_attributes(dir + "/none/deeper", kAttributeNormal));
  EXPECT_EQ(last_error(), kErrorPathNotFound);
}

TEST(TempFileName, CreatesUniquePrivateEmptyFiles) {
  std::string dir = zyp::testing::make_temp_folder("temp");
  std::set<std::string> names;
  for (int i = 0; i < 50; ++i) {
    auto path = temp_file_name(dir + "/", "ZYPLONG");
    ASSERT_TRUE(path);
    EXPECT_EQ(path->rfind(dir + "/ZYP", 0), 0u) << *path;
    EXPECT_EQ(path->substr(path->size() - 4), ".tmp");
    EXPECT_EQ(path->find("ZYPL"), std::string::npos) << "only three characters of the prefix";
    EXPECT_EQ(mode_of(*path), 0600u);
    EXPECT_EQ(file_size(*path), 0u);
    names.insert(*path);
  }
  EXPECT_EQ(names.size(), 50u);
}

TEST(FileTimes, FiletimeConversions) {
  struct Case {
    timespec time;
    uint64_t filetime;
  };
  const Case cases[] = {
      {{0, 0}, 116444736000000000ull},          // 1970-01-01
      {{-11644473600, 0}, 0},                   // 1601-01-01
      {{1, 123456700}, 116444736011234567ull},  // 100 ns resolution
      {{1700000000, 0}, 133444736000000000ull},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(filetime_from_timespec(c.time), c.filetime) << c.time.tv_sec;
    timespec back = timespec_from_filetime(c.filetime);
    EXPECT_EQ(back.tv_sec, c.time.tv_sec);
    EXPECT_EQ(back.tv_nsec, c.time.tv_nsec);
  }
  EXPECT_EQ(filetime_from_timespec({-11644473601, 0}), 0u) << "before 1601";
  EXPECT_EQ(filetime_from_timespec({0, 99}), 116444736000000000ull) << "below 100 ns";
}

TEST(FileTimes, SetAndGetEachTimeAlone) {
  std::string dir = zyp::testing::make_temp_folder("times");
  write_text(dir + "/f", "x");
  ASSERT_TRUE(set_file_times(dir + "/f", 120000000000000000ull, 121000000000000000ull));
  ASSERT_TRUE(set_file_times(dir + "/f", std::nullopt, 122000000000000000ull));
  auto times = get_file_times(dir + "/f");
  ASSERT_TRUE(times);
  EXPECT_EQ(times->last_access, 120000000000000000ull);
  EXPECT_EQ(times->last_write, 122000000000000000ull);
  EXPECT_FALSE(set_file_times(dir + "/none", 1, 1));
  EXPECT_EQ(last_error(), kErrorFileNotFound);
}

TEST(FileSize, IsSixtyFourBitAndRefusesFolders) {
  std::string dir = zyp::testing::make_temp_folder("size");
  std::string path = dir + "/sparse";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, off_t{5} << 30), 0);
  ::close(fd);
  EXPECT_EQ(file_size(path), uint64_t{5} << 30);
  EXPECT_FALSE(file_size(dir));
  EXPECT_EQ(last_error(), kErrorAccessDenied);
  EXPECT_TRUE(is_folder(dir));
  EXPECT_FALSE(is_folder(path));
}

}  // namespace
}  // namespace zyp::platform
