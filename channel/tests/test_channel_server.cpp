// The channel with the real zypserver, which loads the real provider over the
// software token in this test program's private profile.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "channel/client_process.h"
#include "channel/request_block.h"
#include "platform/atomic_file.h"
#include "platform/file_mapping.h"
#include "platform/modules.h"
#include "platform/named_event.h"
#include "platform/named_mutex.h"
#include "platform/shared_memory.h"
#include "testsupport/test_env.h"
#include "testsupport/soft_token.h"
#include "token/pkcs11.h"
#include "zyp/zypclient.h"
#include "zyp/zypsess.h"

namespace {

using namespace zyp::channel;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kToken = 0;
constexpr uint32_t kDes40 = CKM_DES_40_CBC;
constexpr char kPin[] = "1234";
constexpr char kIdleVariable[] = "ZYP_TEST_SERVER_IDLE_MS";

std::string tests_folder() {
  char path[PATH_MAX] = {};
  ssize_t size = ::readlink("/proc/self/exe", path, sizeof path - 1);
  std::string exe(path, size > 0 ? static_cast<size_t>(size) : 0);
  return exe.substr(0, exe.rfind('/'));
}

// The exit status of a child within `limit`, or -1 (the child is killed).
int wait_bounded(pid_t child, std::chrono::milliseconds limit) {
  for (auto deadline = Clock::now() + limit; Clock::now() < deadline;) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(10ms);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return -1;
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args) {
  pid_t child = 0;
  EXPECT_EQ(zyp::platform::spawn_program(program, args, false, &child), 0) << program;
  return child;
}

pid_t server_of_marker() {
  zyp::platform::SharedBlock<ClientShared> shared(kClientSharedName);
  return shared.attached() ? shared->server_marker : 0;
}

uint32_t token_count() {
  uint32_t count = 0;
  EXPECT_EQ(ZYPCIPEnumToken(nullptr, &count), 1);
  return count;
}

// Every test leaves no server behind.
class ChannelServer : public ::testing::Test {
 protected:
  void TearDown() override { ZYPCIPShutdownPKCS(); }
};

TEST_F(ChannelServer, BeforeAnyStartEveryCallAnswers16) {
  uint32_t size = 0;
  EXPECT_EQ(ZYPCIPGetBlockSize(kToken, kDes40, &size), 16);
  uint32_t count = 0;
  EXPECT_EQ(ZYPCIPEnumToken(nullptr, &count), 16);
  EXPECT_EQ(ZYPCloseTokenSession(), 16);  // the session service's call goes the same way
}

TEST_F(ChannelServer, ShutdownWithoutAServerLeavesNoMutexAndALaterStartWorks) {
  EXPECT_EQ(ZYPCIPShutdownPKCS(), 0);
  EXPECT_FALSE(zyp::platform::NamedMutex::open(kServerMutexName));
  EXPECT_FALSE(server_alive());

  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  EXPECT_TRUE(server_alive());
  EXPECT_GE(token_count(), 1u);
  EXPECT_EQ(ZYPCloseTokenSession(), 0);  // reaches the provider now

  EXPECT_EQ(ZYPCIPShutdownPKCS(), 0);
  EXPECT_FALSE(server_alive());
  uint32_t count = 0;
  EXPECT_EQ(ZYPCIPEnumToken(nullptr, &count), 16);
}

TEST_F(ChannelServer, AListWithCapacity0ComesBackWithTheCountAnd1) {
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  uint32_t count = 0;
  ZYPCIPListEntry unused{};
  EXPECT_EQ(ZYPCIPEnumToken(&unused, &count), 1);
  ASSERT_GE(count, 1u);
  std::vector<ZYPCIPListEntry> tokens(count);
  EXPECT_EQ(ZYPCIPEnumToken(tokens.data(), &count), 0);
  EXPECT_EQ(tokens[0].value, kToken);
  EXPECT_STREQ(tokens[0].name, "File");
}

TEST_F(ChannelServer, TwoClientProcessesAtOnceBothGetTheirOwnAnswers) {
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  uint32_t bits = 0;
  ASSERT_EQ(ZYPCIPGetKeyFormat(kToken, kDes40, 1, &bits), 0);
  ASSERT_GT(bits, 0u);
  ZYPCIPListEntry tokens[8] = {};
  uint32_t listed = 8;
  ASSERT_EQ(ZYPCIPEnumToken(tokens, &listed), 0);

  std::string probe = tests_folder() + "/channel_probe";
  pid_t first = spawn(probe, {"keyformat", "400", std::to_string(kDes40), std::to_string(bits)});
  pid_t second = spawn(probe, {"tokens", "400", std::to_string(listed)});
  EXPECT_EQ(wait_bounded(first, 60s), 0);
  EXPECT_EQ(wait_bounded(second, 60s), 0);
}

TEST_F(ChannelServer, AServerKilledDuringARequestGives16AndANewStartSucceeds) {
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  pid_t server = server_of_marker();
  ASSERT_GT(server, 0);
  ASSERT_EQ(::kill(server, SIGSTOP), 0);  // the request below waits for its reply

  int result = -1;
  Clock::time_point answered;
  std::thread caller([&] {
    uint32_t count = 0;
    result = ZYPCIPEnumToken(nullptr, &count);
    answered = Clock::now();
  });
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(::kill(server, SIGKILL), 0);
  Clock::time_point killed = Clock::now();
  caller.join();
  EXPECT_EQ(result, 16);
  EXPECT_LT(answered - killed, 2s);

  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  EXPECT_GE(token_count(), 1u);
}

TEST_F(ChannelServer, TheHeartbeatKeepsTheServerPastItsIdleTime) {
  ::setenv(kIdleVariable, "1500", 1);
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  std::this_thread::sleep_for(4s);
  EXPECT_TRUE(server_alive());
  EXPECT_GE(token_count(), 1u);
}

TEST_F(ChannelServer, ADescriptorNamingNoMappingGives15AndLeavesTheDataAlone) {
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  std::string path = zyp::testing::make_temp_folder("data") + "/file";
  ASSERT_TRUE(zyp::platform::write_file_atomically(path, std::string(64, 'x')));
  int fd = ::open(path.c_str(), O_RDWR);
  auto mapping = zyp::platform::FileMapping::create(fd, "ZYPTEST 0 64", 0);
  ::close(fd);
  ASSERT_TRUE(mapping);

  for (const char* descriptor : {"ZYPTEST 0 16", "NOSUCHMAPPING 0 64"}) {
    SCOPED_TRACE(descriptor);
    uint32_t length = kNamedMappingLength;
    auto* text = reinterpret_cast<uint8_t*>(const_cast<char*>(descriptor));
    EXPECT_EQ(ZYPCIPCryptBuffer(kToken, kDes40, 1, text, &length), 15);
    EXPECT_EQ(length, kNamedMappingLength);
  }
  EXPECT_EQ(std::string(static_cast<const char*>(mapping->data()), 64), std::string(64, 'x'));
}

// ---- The server program on its own -----------------------------------------------

class ServerProgram : public ::testing::Test {
 protected:
  // The channel objects a starting client creates.
  void create_events() {
    start_ = zyp::platform::NamedEvent::create(kStartEventName, false, false);
    finished_ = zyp::platform::NamedEvent::create(kFinishedEventName, false, false);
    mutex_ = zyp::platform::NamedMutex::create(kRequestMutexName, false);
    ASSERT_TRUE(start_ && finished_ && mutex_);
  }
  pid_t start_server() { return spawn("ZYPSERVER.EXE", {}); }

