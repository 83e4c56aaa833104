// Secure erase. A second (hard) link to an erased file shows what the passes
// left in it after the file's own name is gone; the erase's pass hook shows
// the file between the passes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "filecrypt/erase.h"
#include "platform/atomic_file.h"
#include "platform/files.h"
#include "testsupport/test_env.h"
#include "zyp/zypfile.h"
#include "zyp/zyptools.h"

namespace {

namespace fs = std::filesystem;

struct Erasable {
  std::string path;
  std::string witness;
};

Erasable erasable_file(const std::string& folder, const std::string& name, size_t size) {
  Erasable file{folder + "/" + name, folder + "/" + name + ".witness"};
  EXPECT_TRUE(zyp::platform::write_file_atomically(file.path, std::string(size, 'p')));
  EXPECT_EQ(::link(file.path.c_str(), file.witness.c_str()), 0);
  return file;
}

std::string contents(const std::string& path) { return zyp::platform::read_whole_file(path).value_or("(none)"); }

std::set<char> bytes_in(const std::string& text) { return std::set<char>(text.begin(), text.end()); }

class SecureErase : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = zyp::testing::make_temp_folder("erase"); }
  void TearDown() override { ZYPSetSecureEraseCycle(3); }

  // Answers the message boxes of this process with `answers`; progress
  // windows are only recorded.
  static void use_script(const std::string& answers) {
    std::string ui = zyp::testing::make_temp_folder("ui");
    ASSERT_TRUE(zyp::platform::write_file_atomically(ui + "/answers", answers));
    ::setenv("ZYP_UI", ("script:" + ui + "/answers").c_str(), 1);
    ::setenv("ZYP_UI_TRANSCRIPT", (ui + "/transcript").c_str(), 1);
  }

  std::string folder_;
};

TEST_F(SecureErase, EveryByteIsOverwrittenByEachPassAndTheFileDeleted) {
  struct Case {
    uint32_t passes;
    size_t size;
    char last_byte;  // what the last pass leaves
  } cases[] = {
      {3, 1024, '\x55'},  {3, 1000, '\x55'},   {3, 0, 'p'},       {1, 70000, '\x00'},
      {2, 200000, '\xAA'}, {6, 513, '\x00'},   {0, 1000, 'p'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.passes) + " passes over " + std::to_string(c.size) + " bytes");
    ASSERT_EQ(ZYPSetSecureEraseCycle(c.passes), 0);
    Erasable file = erasable_file(folder_, "file", c.size);
    EXPECT_EQ(ZYPSecureEraseEx(file.path.c_str(), nullptr, 0), 0);
    EXPECT_FALSE(fs::exists(file.path));
    EXPECT_EQ(contents(file.witness), std::string(c.size, c.last_byte));
    fs::remove(file.witness);
  }
}

// What the file holds after each pass, read while the erase waits for the next.
TEST_F(SecureErase, EachPassLeavesItsPatternOnEveryByteBeforeTheNextStarts) {
  constexpr size_t kLarge = 3 << 20;
  struct Case {
    uint32_t passes;
    size_t size;
  } cases[] = {{3, 0}, {3, 1000}, {3, 1024}, {3, kLarge}, {6, 1000}, {0, 1000}};
  const int fixed[] = {0x00, 0xAA, 0x55, -1, -1};  // -1: a byte drawn for the pass
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.passes) + " passes over " + std::to_string(c.size) + " bytes");
    std::string path = folder_ + "/watched";
    ASSERT_TRUE(zyp::platform::write_file_atomically(path, std::string(c.size, 'p')));
    std::vector<std::string> seen;
    zyp::file::EraseContext context{.passes = c.passes};
    context.after_pass = [&](uint32_t pass, uint8_t byte) {
      std::string now = contents(path);
      EXPECT_EQ(now, std::string(c.size, static_cast<char>(byte))) << "pass " << pass;
      EXPECT_EQ(pass, seen.size());
      seen.push_back(now);
      int expected = fixed[pass % 5];
      if (expected >= 0) {
        EXPECT_EQ(byte, expected) << "pass " << pass;
      } else {
        EXPECT_NE(byte, 0xFF) << "pass " << pass;
      }
    };
    EXPECT_EQ(zyp::file::erase_file(path, context), zyp::file::kErased);
    EXPECT_EQ(seen.size(), c.passes);
    EXPECT_FALSE(fs::exists(path));
  }
}

