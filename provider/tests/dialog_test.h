#pragma once
// The fixture of the provider's dialog tests: the provider attached to the
// test module, whose token is present while a file exists, and the dialogs
// answered by a script.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "provider_test.h"
#include "testsupport/test_env.h"
#include "testsupport/ui_script.h"
#include "zyp/zypprof.h"

namespace zyp::prov::testing {

inline constexpr uint32_t kFakeSlot = 5;

// How often the test module saw C_Login, C_InitToken or C_SetPIN since the
// provider attached it.
inline int token_calls(const char* call) {
  void* module = ::dlopen(FAKE_TOKEN_MODULE, RTLD_NOW | RTLD_NOLOAD);
  if (!module) return -1;
  auto count = reinterpret_cast<int (*)(const char*)>(::dlsym(module, "fake_token_calls"));
  int calls = count ? count(call) : -1;
  ::dlclose(module);
  return calls;
}

inline int bad_attempts() { return ZYPGetUSProfileInt("Private", "BadAuth", -1); }

class DialogTest : public zyp::testing::UiScriptTest {
 protected:
  void SetUp() override {
    UiScriptTest::SetUp();
    presence_file_ = zyp::testing::make_temp_folder("fake") + "/present";
    insert_token();
    ::setenv("FAKE_TOKEN_PRESENCE_FILE", presence_file_.c_str(), 1);
    ZYPWriteUSProfileInt("Private", "BadAuth", 0);
  }
  void TearDown() override {
    detach_process();
    for (const char* name : {"FAKE_TOKEN_NEVER_SET_UP", "FAKE_TOKEN_INIT_FAILS", "FAKE_TOKEN_PIN_LOCKED",
                             "FAKE_TOKEN_SERIAL", "FAKE_TOKEN_SLOT", "FAKE_TOKEN_PULLED_ON_WRONG_PIN"}) {
      ::unsetenv(name);
    }
  }

  void attach() { ASSERT_TRUE(attach_with_module(FAKE_TOKEN_MODULE)); }
  void insert_token() { std::fclose(std::fopen(presence_file_.c_str(), "w")); }

  // The token has a record in use (a login under way or done).
  bool record_in_use(uint32_t token) {
    Provider* p = provider();
    std::lock_guard guard(p->lock());
    return record_of(*p, token) != nullptr;
  }

  std::string presence_file_;
};

}  // namespace zyp::prov::testing