  std::unique_ptr<zyp::platform::NamedEvent> start_, finished_;
  std::unique_ptr<zyp::platform::NamedMutex> mutex_;
};

TEST_F(ServerProgram, EndsWithMinus1AfterItsIdleTimeWithoutHeartbeat) {
  create_events();
  ::setenv(kIdleVariable, "300", 1);
  auto started = Clock::now();
  pid_t server = start_server();
  EXPECT_EQ(wait_bounded(server, 20s), 255);
  EXPECT_GE(Clock::now() - started, 300ms);
}

TEST_F(ServerProgram, Request21EndsItWithExitCode0AndASecondInstanceEndsAtOnce) {
  create_events();
  pid_t server = start_server();
  for (auto deadline = Clock::now() + 20s; !server_alive() && Clock::now() < deadline;)
    std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(server_alive());

  EXPECT_EQ(wait_bounded(start_server(), 20s), 0);  // the unique mutex is taken
  EXPECT_TRUE(server_alive());

  ZYPCIPShutdownPKCS();  // finds the server running and sends request 21
  EXPECT_EQ(wait_bounded(server, 20s), 0);
}

// A client killed after announcing its request takes its block along; the
// server serves on for everybody else instead of ending.
TEST_F(ServerProgram, ARequestWhoseClientIsGoneIsSkippedAndTheServerServesOn) {
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  pid_t server = server_of_marker();
  ASSERT_GT(server, 0);
  start_ = zyp::platform::NamedEvent::open(kStartEventName);
  ASSERT_TRUE(start_);
  start_->set();  // announced, but no block: as if its client had died
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(::kill(server, 0), 0) << "the server ended";
  uint32_t count = 0;
  EXPECT_EQ(ZYPCIPEnumToken(nullptr, &count), 1);
  EXPECT_EQ(server_of_marker(), server);
  ZYPCIPShutdownPKCS();
}

TEST_F(ServerProgram, WithoutTheChannelEventsItReportsWhichIsMissingAndEndsWithMinus1) {
  std::string log = zyp::testing::make_temp_folder("log") + "/stderr";
  int saved = ::dup(STDERR_FILENO);
  int file = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ::dup2(file, STDERR_FILENO);
  pid_t server = start_server();
  ::dup2(saved, STDERR_FILENO);
  ::close(file);
  ::close(saved);

  EXPECT_EQ(wait_bounded(server, 20s), 255);
  auto text = zyp::platform::read_whole_file(log);
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("Quillmarsh PKCS server unrecoverable error"), std::string::npos) << *text;
  EXPECT_NE(text->find("PKCS server error - Event not found Finished Event"), std::string::npos) << *text;
}

