// Starting and stopping the request server in this process: every thread it
// started has ended when the stop returns, even with a file being watched,
// and the process's later calls answer 70 (its device is closed).
#include <dirent.h>
#include <sys/stat.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "hook/tests/hook_fixtures.h"
#include "platform/hookdev/device.h"
#include "testsupport/test_env.h"
#include "zyp/zyphook.h"
#include "zyp/zypprof.h"

namespace {

using namespace std::chrono_literals;
namespace hookdev = zyp::hookdev;

size_t thread_count() {
  size_t count = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  while (dirent* entry = tasks ? ::readdir(tasks) : nullptr) count += entry->d_name[0] != '.';
  if (tasks) ::closedir(tasks);
  return count;
}

TEST(HookServerStop, StopJoinsEveryThreadPromptlyAndLeavesTheDeviceClosed) {
  const std::string home = zyp::testing::make_temp_folder("home");
  ASSERT_EQ(ZYPWriteProfileString("Drives", "C", home.c_str()), 1);
  ASSERT_TRUE(zyp::testing::write(home + "/watched", "plain"));
  const std::string marked = home + "/Encrypted";
  ASSERT_EQ(::mkdir(marked.c_str(), 0700), 0);
  ASSERT_TRUE(zyp::testing::write(marked + "/desktop.ini", zyp::testing::mark_text(0x133, 0x11, 2, "m")));
  ASSERT_TRUE(zyp::testing::write(marked + "/saved", "plain"));
  auto device = hookdev::Device::open();
  ASSERT_TRUE(device);
  const size_t threads_before = thread_count();

  ASSERT_EQ(ZYPSetHookState(0), 0);
  EXPECT_TRUE(zyp::testing::eventually([] { return ZYPGetHookState() == 0; }, 5s));
  ASSERT_TRUE(zyp::testing::eventually([&] { return device->watched_folders() >= 1; }, 5s));
  // A watch whose encryption keeps failing (no provider server runs here)
  // tries again every 3 seconds until the stop.
  const size_t threads_serving = thread_count();
  hookdev::HookRequest retrying{};
  retrying.code = hookdev::kRequestWatch;
  hookdev::copy_path_field(retrying.path, (marked + "/saved").c_str());
  ASSERT_TRUE(device->queue_request(retrying));
  EXPECT_TRUE(zyp::testing::eventually([&] { return thread_count() > threads_serving; }, 2s));

  hookdev::HookRequest watch{};
  watch.code = hookdev::kRequestWatch;
  hookdev::copy_path_field(watch.path, (home + "/watched").c_str());
  uint32_t before = device->last_served().count;
  ASSERT_TRUE(device->queue_request(watch));
  ASSERT_TRUE(zyp::testing::eventually([&] { return device->last_served().count > before; }, 2s));
  EXPECT_GT(thread_count(), threads_before);

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ZYPSetHookState(1), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(thread_count(), threads_before);
  EXPECT_EQ(ZYPGetServerActivity(), 0u);
  EXPECT_EQ(device->control(hookdev::kServerState, nullptr, 0, &before, sizeof before) ? before : 70u, 1u);
  FileHeader header{};
  EXPECT_EQ(ZYPGetFileHeader((home + "/watched").c_str(), &header), 70);
  EXPECT_EQ(ZYPGetHookState(), 70);
}

}  // namespace
