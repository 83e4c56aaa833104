// Session opening and PIN change through the dialogs over the real software
// token module and its key store, answered by scripts.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/ui/ui.h"
#include "provider_test.h"
#include "testsupport/ui_script.h"
#include "zyp/zypsess.h"

namespace zyp::prov {
namespace {

constexpr uint32_t kToken = 0;  // the key store in the data folder
constexpr char kPin[] = "1234";
constexpr char kSentence[] = "a sentence for a key";

std::string store_file() { return platform::machine_dir() + "/data/ambrel.ksl"; }

CK_UTF8CHAR* pin_bytes(const char* pin) { return reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin)); }

// A process of its own that loads the software token and keeps a read-write
// session on token 0 open until it is released.
class SessionHolder {
 public:
  SessionHolder() {
    int ready[2], release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      char opened = hold_session(release[0], ready[1]);
      ::_exit(opened == '1' ? 0 : 1);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_ = release[1];
    char answer = 0;
    opened_ = ::read(ready[0], &answer, 1) == 1 && answer == '1';
    ::close(ready[0]);
  }
  ~SessionHolder() { release(); }

  bool opened() const { return opened_; }
  void release() {
    if (release_ >= 0) ::close(release_);
    release_ = -1;
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  static char hold_session(int release, int ready) {
    void* module = ::dlopen(SOFTTOK_MODULE, RTLD_NOW | RTLD_LOCAL);
    auto get_list = module ? reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList")) : nullptr;
    CK_FUNCTION_LIST_PTR f = nullptr;
    CK_SESSION_HANDLE session = 0;
    bool opened = get_list && get_list(&f) == CKR_OK && f->C_Initialize(nullptr) == CKR_OK &&
                  f->C_OpenSession(kToken, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr, &session) == CKR_OK;
    char word = opened ? '1' : '0';
    (void)!::write(ready, &word, 1);
    (void)!::read(release, &word, 1);  // returns when the parent closes its end
    // Closed, so that the session count goes back; the module is left
    // initialised, as a process that ends without finalising it leaves it.
    if (opened) f->C_CloseSession(session);
    return opened ? '1' : '0';
  }

  pid_t pid_ = -1;
  int release_ = -1;
  bool opened_ = false;
};

class SofttokSession : public zyp::testing::UiScriptTest {
 protected:
  void TearDown() override { detach_process(); }

  void attach() { ASSERT_TRUE(testing::attach_with_module(SOFTTOK_MODULE)); }

  // A key store under kPin that holds one key; the provider is attached and
  // logged in afterwards.
  void set_up_store_with_a_key() {
    attach();
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    ASSERT_EQ(provider()->p11().C_InitToken(kToken, pin_bytes(kPin), std::strlen(kPin), label), CKR_OK);
    ASSERT_EQ(testing::login(kToken, kPin), CKR_OK);
    ASSERT_EQ(new_key(), 0);
  }

  int new_key(const char* label = "key") {
    uint32_t key_id = 0;
    return ZYPCIPGenerateKeyFromSentence(kToken, CKM_DES_40_CBC, 1, label, kSentence, &key_id);
  }

