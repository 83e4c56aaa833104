// The permission checks: refused places, the exclusion lists of both scopes
// up to the Desktop, marks, and the per-file questions through the hook.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hook/tests/hook_fixtures.h"
#include "platform/drives.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "testsupport/test_env.h"
#include "zyp/zyphook.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"

namespace {

using zyp::testing::write;
namespace reg = zyp::platform::reg;

constexpr char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

void set_shell_folder(const char* name, const std::string& folder) {
  ASSERT_EQ(reg::set_string(reg::Root::CurrentUser, kShellFolders, name, folder), 0u);
}

int ask(const std::string& folder, uint32_t mode = 0) { return ZYPAskAutorisation(folder.c_str(), mode, 0); }

class Permissions : public ::testing::Test {
 protected:
  std::string root_ = zyp::testing::make_temp_folder("perm");
};

TEST_F(Permissions, ExclusionListsOfBothScopesDecideUpToTheDesktop) {
  struct Value {
    const char* folder;  // below the case's folder
    int value;
  };
  struct Case {
    const char* name;
    std::vector<Value> user;
    std::vector<Value> machine;
    const char* asked;
    int expected;
  } cases[] = {
      {"1 refuses the tree", {{"/Data", 1}}, {}, "/Data/Sub/Deep", 49},
      {"2 refuses the folder itself", {{"/Data", 2}}, {}, "/Data", 49},
      {"2 allows the subfolders", {{"/Data", 2}}, {}, "/Data/Sub", 0},
      {"0 below a 1 allows", {{"/Data/Sub", 0}, {"/Data", 1}}, {}, "/Data/Sub/Deep", 0},
      {"user 0 decides without the machine", {{"/Data", 0}}, {{"/Data", 1}}, "/Data/Sub", 0},
      {"user 1 decides without the machine", {{"/Data", 1}}, {{"/Data", 0}}, "/Data/Sub", 49},
      {"no user value: the machine's", {}, {{"/Data", 1}}, "/Data/Sub", 49},
      {"machine 2 refuses the folder itself", {}, {{"/Data", 2}}, "/Data", 49},
      {"user 2 above: the machine's", {{"/Data", 2}}, {{"/Data", 1}}, "/Data/Sub", 49},
      {"user 2 on the folder itself wins", {{"/Data", 2}}, {{"/Data", 0}}, "/Data", 49},
      {"the walk stops at the Desktop", {{"", 1}}, {}, "/Desktop/Folder", 0},
      {"beside the Desktop it goes on", {{"", 1}}, {}, "/Other", 49},
      {"the Desktop itself", {{"", 1}}, {}, "/Desktop", 0},
      {"nothing listed", {}, {}, "/Data/Sub", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string base = zyp::testing::make_temp_folder("case");
    set_shell_folder("Desktop", base + "/Desktop");
    for (const Value& v : c.user) ASSERT_EQ(ZYPWriteUSProfileInt("NoEncryption", (base + v.folder).c_str(), v.value), 1);
    for (const Value& v : c.machine) {
      ASSERT_EQ(ZYPWriteProfileInt("Private\\NoEncryption", (base + v.folder).c_str(), v.value), 1);
    }
    EXPECT_EQ(ask(base + c.asked), c.expected);
    // The same folder named with a trailing slash and a "." is the same folder.
    EXPECT_EQ(ask(base + c.asked + "/./"), c.expected);
  }
}

TEST_F(Permissions, RootsMountPointsNetworkAndCdromFileSystemsAndTheStartMenuAreRefused) {
  std::string table = root_ + "/mounts";
  ASSERT_TRUE(write(table, "/dev/sda1 / ext4 rw 0 0\n"
                           "tmpfs " + root_ + "/mnt tmpfs rw 0 0\n"
                           "server:/export " + root_ + "/net nfs4 rw 0 0\n"
                           "//server/share " + root_ + "/smb cifs rw 0 0\n"
                           "/dev/sr0 " + root_ + "/cd iso9660 ro 0 0\n"));
  ASSERT_EQ(::setenv(zyp::platform::kMountTableVariable, table.c_str(), 1), 0);
  set_shell_folder("Start Menu", root_ + "/menu");
  struct Case {
    std::string folder;
    int encrypt;
    int erase;
  } cases[] = {
      {"/", 49, 0},
      {root_ + "/mnt", 49, 0},
      {root_ + "/mnt/folder", 0, 0},
      {root_ + "/net/folder", 49, 0},
      {root_ + "/smb/folder", 49, 0},
      {root_ + "/cd/folder", 49, 65},
      {root_ + "/menu", 49, 65},
      {root_ + "/menu/", 49, 65},
      {root_ + "/menu/Sub", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    EXPECT_EQ(ask(c.folder, 0), c.encrypt);
    if (c.encrypt) {
      EXPECT_EQ(ask(c.folder, 1), c.encrypt);
    }
    EXPECT_EQ(ZYPAllowSecureErase(c.folder.c_str()), c.erase);
  }
  EXPECT_EQ(ZYPAllowEncryption((root_ + "/cd/file").c_str()), 49);
  ::unsetenv(zyp::platform::kMountTableVariable);
}

TEST_F(Permissions, NullPathsAndUnknownModesGive48) {
  EXPECT_EQ(ZYPAskAutorisation(nullptr, 0, 0), ZYPFILE_BAD_PATH);
  EXPECT_EQ(ask(root_, 2), ZYPFILE_BAD_PATH);
  EXPECT_EQ(ZYPAllowEncryption(nullptr), ZYPFILE_BAD_PATH);
  EXPECT_EQ(ZYPAllowSecureErase(nullptr), ZYPFILE_BAD_PATH);
  EXPECT_EQ(ZYPAllowDecryption(nullptr), ZYPFILE_BAD_PATH);
}

TEST_F(Permissions, MarksDecideFolderEncryptionAndDecryption) {
  std::string marked = root_ + "/marked";
  ASSERT_EQ(::mkdir(marked.c_str(), 0755), 0);
  ASSERT_TRUE(write(marked + "/desktop.ini", zyp::testing::mark_text(0x133, 0x11, 2, "m")));
  EXPECT_EQ(ask(marked, 0), ZYPFILE_ALREADY_MARKED);
  EXPECT_EQ(ask(root_, 1), ZYPFILE_NOT_ENCRYPTED);
  // No server runs here: the mark's key cannot be checked without a session.
  EXPECT_EQ(ask(marked, 1), ZYPFILE_NO_SESSION);
}

TEST_F(Permissions, FileQuestionsGoThroughTheHookAndTheSession) {
  std::string plain = root_ + "/plain.txt";
  std::string encrypted = root_ + "/encrypted.bin";
  ASSERT_TRUE(write(plain, "plain"));
  ASSERT_TRUE(write(encrypted, zyp::testing::encrypted_contents(zyp::testing::header_with(0x133, 0x11, 2, "e"))));
  EXPECT_EQ(ZYPAllowEncryption(encrypted.c_str()), ZYPFILE_ALREADY_MARKED);
  EXPECT_EQ(ZYPAllowEncryption(plain.c_str()), ZYPFILE_NO_SESSION);  // allowed, but no session is open
  EXPECT_EQ(ZYPAllowDecryption(plain.c_str()), ZYPFILE_NOT_ENCRYPTED);
  EXPECT_EQ(ZYPAllowDecryption(encrypted.c_str()), ZYPFILE_NO_SESSION);
  EXPECT_EQ(ZYPAllowDecryption((root_ + "/missing").c_str()), 0);
  EXPECT_EQ(ZYPAllowDecryption(root_.c_str()), 0);

  ASSERT_EQ(ZYPWriteUSProfileInt("NoEncryption", root_.c_str(), 1), 1);
  ASSERT_EQ(ZYPHOOKRefreshRestriction(), 0);
  EXPECT_EQ(ZYPAllowEncryption(plain.c_str()), ZYPFILE_NOT_ALLOWED);
  ASSERT_EQ(ZYPDelUSValue("NoEncryption", root_.c_str()), 1);
  ASSERT_EQ(ZYPHOOKRefreshRestriction(), 0);

  ASSERT_EQ(ZYPWriteProfileDWord("General", "HookDevice", 0), 1);
  EXPECT_EQ(ZYPAllowEncryption(plain.c_str()), ZYPFILE_NO_HOOK);
  ASSERT_EQ(ZYPWriteProfileDWord("General", "HookDevice", 1), 1);
}

TEST_F(Permissions, CipherFolderLeavesAFolderWithAnUndecryptableFileUntouched) {
  std::string folder = root_ + "/tree";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((folder + "/sub").c_str(), 0755), 0);
  ASSERT_TRUE(write(folder + "/plain.txt", "plain"));
  ASSERT_TRUE(write(folder + "/sub/old.bin", zyp::testing::encrypted_contents(zyp::testing::header_with(0x133, 9, 2, ""))));
  FileHeader header = zyp::testing::header_with(0x133, 0x11, 0, "new");
  EXPECT_EQ(ZYPCipherFolder(folder.c_str(), &header), ZYPFILE_NO_SESSION);
  EXPECT_EQ(ZYPScanFolder(folder.c_str(), 0), ZYPFILE_NO_SESSION);
  EXPECT_EQ(ZYPFileOrdinal1(folder.c_str(), 0), ZYPFILE_NO_SESSION);
  EXPECT_FALSE(zyp::platform::file_exists(folder + "/desktop.ini"));
  EXPECT_EQ(zyp::platform::read_whole_file(folder + "/plain.txt"), "plain");
}

}  // namespace
