#include <gtest/gtest.h>

#include <functional>

#include "platform/files.h"
#include "testsupport/test_env.h"
#include "toolbox/tests/tree_helpers.h"
#include "zyp/zyptools.h"

namespace zyp::tools {
namespace {

using testing::read_file;
using testing::tree_of;
using testing::write_file;
namespace fs = std::filesystem;
using Tree = std::map<std::string, std::string>;

fs::path new_folder() { return zyp::testing::make_temp_folder("tree"); }

TEST(XCopy, SingleFileIsNeverCopiedOverAnExistingOne) {
  fs::path root = new_folder();
  write_file(root / "src.txt", "source");
  write_file(root / "taken.txt", "kept");

  EXPECT_EQ(ZYPXCopy((root / "src.txt").c_str(), (root / "new.txt").c_str()), 1);
  EXPECT_EQ(read_file(root / "new.txt"), "source");
  EXPECT_EQ(ZYPXCopy((root / "src.txt").c_str(), (root / "taken.txt").c_str()), 0);
  EXPECT_EQ(read_file(root / "taken.txt"), "kept");
  EXPECT_EQ(ZYPXCopy((root / "missing").c_str(), (root / "x").c_str()), 0);
  EXPECT_FALSE(fs::exists(root / "x"));
  EXPECT_EQ(ZYPXCopy(nullptr, (root / "x").c_str()), 0);
  EXPECT_EQ(ZYPXCopy((root / "src.txt").c_str(), nullptr), 0);
}

TEST(XCopy, FolderReplacesSameNamedFilesAndSkipsDotNames) {
  fs::path root = new_folder();
  fs::path source = root / "source";
  fs::path target = root / "target";
  write_file(source / "a.txt", "new a");
  write_file(source / "sub" / "b.txt", "new b");
  fs::create_directories(source / "empty");
  write_file(source / ".profile", "hidden");
  write_file(source / ".cache" / "c", "hidden");
  write_file(target / "a.txt", "old a");
  write_file(target / "sub" / "b.txt", "old b");
  write_file(target / "sub" / "only here", "stays");

  EXPECT_EQ(ZYPXCopy(source.c_str(), target.c_str()), 1);
  EXPECT_EQ(tree_of(target), (Tree{{"a.txt", "new a"},
                                   {"empty", "<folder>"},
                                   {"sub", "<folder>"},
                                   {"sub/b.txt", "new b"},
                                   {"sub/only here", "stays"}}));
}

TEST(XCopy, CopyIntoItsOwnSubtreeEnds) {
  fs::path root = new_folder();
  write_file(root / "tree" / "f", "1");
  fs::create_directories(root / "tree" / "inner");
  fs::path inside = root / "tree" / "inner" / "copy";
  EXPECT_EQ(ZYPXCopy((root / "tree").c_str(), inside.c_str()), 1);
  EXPECT_EQ(read_file(inside / "f"), "1");
  EXPECT_TRUE(fs::is_directory(inside / "inner"));
  EXPECT_FALSE(fs::exists(inside / "inner" / "copy"));
}

TEST(XCopy, LinksToFoldersAreLeftOut) {
  fs::path root = new_folder();
  write_file(root / "elsewhere" / "big", "not copied");
  write_file(root / "source" / "f", "1");
  fs::create_directory_symlink(root / "elsewhere", root / "source" / "link");
  EXPECT_EQ(ZYPXCopy((root / "source").c_str(), (root / "copy").c_str()), 1);
  EXPECT_EQ(tree_of(root / "copy"), (Tree{{"f", "1"}}));
}

TEST(Deltree, RemovesTreesButNeverDotNames) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
    int result;
    Tree left;  // what remains of the folder "t" (empty and no folder when gone)
  };
  const Case cases[] = {
      {"a whole tree",
       [](const fs::path& t) {
         write_file(t / "a", "1");
         write_file(t / "sub" / "deeper" / "b", "2");
         fs::create_directories(t / "empty");
       },
       1, {}},
      {"a dot file keeps its folder",
       [](const fs::path& t) {
         write_file(t / "a", "1");
         write_file(t / "sub" / ".profile", "hidden");
       },
       0, {{"sub", "<folder>"}, {"sub/.profile", "hidden"}}},
      {"a dot folder keeps the top",
       [](const fs::path& t) { write_file(t / ".cache" / "x", "hidden"); },
       0, {{".cache", "<folder>"}, {".cache/x", "hidden"}}},
      {"a read-only file keeps its folder",
       [](const fs::path& t) {
         write_file(t / "locked", "1");
         write_file(t / "other", "2");
         ASSERT_TRUE(platform::set_file_attributes(t / "locked", platform::kAttributeReadOnly));
       },
       0, {{"locked", "1"}}},
  };
  for (const Case& c : cases) {
    fs::path t = new_folder() / "t";
    fs::create_directories(t);
    c.make(t);
    EXPECT_EQ(ZYPDeltree(t.c_str()), c.result) << c.what;
    if (c.result == 1) {
      EXPECT_FALSE(fs::exists(t)) << c.what;
    } else {
      EXPECT_EQ(tree_of(t), c.left) << c.what;
    }
  }
}

TEST(Deltree, SingleFileAndMissingPath) {
  fs::path root = new_folder();
  write_file(root / "f", "1");
  EXPECT_EQ(ZYPDeltree((root / "f").c_str()), 1);
  EXPECT_FALSE(fs::exists(root / "f"));
  EXPECT_EQ(ZYPDeltree((root / "f").c_str()), 0);
  EXPECT_EQ(ZYPDeltree(nullptr), 0);
}

TEST(Deltree, LinksAreRemovedNotFollowed) {
  fs::path root = new_folder();
  write_file(root / "elsewhere" / "keep", "safe");
  write_file(root / "t" / "f", "1");
  fs::create_directory_symlink(root / "elsewhere", root / "t" / "folder link");
  fs::create_symlink(root / "elsewhere" / "keep", root / "t" / "file link");
  fs::create_symlink(root / "nowhere", root / "t" / "dangling");
  EXPECT_EQ(ZYPDeltree((root / "t").c_str()), 1);
  EXPECT_FALSE(fs::exists(fs::symlink_status(root / "t")));
  EXPECT_EQ(read_file(root / "elsewhere" / "keep"), "safe");
}

TEST(TreeOperations, FolderAttributesDoNotChangeTheWalk) {
  fs::path root = new_folder();
  fs::path tree = root / "tree";
  write_file(tree / "marked" / "f", "1");
  ASSERT_TRUE(platform::set_file_attributes(tree / "marked", platform::kAttributeReadOnly |
                                                                 platform::kAttributeArchive |
                                                                 platform::kAttributeHidden));
  EXPECT_EQ(ZYPXCopy(tree.c_str(), (root / "copy").c_str()), 1);
  EXPECT_EQ(read_file(root / "copy" / "marked" / "f"), "1");
  fs::path archive = root / "tree.zyp";
  EXPECT_EQ(ZYPZip(tree.c_str(), archive.c_str()), 0);
  EXPECT_EQ(ZYPUnZip(archive.c_str(), (root / "unpacked").c_str()), 0);
  EXPECT_EQ(read_file(root / "unpacked" / "marked" / "f"), "1");

  // An archive or hidden folder is deleted like any other; the read-only
  // attribute of a folder makes the platform's remove refuse it.
  ASSERT_TRUE(platform::set_file_attributes(tree / "marked", platform::kAttributeArchive));
  EXPECT_EQ(ZYPDeltree(tree.c_str()), 1);
  EXPECT_FALSE(fs::exists(tree));
}

}  // namespace
}  // namespace zyp::tools
