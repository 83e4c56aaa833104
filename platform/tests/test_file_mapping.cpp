#include "platform/file_mapping.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/last_error.h"
#include "platform/tests/child_process.h"
#include "testsupport/test_env.h"

namespace zyp::platform {
namespace {

using zyp::testing::ChildProcess;

constexpr const char* kName = "ZYPCRYPT_FILE 372 1024";  // names carry blanks and digits

// A file of `bytes` in a fresh folder, open with `flags`.
struct TestFile {
  std::string path;
  int fd = -1;
  TestFile(const std::string& bytes, int flags = O_RDWR) {
    path = zyp::testing::make_temp_folder("file") + "/data.bin";
    write_file_atomically(path, bytes);
    fd = ::open(path.c_str(), flags | O_CLOEXEC);
  }
  ~TestFile() { ::close(fd); }
  off_t size() const {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
  }
};

char* bytes_of(const FileMapping& mapping) { return static_cast<char*>(mapping.data()); }

TEST(FileMapping, ChangesAreSeenByBothSides) {
  TestFile file(std::string(4096, '.'));
  auto mapping = FileMapping::create(file.fd, kName, 0);
  ASSERT_TRUE(mapping);
  ASSERT_EQ(mapping->size(), 4096u);
  std::memcpy(bytes_of(*mapping) + 10, "parent", 6);

  ChildProcess child([](ChildProcess& self) {
    auto opened = FileMapping::open(kName);
    if (!opened || opened->size() != 4096 || !opened->writable()) return 1;
    if (std::memcmp(bytes_of(*opened) + 10, "parent", 6) != 0) return 2;
    std::memcpy(bytes_of(*opened) + 100, "child", 5);
    self.tell_parent();
    self.hear_from_parent();
    return std::memcmp(bytes_of(*opened) + 200, "reply", 5) == 0 ? 0 : 3;
  });
  ASSERT_EQ(child.hear_from_child(), 'r');
  EXPECT_EQ(std::string(bytes_of(*mapping) + 100, 5), "child");
  std::memcpy(bytes_of(*mapping) + 200, "reply", 5);
  child.tell_child();
  EXPECT_EQ(child.join(), 0);

  // The changes are in the file itself.
  auto on_disk = read_whole_file(file.path);
  ASSERT_TRUE(on_disk);
  EXPECT_EQ(on_disk->substr(100, 5), "child");
}

TEST(FileMapping, CreatorClosingRemovesTheName) {
  TestFile file("contents of the file");
  auto mapping = FileMapping::create(file.fd, kName, 0);
  ASSERT_TRUE(mapping);
  auto opened = FileMapping::open(kName);
  ASSERT_TRUE(opened);

  mapping.reset();
  EXPECT_FALSE(FileMapping::open(kName));
  EXPECT_EQ(last_error(), kErrorFileNotFound);
  EXPECT_EQ(std::string(bytes_of(*opened), 8), "contents") << "an opener keeps its own view";
}

TEST(FileMapping, NameOfAKilledCreatorIsReplaced) {
  TestFile old_file("old file"), new_file("new file");
  ChildProcess creator([&old_file](ChildProcess& self) {
    auto mapping = FileMapping::create(old_file.fd, kName, 0);
    if (!mapping) return 1;
    self.tell_parent();
    ChildProcess::hang();
  });
  ASSERT_EQ(creator.hear_from_child(), 'r');
  EXPECT_FALSE(FileMapping::create(new_file.fd, kName, 0));
  EXPECT_EQ(last_error(), kErrorAlreadyExists);

  creator.kill();
  auto replacement = FileMapping::create(new_file.fd, kName, 0);
  ASSERT_TRUE(replacement);
  auto opened = FileMapping::open(kName);
  ASSERT_TRUE(opened);
  EXPECT_EQ(std::string(bytes_of(*opened), opened->size()), "new file");
}

TEST(FileMapping, OpenFindsARenamedFile) {
  TestFile file("renamed");
  auto mapping = FileMapping::create(file.fd, kName, 0);
  ASSERT_TRUE(mapping);
  ASSERT_EQ(::rename(file.path.c_str(), (file.path + ".moved").c_str()), 0);
  auto opened = FileMapping::open(kName);
  ASSERT_TRUE(opened);
  EXPECT_EQ(std::string(bytes_of(*opened), opened->size()), "renamed");
}

TEST(FileMapping, SizeBeyondTheEndExtendsTheFileAndOpenStopsAtItsEnd) {
  TestFile file("short");
  auto mapping = FileMapping::create(file.fd, kName, 8192);
  ASSERT_TRUE(mapping);
  EXPECT_EQ(mapping->size(), 8192u);
  EXPECT_EQ(file.size(), 8192);
  EXPECT_EQ(bytes_of(*mapping)[8191], 0);

  ASSERT_EQ(::ftruncate(file.fd, 1000), 0);
  auto opened = FileMapping::open(kName);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->size(), 1000u) << "mapping past the end of the file would fault on access";
}

TEST(FileMapping, ReadOnlyFileGivesReadOnlyMappings) {
  TestFile file("read only", O_RDONLY);
  auto mapping = FileMapping::create(file.fd, kName, 0);
  ASSERT_TRUE(mapping);
  EXPECT_FALSE(mapping->writable());
  auto opened = FileMapping::open(kName);
  ASSERT_TRUE(opened);
  EXPECT_FALSE(opened->writable());
  EXPECT_EQ(std::string(bytes_of(*opened), opened->size()), "read only");
}

TEST(FileMapping, RefusedCreates) {
  TestFile empty(""), read_only("abc", O_RDONLY), write_only("abc", O_WRONLY), busy("abc");
  auto first = FileMapping::create(busy.fd, "TAKEN", 0);
  ASSERT_TRUE(first);
  struct Case {
    const char* what;
    int fd;
    const char* name;
    uint64_t size;
    uint32_t error;
  } cases[] = {
      {"empty file, whole size", empty.fd, "", 0, 1006},
      {"read-only file made longer", read_only.fd, "", 100, kErrorAccessDenied},
      {"write-only file", write_only.fd, "", 0, kErrorAccessDenied},
      {"closed descriptor", 999, "", 0, kErrorInvalidHandle},
      {"name taken in this process", busy.fd, "TAKEN", 0, kErrorAlreadyExists},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    EXPECT_FALSE(FileMapping::create(c.fd, c.name, c.size, &error));
    EXPECT_EQ(last_error(), c.error);
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(read_only.size(), 3) << "a refused create leaves the file alone";
}

// Another process may truncate the file while this one works on its mapping.
TEST(FileMapping, AGuardedAccessPastTheEndOfAShrunkFileFindsZerosAndSaysSo) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  TestFile file(std::string(3 * page, 'x'));
  auto mapping = FileMapping::create(file.fd, "", 0);
  ASSERT_TRUE(mapping);
  volatile char* bytes = bytes_of(*mapping);
  {
    FileMapping::ShrinkGuard guard(*mapping);
    bytes[2 * page] = 'y';
    EXPECT_FALSE(guard.file_shrank());
  }

  ASSERT_EQ(::ftruncate(file.fd, static_cast<off_t>(page)), 0);
  FileMapping::ShrinkGuard guard(*mapping);
  bytes[0] = 'a';
  EXPECT_FALSE(guard.file_shrank());
  EXPECT_EQ(bytes[page + 5], 0);
  bytes[2 * page] = 'z';
  EXPECT_EQ(bytes[2 * page], 'z');
  EXPECT_TRUE(guard.file_shrank());
  EXPECT_EQ(bytes[0], 'a') << "the pages the file still holds stay mapped";
  EXPECT_EQ(file.size(), static_cast<off_t>(page)) << "the replacement pages are not part of the file";
  auto on_disk = read_whole_file(file.path);
  ASSERT_TRUE(on_disk);
  EXPECT_EQ(on_disk->front(), 'a');
}

// The guard covers its own mapping on its own thread, nothing else: a fault
// elsewhere ends the process as it always did.
TEST(FileMapping, AShrunkFileOutsideTheGuardedMappingStillEndsTheProcess) {
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  TestFile guarded(std::string(page, 'g')), shrunk(std::string(2 * page, 's'));
  auto guarded_mapping = FileMapping::create(guarded.fd, "", 0);
  auto shrunk_mapping = FileMapping::create(shrunk.fd, "", 0);
  ASSERT_TRUE(guarded_mapping && shrunk_mapping);
  ASSERT_EQ(::ftruncate(shrunk.fd, 0), 0);

  ChildProcess child([&](ChildProcess&) {
    FileMapping::ShrinkGuard guard(*guarded_mapping);
    volatile char* bytes = bytes_of(*shrunk_mapping);
    bytes[page] = 'x';
    return 0;
  });
  int status = child.join();
  EXPECT_NE(status, 0) << "the fault was swallowed";
  EXPECT_NE(status, -1);
}

TEST(FileMapping, UnnamedMappingRegistersNothing) {
  TestFile file("local");
  auto mapping = FileMapping::create(file.fd, "", 0);
  ASSERT_TRUE(mapping);
  EXPECT_EQ(std::string(bytes_of(*mapping), mapping->size()), "local");
  EXPECT_TRUE(mapping->flush());
  auto runtime = runtime_dir();
  ASSERT_TRUE(runtime);
  for (const auto& entry : std::filesystem::directory_iterator(*runtime))
    EXPECT_NE(entry.path().extension(), ".fmap") << entry.path();
}

}  // namespace
}  // namespace zyp::platform
