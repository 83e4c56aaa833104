// Folder marks and the walks over folder trees, with stand-ins for the
// per-file calls that record what the walk asks of them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "filecrypt/folder_mark.h"
#include "filecrypt/folder_walks.h"
#include "filecrypt/mark_format.h"
#include "hook/tests/hook_fixtures.h"
#include "platform/atomic_file.h"
#include "platform/files.h"
#include "testsupport/test_env.h"
#include "testsupport/ui_script.h"
#include "zyp/zypfile.h"

namespace {

using zyp::platform::read_whole_file;
using zyp::testing::header_with;
using zyp::testing::mark_text;
using zyp::testing::write;

constexpr uint32_t kAlgo = 0x133;
constexpr uint32_t kKey = 0x11;
constexpr char kUnmarked[] = "[.ShellClassInfo]\r\nConfirmFileOp=0\r\n";

bool xattrs_supported(const std::string& folder) {
  std::string probe = folder + "/.xattr-probe";
  write(probe, "");
  bool ok = ::setxattr(probe.c_str(), "user.zyp.probe", "1", 1, 0) == 0;
  ::unlink(probe.c_str());
  return ok;
}

uint32_t attributes_of(const std::string& path) { return zyp::platform::get_file_attributes(path); }

// ---- The stand-ins: "encrypting" prefixes "ENC" and a key tag ('K' a key
// the token holds, 'X' one it does not); a file named "fails.txt" is refused.
std::vector<std::string> g_ciphered;
std::vector<std::string> g_deciphered;

std::string name_of(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

int fake_cipher(const char* file, FileHeader* header, uint32_t, uint32_t) {
  g_ciphered.push_back(file);
  if (name_of(file) == "fails.txt") return 12;
  std::string tag = header->Key == kKey ? "ENCK" : "ENCX";
  return write(file, tag + read_whole_file(file).value_or("")) ? 0 : 12;
}

int fake_header(const char* file, FileHeader* header) {
  std::string contents = read_whole_file(file).value_or("");
  if (contents.rfind("ENC", 0) != 0) return ZYPFILE_NOT_ENCRYPTED;
  *header = header_with(kAlgo, contents[3] == 'K' ? kKey : kKey + 1, 2, "");
  return 0;
}

int fake_decipher(const char* file, FileHeader*, uint32_t, uint32_t) {
  g_deciphered.push_back(file);
  return write(file, read_whole_file(file).value_or("").substr(4)) ? 0 : 12;
}

int fake_valid(const FileHeader* header) { return header->Key == kKey ? 0 : ZYPFILE_UNKNOWN_KEY; }

constexpr zyp::file::FolderWalkCalls kCalls{&fake_cipher, &fake_decipher, &fake_header, &fake_valid};

class FolderMarks : public ::testing::Test {
 protected:
  void SetUp() override {
    g_ciphered.clear();
    g_deciphered.clear();
  }
  std::string root_ = zyp::testing::make_temp_folder("marks");
  bool with_xattrs_ = xattrs_supported(root_);
  FileHeader header_ = header_with(kAlgo, kKey, 2, "my label");
};

TEST_F(FolderMarks, MarkIsWrittenAndRemovedExactlyKeepingWhatElseTheFileHolds) {
  const std::string mark = mark_text(kAlgo, kKey, 2, "my label");
  struct Case {
    const char* name;
    const char* before;  // null: no desktop.ini
    std::string marked;
    std::string unmarked;
  } cases[] = {
      {"new", nullptr, mark, kUnmarked},
      {"other keys", "[.ShellClassInfo]\r\nIconFile=f.ico\r\n[Other]\r\nA=1\r\n",
       "[.ShellClassInfo]\r\nIconFile=f.ico\r\nCLSID=" + std::string(zyp::file::kFolderClassId) +
           "\r\nConfirmFileOp=0\r\n[Other]\r\nA=1\r\n[Ambrel]\r\nAlgo=307\r\nKey=17\r\nOptions=2\r\nUser=my label\r\n",
       "[.ShellClassInfo]\r\nIconFile=f.ico\r\nConfirmFileOp=0\r\n[Other]\r\nA=1\r\n"},
      {"earlier mark", "[.ShellClassInfo]\r\nCLSID=x\r\nConfirmFileOp=1\r\n[Ambrel]\r\nAlgo=1\r\nKey=2\r\nOptions=3\r\nUser=old\r\n",
       mark, kUnmarked},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string folder = zyp::testing::make_temp_folder("mark");
    std::string ini = folder + "/desktop.ini";
    if (c.before) {
      ASSERT_TRUE(write(ini, c.before));
    }
    EXPECT_EQ(zyp::file::mark_folder(folder, header_), 0);
    EXPECT_EQ(read_whole_file(ini), c.marked);
    if (with_xattrs_ && !c.before) {
      EXPECT_EQ(attributes_of(ini) & 0x7, zyp::platform::kAttributeHidden | zyp::platform::kAttributeSystem);
    }
    FileHeader read{};
    ASSERT_EQ(zyp::file::read_folder_mark(folder, read), 0);
    EXPECT_EQ(std::string(read.User), "my label");
    EXPECT_EQ(read.Algo, kAlgo);
    EXPECT_EQ(read.Key, kKey);
    EXPECT_EQ(zyp::file::unmark_folder(folder), 0);
    EXPECT_EQ(read_whole_file(ini), c.unmarked);
    EXPECT_EQ(zyp::file::read_folder_mark(folder, read), ZYPFILE_NOT_ENCRYPTED);
  }
}

TEST_F(FolderMarks, UnmarkingLeavesAMissingOrUnmarkedFileAlone) {
  EXPECT_EQ(zyp::file::unmark_folder(root_), 0);
  EXPECT_FALSE(zyp::platform::file_exists(root_ + "/desktop.ini"));
  ASSERT_TRUE(write(root_ + "/desktop.ini", "[.ShellClassInfo]\r\nIconFile=f.ico\r\n"));
  ASSERT_EQ(::chmod((root_ + "/desktop.ini").c_str(), 0444), 0);  // read-only: any write would fail
  EXPECT_EQ(zyp::file::unmark_folder(root_), 0);
}

TEST_F(FolderMarks, MarkThatCannotBeWrittenGives21) {
  ASSERT_TRUE(write(root_ + "/plain", "x"));
  EXPECT_EQ(zyp::file::mark_folder(root_ + "/plain", header_), ZYPFILE_MARK_NOT_WRITTEN);
  EXPECT_EQ(zyp::file::mark_folder(root_ + "/missing", header_), ZYPFILE_MARK_NOT_WRITTEN);
  FileHeader broken = header_;
  std::memcpy(broken.User, "two\r\nlines", 11);
  EXPECT_EQ(zyp::file::mark_folder(root_, broken), ZYPFILE_MARK_NOT_WRITTEN);
}

TEST_F(FolderMarks, SetFolderAttributesRewritesOnlyTheHeaderFields) {
  ASSERT_TRUE(write(root_ + "/desktop.ini", mark_text(kAlgo, kKey, 2, "m")));
  FileHeader other = header_with(0x122, 5, 6, "new");
  EXPECT_EQ(ZYPSetFolderAttributes(root_.c_str(), &other), 0);
  EXPECT_EQ(read_whole_file(root_ + "/desktop.ini"), mark_text(0x122, 5, 6, "new"));
  FileHeader read{};
  EXPECT_EQ(ZYPGetFolderAttributes(root_.c_str(), &read), 0);
  EXPECT_EQ(read.Key, 5u);
  EXPECT_EQ(ZYPSetFolderAttributes((root_ + "/desktop.ini").c_str(), &other), ZYPFILE_NOT_FOUND);
  EXPECT_EQ(ZYPGetFolderAttributes((root_ + "/desktop.ini").c_str(), &read), ZYPFILE_NOT_FOUND);
  EXPECT_EQ(ZYPSetFolderAttributes(nullptr, &other), ZYPFILE_NULL_ARGUMENT);
  EXPECT_EQ(ZYPGetFolderAttributes(root_.c_str(), nullptr), ZYPFILE_NULL_ARGUMENT);
}

// ---- Walks

class FolderWalks : public FolderMarks {
 protected:
  void SetUp() override {
    FolderMarks::SetUp();
    for (const char* folder : {"/sub", "/sub/deep"}) ASSERT_EQ(::mkdir((root_ + folder).c_str(), 0755), 0);
    for (const char* file : {"/a.txt", "/fails.txt", "/sub/b.txt", "/sub/deep/c.txt"}) {
      ASSERT_TRUE(write(root_ + file, std::string("plain ") + file));
    }
    ASSERT_EQ(::symlink((root_ + "/a.txt").c_str(), (root_ + "/link").c_str()), 0);
    ASSERT_EQ(::mkfifo((root_ + "/pipe").c_str(), 0600), 0);
  }
  std::vector<std::string> under_root(std::vector<std::string> names) {
    for (auto& name : names) name = root_ + name;
    return names;
  }
};

TEST_F(FolderWalks, CipherMarksEveryFolderAndEncryptsEveryRegularFileButTheMarksPastAFailure) {
  EXPECT_EQ(zyp::file::cipher_folder(root_, header_, 0, 1, kCalls), 0);
  EXPECT_EQ(g_ciphered, under_root({"/a.txt", "/fails.txt", "/sub/b.txt", "/sub/deep/c.txt"}));
  EXPECT_EQ(read_whole_file(root_ + "/sub/deep/c.txt"), "ENCKplain /sub/deep/c.txt");
  EXPECT_EQ(read_whole_file(root_ + "/fails.txt"), "plain /fails.txt");
  for (const char* folder : {"", "/sub", "/sub/deep"}) {
    SCOPED_TRACE(folder);
    EXPECT_EQ(read_whole_file(root_ + folder + "/desktop.ini"), mark_text(kAlgo, kKey, 2, "my label"));
    if (with_xattrs_) {
      EXPECT_TRUE(attributes_of(root_ + folder) & zyp::platform::kAttributeReadOnly);
    }
  }
}

TEST_F(FolderWalks, DecipherUnmarksTheTreeAndDecryptsOnlyEncryptedFiles) {
  ASSERT_EQ(zyp::file::cipher_folder(root_, header_, 0, 1, kCalls), 0);
  EXPECT_EQ(zyp::file::decipher_folder(root_, 0, 1, kCalls), 0);
  EXPECT_EQ(g_deciphered, under_root({"/a.txt", "/sub/b.txt", "/sub/deep/c.txt"}));
  for (const char* file : {"/a.txt", "/fails.txt", "/sub/b.txt", "/sub/deep/c.txt"}) {
    EXPECT_EQ(read_whole_file(root_ + file), std::string("plain ") + file);
  }
  for (const char* folder : {"", "/sub", "/sub/deep"}) {
    SCOPED_TRACE(folder);
    EXPECT_EQ(read_whole_file(root_ + folder + "/desktop.ini"), kUnmarked);
    if (with_xattrs_) {
      EXPECT_TRUE(attributes_of(root_ + folder) & zyp::platform::kAttributeReadOnly);
    }
  }
}

TEST_F(FolderWalks, FolderWhoseMarkCannotBeWrittenIsLeftUntouched) {
  ASSERT_TRUE(write(root_ + "/desktop.ini", "[.ShellClassInfo]\r\n"));
  ASSERT_EQ(::chmod((root_ + "/desktop.ini").c_str(), 0444), 0);  // the read-only attribute of a file
  EXPECT_EQ(zyp::file::cipher_folder(root_, header_, 0, 1, kCalls), ZYPFILE_MARK_NOT_WRITTEN);
  EXPECT_TRUE(g_ciphered.empty());
  EXPECT_FALSE(zyp::platform::file_exists(root_ + "/sub/desktop.ini"));
}

TEST_F(FolderWalks, ScanStopsAtTheFirstFileThatCannotBeDecryptedAnywhereInTheTree) {
  EXPECT_EQ(zyp::file::scan_folder(root_, 0, kCalls), 0);
  ASSERT_TRUE(write(root_ + "/sub/b.txt", "ENCKkey held"));
  EXPECT_EQ(zyp::file::scan_folder(root_, 0, kCalls), 0);
  ASSERT_TRUE(write(root_ + "/sub/deep/c.txt", "ENCXkey lost"));
  EXPECT_EQ(zyp::file::scan_folder(root_, 0, kCalls), ZYPFILE_UNKNOWN_KEY);
}

class FolderWalkNotices : public zyp::testing::UiScriptTest {};

TEST_F(FolderWalkNotices, WithProgressEveryFolderIsAnnouncedToFileViewsAfterItsContents) {
  std::string root = zyp::testing::make_temp_folder("notices");
  ASSERT_EQ(::mkdir((root + "/sub").c_str(), 0755), 0);
  FileHeader header = header_with(kAlgo, kKey, 2, "");
  auto notices = [](const std::string& folder) {
    return std::vector<std::string>{"notify rmdir \"" + folder + "\"", "notify mkdir \"" + folder + "\"",
                                    "notify updatedir \"" + folder + "\""};
  };
  std::vector<std::string> expected = notices(root + "/sub");
  for (const std::string& line : notices(root)) expected.push_back(line);

  ASSERT_EQ(zyp::file::cipher_folder(root, header, 1, 1, kCalls), 0);
  EXPECT_EQ(transcript_lines("notify "), expected);
  std::remove(transcript_.c_str());
  ASSERT_EQ(zyp::file::decipher_folder(root, 1, 1, kCalls), 0);
  EXPECT_EQ(transcript_lines("notify "), expected);
  std::remove(transcript_.c_str());
  ASSERT_EQ(zyp::file::cipher_folder(root, header, 0, 1, kCalls), 0);
  EXPECT_TRUE(transcript_lines("notify ").empty());
}

}  // namespace
