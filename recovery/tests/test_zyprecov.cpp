// The key-recovery program's run through the real server: the file chosen
// in the open dialog, the share disks inserted one after the other into the
// key-disk folder, the file's key unwrapped into the session.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filecrypt/tests/file_test_support.h"
#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/modules.h"
#include "recovery/disk_recovery.h"
#include "recovery/shares.h"
#include "testsupport/test_env.h"
#include "zyp/softtok.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"

namespace {

using namespace zyp::recovery;

constexpr uint32_t kToken = 0;
constexpr char kPlainText[] = "minutes of the marsh committee\n";
constexpr char kFailed[] = "msgbox \"Key recovery\" \"The key could not be recovered.";

std::string read(const std::string& path) { return zyp::platform::read_whole_file(path).value_or("(missing)"); }

class KeyRecoveryProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new std::string(zyp::testing::make_temp_folder("recov"));
    zyp::file::testing::open_session_through_server(*folder_, kToken);
    key_disk_ = new std::string(*folder_ + "/drive-a");
    zyp::platform::make_folders(*key_disk_);
    ZYPWriteProfileString("Drives", "A", key_disk_->c_str());
    // Encrypted before the recovery key was installed: no recovery field.
    early_ = new std::string(*folder_ + "/early");
    uint32_t early_key = 0;
    ASSERT_EQ(ZYPCIPGenerateKeyFromSentence(kToken, CKM_DES_40_CBC, ZYPCIP_TYPE_ENCRYPTION, "early key",
                                            "a sentence for early files", &early_key),
              0);
    ASSERT_TRUE(zyp::platform::write_file_atomically(*early_, kPlainText));
    FileHeader header{};
    ZYPFillHeader(&header, CKM_DES_40_CBC, early_key, 0, "early");
    ASSERT_EQ(ZYPCipherFileToEx(early_->c_str(), early_->c_str(), &header, 0, 1), 0);
    ZYPRecoveryKeyRecord record{};
    ZYPRecoveryPublicRecord public_record{};
    ASSERT_EQ(ZYPCIPSetKeyRecoveryPublicKey(kToken, 0, &record, &public_record), 0);
    for (uint32_t disk = 0; disk < 3; ++disk) {
      RecordBytes bytes;
      std::memcpy(bytes.data(), &record, bytes.size());
      shares_[disk] = new Share;
      make_share(bytes, 3, 2, disk, *shares_[disk]);
    }
  }
  static void TearDownTestSuite() { ZYPCIPShutdownPKCS(); }

  void SetUp() override {
    ASSERT_EQ(ZYPCIPGenerateKeyFromSentence(kToken, CKM_DES_40_CBC, ZYPCIP_TYPE_ENCRYPTION, "minutes key",
                                            "a sentence for the minutes", &key_),
              0);
  }
  void TearDown() override {
    ZYPCIPDeleteKey(kToken, key_);
    EXPECT_EQ(shown("mismatch"), 0u) << read(*folder_ + "/transcript");  // every prompt came as scripted
  }

  std::string encrypted_file(const std::string& name) {
    std::string path = *folder_ + "/" + name;
    EXPECT_TRUE(zyp::platform::write_file_atomically(path, kPlainText));
    FileHeader header{};
    ZYPFillHeader(&header, CKM_DES_40_CBC, key_, 0, "doc");
    EXPECT_EQ(ZYPCipherFileToEx(path.c_str(), path.c_str(), &header, 0, 1), 0);
    return path;
  }
  void answers(const std::string& lines) {
    std::string script = *folder_ + "/answers";
    ASSERT_TRUE(zyp::platform::write_file_atomically(script, read(script) + lines));
  }
  // Each insertion puts the next disk of `disks` (-1: none) into the drive.
  static DiskInserted inserting(std::vector<int> disks) {
    return [disks](uint32_t number) {
      std::string path = *key_disk_ + "/krkey.bin";
      std::remove(path.c_str());
      int disk = disks.at(number - 1);
      if (disk >= 0) write_share_file(path, *shares_[disk]);
    };
  }
  size_t shown(const std::string& start) const {
    std::string transcript = read(*folder_ + "/transcript");
    size_t count = 0;
    for (size_t at = transcript.find(start); at != std::string::npos; at = transcript.find(start, at + 1)) ++count;
    return count;
  }

  static std::string* folder_;
  static std::string* key_disk_;
  static std::string* early_;
  static Share* shares_[3];
  uint32_t key_ = 0;
};

