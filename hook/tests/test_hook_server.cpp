// The request server and the device's queue across processes: registration,
// the exclusion list and the queue seen by every process, requests answered,
// plain files written into a marked folder queued for the server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "hook/tests/hook_fixtures.h"
#include "platform/hookdev/device.h"
#include "platform/tests/child_process.h"
#include "testsupport/test_env.h"
#include "zyp/zyphook.h"
#include "zyp/zypprof.h"

namespace {

using namespace std::chrono_literals;
using zyp::testing::ChildProcess;
using zyp::testing::eventually;
namespace hookdev = zyp::hookdev;

constexpr uint32_t kAlgo = 0x133;
constexpr uint32_t kKey = 0x11223344;

// A server in a child process: it starts serving, says so, and stops when
// told (or is killed).
int serve_until_told(ChildProcess& self) {
  if (ZYPSetHookState(0) != 0) return 1;
  self.tell_parent();
  self.hear_from_parent();
  ZYPSetHookState(1);
  return ZYPGetFileHeader("/", nullptr) == 80 && ZYPGetHookState() == 70 ? 0 : 2;
}

hookdev::HookRequest request_of(uint32_t code, const std::string& path) {
  hookdev::HookRequest request{};
  request.code = code;
  hookdev::copy_path_field(request.path, path.c_str());
  return request;
}

class HookServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ZYPWriteProfileDWord("General", "HookDevice", 1), 1);
    home_ = zyp::testing::make_temp_folder("home");
    // The drive-C folder is a watched root: keep it small.
    ASSERT_EQ(ZYPWriteProfileString("Drives", "C", home_.c_str()), 1);
    device_ = hookdev::Device::open();
    ASSERT_TRUE(device_);
  }
  bool served(uint32_t code, const std::string& path, uint32_t result, uint32_t after) {
    hookdev::Device::ServedRequest last = device_->last_served();
    return last.count > after && last.code == code && last.path == path && last.result == result;
  }
  std::string home_;
  std::unique_ptr<hookdev::Device> device_;
};

TEST_F(HookServer, TwoProcessesSeeTheSameExclusionListAndQueue) {
  const std::string excluded = home_ + "/Private";
  ChildProcess child([&](ChildProcess& self) {
    auto device = hookdev::Device::open();
    hookdev::ExclusionEntry entry{};
    hookdev::copy_path_field(entry.path, excluded.c_str());
    entry.value = 1;
    uint32_t word = 0;
    bool sent = device->control(hookdev::kClearExclusions, nullptr, 0, nullptr, 0) &&
                device->control(hookdev::kAddExclusion, &entry, sizeof entry, &word, sizeof word) &&
                device->queue_request(request_of(1, excluded + "/queued"));
    self.tell_parent(sent ? 'r' : 'f');
    return 0;
  });
  ASSERT_EQ(child.hear_from_child(), 'r');
  EXPECT_EQ(child.join(), 0);
  EXPECT_EQ(ZYPHOOKAllowEncrypt((excluded + "/file").c_str()), 49);
  EXPECT_EQ(ZYPHOOKAllowEncrypt((home_ + "/file").c_str()), 0);
  // The same request is not queued twice; the fetch takes the child's.
  EXPECT_FALSE(device_->queue_request(request_of(1, excluded + "/queued")));
  hookdev::HookRequest fetched{};
  ASSERT_TRUE(device_->control(hookdev::kFetchRequest, &fetched, sizeof fetched, &fetched, sizeof fetched));
  EXPECT_EQ(fetched.code, 1u);
  EXPECT_STREQ(fetched.path, (excluded + "/queued").c_str());
  ASSERT_TRUE(device_->control(hookdev::kFetchRequest, &fetched, sizeof fetched, &fetched, sizeof fetched));
  EXPECT_EQ(fetched.code, 0u);  // the queue is empty
}

TEST_F(HookServer, AServerInAnotherProcessRegistersAndAnswersAnUnknownRequestWith0) {
  EXPECT_EQ(ZYPGetHookState(), 1);
  ChildProcess server(serve_until_told);
  ASSERT_EQ(server.hear_from_child(), 'r');
  EXPECT_TRUE(eventually([] { return ZYPGetHookState() == 0; }, 5s));
  // A second server is refused while the first lives.
  hookdev::ServerRegistration registration{0, 0};
  uint32_t word = 0;
  EXPECT_FALSE(device_->control(hookdev::kRegisterServer, &registration, sizeof registration, &word, sizeof word));

  uint32_t before = device_->last_served().count;
  ASSERT_TRUE(device_->queue_request(request_of(0x63, "/unknown")));
  EXPECT_TRUE(eventually([&] { return served(0x63, "/unknown", 0, before); }, 2s));
  // A long path is the path itself; the scan is the file library's: an
  // encrypted file whose key cannot be checked without a session stops it.
  ASSERT_TRUE(zyp::testing::write(home_ + "/scanned.bin", zyp::testing::encrypted_contents(zyp::testing::header_with(
                                                              kAlgo, kKey, 2, "s"))));
  before = device_->last_served().count;
  ASSERT_TRUE(device_->queue_request(request_of(hookdev::kRequestScanFolder, home_)));
  EXPECT_TRUE(eventually([&] { return served(8, home_, ZYPFILE_NO_SESSION, before); }, 5s));

  server.tell_child();
  EXPECT_EQ(server.join(), 0);
  EXPECT_EQ(ZYPGetHookState(), 1);
}

