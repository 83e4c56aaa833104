#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>

#include "testsupport/test_env.h"
#include "toolbox/archive_format.h"
#include "toolbox/tests/tree_helpers.h"
#include "zyp/zyptools.h"

namespace zyp::tools {
namespace {

using testing::read_file;
using testing::tree_of;
using testing::write_file;
namespace fs = std::filesystem;

std::string entry(std::string_view path, uint16_t flags, std::string_view contents,
                  uint32_t magic = kArchiveMagic) {
  ArchiveEntryHeader header{};
  put_le32(header.magic, magic);
  std::memcpy(header.path, path.data(), std::min(path.size(), sizeof header.path));
  put_le16(header.flags, flags);
  put_le32(header.size, static_cast<uint32_t>(contents.size()));
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + std::string(contents);
}

std::string folder_entry(std::string_view path) { return entry(path, kArchiveFolderFlag, ""); }

// A pseudo-random block, so that misplaced bytes show.
std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  uint32_t x = 12345;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return bytes;
}

struct Workspace {
  fs::path root = zyp::testing::make_temp_folder("archive");
  fs::path source = root / "source";
  fs::path archive = root / "tree.zyp";
  fs::path destination = root / "unpacked";
};

TEST(Archive, EntryHeaderIsTheDocumentedBytes) {
  Workspace w;
  write_file(w.source / "A" / "report.doc", "xyz");
  ASSERT_EQ(ZYPZip(w.source.c_str(), w.archive.c_str()), 0);
  EXPECT_EQ(read_file(w.archive), folder_entry("A") + entry("A\\report.doc", 0, "xyz"));

  std::string bytes = read_file(w.archive);
  ASSERT_EQ(bytes.size(), 2 * 272u + 3);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x27\x63\xBC\x4E", 4));  // little-endian magic
  EXPECT_EQ(bytes.substr(4, 2), std::string("A\0", 2));
  EXPECT_EQ(bytes.substr(264, 8), std::string("\x01\0\0\0\0\0\0\0", 8));
  EXPECT_EQ(bytes.substr(272 + 264, 8), std::string("\0\0\0\0\x03\0\0\0", 8));
}

TEST(Archive, RoundTripKeepsFilesFoldersAndEmptyOnes) {
  Workspace w;
  write_file(w.source / "a.txt", "alpha");
  write_file(w.source / "empty", "");
  write_file(w.source / "sub" / "deeper" / "c.bin", pattern(3000));
  write_file(w.source / "sub" / "large.bin", pattern(300 * 1024));   // copied inside the kernel
  write_file(w.source / "huge.bin", pattern((1 << 20) + 12345));     // more than one buffer
  fs::create_directories(w.source / "sub" / "empty folder");
  // Names beginning with a dot are never packed.
  write_file(w.source / ".profile", "hidden");
  write_file(w.source / ".cache" / "x", "hidden");
  write_file(w.source / "sub" / ".hidden", "hidden");

  ASSERT_EQ(ZYPZip(w.source.c_str(), w.archive.c_str()), 0);
  ASSERT_EQ(ZYPUnZip(w.archive.c_str(), w.destination.c_str()), 0);

  auto expected = tree_of(w.source);
  expected.erase(".profile");
  expected.erase(".cache");
  expected.erase(".cache/x");
  expected.erase("sub/.hidden");
  EXPECT_EQ(tree_of(w.destination), expected);
}

TEST(Archive, FoldersComeBeforeTheirContents) {
  Workspace w;
  write_file(w.source / "x" / "y" / "z" / "f", "1");
  write_file(w.source / "x" / "g", "2");
  ASSERT_EQ(ZYPZip(w.source.c_str(), w.archive.c_str()), 0);
  std::string bytes = read_file(w.archive);
  auto position = [&](std::string_view path) { return bytes.find(std::string(path) + '\0'); };
  EXPECT_LT(position("x"), position("x\\y"));
  EXPECT_LT(position("x\\y"), position("x\\y\\z"));
  EXPECT_LT(position("x\\y\\z"), position("x\\y\\z\\f"));
  EXPECT_LT(position("x"), position("x\\g"));
}

TEST(Archive, TrailingSlashOfTheSourceDoesNotChangeTheNames) {
  Workspace w;
  write_file(w.source / "d" / "f", "1");
  std::string with_slash = w.source.string() + "/";
  ASSERT_EQ(ZYPZip(with_slash.c_str(), w.archive.c_str()), 0);
  EXPECT_EQ(read_file(w.archive), folder_entry("d") + entry("d\\f", 0, "1"));
}

TEST(Archive, PackingWhatIsNoFolderAppendsNothing) {
  Workspace w;
  write_file(w.archive, "kept");
  write_file(w.root / "plain.txt", "a file");
  fs::create_directories(w.root / "empty");
  struct Case {
    const char* what;
    fs::path source;
  };
  const Case cases[] = {
      {"an empty folder", w.root / "empty"},
      {"a file", w.root / "plain.txt"},
      {"a missing path", w.root / "missing"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ZYPZip(c.source.c_str(), w.archive.c_str()), 0) << c.what;
    EXPECT_EQ(read_file(w.archive), "kept") << c.what;
  }
}

TEST(Archive, PackingTwiceAppendsTheEntriesAgain) {
  Workspace w;
  write_file(w.source / "f", "first");
  ASSERT_EQ(ZYPZip(w.source.c_str(), w.archive.c_str()), 0);
  write_file(w.source / "f", "second");
  ASSERT_EQ(ZYPZip(w.source.c_str(), w.archive.c_str()), 0);
  EXPECT_EQ(read_file(w.archive), entry("f", 0, "first") + entry("f", 0, "second"));
  // The second copy replaces the first.
  ASSERT_EQ(ZYPUnZip(w.archive.c_str(), w.destination.c_str()), 0);
  EXPECT_EQ(read_file(w.destination / "f"), "second");
}

TEST(Archive, BadArgumentsGiveOne) {
  Workspace w;
  write_file(w.source / "f", "1");
  fs::create_directories(w.root / "a folder");
  EXPECT_EQ(ZYPZip(nullptr, w.archive.c_str()), 1);
  EXPECT_EQ(ZYPZip(w.source.c_str(), nullptr), 1);
  EXPECT_EQ(ZYPZip(w.source.c_str(), (w.root / "a folder").c_str()), 1);  // cannot be opened for writing
  EXPECT_EQ(ZYPUnZip(nullptr, w.destination.c_str()), 1);
  EXPECT_EQ(ZYPUnZip(w.archive.c_str(), nullptr), 1);
  EXPECT_EQ(ZYPUnZip((w.root / "missing.zyp").c_str(), w.destination.c_str()), 1);
}

TEST(Archive, PathsTooLongForTheFieldAreLeftOutNotCut) {
  Workspace w;
  std::string folder(200, 'd');
  std::string fits(58, 'f');      // "d...d\\f...f": 259 characters and the NUL fill the field
  std::string too_long(59, 'g');  // one more
  write_file(w.source / folder / fits, "fits");
  write_file(w.source / folder / too_long, "too long");
  write_file(w.source / folder / "short", "short");

  EXPECT_EQ(ZYPZip(w.source.c_str(), w.archive.c_str()), 1);
  ASSERT_EQ(ZYPUnZip(w.archive.c_str(), w.destination.c_str()), 0);
  EXPECT_EQ(tree_of(w.destination), (std::map<std::string, std::string>{
                                        {folder, "<folder>"}, {folder + "/" + fits, "fits"}, {folder + "/short", "short"}}));
}

// "\\" separates the archive's path components, so a Linux name that holds
// one cannot be packed as it is.
TEST(Archive, NamesWithABackslashAreLeftOutNotSplit) {
  Workspace w;
  write_file(w.source / "sub" / "a\\b", "would unpack as a/b");
  write_file(w.source / "back\\slash", "top");
  write_file(w.source / "sub" / "kept", "kept");

  EXPECT_EQ(ZYPZip(w.source.c_str(), w.archive.c_str()), 1);
  ASSERT_EQ(ZYPUnZip(w.archive.c_str(), w.destination.c_str()), 0);
  EXPECT_EQ(tree_of(w.destination), (std::map<std::string, std::string>{{"sub", "<folder>"}, {"sub/kept", "kept"}}));
}

struct UnzipCase {
  const char* what;
  std::string archive;
  int result;
  std::map<std::string, std::string> tree;  // the destination afterwards
};

TEST(Archive, UnpackingCraftedArchives) {
  std::string path_without_nul = entry("", 0, "x");
  std::memset(path_without_nul.data() + 4, 'n', kArchivePathField);
  const UnzipCase cases[] = {
      {"an empty archive", "", 0, {}},
      {"a short trailing fragment ends cleanly", entry("a", 0, "1") + std::string(100, '\x27'), 0, {{"a", "1"}}},
      {"other bytes from the start", "PK\3\4 not an archive of ours" + std::string(300, '\0'), 1, {}},
      {"a bad magic keeps what came before", entry("a", 0, "1") + entry("b", 0, "2", 0x4EBC6328), 1, {{"a", "1"}}},
      {"contents cut short", entry("a", 0, "1") + entry("b", 0, "0123456789").substr(0, 272 + 4), 1,
       {{"a", "1"}, {"b", "0123"}}},
      {"a path without its NUL", entry("a", 0, "1") + path_without_nul, 1, {{"a", "1"}}},
      {"a folder entry, then a file in it", folder_entry("d") + entry("d\\f", 0, "in d"), 0,
       {{"d", "<folder>"}, {"d/f", "in d"}}},
      {"a file whose folder is missing is dropped, the next one found",
       entry("nofolder\\f", 0, "lost") + entry("g", 0, "found"), 0, {{"g", "found"}}},
      {"a folder entry over a file keeps the file", entry("x", 0, "file") + folder_entry("x"), 0, {{"x", "file"}}},
      {"empty and dot components are dropped", entry("a\\\\.\\b", 0, "1"), 0, {}},
      {"an empty path is dropped", entry("", 0, "1") + entry("a", 0, "2"), 0, {{"a", "2"}}},
  };
  for (const UnzipCase& c : cases) {
    Workspace w;
    write_file(w.archive, c.archive);
    EXPECT_EQ(ZYPUnZip(w.archive.c_str(), w.destination.c_str()), c.result) << c.what;
    EXPECT_TRUE(fs::is_directory(w.destination)) << c.what;
    EXPECT_EQ(tree_of(w.destination), c.tree) << c.what;
  }
}

TEST(Archive, PathsThatWouldLeaveTheDestinationStopUnpacking) {
  const char* escapes[] = {"..\\evil", "a\\..\\..\\evil", "\\evil", "/evil", "a/../../evil", "C:\\evil", "..", "d\\.."};
  for (const char* path : escapes) {
    Workspace w;
    fs::create_directories(w.root / "outer");
    fs::path destination = w.root / "outer" / "unpacked";
    write_file(w.archive, entry("before", 0, "1") + entry(path, 0, "escaped") + entry("after", 0, "2"));
    EXPECT_EQ(ZYPUnZip(w.archive.c_str(), destination.c_str()), 1) << path;
    EXPECT_EQ(tree_of(w.root / "outer"), (std::map<std::string, std::string>{{"unpacked", "<folder>"},
                                                                               {"unpacked/before", "1"}}))
        << path;
    EXPECT_FALSE(fs::exists("/evil")) << path;
  }
}

TEST(Archive, LinksInsideTheDestinationAreNotFollowed) {
  Workspace w;
  fs::path outside = w.root / "outside";
  write_file(outside / "target.txt", "untouched");
  fs::create_directories(w.destination);
  fs::create_directory_symlink(outside, w.destination / "dirlink");
  fs::create_symlink(outside / "target.txt", w.destination / "filelink");
  write_file(w.archive, entry("dirlink\\new.txt", 0, "via a folder link") + folder_entry("dirlink\\sub") +
                            entry("filelink", 0, "via a file link") + entry("after", 0, "ok"));

  EXPECT_EQ(ZYPUnZip(w.archive.c_str(), w.destination.c_str()), 0);
  EXPECT_EQ(tree_of(outside), (std::map<std::string, std::string>{{"target.txt", "untouched"}}));
  EXPECT_EQ(read_file(w.destination / "after"), "ok");
}

TEST(Archive, ReadOnlyFileInTheDestinationIsNotReplaced) {
  Workspace w;
  write_file(w.destination / "locked", "old");
  fs::permissions(w.destination / "locked", fs::perms::owner_write, fs::perm_options::remove);
  write_file(w.archive, entry("locked", 0, "new") + entry("next", 0, "found"));
  EXPECT_EQ(ZYPUnZip(w.archive.c_str(), w.destination.c_str()), 0);
  EXPECT_EQ(read_file(w.destination / "locked"), "old");
  EXPECT_EQ(read_file(w.destination / "next"), "found");
}

TEST(Archive, HugeSizeFieldOnAShortArchiveEndsAtOnce) {
  Workspace w;
  std::string header = entry("big", 0, "");
  put_le32(reinterpret_cast<uint8_t*>(header.data()) + 268, 0xFFFFFFFFu);
  write_file(w.archive, header + "only a few bytes");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ZYPUnZip(w.archive.c_str(), w.destination.c_str()), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(read_file(w.destination / "big"), "only a few bytes");
}

TEST(Archive, ArchiveInsideTheSourceIsNotPackedIntoItself) {
  Workspace w;
  write_file(w.source / "f", "1");
  fs::path inner = w.source / "self.zyp";
  ASSERT_EQ(ZYPZip(w.source.c_str(), inner.c_str()), 0);
  EXPECT_EQ(read_file(inner), entry("f", 0, "1"));
}

}  // namespace
}  // namespace zyp::tools
