// The request blocks of every call, byte for byte as the code table lays them
// out, from the client library through the dispatcher to the provider and
// back. A server thread of this process plays zypserver with a stand-in
// provider and keeps a copy of each block as it arrived.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "channel/client_process.h"
#include "channel/dispatcher.h"
#include "channel/request_block.h"
#include "channel/tests/fake_provider.h"
#include "channel/tests/request_pack.h"
#include "platform/dirs.h"
#include "platform/named_event.h"
#include "platform/named_mutex.h"
#include "platform/shared_memory.h"
#include "zyp/zypclient.h"
#include "zyp/zypsess.h"

namespace {

using namespace zyp::channel;
using zyp::platform::NamedEvent;
using zyp::platform::NamedMutex;

constexpr uint32_t kToken = 0x01020304;
constexpr uint32_t kMechanism = 0x80000103;
constexpr uint32_t kKey = 0xCAFEBABE;
constexpr uint16_t kType = 0x0102;

// zypserver's part, played by a thread with the stand-in provider.
class FakeServer {
 public:
  FakeServer() : thread_([this] { run(); }) {
    while (!ready_) std::this_thread::yield();
  }
  ~FakeServer() {
    stop_ = true;
    thread_.join();
  }
  std::vector<Bytes> blocks() {
    std::lock_guard guard(lock_);
    return blocks_;
  }

 private:
  void run() {
    auto unique = NamedMutex::create(kServerMutexName, true);
    auto start = NamedEvent::open(kStartEventName);
    auto finished = NamedEvent::open(kFinishedEventName);
    ready_ = true;
    ServerState state;
    while (!stop_ && !state.shutdown) {
      if (start->wait(50) != zyp::platform::WaitResult::Signaled) continue;
      auto block = zyp::platform::SharedMemory::open(kRequestMappingName);
      ASSERT_TRUE(block);
      std::span<uint8_t> bytes(static_cast<uint8_t*>(block->data()), block->size());
      {
        std::lock_guard guard(lock_);
        blocks_.emplace_back(bytes.begin(), bytes.end());
      }
      serve_request(bytes, fake_provider::table(), state);
      block.reset();
      finished->set();
    }
  }

  std::mutex lock_;
  std::vector<Bytes> blocks_;
  std::atomic<bool> ready_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The channel objects as ZYPCIPStartPKCS leaves them, a server marked as
// started, and the stand-in server.
class ChannelLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    start_ = NamedEvent::create(kStartEventName, false, false);
    finished_ = NamedEvent::create(kFinishedEventName, false, false);
    mutex_ = NamedMutex::create(kRequestMutexName, false);
    shared_.get()->server_marker = 1;
    server_ = std::make_unique<FakeServer>();
    fake_provider::calls().clear();
  }
  void TearDown() override {
    if (server_) ZYPCIPShutdownPKCS();
  }

  // Runs `call` and returns the one block the server received.
  Bytes block_of(const std::function<void()>& call) {
    size_t before = server_->blocks().size();
    call();
    auto blocks = server_->blocks();
    EXPECT_EQ(blocks.size(), before + 1);
    return blocks.empty() ? Bytes{} : blocks.back();
  }
  std::string last_call() const { return fake_provider::calls().empty() ? "" : fake_provider::calls().back(); }

  std::unique_ptr<NamedEvent> start_, finished_;
  std::unique_ptr<NamedMutex> mutex_;
  zyp::platform::SharedBlock<ClientShared> shared_{kClientSharedName};
  std::unique_ptr<FakeServer> server_;
};

struct Case {
  const char* name;
  std::function<int()> call;
  Bytes block;           // the request as the table lays it out
  std::string provider;  // the provider call it becomes
  int result;            // what the caller gets
};