// ---- With a logged-in session --------------------------------------------------------

// The server's PIN dialog, answered by a script, logs the token in.
class LoggedIn : public ChannelServer {
 protected:
  void SetUp() override {
    zyp::testing::initialise_soft_token(kToken, kPin);
    std::string folder = zyp::testing::make_temp_folder("ui");
    std::string script = folder + "/answers";
    transcript_ = folder + "/transcript";
    ASSERT_TRUE(zyp::platform::write_file_atomically(
        script, std::string("dialog 129 set 1000 \"") + kPin + "\"\ndialog 129 click 1\n"));
    ::setenv("ZYP_UI", ("script:" + script).c_str(), 1);
    ::setenv("ZYP_UI_TRANSCRIPT", transcript_.c_str(), 1);
    ASSERT_EQ(ZYPCIPStartPKCS(), 1);
    ASSERT_EQ(ZYPCIPOpenSession(kToken), 1);
    ASSERT_EQ(ZYPGetSessionState(kToken), 0);
  }

  std::string transcript_;
};

TEST_F(LoggedIn, NamedMappingEncryptionOf64MiBWorksInPlaceAndDecryptsBack) {
  uint32_t key = 0;
  ASSERT_EQ(ZYPCIPGenerateKeyFromSentence(kToken, kDes40, 1, "bulk", "a sentence for the bulk key", &key), 0);

  constexpr uint32_t kLength = 64u << 20;
  constexpr size_t kOffset = 8;
  std::string path = zyp::testing::make_temp_folder("bulk") + "/file";
  std::vector<uint8_t> original(kOffset + kLength + 8);
  for (size_t i = 0; i < original.size(); ++i) original[i] = static_cast<uint8_t>(i * 7 % 251);
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(original.data()), static_cast<std::streamsize>(original.size()));
  }
  std::string descriptor = "ZYPCRYPT_FILE " + std::to_string(kOffset) + " " + std::to_string(kLength);
  int fd = ::open(path.c_str(), O_RDWR);
  auto mapping = zyp::platform::FileMapping::create(fd, descriptor, 0);
  ::close(fd);
  ASSERT_TRUE(mapping);
  auto* mapped = static_cast<uint8_t*>(mapping->data());
  auto* text = reinterpret_cast<uint8_t*>(descriptor.data());

  uint32_t length = kNamedMappingLength;
  ASSERT_EQ(ZYPCIPCryptBuffer(kToken, kDes40, key, text, &length), 0);
  EXPECT_EQ(length, kNamedMappingLength);
  EXPECT_EQ(std::memcmp(mapped, original.data(), kOffset), 0);
  EXPECT_EQ(std::memcmp(mapped + kOffset + kLength, original.data() + kOffset + kLength, 8), 0);
  EXPECT_NE(std::memcmp(mapped + kOffset, original.data() + kOffset, kLength), 0);

  // The same bytes through the request block encrypt alike.
  std::vector<uint8_t> head(original.begin() + kOffset, original.begin() + kOffset + 64);
  uint32_t head_length = 64;
  ASSERT_EQ(ZYPCIPCryptBuffer(kToken, kDes40, key, head.data(), &head_length), 0);
  EXPECT_EQ(std::memcmp(head.data(), mapped + kOffset, 64), 0);

  ASSERT_EQ(ZYPCIPDecryptBuffer(kToken, kDes40, key, text, &length), 0);
  EXPECT_EQ(std::memcmp(mapped, original.data(), original.size()), 0);
}