TEST_F(HookServer, APlainFileClosedAfterWritingInAMarkedFolderReachesTheServerAsRequest2) {
  const std::string marked = home_ + "/Encrypted", later = marked + "/Later";
  ASSERT_EQ(::mkdir(marked.c_str(), 0700), 0);
  ASSERT_TRUE(zyp::testing::write(marked + "/desktop.ini", zyp::testing::mark_text(kAlgo, kKey, 2, "m")));
  ChildProcess server(serve_until_told);
  ASSERT_EQ(server.hear_from_child(), 'r');
  ASSERT_TRUE(eventually([&] { return device_->watched_folders() >= 2; }, 5s));

  auto write_and_wait = [&](const std::string& file, const std::string& contents) {
    uint32_t before = device_->last_served().count;
    FILE* out = std::fopen(file.c_str(), "wb");
    std::fwrite(contents.data(), 1, contents.size(), out);
    std::fclose(out);
    return eventually([&] { return served(hookdev::kRequestWatch, file, 0, before); }, 1s);
  };
  EXPECT_TRUE(write_and_wait(marked + "/saved.txt", "saved by an editor"));
  // Files that are already encrypted or outside a marked folder are not queued.
  EXPECT_FALSE(write_and_wait(marked + "/encrypted",
                              zyp::testing::encrypted_contents(zyp::testing::header_with(kAlgo, kKey, 2, ""))));
  EXPECT_FALSE(write_and_wait(home_ + "/outside.txt", "plain"));
  // Neither is a temporary file of the file library's operations.
  EXPECT_FALSE(write_and_wait(marked + "/ZYP0123ABCD.tmp", "an operation's temporary"));
  EXPECT_TRUE(write_and_wait(marked + "/ZYP0123abcd.tmp", "not a name the library makes"));
  // A file recorded to stay clear (an explicit decryption) is left alone.
  FileHeader clear = zyp::testing::header_with(0, ZYPFILE_NO_KEY, 0, "");
  ASSERT_EQ(ZYPSetOpenedFileInfo((marked + "/decrypted").c_str(), &clear), 102);
  EXPECT_FALSE(write_and_wait(marked + "/decrypted", "decrypted on purpose"));
  // A subfolder made later is followed once it carries a mark.
  ASSERT_EQ(::mkdir(later.c_str(), 0700), 0);
  ASSERT_TRUE(eventually([&] { return device_->watched_folders() >= 3; }, 5s));
  EXPECT_FALSE(write_and_wait(later + "/before-mark", "plain"));
  ASSERT_TRUE(zyp::testing::write(later + "/desktop.ini", zyp::testing::mark_text(kAlgo, kKey, 2, "l")));
  EXPECT_TRUE(write_and_wait(later + "/after-mark", "plain"));
  // A file moved in counts as written.
  ASSERT_TRUE(zyp::testing::write(home_ + "/moving", "plain"));
  uint32_t before = device_->last_served().count;
  ASSERT_EQ(::rename((home_ + "/moving").c_str(), (marked + "/moved").c_str()), 0);
  EXPECT_TRUE(eventually([&] { return served(hookdev::kRequestWatch, marked + "/moved", 0, before); }, 1s));

  server.tell_child();
  EXPECT_EQ(server.join(), 0);
}

TEST_F(HookServer, ARegisteredServerWhoseProcessWasKilledReadsAsNone) {
  ChildProcess server([](ChildProcess& self) {
    if (ZYPSetHookState(0) != 0) return 1;
    self.tell_parent();
    ChildProcess::hang();
  });
  ASSERT_EQ(server.hear_from_child(), 'r');
  EXPECT_TRUE(eventually([] { return ZYPGetHookState() == 0; }, 5s));
  server.kill();
  EXPECT_EQ(ZYPGetHookState(), 1);
  // Another process may serve now.
  ChildProcess next(serve_until_told);
  ASSERT_EQ(next.hear_from_child(), 'r');
  EXPECT_TRUE(eventually([] { return ZYPGetHookState() == 0; }, 5s));
  next.tell_child();
  EXPECT_EQ(next.join(), 0);
}

}  // namespace