  uint32_t key_count() {
    uint32_t count = 0;
    int result = ZYPCIPEnumKey(kToken, CKM_DES_40_CBC, 1, nullptr, &count);
    EXPECT_TRUE(result == 0 || result == 1) << result;
    return count;
  }
};

TEST_F(SofttokSession, ATokenBusyInAnotherProcessIsNeverOfferedForInitialisation) {
  set_up_store_with_a_key();
  detach_process();
  auto stored = platform::read_whole_file(store_file());
  ASSERT_TRUE(stored.has_value());

  SessionHolder holder;
  ASSERT_TRUE(holder.opened());
  attach();
  script("msgbox 1\n");
  EXPECT_EQ(ZYPCIPOpenSession(kToken), 0);
  auto boxes = transcript_lines("msgbox");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(boxes[0].starts_with("msgbox \"Quillmarsh Folder\" \"No session can be opened on this token. Another "
                                   "program may be using it"))
      << boxes[0];
  EXPECT_NE(boxes[0].find("(PKCS #11 error 0x"), std::string::npos) << boxes[0];
  EXPECT_TRUE(transcript_lines("dialog 139").empty()) << "no initialisation dialog";
  EXPECT_TRUE(transcript_lines("mismatch").empty());
  EXPECT_EQ(platform::read_whole_file(store_file()), stored) << "the key store is untouched";
  EXPECT_NE(ZYPGetSessionState(kToken), 0);

  // Once the other process is gone, the same store opens with its key.
  holder.release();
  script("dialog 129 set 1000 \"1234\"\ndialog 129 click 1\n");
  EXPECT_EQ(ZYPCIPOpenSession(kToken), 1);
  EXPECT_EQ(key_count(), 1u);
}

// The question wipes the token on Yes, so it names No as its default: a
// backend without a user (ZYP_UI=none) answers No.
TEST_F(SofttokSession, ATokenNeverSetUpIsOfferedInitialisationWithNoAsTheDefault) {
  attach();
  script("msgbox 7\n");
  EXPECT_EQ(ZYPCIPOpenSession(kToken), 0);
  auto boxes = transcript_lines("msgbox");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].find("it has never been set up"), std::string::npos) << boxes[0];
  uint32_t style = platform::ui::kMbYesNo | platform::ui::kMbIconWarning | platform::ui::kMbDefButton2;
  EXPECT_EQ(platform::ui::message_box_default(style), platform::ui::kIdNo);
  char expected[32];
  std::snprintf(expected, sizeof expected, "style 0x%X -> 7", style);
  EXPECT_TRUE(boxes[0].ends_with(expected)) << boxes[0];
  EXPECT_FALSE(platform::read_whole_file(store_file()).has_value()) << "no key store was made";
}

TEST_F(SofttokSession, AChangeGivenUpAfterAWrongCurrentPinLeavesNoHalfUsableSession) {
  set_up_store_with_a_key();
  script(
      "dialog 105 set 1000 \"9999\"\ndialog 105 set 1001 \"5678\"\ndialog 105 set 1002 \"5678\"\n"
      "dialog 105 click 1\ndialog 105 click 2\n");
  EXPECT_EQ(ZYPCIPChangeSecret(kToken), 0);
  EXPECT_TRUE(transcript_has("dialog 105 text 6 \"Wrong PIN. Type it again.\""));
  EXPECT_EQ(ZYPGetSessionState(kToken), 1) << "the session is closed, and says so";
  EXPECT_EQ(testing::session_of(kToken), 0u);
  EXPECT_EQ(new_key("second"), 8);

  // Logging in again with the unchanged PIN makes every key operation work.
  ASSERT_EQ(testing::login(kToken, kPin), CKR_OK);
  EXPECT_EQ(new_key("second"), 19) << "the first key is found again";
  uint32_t key_id = 0;
  EXPECT_EQ(ZYPCIPGenerateKeyFromSentence(kToken, CKM_DES_40_CBC, 1, "second", "another sentence", &key_id), 0);
  EXPECT_EQ(ZYPCIPDeleteKey(kToken, key_id), 0);

  // The same without dialogs.
  EXPECT_EQ(ZYPCIPChangeSecretEx(kToken, "9999", "5678"), 0);
  EXPECT_EQ(ZYPGetSessionState(kToken), 1);
  EXPECT_EQ(testing::session_of(kToken), 0u);
}

TEST_F(SofttokSession, AWrongCurrentPinCorrectedInTheDialogKeepsTheSession) {
  set_up_store_with_a_key();
  script(
      "dialog 105 set 1000 \"9999\"\ndialog 105 set 1001 \"5678\"\ndialog 105 set 1002 \"5678\"\n"
      "dialog 105 click 1\n"
      "dialog 105 set 1000 \"1234\"\ndialog 105 set 1001 \"5678\"\ndialog 105 set 1002 \"5678\"\n"
      "dialog 105 click 1\n");
  EXPECT_EQ(ZYPCIPChangeSecret(kToken), 1);
  EXPECT_EQ(ZYPGetSessionState(kToken), 0);
  uint32_t key_id = 0;
  EXPECT_EQ(ZYPCIPGenerateKeyFromSentence(kToken, CKM_DES_40_CBC, 1, "second", "another sentence", &key_id), 0);
  EXPECT_EQ(ZYPCIPDeleteKey(kToken, key_id), 0);
}

}  // namespace
}  // namespace zyp::prov
