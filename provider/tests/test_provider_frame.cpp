// The provider's frame over the test module: login, the shared maps, the
// explicit close, the watchers and the configuration.
#include <openssl/sha.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/atomic_file.h"
#include "provider/config.h"
#include "provider_test.h"
#include "testsupport/test_env.h"
#include "zyp/zypsess.h"
#include "zyp/zyptools.h"

namespace zyp::prov {
namespace {

using namespace std::chrono_literals;
using testing::attach_with_module;
using testing::login;
using testing::used_key_map_entries;

constexpr uint32_t kSlot = 5;  // the test module's slot with a token
constexpr uint32_t kEmptySlot = 4;
constexpr uint8_t kFakeKey[8] = {1, 2, 3, 4, 5, 6, 7, 8};

uint32_t fake_key_id() {
  std::vector<uint8_t> digest(SHA_DIGEST_LENGTH);
  SHA1(kFakeKey, sizeof kFakeKey, digest.data());
  return testing::expected_key_id(digest);
}

int crypt_eight_bytes(uint32_t key_id) {
  uint8_t buffer[8] = {};
  uint32_t length = sizeof buffer;
  return ZYPCIPCryptBuffer(kSlot, CKM_DES_CBC, key_id, buffer, &length);
}

// Waits up to `limit` for the token's session state to become `state`.
bool state_becomes(int state, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (ZYPGetSessionState(kSlot) == state) return true;
    std::this_thread::sleep_for(50ms);
  }
  return ZYPGetSessionState(kSlot) == state;
}

class Frame : public ::testing::Test {
 protected:
  void SetUp() override {
    presence_file_ = zyp::testing::make_temp_folder("fake") + "/present";
    insert_token();
    ::setenv("FAKE_TOKEN_PRESENCE_FILE", presence_file_.c_str(), 1);
    ASSERT_TRUE(attach_with_module(FAKE_TOKEN_MODULE));
  }
  void TearDown() override { detach_process(); }

  void insert_token() { std::fclose(std::fopen(presence_file_.c_str(), "w")); }
  void remove_token() { std::remove(presence_file_.c_str()); }