TEST_F(SecureErase, TheFourthAndFifthPassesWriteOneDrawnByteBelow255) {
  ASSERT_EQ(ZYPSetSecureEraseCycle(4), 0);
  Erasable file = erasable_file(folder_, "file", 3000);
  EXPECT_EQ(ZYPSecureEraseFileEx(file.path.c_str(), nullptr, 0), 0);
  std::set<char> left = bytes_in(contents(file.witness));
  ASSERT_EQ(left.size(), 1u);
  EXPECT_NE(*left.begin(), '\xFF');
}

TEST_F(SecureErase, AReadOnlyFileIsErasedWithoutAWindowAndAskedAboutWithOne) {
  Erasable quiet = erasable_file(folder_, "quiet", 100);
  ASSERT_TRUE(zyp::platform::set_file_attributes(quiet.path, zyp::platform::kAttributeReadOnly));
  EXPECT_EQ(ZYPSecureEraseFileEx(quiet.path.c_str(), nullptr, 0), 0);
  EXPECT_EQ(contents(quiet.witness), std::string(100, '\x55'));

  use_script("msgbox 2\nmsgbox 1\n");
  ZYPWindow* window = ZYPInitProgress(nullptr, "erasing", 0);
  ASSERT_NE(window, nullptr);
  Erasable kept = erasable_file(folder_, "kept", 100);
  ASSERT_TRUE(zyp::platform::set_file_attributes(kept.path, zyp::platform::kAttributeReadOnly));
  EXPECT_EQ(ZYPSecureEraseFileEx(kept.path.c_str(), window, 100), 1);  // Cancel
  EXPECT_EQ(contents(kept.path), std::string(100, 'p'));
  EXPECT_EQ(ZYPSecureEraseFileEx(kept.path.c_str(), window, 100), 0);  // OK
  EXPECT_FALSE(fs::exists(kept.path));
  EXPECT_EQ(contents(kept.witness), std::string(100, '\x55'));
  ZYPDestroyProgress(window);
}

TEST_F(SecureErase, AFolderTreeIsErasedAndRemovedButWhatALinkNamesIsLeftAlone) {
  std::string tree = folder_ + "/tree";
  ASSERT_TRUE(fs::create_directories(tree + "/sub/deeper"));
  std::string outside = folder_ + "/outside";
  ASSERT_TRUE(zyp::platform::write_file_atomically(outside, "named by a link"));
  ASSERT_EQ(::symlink(outside.c_str(), (tree + "/sub/link").c_str()), 0);
  ASSERT_EQ(::symlink((folder_).c_str(), (tree + "/folder-link").c_str()), 0);
  Erasable deep = erasable_file(tree + "/sub/deeper", "deep", 600);
  fs::rename(deep.witness, folder_ + "/deep.witness");
  ASSERT_TRUE(zyp::platform::write_file_atomically(tree + "/top", "top"));
  ASSERT_TRUE(zyp::platform::set_file_attributes(tree + "/sub", zyp::platform::kAttributeReadOnly));
  ASSERT_TRUE(zyp::platform::set_file_attributes(outside, zyp::platform::kAttributeReadOnly));
  ASSERT_EQ(::mkfifo((tree + "/sub/pipe").c_str(), 0400), 0);  // read-only, and nothing to overwrite

  EXPECT_EQ(ZYPSecureEraseEx(tree.c_str(), nullptr, 0), 0);
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_EQ(contents(outside), "named by a link");
  EXPECT_TRUE(zyp::platform::get_file_attributes(outside) & zyp::platform::kAttributeReadOnly);
  EXPECT_EQ(contents(folder_ + "/deep.witness"), std::string(600, '\x55'));
}