TEST_F(ChannelLayout, EveryCallTravelsAsTheCodeTableSays) {
  uint8_t value[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t field[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  ZYPRecoveryKeyRecord record{};
  std::memset(&record, 0x5A, sizeof record);
  uint32_t out = 0;
  ZYPCIPListEntry list[3] = {};
  char name[32] = {};
  uint8_t buffer[64] = {};

  const std::vector<Case> cases = {
      {"open", [&] { return ZYPCIPOpenSession(kToken); }, Pack(1).u32(kToken).bytes(), "OpenSession 16909060", 1},
      {"close", [&] { return ZYPCIPCloseSession(kToken); }, Pack(2).u32(kToken).bytes(), "CloseSession 16909060", 0},
      {"enum tokens",
       [&] { return out = 3, ZYPCIPEnumToken(list, &out); },
       Pack(3).u32(3).zeros(780).bytes(), "EnumToken 3", 0},
      {"enum algorithms",
       [&] { return out = 2, ZYPCIPEnumAlgorithm(kToken, kType, list, &out); },
       Pack(4).u32(2).zeros(520).u16(kType).u32(kToken).bytes(), "EnumAlgorithm 16909060 258 2", 0},
      {"enum keys",
       [&] { return out = 1, ZYPCIPEnumKey(kToken, kMechanism, kType, list, &out); },
       Pack(5).u32(1).zeros(260).u16(kType).u32(kMechanism).u32(kToken).bytes(),
       "EnumKey 16909060 2147483907 258 1", 1},
      {"token name",
       [&] { return out = 7, ZYPCIPGetTokenName(kToken, name, &out); },
       Pack(6).u32(7).zeros(7).u32(kToken).bytes(), "GetTokenName 16909060 7", 0},
      {"algorithm name",
       [&] { return out = 16, ZYPCIPGetAlgoName(kToken, kMechanism, name, &out); },
       Pack(7).u32(16).zeros(16).u32(kMechanism).u32(kToken).bytes(), "GetAlgoName 16909060 2147483907 16", 0},
      {"key name",
       [&] { return out = 4, ZYPCIPGetKeyName(kToken, kKey, name, &out); },
       Pack(8).u32(4).zeros(4).u32(kKey).u32(kToken).bytes(), "GetKeyName 16909060 3405691582 4", 1},
      {"key format",
       [&] { return out = 0, ZYPCIPGetKeyFormat(kToken, kMechanism, kType, &out); },
       Pack(9).u32(0).u16(kType).u32(kMechanism).u32(kToken).zeros(2).bytes(),
       "GetKeyFormat 16909060 2147483907 258 0", 0},
      {"random key",
       [&] { return out = 0, ZYPCIPGenerateRandomKey(kToken, kMechanism, kType, "lbl", &out); },
       Pack(10).u32(0).u32(4).text("lbl", true).u16(kType).u32(kMechanism).u32(kToken).bytes(),
       "GenerateRandomKey 16909060 2147483907 258 \"lbl\" 0", 0},
      {"sentence key",
       [&] { return out = 0, ZYPCIPGenerateKeyFromSentence(kToken, kMechanism, kType, "lbl", "sentence", &out); },
       Pack(11).u32(0).u32(9).text("sentence", true).u32(4).text("lbl", true).u16(kType).u32(kMechanism)
           .u32(kToken).bytes(),
       "GenerateKeyFromSentence 16909060 2147483907 258 \"lbl\" \"sentence\" 0", 0},
      {"key from value",
       [&] { return out = 0, ZYPCIPGenerateKeyFromBin(kToken, kMechanism, kType, "lbl", value, 8, &out); },
       Pack(12).u32(0).u32(8).raw(value, 8).u32(4).text("lbl", true).u16(kType).u32(kMechanism).u32(kToken)
           .bytes(),
       "GenerateKeyFromBin 16909060 2147483907 258 \"lbl\" 8 0 value=0102030405060708", 0},
      {"delete key", [&] { return ZYPCIPDeleteKey(kToken, kKey); }, Pack(13).u32(kKey).u32(kToken).bytes(),
       "DeleteKey 16909060 3405691582", 8},
      {"block size",
       [&] { return out = 0, ZYPCIPGetBlockSize(kToken, kMechanism, &out); },
       Pack(14).u32(0).u32(kMechanism).u32(kToken).bytes(), "GetBlockSize 16909060 2147483907 0", 0},
      {"encrypt",
       [&] { return out = 4, std::memcpy(buffer, "\x01\x02\x03\x04", 4), ZYPCIPCryptBuffer(kToken, kMechanism, kKey, buffer, &out); },
       Pack(15).u32(4).raw("\x01\x02\x03\x04", 4).u32(kKey).u32(kMechanism).u32(kToken).bytes(),
       "CryptBuffer 16909060 2147483907 3405691582 4 data=01020304", 0},
      {"decrypt",
       [&] { return out = 2, std::memcpy(buffer, "\xFE\xFD", 2), ZYPCIPDecryptBuffer(kToken, kMechanism, kKey, buffer, &out); },
       Pack(16).u32(2).raw("\xFE\xFD", 2).u32(kKey).u32(kMechanism).u32(kToken).bytes(),
       "DecryptBuffer 16909060 2147483907 3405691582 2 data=fefd", 0},
      {"encrypt in a named mapping that does not exist",
       [&] {
         out = kNamedMappingLength;
         return ZYPCIPCryptBuffer(kToken, kMechanism, kKey, reinterpret_cast<uint8_t*>(const_cast<char*>("NOMAP 0 8")), &out);
       },
       Pack(15).u32(kNamedMappingLength).text("NOMAP 0 8", true).u32(kKey).u32(kMechanism).u32(kToken).bytes(),
       "", 15},
      {"digest",
       [&] { return out = 20, ZYPCIPHashBuffer(kToken, kMechanism, value, 5, buffer, &out); },
       Pack(17).u32(20).zeros(20).u32(5).raw(value, 5).u32(kMechanism).u32(kToken).bytes(),
       "HashBuffer 16909060 2147483907 5 20 data=0102030405", 0},
      {"sign",
       [&] { return out = 8, ZYPCIPSignBuffer(kToken, kMechanism, kKey, value, 8, buffer, &out); },
       Pack(18).u32(8).zeros(8).u32(8).raw(value, 8).u32(kKey).u32(kMechanism).u32(kToken).bytes(),
       "SignBuffer 16909060 2147483907 3405691582 8 8 data=0102030405060708", 0},
      {"verify",
       [&] { return ZYPCIPVerifyBuffer(kToken, kMechanism, kKey, value, 8, field, 2); },
       Pack(19).u32(2).raw(field, 2).u32(8).raw(value, 8).u32(kKey).u32(kMechanism).u32(kToken).bytes(),
       "VerifyBuffer 16909060 2147483907 3405691582 8 2 data=0102030405060708 signature=0909", 11},
      {"change PIN", [&] { return ZYPCIPChangeSecret(kToken); }, Pack(20).u32(kToken).bytes(),
       "ChangeSecret 16909060", 1},
      {"reload", [&] { return ZYPCIPReloadConfig(); }, Pack(22).bytes(), "ReloadConfig", 0},
      {"presence", [&] { return ZYPCIPSetCheckPresence(-1); }, Pack(23).u32(0xFFFFFFFF).bytes(),
       "SetCheckPresence -1", 0},
      {"inactivity", [&] { return ZYPCIPSetInactivity(5); }, Pack(24).u32(5).bytes(), "SetInactivity 5", 0},
      {"inactivity time", [&] { return ZYPCIPSetInactivityTime(600); }, Pack(25).u32(600).bytes(),
       "SetInactivityTime 600", 0},
      {"recovery field",
       [&] { return out = 64, ZYPCIPGetKeyRecoveryField(kToken, kKey, 1, buffer, &out); },
       Pack(26).u32(64).zeros(64).u32(1).u32(kKey).u32(kToken).bytes(),
       "GetKeyRecoveryField 16909060 3405691582 1 64", 1},
      {"strong crypto", [&] { return ZYPCIPIsStrongCryptoEnabled(kToken); }, Pack(27).u32(kToken).bytes(),
       "IsStrongCryptoEnabled 16909060", 1},
      {"recovery pair",
       [&] {
         ZYPRecoveryKeyRecord private_record{};
         ZYPRecoveryPublicRecord public_record{};
         return ZYPCIPSetKeyRecoveryPublicKey(kToken, 1, &private_record, &public_record);
       },
       Pack(28).zeros(258 + 706).u32(1).u32(kToken).zeros(4).bytes(), "SetKeyRecoveryPublicKey 16909060 1", 0},
      {"recovery field of a value",
       [&] { return out = 64, ZYPCIPGetBinKeyRecoveryField(kToken, kMechanism, value, 8, 1, buffer, &out); },
       Pack(29).u32(64).zeros(64).u32(1).u32(8).raw(value, 8).u32(kMechanism).u32(kToken).bytes(),
       "GetBinKeyRecoveryField 16909060 2147483907 8 1 64 value=0102030405060708", 0},
      {"change PIN without dialogs", [&] { return ZYPCIPChangeSecretEx(kToken, "1234", "98765"); },
       Pack(30).u32(kToken).u32(4).text("1234", false).u32(5).text("98765", false).bytes(),
       "ChangeSecretEx 16909060 \"1234\" \"98765\"", 1},
      {"company recovery", [&] { return ZYPCIPIsCompanyKeyRecoveryActive(kToken); }, Pack(31).u32(kToken).bytes(),
       "IsCompanyKeyRecoveryActive 16909060", 0},
      {"session key from a field",
       [&] {
         return ZYPCIPGenerateSessionKeyFromKeyRecoveryField(kToken, kMechanism, field, 16, "lab", 3, record);
       },
       Pack(32).raw(&record, 706).u32(3).text("lab", false).u32(16).raw(field, 16).u32(kMechanism).u32(kToken)
           .zeros(4).bytes(),
       "GenerateSessionKeyFromKeyRecoveryField 16909060 2147483907 16 3 field=09090909090909090909090909090909 "
       "label=6c6162 record=5a5a5a5a5a5a5a5a",
       1},
      {"insert again", [&] { return ZYPCIPReInsertKeyHolder(kToken); }, Pack(33).u32(kToken).bytes(),
       "ReInsertKeyHolder 16909060", 9},
      {"copy card", [&] { return ZYPCIPCloneCard(kToken); }, Pack(34).u32(kToken).bytes(), "CloneCard 16909060", 0},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    size_t calls_before = fake_provider::calls().size();
    int result = 0;
    Bytes block = block_of([&] { result = c.call(); });
    EXPECT_EQ(block, c.block);
    EXPECT_EQ(result, c.result);
    bool provider_called = fake_provider::calls().size() > calls_before;
    if (c.result != 15) {
      EXPECT_TRUE(provider_called);
      EXPECT_EQ(last_call(), c.provider);
    } else {
      EXPECT_FALSE(provider_called);
    }
  }
}

TEST_F(ChannelLayout, OutputsComeBackIntoTheCallersArguments) {
  // Lists: the entries the provider filled, no more.
  ZYPCIPListEntry list[3] = {};
  list[2].value = 0x77;
  uint32_t count = 3;
  ASSERT_EQ(ZYPCIPEnumToken(list, &count), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(list[0].value, 0x11u);
  EXPECT_STREQ(list[1].name, "second");
  EXPECT_EQ(list[2].value, 0x77u);

  // Capacity 0 (a null list) asks for the count.
  count = 5;
  EXPECT_EQ(ZYPCIPEnumToken(nullptr, &count), 1);
  EXPECT_EQ(count, 2u);

  // A name that fills the capacity exactly gets its terminator.
  char name[8];
  std::memset(name, '#', sizeof name);
  uint32_t length = 7;
  ASSERT_EQ(ZYPCIPGetTokenName(kToken, name, &length), 0);
  EXPECT_STREQ(name, "Softtok");
  // Too small: the needed length, and the buffer is left alone.
  std::memset(name, '#', sizeof name);
  length = 4;
  EXPECT_EQ(ZYPCIPGetKeyName(kToken, kKey, name, &length), 1);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(name[0], '#');

  uint32_t key = 0;
  ASSERT_EQ(ZYPCIPGenerateRandomKey(kToken, kMechanism, 1, "label", &key), 0);
  EXPECT_EQ(key, kKey);

  uint8_t data[4] = {1, 2, 3, 4};
  length = 4;
  ASSERT_EQ(ZYPCIPCryptBuffer(kToken, kMechanism, kKey, data, &length), 0);
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{0xFE, 0xFD, 0xFC, 0xFB}));

  uint8_t digest[24];
  std::memset(digest, 0xEE, sizeof digest);
  length = 24;
  ASSERT_EQ(ZYPCIPHashBuffer(kToken, kMechanism, data, 4, digest, &length), 0);
  EXPECT_EQ(length, 20u);
  EXPECT_EQ(digest[19], 0xA0 + 19);
  EXPECT_EQ(digest[20], 0xEE);

  ZYPRecoveryKeyRecord private_record{};
  ZYPRecoveryPublicRecord public_record{};
  ASSERT_EQ(ZYPCIPSetKeyRecoveryPublicKey(kToken, 0, &private_record, &public_record), 0);
  EXPECT_EQ(private_record.coefficient[63], 0x44);
  EXPECT_EQ(public_record.publicExponent[127], 0x55);
}

TEST_F(ChannelLayout, MissingArgumentsAreRefusedBeforeAnyRequest) {
  uint32_t length = 4;
  EXPECT_EQ(ZYPCIPEnumToken(nullptr, nullptr), 8);
  EXPECT_EQ(ZYPCIPCryptBuffer(kToken, kMechanism, kKey, nullptr, &length), 8);
  EXPECT_EQ(ZYPCIPGenerateRandomKey(kToken, kMechanism, 1, nullptr, &length), 8);
  EXPECT_EQ(ZYPCIPChangeSecretEx(kToken, nullptr, "1"), 0);
  EXPECT_TRUE(server_->blocks().empty());
}

TEST_F(ChannelLayout, ARequestBlockThatCannotBeMadeGives16AndFreesTheChannel) {
  // A folder where the block's file would go.
  auto block_file = zyp::platform::object_path(kRequestMappingName, ".shm");
  ASSERT_TRUE(block_file);
  ASSERT_TRUE(std::filesystem::create_directory(*block_file));
  EXPECT_EQ(ZYPCIPOpenSession(kToken), 16);
  std::filesystem::remove(*block_file);
  EXPECT_EQ(ZYPCIPOpenSession(kToken), 1);  // the request mutex was released

  // A request larger than any call can need is not even tried.
  ZYPCIPListEntry entry{};
  uint32_t count = 0xFFFFFFFF;  // about a terabyte of entries
  EXPECT_EQ(ZYPCIPEnumToken(&entry, &count), 16);
  EXPECT_EQ(server_->blocks().size(), 1u);
}

TEST_F(ChannelLayout, CloseSessionIsRefusedWhileAnOperationRuns) {
  ASSERT_EQ(ZYPBeginActivity(), 0);
  EXPECT_EQ(ZYPCIPCloseSession(kToken), 1);
  EXPECT_TRUE(server_->blocks().empty());
  ASSERT_EQ(ZYPEndActivity(), 0);
  EXPECT_EQ(ZYPCIPCloseSession(kToken), 0);
  EXPECT_EQ(server_->blocks().size(), 1u);
}

TEST_F(ChannelLayout, ShutdownSendsRequest21AndWaitsForTheServersEnd) {
  ZYPCIPShutdownPKCS();
  EXPECT_FALSE(server_alive());
  auto blocks = server_->blocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0], Pack(21).bytes());
  EXPECT_EQ(shared_.get()->server_marker, 0);
  // With the marker cleared, calls no longer reach a server.
  uint32_t size = 0;
  EXPECT_EQ(ZYPCIPGetBlockSize(kToken, kMechanism, &size), 16);
  server_.reset();
}

}  // namespace