std::string* KeyRecoveryProgram::folder_ = nullptr;
std::string* KeyRecoveryProgram::key_disk_ = nullptr;
std::string* KeyRecoveryProgram::early_ = nullptr;
Share* KeyRecoveryProgram::shares_[3] = {};

TEST_F(KeyRecoveryProgram, EachPairOfDisksInAnyOrderBringsTheDeletedKeyBack) {
  const std::vector<int> pairs[] = {{0, 1}, {2, 0}, {1, 2}};
  for (const auto& pair : pairs) {
    SCOPED_TRACE(std::to_string(pair[0]) + "," + std::to_string(pair[1]));
    std::string file = encrypted_file("minutes");
    ASSERT_EQ(ZYPCIPDeleteKey(kToken, key_), 0);
    answers("browse " + file + "\nmsgbox 1\nmsgbox 1\nmsgbox 1\nmsgbox 1\nmsgbox 1\n");
    EXPECT_EQ(recover_from_disks(kToken, inserting(pair)), 1);
    char label[256] = {};
    uint32_t length = 255;
    EXPECT_EQ(ZYPCIPGetKeyName(kToken, key_, label, &length), 0);
    EXPECT_EQ(std::string(label), "Recovered key : minutes");
    FileHeader header{};
    ASSERT_EQ(ZYPDecipherFileToEx(file.c_str(), file.c_str(), &header, 0, 1), 0);
    EXPECT_EQ(read(file), kPlainText);
  }
  EXPECT_EQ(shown("msgbox \"Key recovery\" \"Insert recovery disk number 2 and press OK.\""), 3u);
}

TEST_F(KeyRecoveryProgram, TheSameDiskTwiceAMissingDiskOrAFileWithoutAFieldFailWithTheRecoveryMessage) {
  std::string file = encrypted_file("kept");
  ASSERT_EQ(ZYPCIPDeleteKey(kToken, key_), 0);
  const struct {
    std::vector<int> disks;
    std::string script;
  } failing[] = {
      {{1, 1}, "msgbox 1\nmsgbox 1\nmsgbox 1\nmsgbox 1\nmsgbox 1\n"},
      {{0, -1}, "msgbox 1\nmsgbox 1\nmsgbox 1\nmsgbox 1\nmsgbox 1\n"},  // the second disk cannot be read
  };
  size_t failures = shown(kFailed);
  for (const auto& f : failing) {
    answers("browse " + file + "\n" + f.script);
    EXPECT_EQ(recover_from_disks(kToken, inserting(f.disks)), 0);
    EXPECT_EQ(shown(kFailed), ++failures);
  }
  EXPECT_EQ(shown("msgbox \"Key recovery\" \"The recovery disk could not be read"), 1u);

  answers("browse " + *early_ + "\nmsgbox 1\n");
  EXPECT_EQ(recover_from_disks(kToken, inserting({0, 1})), 0);
  EXPECT_EQ(shown(kFailed), ++failures);

  answers("browse\n");  // no file chosen: nothing is shown
  EXPECT_EQ(recover_from_disks(kToken), 0);
  EXPECT_EQ(shown(kFailed), failures);
}

// The program itself: exit code 1 exactly when the key was recovered.
TEST_F(KeyRecoveryProgram, TheProgramEndsWithOneOnlyWhenTheKeyCameBack) {
  std::string program = zyp::file::testing::tests_folder() + "/../bin/zyprecov";
  std::string file = encrypted_file("by-program");
  ASSERT_EQ(ZYPCIPDeleteKey(kToken, key_), 0);
  std::string both = *key_disk_ + "/krkey.bin";
  Share whole;  // k = 1: one disk holds the whole record
  RecordBytes record{};
  add_share(record, shares_[0]->bytes);
  add_share(record, shares_[1]->bytes);
  make_share(record, 1, 1, 0, whole);
  ASSERT_TRUE(write_share_file(both, whole));
  answers("browse " + file + "\nmsgbox 1\nmsgbox 1\nmsgbox 1\n");
  EXPECT_EQ(zyp::platform::spawn_program(program, {}, true), 1);
  char label[256] = {};
  uint32_t length = 255;
  EXPECT_EQ(ZYPCIPGetKeyName(kToken, key_, label, &length), 0);

  answers("browse\n");
  EXPECT_EQ(zyp::platform::spawn_program(program, {}, true), 0);
}

}  // namespace