TEST_F(SecureErase, TheFirstFailureStopsTheWalkAndKeepsTheFolder) {
  std::string tree = folder_ + "/tree";
  ASSERT_TRUE(fs::create_directories(tree));
  ASSERT_TRUE(zyp::platform::write_file_atomically(tree + "/a", "first"));
  ASSERT_TRUE(zyp::platform::write_file_atomically(tree + "/b", "declined"));
  ASSERT_TRUE(zyp::platform::write_file_atomically(tree + "/c", "never reached"));
  ASSERT_TRUE(zyp::platform::set_file_attributes(tree + "/b", zyp::platform::kAttributeReadOnly));
  use_script("msgbox 2\n");
  ZYPWindow* window = ZYPInitProgress(nullptr, "erasing", 0);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(ZYPSecureEraseFolderEx(tree.c_str(), window, 100), 1);
  ZYPDestroyProgress(window);
  EXPECT_FALSE(fs::exists(tree + "/a"));
  EXPECT_EQ(contents(tree + "/b"), "declined");
  EXPECT_EQ(contents(tree + "/c"), "never reached");
  std::string transcript = contents(std::string(std::getenv("ZYP_UI_TRANSCRIPT")));
  EXPECT_NE(transcript.find(tree + "/b is read-only"), std::string::npos) << transcript;
}