  std::string presence_file_;
};

TEST_F(Frame, LoginOpensASessionRegistersTheKeysAndReportsTheState) {
  EXPECT_EQ(ZYPGetSessionState(kSlot), 1);
  EXPECT_EQ(crypt_eight_bytes(fake_key_id()), 8) << "no session yet";
  ASSERT_EQ(login(kSlot, "1234"), CKR_OK);
  EXPECT_EQ(ZYPGetSessionState(kSlot), 0);
  auto entries = used_key_map_entries();
  ASSERT_EQ(entries.size(), 1u) << "the empty slot listed first stops nothing";
  EXPECT_EQ(entries[0].key_id, fake_key_id());
  EXPECT_EQ(crypt_eight_bytes(fake_key_id()), 0);
  EXPECT_EQ(login(kSlot, "1234"), CKR_USER_ALREADY_LOGGED_IN);
}

TEST_F(Frame, AFailedLoginReleasesTheRecord) {
  EXPECT_EQ(login(kSlot, "9999"), CKR_PIN_INCORRECT);
  EXPECT_EQ(testing::session_of(kSlot), 0u);
  std::lock_guard guard(provider()->lock());
  EXPECT_EQ(record_of(*provider(), kSlot), nullptr);
}

// Closing one token's session, or a token without one, leaves the keys of
// every other token usable.
TEST_F(Frame, CloseSessionClearsOnlyTheClosedTokensKeysAndReportsTheToken) {
  constexpr uint32_t kOtherToken = 9;  // a key of a token that stays logged in
  ASSERT_EQ(login(kSlot, "1234"), CKR_OK);
  {
    std::lock_guard guard(provider()->lock());
    ASSERT_TRUE(provider()->key_map().add(77, 3, kOtherToken));
  }
  for (uint32_t other : {kEmptySlot, 7u}) {
    EXPECT_EQ(ZYPCIPCloseSession(other), 0) << other;
    EXPECT_EQ(ZYPGetSessionState(kSlot), 0) << other;
    EXPECT_EQ(crypt_eight_bytes(fake_key_id()), 0) << "after the close of token " << other;
  }
  EXPECT_EQ(used_key_map_entries().size(), 2u);

  EXPECT_EQ(ZYPCIPCloseSession(kSlot), 0);
  EXPECT_EQ(ZYPGetSessionState(kSlot), 1);
  EXPECT_EQ(crypt_eight_bytes(fake_key_id()), 8);
  auto left = used_key_map_entries();
  ASSERT_EQ(left.size(), 1u) << "the other token's entry stays";
  EXPECT_EQ(left[0].key_id, 77u);
  EXPECT_EQ(ZYPCIPCloseSessionEx(kSlot), 0) << "no session: still 0";
}

TEST_F(Frame, RemovingTheTokenClosesItsSessionWhenPresenceIsChecked) {
  ASSERT_EQ(ZYPCIPSetCheckPresence(1), 0);
  ASSERT_EQ(login(kSlot, "1234"), CKR_OK);
  remove_token();
  EXPECT_TRUE(state_becomes(1, 2500ms));
  EXPECT_TRUE(used_key_map_entries().empty());
  EXPECT_EQ(crypt_eight_bytes(fake_key_id()), 8);
}

TEST_F(Frame, WithoutPresenceCheckARemovedTokenKeepsItsSession) {
  ASSERT_EQ(ZYPCIPSetCheckPresence(0), 0);
  ASSERT_EQ(login(kSlot, "1234"), CKR_OK);
  remove_token();
  EXPECT_FALSE(state_becomes(1, 2500ms));
  EXPECT_NE(testing::session_of(kSlot), 0u);
  EXPECT_EQ(used_key_map_entries().size(), 1u);
}

TEST_F(Frame, WatchersWaitWhileAnOperationIsRunning) {
  ASSERT_EQ(ZYPCIPSetCheckPresence(1), 0);
  ASSERT_EQ(login(kSlot, "1234"), CKR_OK);
  ASSERT_EQ(ZYPBeginActivity(), 0);
  remove_token();
  EXPECT_FALSE(state_becomes(1, 2500ms));
  EXPECT_EQ(used_key_map_entries().size(), 1u);
  ASSERT_EQ(ZYPEndActivity(), 0);
  EXPECT_TRUE(state_becomes(1, 2000ms));
}

TEST_F(Frame, TheInactivityWatcherClosesAnIdleSessionOnlyWhenEnabled) {
  ASSERT_EQ(ZYPCIPSetInactivityTime(1), 0);
  ASSERT_EQ(login(kSlot, "1234"), CKR_OK);
  EXPECT_FALSE(state_becomes(1, 2500ms)) << "off after attach";
  {
    // Nothing in the suite turns it on; the shared variable does.
    std::lock_guard guard(provider()->lock());
    provider()->shared().inactivity_enabled = 1;
  }
  EXPECT_TRUE(state_becomes(1, 4000ms));
  ASSERT_EQ(ZYPCIPSetInactivity(1), 0);
  std::lock_guard guard(provider()->lock());
  EXPECT_EQ(provider()->shared().inactivity_enabled, 0) << "the call only turns it off";
}

TEST_F(Frame, TheKeyThatDoesNotFitTheMapIsDestroyedAgain) {
  ASSERT_EQ(login(kSlot, "1234"), CKR_OK);
  {
    std::lock_guard guard(provider()->lock());
    KeyMap map = provider()->key_map();
    for (uint32_t id = 1; id < kKeyMapEntries; ++id) ASSERT_TRUE(map.add(id, 1000 + id, kSlot));
  }
  const uint8_t value[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  uint32_t key_id = 0;
  EXPECT_EQ(ZYPCIPGenerateKeyFromBin(kSlot, CKM_DES_CBC, 1, "spare", value, sizeof value, &key_id), 15);
  uint32_t count = 0;
  EXPECT_EQ(ZYPCIPEnumKey(kSlot, CKM_DES_CBC, 1, nullptr, &count), 1);
  EXPECT_EQ(count, 1u) << "only the module's own key is left";
}

TEST_F(Frame, ReloadConfigReadsThePresenceSettingUserScopeFirst) {
  struct Case {
    const char* user;  // null: no user value
    int machine;
    int32_t expected;
  } cases[] = {
      {"1", 0, 1}, {nullptr, 1, 1}, {"0", 1, 0}, {"2", 1, 0}, {nullptr, 0, 0},
  };
  for (const Case& c : cases) {
    ZYPWriteUSProfileString("General", "CheckTokenPresence", c.user);
    ZYPWriteProfileInt("General", "CheckTokenPresence", c.machine);
    std::lock_guard guard(provider()->lock());
    provider()->shared().inactivity_enabled = 1;
    provider()->shared().inactivity_time = 30;
    reload_config(provider()->shared());
    EXPECT_EQ(provider()->shared().presence_check, c.expected) << (c.user ? c.user : "none") << " " << c.machine;
    EXPECT_EQ(provider()->shared().inactivity_enabled, 0);
    EXPECT_EQ(provider()->shared().inactivity_time, 0u);
  }
}

TEST_F(Frame, TracesNameTheFailingStep) {
  std::string trace = zyp::testing::make_temp_folder("trace") + "/trace.txt";
  ZYPWriteProfileString("Debug", "TraceFile", trace.c_str());
  ZYPWriteProfileDWord("Debug", "TraceFlag", 0xFF);
  ZYPReloadConfig();
  uint8_t buffer[8] = {};
  uint32_t length = sizeof buffer;
  EXPECT_EQ(ZYPCIPDecryptBuffer(kSlot, CKM_DES_CBC, fake_key_id(), buffer, &length), 8);
  ASSERT_EQ(login(kSlot, "1234"), CKR_OK);
  EXPECT_EQ(ZYPCIPDecryptBuffer(kSlot, CKM_DES_CBC, fake_key_id() + 1, buffer, &length), 8);
  std::string text = platform::read_whole_file(trace).value_or("");
  for (const char* line : {"validSession tokenId = 5 failed", "ZYPCIPDecryptBuffer : Entr\xE9" "e",
                           "ZYPCIPDecryptBuffer : Session valide", "ZYPCIPDecryptBuffer : GetBlockSize =8",
                           "ZYPCIPDecryptBuffer : C_DecryptInit returns 60"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

TEST_F(Frame, TheMapsHaveTheirFixedSizesAndStartEmpty) {
  Provider* p = provider();
  std::lock_guard guard(p->lock());
  EXPECT_EQ(p->records().size(), 256u);
  EXPECT_EQ(p->key_map_entries().size(), 1024u);
  EXPECT_EQ(p->shared().load_count, 1);
  for (const ContextRecord& record : p->records()) ASSERT_EQ(record.in_use, 0u);
}

// Reads one byte from `fd`; false at end of file.
bool wait_for(int fd) {
  char byte;
  return ::read(fd, &byte, 1) == 1;
}

void signal(int fd) { (void)!::write(fd, "x", 1); }

// A second process that attaches finds the first one's maps and records.
TEST(SecondProcess, OpensTheMapsOfTheFirst) {
  ::setenv("FAKE_TOKEN_PRESENCE_FILE", "/", 1);
  ZYPWriteProfileString("General", "SOFTTOK", FAKE_TOKEN_MODULE);
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  pid_t first = ::fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    bool ok = attach_process() && login(kSlot, "1234") == CKR_OK;
    signal(ready[1]);
    wait_for(done[0]);
    detach_process();
    ::_exit(ok ? 0 : 1);
  }
  ASSERT_TRUE(wait_for(ready[0]));
  int second = zyp::testing::run_in_child(
      [](void*) {
        if (!attach_process()) return 10;
        Provider* p = provider();
        int result = p->shared().load_count == 2 ? 0 : 11;
        ContextRecord* record = record_of(*p, kSlot);
        if (!record || !record->logged_in) result = 12;
        if (p->key_map().handle_of(fake_key_id()) == 0) result = 13;
        detach_process();
        return result;
      },
      nullptr);
  signal(done[1]);
  int status = 0;
  ::waitpid(first, &status, 0);
  EXPECT_EQ(second, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace zyp::prov
