// Opening a session through the insertion and PIN dialogs, the first set-up
// of a token and the PIN change, answered by scripts.
#include <string>
#include <vector>

#include "dialog_test.h"
#include "zyp/zypsess.h"

namespace zyp::prov {
namespace {

using testing::bad_attempts;
using testing::kFakeSlot;
using testing::login;
using testing::session_of;
using testing::token_calls;
using testing::used_key_map_entries;

constexpr char kWrongPinLine[] = "dialog 129 text 6 \"Wrong PIN. Type it again.\"";

std::string repeat(const std::string& lines, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += lines;
  return text;
}

using SessionDialogs = testing::DialogTest;

TEST_F(SessionDialogs, AUsableSessionIsKeptWithoutAnyDialog) {
  attach();
  ASSERT_EQ(login(kFakeSlot, "1234"), CKR_OK);
  EXPECT_EQ(ZYPCIPOpenSession(kFakeSlot), 0);
  EXPECT_TRUE(transcript_lines("dialog").empty());
  EXPECT_EQ(ZYPCIPOpenSessionEx(1, 2), 1);
}

TEST_F(SessionDialogs, TheRightPinLogsInRegistersTheKeysAndResetsTheCounter) {
  attach();
  ZYPWriteUSProfileInt("Private", "BadAuth", 2);
  script("dialog 129 set 1000 \"1234\"\ndialog 129 click 1\n");
  EXPECT_EQ(ZYPCIPOpenSession(kFakeSlot), 1);
  EXPECT_EQ(ZYPGetSessionState(kFakeSlot), 0);
  EXPECT_NE(session_of(kFakeSlot), 0u);
  EXPECT_EQ(used_key_map_entries().size(), 1u);
  EXPECT_EQ(bad_attempts(), 0);
  EXPECT_TRUE(transcript_has("dialog 129 enable 1 0")) << "OK waits for a PIN of 4 to 8 characters";
  EXPECT_TRUE(transcript_has("dialog 129 end 0"));
  EXPECT_TRUE(transcript_lines("dialog 138").empty()) << "the token was there: no insertion prompt";
  EXPECT_TRUE(transcript_lines("mismatch").empty());
}

TEST_F(SessionDialogs, WrongPinsStayInTheDialogAndPauseLongerFromTheFourth) {
  attach();
  script(repeat("dialog 129 set 1000 \"9999\"\ndialog 129 click 1\n", 5) +
         "dialog 129 set 1000 \"1234\"\ndialog 129 click 1\n");
  EXPECT_EQ(ZYPCIPOpenSession(kFakeSlot), 1);
  EXPECT_EQ(transcript_lines("sleep"), (std::vector<std::string>{"sleep 1000", "sleep 2000"}));
  EXPECT_EQ(transcript_lines(kWrongPinLine).size(), 5u);
  EXPECT_EQ(transcript_lines("dialog 129 open").size(), 1u);
  EXPECT_EQ(token_calls("C_Login"), 6);
  EXPECT_EQ(bad_attempts(), 0) << "a login resets the counter";
}

// The pause holds every client of the server while it runs: minutes at most.
TEST_F(SessionDialogs, ThePauseAfterManyWrongPinsStaysWithinMinutes) {
  attach();
  ZYPWriteUSProfileInt("Private", "BadAuth", 30);
  script("dialog 129 set 1000 \"9999\"\ndialog 129 click 1\ndialog 129 click 2\n");
  EXPECT_EQ(ZYPCIPOpenSession(kFakeSlot), 0);
  EXPECT_EQ(transcript_lines("sleep"), std::vector<std::string>{"sleep 256000"});
  EXPECT_EQ(bad_attempts(), 31);
}

TEST_F(SessionDialogs, TokenTwoNeitherPausesNorCounts) {
  ::setenv("FAKE_TOKEN_SLOT", "2", 1);
  attach();
  ZYPWriteUSProfileInt("Private", "BadAuth", 5);
  script("dialog 129 set 1000 \"9999\"\ndialog 129 click 1\ndialog 129 click 2\n");
  EXPECT_EQ(ZYPCIPOpenSession(2), 0);
  EXPECT_TRUE(transcript_has(kWrongPinLine));
  EXPECT_TRUE(transcript_lines("sleep").empty());
  EXPECT_EQ(bad_attempts(), 5);
}

TEST_F(SessionDialogs, ALockedPinIsToldAndCancelLeavesNoSession) {
  ::setenv("FAKE_TOKEN_PIN_LOCKED", "1", 1);
  attach();
  script("dialog 129 set 1000 \"1234\"\ndialog 129 click 1\ndialog 129 click 2\n");
  EXPECT_EQ(ZYPCIPOpenSession(kFakeSlot), 0);
  EXPECT_TRUE(transcript_has("dialog 129 text 6 \"The PIN is locked after too many wrong attempts. Ask your "
                             "administrator to unblock the token.\""));
  EXPECT_TRUE(transcript_has("dialog 129 end 9"));
  EXPECT_EQ(ZYPGetSessionState(kFakeSlot), 1);
  EXPECT_FALSE(record_in_use(kFakeSlot));
  EXPECT_EQ(bad_attempts(), 1);
}

TEST_F(SessionDialogs, ANeverSetUpTokenIsInitialisedOnYesAndLoggedInWithTheNewPin) {
  ::setenv("FAKE_TOKEN_NEVER_SET_UP", "1", 1);
  attach();
  script(
      "msgbox 6\n"
      "dialog 139 set 1001 \"56789\"\ndialog 139 set 1002 \"5678\"\ndialog 139 click 1\n"
      "dialog 139 set 1001 \"5678\"\ndialog 139 set 1002 \"5679\"\ndialog 139 click 1\n"
      "dialog 139 set 1001 \"5678\"\ndialog 139 set 1002 \"5678\"\ndialog 139 click 1\n");
  EXPECT_EQ(ZYPCIPOpenSession(kFakeSlot), 1);
  EXPECT_EQ(ZYPGetSessionState(kFakeSlot), 0);
  ASSERT_EQ(transcript_lines("msgbox").size(), 1u);
  EXPECT_TRUE(transcript_lines("msgbox")[0].starts_with("msgbox \"Quillmarsh Folder\" \"No session can be opened"));
  EXPECT_TRUE(transcript_lines("msgbox")[0].ends_with("-> 6"));
  EXPECT_TRUE(transcript_has(
      "dialog 139 text 6 \"The new PIN and its confirmation do not have the same length.\""));
  EXPECT_TRUE(transcript_has("dialog 139 text 6 \"The new PIN and its confirmation differ. Type them again.\""));
  EXPECT_TRUE(transcript_has("dialog 139 end 0"));
  EXPECT_TRUE(transcript_lines("dialog 129 user").empty()) << "the chosen PIN logs in without asking again";
  EXPECT_EQ(token_calls("C_InitToken"), 1);
  EXPECT_EQ(ZYPCIPChangeSecretEx(kFakeSlot, "5678", "1234"), 1) << "the token's PIN is the one chosen";
}

TEST_F(SessionDialogs, DecliningOrAFailedInitialisationCancelsTheOpening) {
  struct Case {
    const char* name;
    const char* fault;
    std::string answers;
    int init_calls;
  } cases[] = {
      {"declined", nullptr, "msgbox 7\n", 0},
      {"failed", "FAKE_TOKEN_INIT_FAILS",
       "msgbox 6\ndialog 139 set 1001 \"5678\"\ndialog 139 set 1002 \"5678\"\ndialog 139 click 1\n"
       "dialog 139 click 2\n",
       1},
  };
  ::setenv("FAKE_TOKEN_NEVER_SET_UP", "1", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault) ::setenv(c.fault, "1", 1);
    attach();
    script(c.answers);
    std::remove(transcript_.c_str());
    EXPECT_EQ(ZYPCIPOpenSession(kFakeSlot), 0);
    EXPECT_EQ(token_calls("C_InitToken"), c.init_calls);
    EXPECT_FALSE(record_in_use(kFakeSlot));
    EXPECT_EQ(ZYPGetSessionState(kFakeSlot), 1);
    EXPECT_TRUE(transcript_lines("mismatch").empty());
    if (c.fault) {
      EXPECT_TRUE(transcript_has("dialog 139 text 6 \"The token could not be initialised. Check that it is "
                                 "inserted and not write-protected.\""));
      ::unsetenv(c.fault);
    }
    detach_process();
  }
}

TEST_F(SessionDialogs, APulledTokenEndsThePinDialogWith12AndTheInsertionPromptComesBack) {
  ::setenv("FAKE_TOKEN_PULLED_ON_WRONG_PIN", "1", 1);
  attach();
  script(
      "dialog 129 set 1000 \"9999\"\ndialog 129 click 1\ndialog 129 tick 1\n"
      "dialog 138 tick 3\ndialog 138 click 2\n");
  EXPECT_EQ(ZYPCIPOpenSession(kFakeSlot), 0);
  EXPECT_TRUE(transcript_has("dialog 129 end 12"));
  EXPECT_TRUE(transcript_has("dialog 138 text 1028 \"Insert your token to continue.\""));
  EXPECT_TRUE(transcript_has("dialog 138 end 9"));
  EXPECT_FALSE(record_in_use(kFakeSlot)) << "the session of the pulled token is closed";
  EXPECT_TRUE(transcript_lines("mismatch").empty());
}

TEST_F(SessionDialogs, TheInsertionPromptRefusesAnotherTokenOnlyWhileASessionIsOpen) {
  attach();
  ASSERT_EQ(login(kFakeSlot, "1234"), CKR_OK);
  ::setenv("FAKE_TOKEN_SERIAL", "OTHER00000000002", 1);
  script("dialog 138 tick 2\ndialog 138 click 2\n");
  EXPECT_EQ(ZYPCIPReInsertKeyHolder(kFakeSlot), 9);
  EXPECT_TRUE(transcript_has("dialog 138 text 1028 \"This is not the token of the open session. Insert the token "
                             "you logged in with.\""));

  ::unsetenv("FAKE_TOKEN_SERIAL");
  script("");
  EXPECT_EQ(ZYPCIPReInsertKeyHolder(kFakeSlot), 0) << "the token of the session";

  ASSERT_EQ(ZYPCIPCloseSession(kFakeSlot), 0);
  ::setenv("FAKE_TOKEN_SERIAL", "OTHER00000000002", 1);
  EXPECT_EQ(ZYPCIPReInsertKeyHolder(kFakeSlot), 0) << "any token will do without a session";
  EXPECT_TRUE(transcript_lines("mismatch").empty());
}

TEST_F(SessionDialogs, PinChangeRefusesMismatchesAndAnUnchangedPinBeforeAskingTheToken) {
  attach();
  ASSERT_EQ(login(kFakeSlot, "1234"), CKR_OK);
  auto attempt = [](const char* current, const char* chosen, const char* confirmation) {
    return std::string("dialog 105 set 1000 \"") + current + "\"\ndialog 105 set 1001 \"" + chosen +
           "\"\ndialog 105 set 1002 \"" + confirmation + "\"\ndialog 105 click 1\n";
  };
  script(attempt("1234", "1234", "1234") + "dialog 105 click 2\n");
  EXPECT_EQ(ZYPCIPChangeSecret(kFakeSlot), 0);
  EXPECT_TRUE(transcript_has("dialog 105 text 6 \"The new PIN is the same as the current one. Choose another PIN.\""));
  EXPECT_EQ(token_calls("C_SetPIN"), 0);

  script(attempt("1234", "56789", "5678") + attempt("1234", "5678", "5679") + attempt("0000", "5678", "5678") +
         attempt("1234", "5678", "5678"));
  EXPECT_EQ(ZYPCIPChangeSecret(kFakeSlot), 1);
  EXPECT_TRUE(transcript_has("dialog 105 text 6 \"The new PIN and its confirmation do not have the same length.\""));
  EXPECT_TRUE(transcript_has("dialog 105 text 6 \"The new PIN and its confirmation differ. Type them again.\""));
  EXPECT_TRUE(transcript_has("dialog 105 text 6 \"Wrong PIN. Type it again.\""));
  EXPECT_EQ(token_calls("C_SetPIN"), 2);
  EXPECT_EQ(ZYPCIPChangeSecretEx(kFakeSlot, "5678", "1234"), 1) << "the PIN was changed";
  EXPECT_TRUE(transcript_lines("mismatch").empty());
}

TEST_F(SessionDialogs, PinChangeNeverReportsAChangeWithoutASession) {
  attach();
  EXPECT_EQ(ZYPCIPChangeSecret(kFakeSlot), 0);
  EXPECT_TRUE(transcript_lines("dialog").empty());

  // The session service says the session is gone: the dialog closes itself,
  // and that is no change.
  ASSERT_EQ(login(kFakeSlot, "1234"), CKR_OK);
  ZYPSetSessionState(kFakeSlot, 1);
  EXPECT_EQ(ZYPCIPChangeSecret(kFakeSlot), 0);
  EXPECT_EQ(token_calls("C_SetPIN"), 0);
}

TEST_F(SessionDialogs, ChangeSecretExNeedsARecordAndTheCurrentPin) {
  attach();
  EXPECT_EQ(ZYPCIPChangeSecretEx(kFakeSlot, "1234", "5678"), 0);
  EXPECT_EQ(token_calls("C_SetPIN"), 0);
  ASSERT_EQ(login(kFakeSlot, "1234"), CKR_OK);
  EXPECT_EQ(ZYPCIPChangeSecretEx(kFakeSlot, nullptr, "5678"), 0);
  EXPECT_EQ(ZYPCIPChangeSecretEx(kFakeSlot, "0000", "5678"), 0);
  EXPECT_EQ(ZYPCIPChangeSecretEx(kFakeSlot, "1234", "5678"), 1);
  EXPECT_EQ(ZYPCIPChangeSecretEx(kFakeSlot, "5678", "1234"), 1);
}

TEST_F(SessionDialogs, CardCopyWithoutTheCardLibraryAnswers0) {
  attach();
  EXPECT_EQ(ZYPCIPCloneCard(kFakeSlot), 0);
  EXPECT_TRUE(transcript_lines("msgbox").empty());
}

}  // namespace
}  // namespace zyp::prov