// The walk stops at an item that cannot be deleted (a stand-in, since the
// tests may run as root) and keeps the folder with what was not reached.
TEST_F(SecureErase, AFolderWithAFileThatCannotBeDeletedIsKeptWithTheFilesBeforeItErased) {
  std::string tree = folder_ + "/tree";
  ASSERT_TRUE(fs::create_directories(tree));
  Erasable first = erasable_file(tree, "a", 700);
  fs::rename(first.witness, folder_ + "/a.witness");
  ASSERT_TRUE(zyp::platform::write_file_atomically(tree + "/b", "cannot be deleted"));
  ASSERT_TRUE(zyp::platform::write_file_atomically(tree + "/c", "never reached"));
  zyp::file::EraseContext context{.passes = 3};
  std::vector<std::string> visited;
  context.erase_entry = [&](const std::string& path, zyp::file::EraseContext& same) {
    visited.push_back(fs::path(path).filename());
    return visited.back() == "b" ? int{zyp::file::kCannotDelete} : zyp::file::erase_path(path, same);
  };
  EXPECT_EQ(zyp::file::erase_path(tree, context), zyp::file::kCannotDelete);
  EXPECT_EQ(visited, (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(fs::exists(first.path));
  EXPECT_EQ(contents(folder_ + "/a.witness"), std::string(700, '\x55'));
  EXPECT_EQ(contents(tree + "/b"), "cannot be deleted");
  EXPECT_EQ(contents(tree + "/c"), "never reached");
}

// A large file shows a few progress values a second and always ends at the
// file's maximum, not at every block.
TEST_F(SecureErase, ProgressIsShownAFewTimesASecondAndEndsAtTheFilesMaximum) {
  use_script("");
  ASSERT_EQ(ZYPSetSecureEraseCycle(3), 0);
  ZYPWindow* window = ZYPInitProgress(nullptr, "erasing", 0);
  ASSERT_NE(window, nullptr);
  Erasable file = erasable_file(folder_, "large", 3 << 20);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ZYPSecureEraseFileEx(file.path.c_str(), window, 50), 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Erasable small = erasable_file(folder_, "small", 1000);
  EXPECT_EQ(ZYPSecureEraseFileEx(small.path.c_str(), window, 50), 0);
  ZYPDestroyProgress(window);

  std::vector<std::string> values;
  std::istringstream transcript(contents(std::string(std::getenv("ZYP_UI_TRANSCRIPT"))));
  for (std::string line; std::getline(transcript, line);) {
    size_t at = line.find(" progress ");
    if (at != std::string::npos) values.push_back(line.substr(line.rfind(' ') + 1));
  }
  ASSERT_FALSE(values.empty());
  EXPECT_EQ(values.back(), "50");
  EXPECT_LE(values.size(), 4 + static_cast<size_t>(seconds * 4)) << seconds << " s";
}

TEST_F(SecureErase, MissingPathsWrongKindsAndNullArguments) {
  std::string missing = folder_ + "/missing";
  std::string file = folder_ + "/file";
  ASSERT_TRUE(zyp::platform::write_file_atomically(file, "stays"));
  EXPECT_EQ(ZYPSecureEraseEx(missing.c_str(), nullptr, 0), ZYPFILE_NOT_FOUND);
  EXPECT_EQ(ZYPSecureEraseFileEx(missing.c_str(), nullptr, 0), ZYPFILE_NOT_FOUND);
  EXPECT_EQ(ZYPSecureEraseFolderEx(missing.c_str(), nullptr, 0), ZYPFILE_NOT_FOUND);
  EXPECT_EQ(ZYPSecureEraseFolderEx(file.c_str(), nullptr, 0), 19);
  EXPECT_EQ(ZYPSecureEraseFileEx(folder_.c_str(), nullptr, 0), 19);
  EXPECT_EQ(contents(file), "stays");
  EXPECT_TRUE(fs::is_directory(folder_));
  EXPECT_EQ(ZYPSecureErase(nullptr), ZYPFILE_NULL_ARGUMENT);
  EXPECT_EQ(ZYPSecureEraseEx(nullptr, nullptr, 0), ZYPFILE_NULL_ARGUMENT);
  EXPECT_EQ(ZYPSecureEraseFolderEx(nullptr, nullptr, 0), ZYPFILE_NULL_ARGUMENT);
  EXPECT_EQ(ZYPSecureEraseFileEx(nullptr, nullptr, 0), ZYPFILE_NULL_ARGUMENT);
}

TEST_F(SecureErase, SecureEraseShowsItsOwnProgressWindowWhenTheSettingIsOn) {
  use_script("");
  ASSERT_EQ(ZYPSetProgressState(1), 0);
  Erasable file = erasable_file(folder_, "shown", 2000);
  EXPECT_EQ(ZYPSecureErase(file.path.c_str()), 0);
  EXPECT_EQ(contents(file.witness), std::string(2000, '\x55'));
  std::string transcript = contents(std::string(std::getenv("ZYP_UI_TRANSCRIPT")));
  EXPECT_NE(transcript.find("Secure erase"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("shown"), std::string::npos) << transcript;
}

TEST(DeleteFile, AnswersNonzeroOnSuccessAndRefusesReadOnlyFiles) {
  std::string folder = zyp::testing::make_temp_folder("delete");
  ASSERT_TRUE(zyp::platform::write_file_atomically(folder + "/plain", "x"));
  ASSERT_TRUE(zyp::platform::write_file_atomically(folder + "/read-only", "x"));
  ASSERT_TRUE(zyp::platform::set_file_attributes(folder + "/read-only", zyp::platform::kAttributeReadOnly));
  EXPECT_NE(ZYPDeleteFile((folder + "/plain").c_str()), 0);
  EXPECT_FALSE(fs::exists(folder + "/plain"));
  EXPECT_EQ(ZYPDeleteFile((folder + "/read-only").c_str()), 0);
  EXPECT_TRUE(fs::exists(folder + "/read-only"));
  EXPECT_EQ(ZYPDeleteFile((folder + "/missing").c_str()), 0);
  EXPECT_EQ(ZYPDeleteFile(nullptr), 0);
}

}  // namespace
