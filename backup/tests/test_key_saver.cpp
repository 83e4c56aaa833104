// The key backup library without a server: the store copies, the backup
// and restore dialogs driven by a script, and the permission tests.
#include <dirent.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "backup/store_copy.h"
#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/drives.h"
#include "platform/lang_module.h"
#include "testsupport/test_env.h"
#include "testsupport/ui_script.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"
#include "zyp/zypsaver.h"

namespace {

using namespace zyp::backup;

std::string read(const std::string& path) { return zyp::platform::read_whole_file(path).value_or("(missing)"); }
bool exists(const std::string& path) { return zyp::platform::read_whole_file(path).has_value(); }
unsigned mode_of(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}
void write(const std::string& path, const std::string& text) {
  ASSERT_TRUE(zyp::platform::write_file_atomically(path, text, 0644));
}

std::vector<std::string> temporary_copies() {
  std::vector<std::string> names;
  DIR* dir = ::opendir(zyp::platform::temp_dir().c_str());
  while (dirent* entry = dir ? ::readdir(dir) : nullptr)
    if (std::string(entry->d_name).starts_with("ZYP")) names.emplace_back(entry->d_name);
  if (dir) ::closedir(dir);
  return names;
}

std::string resource_folder() { return zyp::testing::build_folder() + "/share/zyp/resources"; }

// Every language of the modules holds the strings and dialogs (with the
// controls) that the code asks for.
TEST(KeyRescueLanguageModules, EnglishAndFrenchHoldEveryTextAndDialogTheProgramsUse) {
  const struct {
    const char* stem;
    std::vector<uint32_t> strings;
    std::vector<std::pair<uint32_t, std::vector<uint32_t>>> dialogs;
  } modules[] = {
      {"ZYPSAVER",
       {15, 16, 17, 18, 19, 23, 24, 25, 26},
       {{107, {1, 2, 1019, 1020, 1024}}, {108, {1, 2, 1019, 1020, 1024}}, {109, {1, 2, 1019, 1020, 1024}},
        {110, {1, 2, 1024}}}},
      {"ZYPVAULT",
       {15, 16, 18, 19, 20, 22, 23, 24},
       {{109, {1, 2, 1019, 1020, 1024}}, {110, {1, 2, 1000, 1001, 1002, 1024}}}},
      {"ZYPRECOV", {4, 5, 7, 10, 11, 12, 13, 14, 18}, {}},
  };
  for (const auto& m : modules) {
    for (const char* language : {"ENU", "FRA"}) {
      std::string path = resource_folder() + "/" + m.stem + "." + language;
      std::string error;
      auto module = zyp::platform::load_language_module(path, &error);
      ASSERT_TRUE(module) << path << ": " << error;
      for (uint32_t id : m.strings) EXPECT_TRUE(module->string(id)) << path << " string " << id;
      for (const auto& [id, controls] : m.dialogs) {
        const zyp::platform::DialogTemplate* dialog = module->dialog(id);
        ASSERT_TRUE(dialog) << path << " dialog " << id;
        for (uint32_t control : controls) EXPECT_TRUE(dialog->control(control)) << path << " " << id << "/" << control;
      }
    }
  }
}

class KeyStoreCopies : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = zyp::testing::make_temp_folder("copies");
    store_ = folder_ + "/ambrel.ksl";
    saved_ = folder_ + "/saved.ksl";
    write(store_, "the store in use");
    write(saved_, "the saved store");
  }
  std::string folder_, store_, saved_;
};

TEST_F(KeyStoreCopies, ARestoreKeepsThePreviousStoreAsBakAndReplacesTheStoreWithMode0600) {
  EXPECT_EQ(restore_store(saved_, store_), RestoreResult::restored);
  EXPECT_EQ(read(store_), "the saved store");
  EXPECT_EQ(mode_of(store_), 0600u);
  EXPECT_EQ(read(store_ + ".bak"), "the store in use");
}

