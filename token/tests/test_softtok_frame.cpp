// The module frame: function list, information calls, slots and tokens,
// mechanisms, sessions, login and the PIN.
#include <csignal>
#include <string>
#include <vector>

#include "platform/drives.h"
#include "platform/registry.h"
#include "platform/tests/child_process.h"
#include "testsupport/test_env.h"
#include "token/tests/softtok_test_util.h"

namespace {

using namespace softtok_test;

template <size_t N>
std::string field(const unsigned char (&text)[N]) {
  return std::string(reinterpret_cast<const char*>(text), N);
}

std::string padded(std::string text, size_t size) {
  text.resize(size, ' ');
  return text;
}

class Frame : public TokenTest {};

TEST_F(Frame, InfoFunctionListAndInitialisedFlag) {
  EXPECT_EQ(p11->version.major, 2);
  EXPECT_EQ(p11->version.minor, 10);
  CK_INFO info{};
  ASSERT_EQ(p11->C_GetInfo(&info), CKR_OK);
  EXPECT_EQ(info.cryptokiVersion.major, 2);
  EXPECT_EQ(info.cryptokiVersion.minor, 10);
  EXPECT_EQ(field(info.manufacturerID), padded("Fenwarild Inc(tm)", 32));
  EXPECT_EQ(field(info.libraryDescription), padded("Hard Disk", 32));
  EXPECT_EQ(info.libraryVersion.major, 1);
  EXPECT_EQ(info.libraryVersion.minor, 1);

  EXPECT_EQ(p11->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  CK_ULONG count = 0;
  EXPECT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(p11->C_InitPIN(1, nullptr, 0), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(p11->C_Initialize(nullptr), CKR_OK);
}

TEST_F(Frame, SlotList) {
  struct Case {
    CK_BBOOL token_present;
    bool with_list;
    CK_ULONG count_in;
    CK_RV rv;
    CK_ULONG count_out;
  };
  const Case cases[] = {
      {CK_FALSE, false, 0, CKR_OK, 3},
      {CK_TRUE, false, 0, CKR_OK, 1},
      {CK_FALSE, true, 3, CKR_OK, 1},
      {CK_TRUE, true, 1, CKR_OK, 1},
      {CK_FALSE, true, 0, CKR_BUFFER_TOO_SMALL, 1},
  };
  for (const Case& c : cases) {
    CK_SLOT_ID slots[3] = {99, 99, 99};
    CK_ULONG count = c.count_in;
    EXPECT_EQ(p11->C_GetSlotList(c.token_present, c.with_list ? slots : nullptr, &count), c.rv);
    EXPECT_EQ(count, c.count_out);
    if (c.with_list && c.rv == CKR_OK) {
      EXPECT_EQ(slots[0], 0u);
    }
  }
}

TEST_F(Frame, SlotAndTokenInfo) {
  CK_SLOT_INFO slot{};
  ASSERT_EQ(p11->C_GetSlotInfo(0, &slot), CKR_OK);
  EXPECT_EQ(field(slot.slotDescription), padded("File", 64));
  EXPECT_EQ(field(slot.manufacturerID), padded("Fenwarild Inc(tm)", 32));
  EXPECT_EQ(slot.flags, CKF_REMOVABLE_DEVICE | CKF_TOKEN_PRESENT);
  ASSERT_EQ(p11->C_GetSlotInfo(2, &slot), CKR_OK);
  EXPECT_EQ(slot.flags, CKF_REMOVABLE_DEVICE | CKF_HW_SLOT);
  EXPECT_EQ(p11->C_GetSlotInfo(3, &slot), CKR_SLOT_ID_INVALID);

  CK_TOKEN_INFO token{};
  ASSERT_EQ(p11->C_GetTokenInfo(0, &token), CKR_OK);
  EXPECT_EQ(field(token.label), std::string(32, ' '));
  EXPECT_EQ(field(token.model), padded("Cache token", 16));
  EXPECT_EQ(field(token.serialNumber), "0000000000000000");
  EXPECT_EQ(field(token.utcTime), std::string(16, ' '));
  EXPECT_EQ(token.flags, CKF_LOGIN_REQUIRED);
  EXPECT_EQ(token.ulMaxSessionCount, 1u);
  EXPECT_EQ(token.ulMaxRwSessionCount, 1u);
  EXPECT_EQ(token.ulMinPinLen, 4u);
  EXPECT_EQ(token.ulMaxPinLen, 32u);
  EXPECT_EQ(token.firmwareVersion.major, 1);
  EXPECT_EQ(p11->C_GetTokenInfo(2, &token), CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(p11->C_GetTokenInfo(7, &token), CKR_SLOT_ID_INVALID);
}

TEST_F(Frame, KeyDiskSlotFollowsTheKeyDiskAndRaisesAnEvent) {
  CK_TOKEN_INFO token{};
  CK_SLOT_ID event = 0;
  EXPECT_EQ(p11->C_GetTokenInfo(1, &token), CKR_TOKEN_NOT_PRESENT);
  EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr), CKR_NO_EVENT);
  EXPECT_EQ(event, 0xFFFFFFFFu);

  std::string disk = zyp::testing::make_temp_folder("keydisk");
  ASSERT_EQ(zyp::platform::reg::set_string(zyp::platform::reg::Root::LocalMachine, "SOFTWARE\\Quillmarsh\\Drives",
                                           "A", disk),
            0u);
  ASSERT_EQ(p11->C_GetTokenInfo(1, &token), CKR_OK);
  auto serial = zyp::platform::key_disk_volume_serial();
  ASSERT_TRUE(serial);
  EXPECT_EQ(field(token.serialNumber), zyp::platform::format_volume_serial(*serial) + std::string(8, ' '));
  EXPECT_EQ(field(token.model), padded("Floppy token", 16));
  CK_SLOT_INFO slot{};
  ASSERT_EQ(p11->C_GetSlotInfo(1, &slot), CKR_OK);
  EXPECT_TRUE(slot.flags & CKF_TOKEN_PRESENT);
  // The flag stays raised: a blocking wait returns at once as well.
  EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr), CKR_OK);
  EXPECT_EQ(event, 1u);
  EXPECT_EQ(p11->C_WaitForSlotEvent(0, &event, nullptr), CKR_OK);
  EXPECT_EQ(event, 1u);
}

