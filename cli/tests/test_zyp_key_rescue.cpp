// zyp keys backup|restore, zyp recovery create-shares and zyp recover, run as
// the user runs them against the real server over the software token.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cli/tests/zyp_run.h"
#include "platform/atomic_file.h"
#include "platform/modules.h"

namespace {

using namespace zyp::testing::cli;
using zyp::testing::cli::zyp;  // the function, not the namespace

constexpr char kPinAnswer[] = "\"4321\"";
constexpr char kPlainText[] = "the minutes of the marsh committee\n";

std::string read(const std::string& path) { return zyp::platform::read_whole_file(path).value_or("(missing)"); }

unsigned mode_of(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

// Logged in to a token that the server set up with the PIN 4321.
class ZypKeyRescue : public ZypCli {
 protected:
  void SetUp() override {
    ZypCli::SetUp();
    script_ = folder_ + "/answers";
    transcript_ = folder_ + "/transcript";
    ASSERT_TRUE(zyp::platform::write_file_atomically(script_, std::string("msgbox 6\n") +
                                                                  "dialog 139 set 1001 " + kPinAnswer + "\n" +
                                                                  "dialog 139 set 1002 " + kPinAnswer + "\n" +
                                                                  "dialog 139 click 1\n"));
    ::setenv("ZYP_UI", ("script:" + script_).c_str(), 1);
    ::setenv("ZYP_UI_TRANSCRIPT", transcript_.c_str(), 1);
    Outcome login = zyp({"token", "login"});
    ASSERT_EQ(login.exit_code, 0) << login << "\ntranscript: " << read(transcript_);
    store_ = std::string(::getenv("ZYP_MACHINE_DIR")) + "/data/ambrel.ksl";
  }
  void TearDown() override {
    ZypCli::TearDown();
    ::setenv("ZYP_UI", "none", 1);
    ::unsetenv("ZYP_UI_TRANSCRIPT");
  }

  std::string folder(const std::string& name) {
    std::string path = folder_ + "/" + name;
    ::mkdir(path.c_str(), 0700);
    return path;
  }
  std::string new_key(const std::string& name) {
    Outcome run = zyp({"keys", "new", name, "--algorithm", "DES 40 bits", "--from-sentence"},
                      "sentence of " + name + "\nsentence of " + name + "\n");
    EXPECT_EQ(run.exit_code, 0) << run;
    return run.out.substr(0, run.out.find('\n'));
  }
  void answer_pin_dialog() {
    std::string more = read(script_) + "dialog 129 set 1000 " + kPinAnswer + "\ndialog 129 click 1\n";
    ASSERT_TRUE(zyp::platform::write_file_atomically(script_, more));
  }
  // A file encrypted in place with the key by `zyp encrypt`.
  std::string encrypted_file(const std::string& name, const std::string& key) {
    std::string path = folder_ + "/" + name;
    EXPECT_TRUE(zyp::platform::write_file_atomically(path, kPlainText));
    Outcome run = zyp({"encrypt", path, "--key", key, "--quiet"});
    EXPECT_EQ(run.exit_code, 0) << run;
    return path;
  }

  std::string script_;
  std::string transcript_;
  std::string store_;
};

TEST_F(ZypKeyRescue, ABackupRestoredOverAChangedStoreBringsItsKeysBack) {
  std::string kept = new_key("kept");
  std::string saved = folder("saved");
  Outcome backup = zyp({"keys", "backup", saved});
  ASSERT_EQ(backup.exit_code, 0) << backup;
  EXPECT_EQ(read(saved + "/ambrel.ksl"), read(store_));
  EXPECT_EQ(mode_of(saved + "/ambrel.ksl"), 0600u);

  ASSERT_EQ(zyp({"keys", "delete", kept, "--yes"}).exit_code, 0);
  std::string changed = read(store_);
  ASSERT_FALSE(contains(zyp({"keys", "list"}).out, kept));

  answer_pin_dialog();  // the session is opened again with the restored store's PIN
  Outcome restore = zyp({"keys", "restore", saved, "--yes"});
  ASSERT_EQ(restore.exit_code, 0) << restore << "\ntranscript: " << read(transcript_);
  EXPECT_TRUE(contains(restore.out, "logged in again")) << restore;
  EXPECT_EQ(read(store_ + ".bak"), changed);
  EXPECT_EQ(mode_of(store_), 0600u);
  Outcome list = zyp({"keys", "list"});
  EXPECT_TRUE(contains(list.out, kept + "\tkept\t")) << list;
}

TEST_F(ZypKeyRescue, NothingChangesWithoutAConfirmationOrWithoutAStoreInTheFolder) {
  std::string saved = folder("saved");
  std::string empty = folder("empty");
  ASSERT_TRUE(zyp::platform::write_file_atomically(saved + "/ambrel.ksl", "an older backup"));
  const std::string store_before = read(store_);
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::string says;
  } cases[] = {
      {{"keys", "backup", saved}, 2, "replacing a backup needs a confirmation: add --yes"},
      {{"keys", "restore", empty, "--yes"}, 1, "no key store in " + empty + " ("},
      {{"keys", "restore", saved}, 2, "restoring the key store needs a confirmation: add --yes"},
      {{"keys", "restore"}, 2, "missing DIR"},
      {{"keys", "backup", folder_ + "/missing"}, 1, "the folder " + folder_ + "/missing does not exist"},
      {{"keys", "backup"}, 1, "the folder A:\\ does not exist (A:\\ names the key-disk folder"},
  };
  for (const auto& c : cases) {
    Outcome run = zyp(c.args, "y\n");  // standard input is no terminal: nobody can answer
    SCOPED_TRACE(c.says);
    EXPECT_EQ(run.exit_code, c.exit_code) << run;
    EXPECT_TRUE(contains(run.err, c.says)) << run;
    EXPECT_EQ(read(saved + "/ambrel.ksl"), "an older backup");
    EXPECT_EQ(read(store_), store_before);
    EXPECT_FALSE(zyp::platform::read_whole_file(store_ + ".bak"));
  }
  Outcome replaced = zyp({"keys", "backup", saved, "--yes"});
  EXPECT_EQ(replaced.exit_code, 0) << replaced;
  EXPECT_EQ(read(saved + "/ambrel.ksl"), store_before);
}

// The whole path of a lost key: a recovery key installed with 3 share
// disks of which 2 are needed, a file encrypted after that, its key deleted,
// brought back from two share folders and the file decrypted.
TEST_F(ZypKeyRescue, AFileKeyDeletedFromTheTokenComesBackFromTwoOfThreeShareFolders) {
  std::string key = new_key("lost");
  std::string early = encrypted_file("early", key);  // before the recovery key: no field
  std::string shares = folder("shares");
  Outcome create = zyp({"recovery", "create-shares", "--disks", "3", "--needed", "2", "--out", shares});
  ASSERT_EQ(create.exit_code, 0) << create;
  for (int disk = 1; disk <= 3; ++disk) {
    std::string share = shares + "/disk-" + std::to_string(disk) + "/krkey.bin";
    EXPECT_EQ(read(share).size(), 714u) << share;
    EXPECT_EQ(mode_of(share), 0600u) << share;
  }
  Outcome again = zyp({"recovery", "create-shares", "--disks", "2", "--needed", "2", "--out", folder("again")});
  EXPECT_EQ(again.exit_code, 1) << again;
  EXPECT_TRUE(contains(again.err, "has a recovery key already")) << again;

  std::string file = encrypted_file("minutes", key);
  ASSERT_EQ(zyp({"keys", "delete", key, "--yes"}).exit_code, 0);
  std::string disk1 = shares + "/disk-1", disk2 = shares + "/disk-2", disk3 = shares + "/disk-3";
  const struct {
    std::vector<std::string> args;
    const char* says;
  } refused[] = {
      {{"recover", file, "--shares", disk1, disk1}, "hold the same disk's share"},
      {{"recover", file, "--shares", disk3}, "the set needs 2 disks, 1 given"},
      {{"recover", file, "--shares", disk1, folder("empty")}, "is missing or is not a share file"},
      {{"recover", early, "--shares", disk1, disk2}, "the file has no first recovery field"},
  };
  for (const auto& r : refused) {
    Outcome run = zyp(r.args);
    SCOPED_TRACE(r.says);
    EXPECT_EQ(run.exit_code, 1) << run;
    EXPECT_TRUE(contains(run.err, r.says)) << run;
  }

  Outcome recover = zyp({"recover", file, "--shares", disk3, disk1});
  ASSERT_EQ(recover.exit_code, 0) << recover;
  EXPECT_TRUE(contains(recover.out, "key " + key + " is in the session")) << recover;
  Outcome decrypt = zyp({"decrypt", file});
  ASSERT_EQ(decrypt.exit_code, 0) << decrypt;
  EXPECT_EQ(read(file), kPlainText);
}

}  // namespace