TEST_F(KeyStoreCopies, ARestoreWhoseCopyFailsOrThatHasNoSourceLeavesTheStoreInPlace) {
  auto failing = [](const std::string&, std::string_view) { return false; };
  EXPECT_EQ(restore_store(saved_, store_, failing), RestoreResult::failed);
  EXPECT_EQ(read(store_), "the store in use");
  EXPECT_EQ(read(store_ + ".bak"), "the store in use");  // the safety copy stays

  std::remove((store_ + ".bak").c_str());
  ASSERT_EQ(::mkdir((folder_ + "/a folder").c_str(), 0700), 0);
  for (const std::string& source : {folder_ + "/missing", folder_ + "/a folder"}) {
    EXPECT_EQ(restore_store(source, store_), RestoreResult::no_source) << source;
    EXPECT_EQ(read(store_), "the store in use");
    EXPECT_FALSE(exists(store_ + ".bak"));
  }
}

TEST_F(KeyStoreCopies, ABackupIsWrittenWith0600AndReplacesAnOldOneOnlyWhenAsked) {
  std::string target = folder_ + "/backup.ksl";
  EXPECT_EQ(write_backup(store_, target, false), BackupResult::written);
  EXPECT_EQ(read(target), "the store in use");
  EXPECT_EQ(mode_of(target), 0600u);
  write(store_, "a newer store");
  EXPECT_EQ(write_backup(store_, target, false), BackupResult::target_exists);
  EXPECT_EQ(read(target), "the store in use");
  EXPECT_EQ(write_backup(store_, target, true), BackupResult::written);
  EXPECT_EQ(read(target), "a newer store");
  EXPECT_EQ(write_backup(folder_ + "/missing", folder_ + "/other.ksl", false), BackupResult::failed);
  EXPECT_FALSE(exists(folder_ + "/other.ksl"));
}

TEST(KeyStoreFolders, DriveNamesMapToTheirFoldersAndTheStoreNameIsNeverDoubledOrCut) {
  std::string key_disk = zyp::testing::make_temp_folder("keydisk");
  ASSERT_EQ(ZYPWriteProfileString("Drives", "A", key_disk.c_str()), 1);
  ASSERT_EQ(ZYPWriteProfileString("Drives", "C", "/home/marsh"), 1);
  const struct {
    const char* folder;
    std::string store;
  } cases[] = {
      {"A:\\", key_disk + "/ambrel.ksl"},
      {"a:", key_disk + "/ambrel.ksl"},
      {"A:\\keys\\", key_disk + "/keys/ambrel.ksl"},
      {"C:\\", "/home/marsh/ambrel.ksl"},
      {"/backups/", "/backups/ambrel.ksl"},
      {"/backups//", "/backups/ambrel.ksl"},
      {"/", "/ambrel.ksl"},
      {"Archive:old", "Archive:old/ambrel.ksl"},
  };
  for (const auto& c : cases) EXPECT_EQ(store_in_folder(c.folder), c.store) << c.folder;
  ZYPWriteProfileString("Drives", "A", nullptr);
  ZYPWriteProfileString("Drives", "C", nullptr);
}

TEST(KeySaverPermissions, KindsAndTheOptionsBitDecideWhatIsOffered) {
  const struct {
    const char* module;
    int backup, restore;
  } kinds[] = {{"SOFTTOK.DLL", 0, 0}, {"softtokf.dll", 0, 1}, {"/opt/card/SOFTTOKS.DLL", 0, 1}};
  for (const auto& k : kinds) {
    ASSERT_EQ(ZYPWriteProfileString("General", "SOFTTOK", k.module), 1);
    EXPECT_EQ(ZYPIsBackupKeyAllowed(), k.backup) << k.module;
    EXPECT_EQ(ZYPIsRestoreKeyAllowed(), k.restore) << k.module;
  }
  ZYPWriteProfileString("General", "SOFTTOK", nullptr);

  const struct {
    int machine;  // -1: none
    int user;
    int modification;
  } options[] = {{-1, -1, 0}, {3, -1, 1}, {3, 2, 0}, {0, 1, 1}, {2, -1, 0}};
  for (const auto& o : options) {
    if (o.machine >= 0) ZYPWriteProfileDWord("General", "Options", static_cast<uint32_t>(o.machine));
    if (o.user >= 0) ZYPWriteUSProfileDWord("General", "Options", static_cast<uint32_t>(o.user));
    EXPECT_EQ(ZYPIsKeyModificationAllowed(), o.modification) << o.machine << " " << o.user;
    ZYPDelUSValue("General", "Options");
    ZYPWriteProfileDWord("General", "Options", 0);
  }
}