// True once `pid` has `path` mapped (checked every millisecond, for at most `limit`).
bool wait_until_mapped(pid_t pid, const std::string& path, std::chrono::milliseconds limit) {
  for (auto deadline = Clock::now() + limit; Clock::now() < deadline; std::this_thread::sleep_for(1ms)) {
    auto maps = zyp::platform::read_whole_file("/proc/" + std::to_string(pid) + "/maps");
    if (maps && maps->find(path) != std::string::npos) return true;
  }
  return false;
}

// A client that truncates the file of its named mapping, before the request
// or while the server encrypts it, gets result 15; the server goes on serving.
TEST_F(LoggedIn, AMappedFileTruncatedByItsClientGives15AndTheServerServesOn) {
  uint32_t key = 0;
  ASSERT_EQ(ZYPCIPGenerateKeyFromSentence(kToken, kDes40, 1, "bulk", "a sentence for the bulk key", &key), 0);
  pid_t server = server_of_marker();
  ASSERT_GT(server, 0);
  constexpr uint32_t kLength = 64u << 20;
  std::string folder = zyp::testing::make_temp_folder("shrinking");
  std::string descriptor = "ZYPCRYPT_FILE 0 " + std::to_string(kLength);
  auto* text = reinterpret_cast<uint8_t*>(descriptor.data());

  // Creates the file and its mapping; returns the descriptor of the file.
  std::unique_ptr<zyp::platform::FileMapping> mapping;
  auto make_mapped_file = [&](const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(::ftruncate(fd, kLength), 0);
    mapping = zyp::platform::FileMapping::create(fd, descriptor, 0);
    EXPECT_TRUE(mapping);
    return fd;
  };

  {
    SCOPED_TRACE("truncated before the request: the range is past the end");
    int fd = make_mapped_file(folder + "/before");
    ASSERT_EQ(::ftruncate(fd, kLength / 2), 0);
    uint32_t length = kNamedMappingLength;
    EXPECT_EQ(ZYPCIPCryptBuffer(kToken, kDes40, key, text, &length), 15);
    ::close(fd);
    mapping.reset();
  }

  // Truncated once the server has mapped the file; the encryption of 64 MiB
  // takes far longer than that, and a rare run that finished first is repeated.
  int result = -1;
  for (int attempt = 0; attempt < 3 && result != 15; ++attempt) {
    std::string path = folder + "/during" + std::to_string(attempt);
    int fd = make_mapped_file(path);
    std::thread truncater([&] {
      if (wait_until_mapped(server, path, 20s)) {
        EXPECT_EQ(::ftruncate(fd, 0), 0);
      }
    });
    uint32_t length = kNamedMappingLength;
    result = ZYPCIPCryptBuffer(kToken, kDes40, key, text, &length);
    truncater.join();
    ::close(fd);
    mapping.reset();
    ASSERT_TRUE(result == 15 || result == 0) << "result " << result;
  }
  EXPECT_EQ(result, 15);

  EXPECT_TRUE(server_alive());
  EXPECT_EQ(server_of_marker(), server);
  uint32_t bits = 0;
  ASSERT_EQ(ZYPCIPGetKeyFormat(kToken, kDes40, 1, &bits), 0);
  pid_t other = spawn(tests_folder() + "/channel_probe", {"keyformat", "1", std::to_string(kDes40), std::to_string(bits)});
  EXPECT_EQ(wait_bounded(other, 60s), 0) << "another client is served";
  std::vector<uint8_t> block(64, 0x5A);
  uint32_t block_length = 64;
  EXPECT_EQ(ZYPCIPCryptBuffer(kToken, kDes40, key, block.data(), &block_length), 0) << "the token works on";
}