TEST_F(Frame, MechanismListAndInfo) {
  CK_ULONG count = 0;
  ASSERT_EQ(p11->C_GetMechanismList(0, nullptr, &count), CKR_OK);
  EXPECT_EQ(count, 5u);
  CK_MECHANISM_TYPE list[5] = {};
  count = 4;
  EXPECT_EQ(p11->C_GetMechanismList(0, list, &count), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 5u);
  ASSERT_EQ(p11->C_GetMechanismList(2, list, &count), CKR_OK);
  EXPECT_THAT(list, ::testing::ElementsAre(CKM_DES_KEY_GEN_40, CKM_DES_40_CBC, CKM_SHA_1, CKM_RSA_PKCS,
                                           CKM_RSA_PKCS_KEY_PAIR_GEN));
  EXPECT_EQ(p11->C_GetMechanismList(3, list, &count), CKR_SLOT_ID_INVALID);

  struct Case {
    CK_MECHANISM_TYPE type;
    CK_ULONG min, max;
    CK_FLAGS flags;
  };
  const Case cases[] = {
      {CKM_RSA_PKCS, 512, 1024, CKF_WRAP | CKF_UNWRAP},
      {CKM_DES3_KEY_GEN, 192, 192, CKF_GENERATE},
      {CKM_DES_KEY_GEN_40, 40, 40, CKF_GENERATE},
      {CKM_DES2_CBC, 64, 64, CKF_ENCRYPT | CKF_DECRYPT},
      {CKM_SHA_1, 0, 0, CKF_DIGEST},
  };
  for (const Case& c : cases) {
    CK_MECHANISM_INFO info{};
    ASSERT_EQ(p11->C_GetMechanismInfo(0, c.type, &info), CKR_OK) << std::hex << c.type;
    EXPECT_EQ(info.ulMinKeySize, c.min);
    EXPECT_EQ(info.ulMaxKeySize, c.max);
    EXPECT_EQ(info.flags, c.flags);
  }
  CK_MECHANISM_INFO info{};
  EXPECT_EQ(p11->C_GetMechanismInfo(0, CKM_DES_ECB, &info), CKR_MECHANISM_INVALID);
}

