// Backup and restore through the dialogs with a logged-in session on the
// real server: the restored store opens with its PIN and holds its keys.
#include <gtest/gtest.h>

#include <string>

#include "backup/store_copy.h"
#include "filecrypt/tests/file_test_support.h"
#include "platform/atomic_file.h"
#include "testsupport/test_env.h"
#include "zyp/softtok.h"
#include "zyp/zypclient.h"
#include "zyp/zypsaver.h"
#include "zyp/zypsess.h"

namespace {

constexpr uint32_t kToken = 0;

std::string read(const std::string& path) { return zyp::platform::read_whole_file(path).value_or("(missing)"); }

bool key_listed(uint32_t key) {
  ZYPCIPListEntry keys[16] = {};
  uint32_t count = 16;
  if (ZYPCIPEnumKey(kToken, CKM_DES_40_CBC, ZYPCIP_TYPE_ENCRYPTION, keys, &count) != 0) return false;
  for (uint32_t i = 0; i < count; ++i)
    if (keys[i].value == key) return true;
  return false;
}

TEST(KeySaverSession, ABackupRestoredThroughTheDialogsOpensWithItsPinAndHoldsItsKeys) {
  std::string folder = zyp::testing::make_temp_folder("session");
  zyp::file::testing::open_session_through_server(folder, kToken);
  if (HasFatalFailure()) return;
  uint32_t key = 0;
  ASSERT_EQ(ZYPCIPGenerateKeyFromSentence(kToken, CKM_DES_40_CBC, ZYPCIP_TYPE_ENCRYPTION, "kept", "kept in the backup",
                                          &key),
            0);
  std::string script = folder + "/answers";
  auto append = [&](const std::string& lines) {
    ASSERT_TRUE(zyp::platform::write_file_atomically(script, read(script) + lines));
  };
  append("dialog 107 set 1020 \"" + folder + "\"\ndialog 107 click 1\nmsgbox 1\n");
  EXPECT_EQ(ZYPBackupKey(nullptr), 0);
  ASSERT_EQ(read(folder + "/ambrel.ksl"), read(zyp::backup::installed_store_path()));

  ASSERT_EQ(ZYPCIPDeleteKey(kToken, key), 0);
  ASSERT_FALSE(key_listed(key));
  // The restore closes the session; the server asks for the PIN again.
  append("dialog 109 set 1020 \"" + folder + "\"\ndialog 109 click 1\nmsgbox 1\n"
         "dialog 129 set 1000 \"4321\"\ndialog 129 click 1\n");
  EXPECT_EQ(ZYPRestoreKey(nullptr), 0);
  std::string shown = read(folder + "/transcript");
  EXPECT_NE(shown.find("The key store was restored."), std::string::npos) << shown;
  EXPECT_NE(shown.find("dialog 129 user click 1"), std::string::npos) << shown;
  EXPECT_EQ(ZYPGetSessionState(kToken), 0);
  EXPECT_TRUE(key_listed(key));
  ZYPCIPShutdownPKCS();
}

}  // namespace