TEST_F(LoggedIn, TheSessionStateIs0InEveryProcess) {
  int state = zyp::testing::run_in_child([](void*) { return ZYPGetSessionState(kToken); }, nullptr);
  EXPECT_EQ(state, 0);
  uint32_t size = 0;
  EXPECT_EQ(ZYPCIPGetBlockSize(kToken, kDes40, &size), 0);
  EXPECT_EQ(size, 8u);
}

// The open state belongs to the server that logged in: once it is killed,
// while this process keeps the session service loaded, the token reads as
// without a session and the session service asks a server again.
TEST_F(LoggedIn, AKilledServersSessionIsNoLongerOpenAndOpeningAsksTheNextServer) {
  pid_t server = server_of_marker();
  ASSERT_GT(server, 0);
  ASSERT_EQ(::kill(server, SIGKILL), 0);
  auto deadline = Clock::now() + 5s;
  while (ZYPGetSessionState(kToken) == 0 && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ZYPGetSessionState(kToken), 1);
  EXPECT_NE(ZYPOpenTokenSession(), 0) << "no server: nothing can be open";

  std::string script = transcript_.substr(0, transcript_.rfind('/')) + "/answers";
  auto answers = zyp::platform::read_whole_file(script);
  ASSERT_TRUE(answers);
  ASSERT_TRUE(zyp::platform::write_file_atomically(
      script, *answers + "dialog 129 set 1000 \"" + kPin + "\"\ndialog 129 click 1\n"));
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  EXPECT_EQ(ZYPOpenTokenSession(), 0);
  EXPECT_EQ(ZYPGetSessionState(kToken), 0);
  std::string shown = zyp::platform::read_whole_file(transcript_).value_or("");
  size_t first = shown.find("dialog 129 end 0");
  ASSERT_NE(first, std::string::npos) << shown;
  EXPECT_NE(shown.find("dialog 129 end 0", first + 1), std::string::npos) << "the PIN was asked again: " << shown;
}

// The server's dialogs answered by a script in a fresh folder; the answers
// are taken in the server, which inherits this process's environment.
void answer_dialogs_with(const std::string& answers) {
  std::string folder = zyp::testing::make_temp_folder("ui");
  ASSERT_TRUE(zyp::platform::write_file_atomically(folder + "/answers", answers));
  ::setenv("ZYP_UI", ("script:" + folder + "/answers").c_str(), 1);
  ::setenv("ZYP_UI_TRANSCRIPT", (folder + "/transcript").c_str(), 1);
}

TEST_F(ChannelServer, ANeverInitialisedTokenIsSetUpThroughTheServersDialogs) {
  answer_dialogs_with(
      "msgbox 6\n"
      "dialog 139 set 1001 \"4321\"\ndialog 139 set 1002 \"4321\"\ndialog 139 click 1\n");
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  EXPECT_EQ(ZYPCIPOpenSession(kToken), 1);
  EXPECT_EQ(ZYPGetSessionState(kToken), 0);
}

// The session service's open, change and close reach the provider in the
// server: the changed PIN is the one the next login takes.
TEST_F(ChannelServer, TheSessionServiceOpensChangesAndClosesThroughTheServer) {
  zyp::testing::initialise_soft_token(kToken, kPin);
  answer_dialogs_with(std::string("dialog 129 set 1000 \"") + kPin + "\"\ndialog 129 click 1\n" +
                      "dialog 105 set 1000 \"" + kPin + "\"\n" +
                      "dialog 105 set 1001 \"8765\"\ndialog 105 set 1002 \"8765\"\ndialog 105 click 1\n" +
                      "dialog 129 set 1000 \"8765\"\ndialog 129 click 1\n");
  ASSERT_EQ(ZYPCIPStartPKCS(), 1);
  ASSERT_EQ(ZYPGetPrimaryToken(), static_cast<int>(kToken));
  EXPECT_EQ(ZYPOpenTokenSession(), 0);
  EXPECT_EQ(ZYPGetSessionState(kToken), 0);
  EXPECT_EQ(ZYPChangeTokenSecret(), 1);
  ZYPCloseTokenSession();
  EXPECT_EQ(ZYPGetSessionState(kToken), 1);
  EXPECT_EQ(ZYPOpenTokenSession(), 0) << "logged in again with the new PIN";
}

}  // namespace