TEST_F(Frame, SessionLimitsAndCounts) {
  CK_SESSION_HANDLE rw = 0, ro = 0, other = 0;
  EXPECT_EQ(open(rw), CKR_TOKEN_NOT_RECOGNIZED);
  ASSERT_EQ(init_token(), CKR_OK);
  EXPECT_EQ(p11->C_OpenSession(0, CKF_RW_SESSION, nullptr, nullptr, &rw), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  ASSERT_EQ(open(rw), CKR_OK);
  EXPECT_GT(rw, 0u);
  EXPECT_LT(rw, 1ull << 32);
  EXPECT_EQ(open(other), CKR_SESSION_COUNT);
  EXPECT_EQ(open(ro, false), CKR_SESSION_READ_WRITE_SO_EXISTS);
  EXPECT_EQ(open(other, true, 1), CKR_SESSION_COUNT);
  EXPECT_EQ(open(other, false, 2), CKR_SESSION_COUNT);
  EXPECT_EQ(open(other, true, 3), CKR_SLOT_ID_INVALID);

  CK_TOKEN_INFO token{};
  ASSERT_EQ(p11->C_GetTokenInfo(0, &token), CKR_OK);
  EXPECT_EQ(token.ulRwSessionCount, 1u);
  EXPECT_EQ(token.ulSessionCount, 0u);

  CK_SESSION_INFO info{};
  ASSERT_EQ(p11->C_GetSessionInfo(rw, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
  EXPECT_EQ(info.flags, CKF_SERIAL_SESSION | CKF_RW_SESSION);
  ASSERT_EQ(p11->C_CloseAllSessions(0), CKR_OK);
  EXPECT_EQ(p11->C_GetSessionInfo(rw, &info), CKR_SESSION_HANDLE_INVALID);
  ASSERT_EQ(open(ro, false), CKR_OK);
  ASSERT_EQ(open(rw), CKR_OK);
  EXPECT_NE(ro, rw);
  ASSERT_EQ(p11->C_GetTokenInfo(0, &token), CKR_OK);
  EXPECT_EQ(token.ulSessionCount, 1u);
  EXPECT_EQ(token.ulRwSessionCount, 1u);
  EXPECT_EQ(p11->C_CloseSession(ro), CKR_OK);
  EXPECT_EQ(p11->C_CloseSession(ro), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(Frame, Login) {
  ASSERT_EQ(init_token(), CKR_OK);
  CK_SESSION_HANDLE session = 0;
  ASSERT_EQ(open(session), CKR_OK);
  struct Case {
    CK_USER_TYPE user;
    std::string pin;
    CK_RV rv;
  };
  const Case refused[] = {
      {CKU_USER, "4712", CKR_PIN_INCORRECT},
      {CKU_USER, std::string(kPin) + "1", CKR_PIN_INCORRECT},
      {CKU_USER, "", CKR_PIN_INCORRECT},
      {CKU_CONTEXT_SPECIFIC, kPin, CKR_USER_TYPE_INVALID},
      {CKU_USER, std::string(256, '1'), CKR_PIN_LEN_RANGE},
  };
  for (const Case& c : refused) EXPECT_EQ(login(session, c.pin, c.user), c.rv) << c.pin;

  CK_SESSION_INFO info{};
  ASSERT_EQ(login(session), CKR_OK);
  ASSERT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
  EXPECT_EQ(login(session), CKR_USER_ALREADY_LOGGED_IN);
  ASSERT_EQ(p11->C_Logout(session), CKR_OK);
  ASSERT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
  ASSERT_EQ(login(session, kPin, CKU_SO), CKR_OK);
  ASSERT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RW_SO_FUNCTIONS);

  CK_SESSION_HANDLE read_only = 0;
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  ASSERT_EQ(open(read_only, false), CKR_OK);
  ASSERT_EQ(login(read_only, kPin, CKU_SO), CKR_OK);
  ASSERT_EQ(p11->C_GetSessionInfo(read_only, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RO_USER_FUNCTIONS);
}

TEST_F(Frame, SetPin) {
  auto set_pin = [&](CK_SESSION_HANDLE s, std::string old_pin, std::string new_pin) {
    return p11->C_SetPIN(s, reinterpret_cast<CK_UTF8CHAR*>(old_pin.data()), old_pin.size(),
                         reinterpret_cast<CK_UTF8CHAR*>(new_pin.data()), new_pin.size());
  };
  ASSERT_EQ(init_token(), CKR_OK);
  CK_SESSION_HANDLE session = 0;
  ASSERT_EQ(open(session, false), CKR_OK);
  ASSERT_EQ(login(session), CKR_OK);
  EXPECT_EQ(set_pin(session, kPin, "9999"), CKR_USER_NOT_LOGGED_IN);  // read-only session
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  ASSERT_EQ(open(session), CKR_OK);
  EXPECT_EQ(set_pin(session, kPin, "9999"), CKR_USER_NOT_LOGGED_IN);
  ASSERT_EQ(login(session), CKR_OK);
  Bytes before = read_bytes(store_file());
  EXPECT_EQ(set_pin(session, "0000", "9999"), CKR_PIN_INCORRECT);
  ASSERT_EQ(login(session, kPin, CKU_SO), CKR_USER_ALREADY_LOGGED_IN);
  EXPECT_EQ(set_pin(session, kPin, kPin), CKR_OK);
  EXPECT_EQ(read_bytes(store_file()), before);
  EXPECT_EQ(set_pin(session, kPin, std::string("99\0" "9", 4)), CKR_PIN_INVALID);
  EXPECT_EQ(set_pin(session, kPin, "9999"), CKR_OK);
  EXPECT_NE(read_bytes(store_file()), before);

  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  ASSERT_EQ(open(session), CKR_OK);
  EXPECT_EQ(login(session), CKR_PIN_INCORRECT);
  EXPECT_EQ(login(session, "9999"), CKR_OK);
}

// A PIN is stored as its bytes on the "Pin" line of the store's text, so
// it may hold any byte that such a line keeps as it is: not a zero byte
// (the sealing key is derived from the PIN up to its first zero), not CR or
// LF (they end the line), and not blanks or tabs at either end (reading a
// value trims them). Such PINs are refused with CKR_PIN_INVALID when set;
// every other byte, 0x80 and above included, logs in as set.
TEST_F(Frame, PinsMayHoldEveryByteTheStoreKeeps) {
  struct Case {
    std::string pin;
    bool storable;
    bool inside;  // the byte stands between others
  };
  std::vector<Case> cases;
  for (int byte = 0; byte < 256; ++byte) {
    const char b = static_cast<char>(byte);
    const bool line_breaking = b == '\0' || b == '\r' || b == '\n';
    const bool trimmed = b == ' ' || b == '\t';
    cases.push_back({std::string("47") + b + "11", !line_breaking, true});
    cases.push_back({std::string("4711") + b, !line_breaking && !trimmed, false});
  }
  auto trace = [](const Case& c) {
    return ::testing::Message() << "byte 0x" << std::hex << (static_cast<unsigned>(c.pin[c.inside ? 2 : 4]) & 0xFF)
                                << (c.inside ? " inside" : " at the end");
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(trace(c));
    ASSERT_EQ(init_token(c.pin), c.storable ? CKR_OK : CKR_PIN_INVALID);
    if (!c.storable) continue;
    std::string wrong = c.pin;
    wrong.back() ^= 0x01;
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(open(session), CKR_OK);
    EXPECT_EQ(login(session, wrong), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(session, c.pin), CKR_OK);
    ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  }

  // C_SetPIN from each PIN to the next: each is checked as the old PIN the
  // way C_Login checks it.
  auto set_pin = [&](CK_SESSION_HANDLE s, std::string old_pin, std::string new_pin) {
    return p11->C_SetPIN(s, reinterpret_cast<CK_UTF8CHAR*>(old_pin.data()), old_pin.size(),
                         reinterpret_cast<CK_UTF8CHAR*>(new_pin.data()), new_pin.size());
  };
  ASSERT_EQ(init_token(), CKR_OK);
  CK_SESSION_HANDLE session = 0;
  ASSERT_EQ(open(session), CKR_OK);
  ASSERT_EQ(login(session), CKR_OK);
  std::string current = kPin;
  for (const Case& c : cases) {
    if (!c.inside) continue;
    SCOPED_TRACE(trace(c));
    EXPECT_EQ(set_pin(session, current, c.pin), c.storable ? CKR_OK : CKR_PIN_INVALID);
    if (c.storable) current = c.pin;
  }
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  ASSERT_EQ(open(session), CKR_OK);
  EXPECT_EQ(login(session), CKR_PIN_INCORRECT);
  EXPECT_EQ(login(session, current), CKR_OK);
}

int initialise_in_child(void* list) {
  auto p11 = static_cast<CK_FUNCTION_LIST*>(list);
  CK_RV rv = p11->C_Initialize(nullptr);
  if (rv == CKR_OK) p11->C_Finalize(nullptr);
  return rv == CKR_CRYPTOKI_ALREADY_INITIALIZED ? 1 : rv == CKR_OK ? 0 : 2;
}

TEST_F(Frame, InitialisedFlagIsSharedWithOtherProcesses) {
  EXPECT_EQ(zyp::testing::run_in_child(initialise_in_child, p11), 1);
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(zyp::testing::run_in_child(initialise_in_child, p11), 0);
  ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
}

// Another process that initialises and finalises, as pkcs11-tool does while
// the provider server works, ends only its own use of the module. It is
// told that the module was already initialised and goes on using it.
TEST_F(Frame, AnotherProcessFinalisingLeavesThisOneWorking) {
  CK_SESSION_HANDLE session = logged_in_session();
  for (int visit = 0; visit < 2; ++visit) EXPECT_EQ(run_probe("visit"), "191 0 1\n");
  CK_SESSION_INFO info{};
  ASSERT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RW_USER_FUNCTIONS);
  EXPECT_EQ(find(session, Template{}).size(), 0u);
  EXPECT_EQ(p11->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);

  // With this process finalised the module is free again for the next one.
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(run_probe("visit"), "0 0 0\n");
  EXPECT_EQ(p11->C_Initialize(nullptr), CKR_OK);
}

// A process killed while it held slot 0's only read/write session, or while
// it alone had the module initialised, leaves nothing behind.
TEST_F(Frame, KilledProcessGivesBackItsSessionAndItsInitialisation) {
  ASSERT_EQ(init_token(), CKR_OK);
  struct Case {
    const char* what;
    bool finalise_first;  // this process leaves the initialisation to the child
  };
  for (const Case& c : {Case{"session", false}, Case{"initialisation", true}}) {
    SCOPED_TRACE(c.what);
    if (c.finalise_first) {
      ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    }
    CK_FUNCTION_LIST* module = p11;
    zyp::testing::ChildProcess child([module](zyp::testing::ChildProcess& self) {
      CK_RV initialised = module->C_Initialize(nullptr);
      if (initialised != CKR_OK && initialised != CKR_CRYPTOKI_ALREADY_INITIALIZED) return 1;
      CK_SESSION_HANDLE session = 0;
      if (module->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) != CKR_OK)
        return 2;
      self.tell_parent();
      zyp::testing::ChildProcess::hang();
    });
    ASSERT_EQ(child.hear_from_child(), 'r');
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(open(session), CKR_SESSION_COUNT);
    CK_TOKEN_INFO token{};
    ASSERT_EQ(p11->C_GetTokenInfo(0, &token), CKR_OK);
    EXPECT_EQ(token.ulRwSessionCount, 1u);
    EXPECT_EQ(child.kill(), 128 + SIGKILL);

    if (c.finalise_first) {
      EXPECT_EQ(p11->C_GetTokenInfo(0, &token), CKR_CRYPTOKI_NOT_INITIALIZED);
      ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    }
    ASSERT_EQ(p11->C_GetTokenInfo(0, &token), CKR_OK);
    EXPECT_EQ(token.ulRwSessionCount, 0u);
    ASSERT_EQ(open(session), CKR_OK);
    ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  }
}

TEST_F(Frame, UnsupportedCallsReportIt) {
  CK_SESSION_HANDLE session = logged_in_session();
  CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
  CK_MECHANISM ecb{CKM_DES_ECB, nullptr, 0};
  EXPECT_EQ(p11->C_SignInit(session, &rsa, 1), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(p11->C_VerifyInit(session, &ecb, 1), CKR_MECHANISM_INVALID);
  EXPECT_EQ(p11->C_DeriveKey(session, &ecb, 1, nullptr, 0, nullptr), CKR_MECHANISM_INVALID);
  CK_BYTE signature[128] = {};
  EXPECT_EQ(p11->C_Verify(session, signature, 8, signature, sizeof signature), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(p11->C_VerifyFinal(session, signature, sizeof signature), CKR_FUNCTION_NOT_SUPPORTED);
  CK_ULONG length = sizeof signature;
  EXPECT_EQ(p11->C_Sign(session, signature, 8, signature, &length), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(p11->C_GetOperationState(session, signature, &length), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(p11->C_DigestEncryptUpdate(session, signature, 8, signature, &length), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(p11->C_Sign(session + 100, signature, 8, signature, &length), CKR_SESSION_HANDLE_INVALID);
}

}  // namespace