// The dialogs of the installed store (kind 0) and of the key disk (kind 1).
class KeySaverDialogs : public zyp::testing::UiScriptTest {
 protected:
  void SetUp() override {
    UiScriptTest::SetUp();
    folder_ = zyp::testing::make_temp_folder("dialogs");
    installed_ = installed_store_path();
    zyp::platform::make_folders(installed_.substr(0, installed_.rfind('/')));
    write(installed_, "the installed store");
    ZYPDelUSValue("General", "KeyBackupPath");
  }
  void TearDown() override {
    ZYPWriteProfileString("General", "SOFTTOK", nullptr);
    ZYPWriteProfileString("Drives", "A", nullptr);
  }
  std::string saved(const std::string& name) {
    std::string path = folder_ + "/" + name;
    zyp::platform::make_folders(path);
    return path;
  }
  std::string folder_, installed_;
};

TEST_F(KeySaverDialogs, TheBackupDialogProposesTheDefaultFolderSavesTheChoiceAndCopiesTheStore) {
  std::string target = saved("backups");
  script("dialog 107 set 1020 \"" + target + "/\"\ndialog 107 click 1\nmsgbox 1\n");
  EXPECT_EQ(ZYPBackupKey(nullptr), 0);
  EXPECT_TRUE(transcript_has("dialog 107 text 1020 \"A:\\\\\"")) << read(transcript_);
  EXPECT_TRUE(transcript_has("dialog 107 end 1")) << read(transcript_);
  EXPECT_EQ(read(target + "/ambrel.ksl"), "the installed store");
  EXPECT_EQ(mode_of(target + "/ambrel.ksl"), 0600u);
  char setting[260] = {};
  ZYPGetUSProfileString("General", "KeyBackupPath", "", setting, sizeof setting);
  EXPECT_EQ(std::string(setting), target + "/");
}

TEST_F(KeySaverDialogs, NoToTheOverwriteQuestionWritesNothingAndKeepsTheDialogOpen) {
  std::string target = saved("old");
  write(target + "/ambrel.ksl", "an older backup");
  script("dialog 108 set 1020 \"" + target + "\"\ndialog 108 click 1\nmsgbox 7\ndialog 108 click 2\n");
  EXPECT_EQ(ZYPBackupKeyAuto(nullptr), 0);
  EXPECT_EQ(read(target + "/ambrel.ksl"), "an older backup");
  EXPECT_TRUE(transcript_has("dialog 108 end 2")) << read(transcript_);
  EXPECT_TRUE(transcript_lines("mismatch").empty()) << read(transcript_);

  script("dialog 108 set 1020 \"" + target + "\"\ndialog 108 click 1\nmsgbox 6\nmsgbox 1\n");
  EXPECT_EQ(ZYPBackupKeyAuto(nullptr), 0);
  EXPECT_EQ(read(target + "/ambrel.ksl"), "the installed store");
}

TEST_F(KeySaverDialogs, ARestoreFromAFolderWithoutAStoreChangesNothing) {
  std::string empty = saved("empty");
  script("dialog 109 set 1020 \"" + empty + "\"\ndialog 109 click 1\nmsgbox 1\n");
  EXPECT_EQ(ZYPRestoreKey(nullptr), 0);
  EXPECT_EQ(transcript_lines("msgbox \"Quillmarsh Folder\" \"There is no key store backup in this folder (" + empty +
                             "/ambrel.ksl is missing)")
                .size(),
            1u)
      << read(transcript_);
  EXPECT_EQ(read(installed_), "the installed store");
  EXPECT_FALSE(exists(installed_ + ".bak"));
}

