// The rescue program zypvault, run as a program: the key store put back
// from a folder, and the smart-card unblocking through a stand-in library.
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <string>

#include "backup/store_copy.h"
#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/modules.h"
#include "testsupport/test_env.h"
#include "testsupport/ui_script.h"
#include "zyp/zypprof.h"
#include "zyp/zypsess.h"

namespace {

std::string read(const std::string& path) { return zyp::platform::read_whole_file(path).value_or("(missing)"); }

using zyp::testing::build_folder;

int run_vault() { return zyp::platform::spawn_program(build_folder() + "/bin/zypvault", {}, true); }

class RescueProgram : public zyp::testing::UiScriptTest {
 protected:
  void SetUp() override {
    UiScriptTest::SetUp();
    folder_ = zyp::testing::make_temp_folder("vault");
    store_ = zyp::backup::installed_store_path();
    zyp::platform::make_folders(store_.substr(0, store_.rfind('/')));
    ASSERT_TRUE(zyp::platform::write_file_atomically(store_, "the forgotten store"));
    ASSERT_TRUE(zyp::platform::write_file_atomically(folder_ + "/ambrel.ksl", "the saved store"));
    ::unlink((store_ + ".bak").c_str());
  }
  void TearDown() override { ZYPWriteProfileString("General", "SOFTTOK", nullptr); }

  std::string folder_, store_;
};

TEST_F(RescueProgram, WithoutATokenModuleSettingItPutsTheSavedStoreBackAndKeepsTheOldOne) {
  script("dialog 109 set 1020 \"" + folder_ + "\"\ndialog 109 click 1\n");
  EXPECT_EQ(run_vault(), 0);
  EXPECT_EQ(read(store_), "the saved store");
  EXPECT_EQ(read(store_ + ".bak"), "the forgotten store");
  EXPECT_TRUE(transcript_lines("msgbox").empty()) << read(transcript_);  // success shows nothing
  EXPECT_TRUE(transcript_has("dialog 109 end 1")) << read(transcript_);
}

TEST_F(RescueProgram, AFolderWithoutAStoreOrAnOpenSessionChangesNothing) {
  std::string empty = zyp::testing::make_temp_folder("empty");
  script("dialog 109 set 1020 \"" + empty + "\"\ndialog 109 click 1\nmsgbox 1\n");
  EXPECT_EQ(run_vault(), 0);
  EXPECT_EQ(transcript_lines("msgbox \"Quillmarsh Folder\" \"There is no key store backup").size(), 1u)
      << read(transcript_);

  ASSERT_EQ(ZYPSetSessionState(0, 0), 0);  // this process holds an open session
  script("msgbox 1\n");
  EXPECT_EQ(run_vault(), 0);
  ZYPSetSessionState(0, 1);
  EXPECT_EQ(transcript_lines("msgbox \"Quillmarsh Folder\" \"A session is open on your token").size(), 1u)
      << read(transcript_);
  EXPECT_TRUE(transcript_lines("dialog 109 open").size() == 1u) << read(transcript_);
  EXPECT_EQ(read(store_), "the forgotten store");
}

class CardUnblocking : public RescueProgram {
 protected:
  void SetUp() override {
    RescueProgram::SetUp();
    card_ = zyp::testing::make_temp_folder("card");
    ::setenv("VAULT_CARD_DIR", card_.c_str(), 1);
    ::setenv("LD_LIBRARY_PATH", (build_folder() + "/tests/vaultcard").c_str(), 1);
    // A lower-case name with a folder in front is still the card module.
    ASSERT_EQ(ZYPWriteProfileString("General", "SOFTTOK", "/opt/cards/softtoks.dll"), 1);
  }
  void TearDown() override {
    ::unsetenv("LD_LIBRARY_PATH");
    RescueProgram::TearDown();
  }
  void card(const char* setting, const char* value) {
    ASSERT_TRUE(zyp::platform::write_file_atomically(card_ + "/" + setting, value));
  }
  std::string calls() const { return zyp::platform::read_whole_file(card_ + "/calls").value_or(""); }

  std::string card_;
};

TEST_F(CardUnblocking, AnEightDigitCodeAndTwoEqualPinsUnblockTheCardAndTheResultIsShown) {
  const struct {
    const char* unblock;
    const char* says;
  } results[] = {{"1", "The smart card is unblocked."}, {"0", "The smart card could not be unblocked."}};
  for (const auto& r : results) {
    card("unblock", r.unblock);
    std::remove((card_ + "/calls").c_str());
    script("dialog 110 set 1000 \"12ab34CG\"\n"  // the G is dropped at once
           "dialog 110 set 1001 \"2468\"\ndialog 110 set 1002 \"2468\"\n"
           "dialog 110 set 1000 \"12ab34CD\"\ndialog 110 click 1\nmsgbox 1\n");
    EXPECT_EQ(run_vault(), 0);
    EXPECT_TRUE(transcript_has("dialog 110 text 1000 \"12ab34C\"")) << read(transcript_);
    EXPECT_EQ(calls(), "insert \"Smart card unblocking\" \"Insert the smart card to unblock.\"\nunblock 2468 12ab34CD\n");
    EXPECT_EQ(transcript_lines(std::string("msgbox \"Smart card unblocking\" \"") + r.says).size(), 1u)
        << read(transcript_);
  }
  EXPECT_EQ(read(store_), "the forgotten store");  // the card path never touches a key store
}

TEST_F(CardUnblocking, OkStaysDisabledForShortOrDifferingPinsAndTheDialogEndsWhenTheCardGoes) {
  const char* pins[][2] = {{"123", "123"}, {"abcd", "ABCD"}, {"1234", "12345"}};
  for (const auto& pin : pins) {
    script(std::string("dialog 110 set 1000 \"0011AAFF\"\ndialog 110 set 1001 \"") + pin[0] +
           "\"\ndialog 110 set 1002 \"" + pin[1] + "\"\ndialog 110 click 1\n");
    EXPECT_EQ(run_vault(), 0);
    EXPECT_EQ(calls().find("\nunblock"), std::string::npos) << pin[0] << " " << pin[1];
    EXPECT_EQ(transcript_lines("mismatch").size(), 1u) << read(transcript_);  // the click on a disabled OK
    if (HasFailure()) break;
    std::remove(transcript_.c_str());
  }

  card("present", "0");
  script("dialog 110 tick 1\n");
  EXPECT_EQ(run_vault(), 0);
  EXPECT_TRUE(transcript_has("dialog 110 end 2")) << read(transcript_);
  EXPECT_TRUE(transcript_lines("msgbox").empty()) << read(transcript_);

  card("insert", "0");  // the user gives up at the insertion request
  std::remove(transcript_.c_str());
  script("");
  EXPECT_EQ(run_vault(), 0);
  EXPECT_TRUE(transcript_lines("dialog 110").empty()) << read(transcript_);
}

}  // namespace
