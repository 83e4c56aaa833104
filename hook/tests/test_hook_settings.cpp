// The automatic settings: where each is stored, what is cached for every
// process, and what the device is told.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "hook/tests/hook_fixtures.h"
#include "platform/hookdev/device.h"
#include "platform/tests/child_process.h"
#include "testsupport/test_env.h"
#include "zyp/zyphook.h"
#include "zyp/zypprof.h"

namespace {

using namespace std::chrono_literals;
namespace hookdev = zyp::hookdev;

TEST(HookSettings, EachSettingIsStoredInItsScopeAndSeenByAnotherProcess) {
  struct Setting {
    const char* name;
    std::function<uint32_t()> get;
    std::function<int(uint32_t)> set;
    bool machine_scope;
    uint32_t initial;
  };
  std::vector<Setting> settings = {
      {"AutoDecrypt", ZYPGetAutoDecrypt, ZYPSetAutoDecrypt, true, 0},
      {"AutoSecureErase", ZYPGetAutoSecureErase, ZYPSetAutoSecureErase, false, 0},
      {"AutoCheckSign", ZYPGetAutoCheckSign, ZYPSetAutoCheckSign, false, 0},
      {"OpenSessionOnStart", ZYPGetAutoOpenSession, ZYPSetAutoOpenSession, false, 1},
  };
  for (const Setting& s : settings) {
    EXPECT_EQ(s.get(), s.initial) << s.name;
    EXPECT_EQ(s.set(5), 0) << s.name;
    EXPECT_EQ(s.get(), 5u) << s.name;
    uint32_t stored = s.machine_scope ? ZYPGetProfileDWord("General", s.name, 99)
                                      : ZYPGetUSProfileDWord("General", s.name, 99);
    EXPECT_EQ(stored, 5u) << s.name;
    zyp::testing::ChildProcess other([&](zyp::testing::ChildProcess&) { return s.get() == 5u ? 0 : 1; });
    EXPECT_EQ(other.join(), 0) << s.name;
  }
}

TEST(HookSettings, TheDeviceIsToldAutoDecryptAndAutoSecureEraseWithThePassCount) {
  ASSERT_EQ(ZYPWriteUSProfileDWord("General", "SecureEraseCycle", 7), 1);
  auto device = hookdev::Device::open();
  ASSERT_TRUE(device);
  ASSERT_EQ(ZYPSetAutoDecrypt(1), 0);
  ASSERT_EQ(ZYPSetAutoSecureErase(1), 0);
  hookdev::Device::Settings told = device->settings();
  EXPECT_EQ(told.auto_decrypt, 1u);
  EXPECT_EQ(told.secure_erase_flag, 1u);
  EXPECT_EQ(told.secure_erase_passes, 7u);
  ASSERT_EQ(ZYPSetAutoDecrypt(0), 0);
  EXPECT_EQ(device->settings().auto_decrypt, 0u);
}

// The server tells the device its product name and the drive mask (drive C: only).
TEST(HookSettings, AStartingServerSendsTheProductNameAndTheDriveMask) {
  const std::string home = zyp::testing::make_temp_folder("home");
  ASSERT_EQ(ZYPWriteProfileString("Drives", "C", home.c_str()), 1);
  ASSERT_EQ(ZYPWriteProfileString("Drives", "A", home.c_str()), 1);  // a key disk that is present
  auto device = hookdev::Device::open();
  ASSERT_TRUE(device);
  zyp::testing::ChildProcess server([](zyp::testing::ChildProcess& self) {
    if (ZYPSetHookState(0) != 0) return 1;
    self.tell_parent();
    self.hear_from_parent();
    ZYPSetHookState(1);
    return 0;
  });
  ASSERT_EQ(server.hear_from_child(), 'r');
  ASSERT_TRUE(zyp::testing::eventually([] { return ZYPGetHookState() == 0; }, 5s));
  hookdev::Device::Settings told = device->settings();
  char product[260] = {};
  ZYPGetProductName(product, sizeof product);
  EXPECT_EQ(told.product_name, product);
  EXPECT_EQ(told.drive_mask, 0x4u);
  server.tell_child();
  EXPECT_EQ(server.join(), 0);
}

}  // namespace