// The key disk is read once when the dialog opens; the presence check is off
// while it is open and comes back afterwards; the temporary copy goes.
TEST_F(KeySaverDialogs, TheKeyDiskBackupCopiesTheKeyDiskStoreAndRestoresThePresenceCheck) {
  std::string key_disk = saved("keydisk");
  write(key_disk + "/ambrel.ksl", "the key disk store");
  ASSERT_EQ(ZYPWriteProfileString("Drives", "A", key_disk.c_str()), 1);
  ASSERT_EQ(ZYPWriteProfileString("General", "SOFTTOK", "SOFTTOKF.DLL"), 1);
  ASSERT_EQ(ZYPSetCheckPresence(1), 0);
  const std::vector<std::string> before = temporary_copies();
  std::string target = saved("from-key-disk");
  script("dialog 107 set 1020 \"" + target + "\"\ndialog 107 click 1\nmsgbox 1\n");
  EXPECT_EQ(ZYPBackupKey(nullptr), 0);
  EXPECT_TRUE(transcript_has("dialog 107 text 1020 \"C:\\\\\"")) << read(transcript_);
  EXPECT_EQ(read(target + "/ambrel.ksl"), "the key disk store");
  EXPECT_EQ(ZYPGetCheckPresence(), 1u);
  EXPECT_EQ(temporary_copies(), before);

  // A key disk without a store gives no backup, not an empty one.
  std::remove((key_disk + "/ambrel.ksl").c_str());
  std::string nothing = saved("from-empty-key-disk");
  script("dialog 107 set 1020 \"" + nothing + "\"\ndialog 107 click 1\nmsgbox 1\ndialog 107 click 2\n");
  EXPECT_EQ(ZYPBackupKey(nullptr), 0);
  EXPECT_FALSE(exists(nothing + "/ambrel.ksl"));
  EXPECT_EQ(transcript_lines("msgbox \"Quillmarsh Folder\" \"The key store could not be saved to " + nothing).size(), 1u)
      << read(transcript_);
  write(key_disk + "/ambrel.ksl", "the key disk store");

  // Onto the key disk itself: the user is told before and after it is used.
  script("dialog 107 set 1020 \"A:\\\\\"\ndialog 107 click 1\nmsgbox 1\nmsgbox 6\nmsgbox 1\nmsgbox 1\n");
  EXPECT_EQ(ZYPBackupKey(nullptr), 0);
  EXPECT_EQ(transcript_lines("msgbox \"Quillmarsh Folder\" \"The key disk").size(), 2u) << read(transcript_);
  EXPECT_EQ(read(key_disk + "/ambrel.ksl"), "the key disk store");
}

}  // namespace

namespace {

TEST_F(KeySaverDialogs, TheKeyDiskRestoreReplacesTheKeyDiskStoreAndKeepsItsSafetyCopy) {
  std::string key_disk = saved("keydisk-restore");
  write(key_disk + "/ambrel.ksl", "the key disk store");
  std::string backups = saved("key-disk-backups");
  write(backups + "/ambrel.ksl", "the saved key disk store");
  ASSERT_EQ(ZYPWriteProfileString("Drives", "A", key_disk.c_str()), 1);
  ASSERT_EQ(ZYPWriteProfileString("General", "SOFTTOK", "SOFTTOKF.DLL"), 1);
  ASSERT_EQ(ZYPSetCheckPresence(1), 0);
  const std::vector<std::string> before = temporary_copies();
  script("dialog 109 set 1020 \"" + backups + "\"\ndialog 109 click 1\nmsgbox 1\n");
  EXPECT_EQ(ZYPRestoreKey(nullptr), 0);
  EXPECT_EQ(read(key_disk + "/ambrel.ksl"), "the saved key disk store");
  EXPECT_EQ(read(key_disk + "/ambrel.ksl.bak"), "the key disk store");
  EXPECT_EQ(read(installed_), "the installed store");  // the installed store is not the key disk's
  EXPECT_TRUE(transcript_has("msgbox \"Quillmarsh Folder\" \"The key store was restored. Log in with the PIN of the "
                             "restored key store.\" style 0x40 -> 1"))
      << read(transcript_);
  EXPECT_EQ(ZYPGetCheckPresence(), 1u);
  EXPECT_EQ(temporary_copies(), before);
}

TEST_F(KeySaverDialogs, ASmartCardIsCopiedAtOnceOnRequestAndAfterItsQuestionWhenOffered) {
  ASSERT_EQ(ZYPWriteProfileString("General", "SOFTTOK", "SOFTTOKS.DLL"), 1);
  script("dialog 110 click 2\n");
  EXPECT_EQ(ZYPBackupKey(nullptr), 0);  // no dialog: the line stays for the offered backup
  EXPECT_EQ(ZYPBackupKeyAuto(nullptr), 0);
  EXPECT_TRUE(transcript_has("dialog 110 end 2")) << read(transcript_);
  EXPECT_TRUE(transcript_lines("dialog 107").empty()) << read(transcript_);
  script("");
  EXPECT_EQ(ZYPRestoreKey(nullptr), 0);  // nothing to restore for a card
  EXPECT_TRUE(transcript_lines("dialog 109").empty()) << read(transcript_);
}

}  // namespace
