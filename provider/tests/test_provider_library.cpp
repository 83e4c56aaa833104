// libzypprov.so loaded as a program loads it: attach at load, detach at
// unload, and a refused attach that leaves every call failing cleanly.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/shared_memory.h"
#include "provider/frame.h"
#include "zyp/zypprof.h"
#include "zyp/zypprov.h"

namespace {

class Library {
 public:
  explicit Library(const char* module) {
    ZYPWriteProfileString("General", "SOFTTOK", module);
    // The sanitizer runtime may keep an unloaded library mapped, and then its
    // load hooks do not run again.
    if (void* kept = ::dlopen(ZYPPROV_LIBRARY, RTLD_NOW | RTLD_NOLOAD)) {
      ::dlclose(kept);
      fresh_ = false;
    }
    handle_ = ::dlopen(ZYPPROV_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  }
  ~Library() {
    if (handle_) ::dlclose(handle_);
  }
  bool loaded() const { return handle_ != nullptr; }
  // Loaded anew here, so that its attach ran with this module.
  bool fresh() const { return fresh_; }

  template <typename Function>
  Function* symbol(const char* name) const {
    void* address = ::dlsym(handle_, name);
    if (!address) ADD_FAILURE() << name << " is not exported";
    return reinterpret_cast<Function*>(address);
  }

 private:
  void* handle_ = nullptr;
  bool fresh_ = true;
};

#define CALL(library, name, ...) (library).symbol<decltype(name)>(#name)(__VA_ARGS__)

// Every export, with harmless arguments: what each answers when the token
// module could not be loaded.
void expect_every_call_refused(const Library& lib) {
  ZYPCIPListEntry list[2];
  uint32_t count = 2, length = 8, bits = 0, id = 0, block = 0;
  char name[16];
  uint8_t buffer[16] = {};
  ZYPRecoveryKeyRecord private_record{};
  ZYPRecoveryPublicRecord public_record{};
  const uint32_t des = CKM_DES_CBC;
  EXPECT_EQ(CALL(lib, ZYPCIPReloadConfig), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPSetCheckPresence, 1), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPSetInactivityTime, 5), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPSetInactivity, 0), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPCloseSession, 0), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPCloseSessionEx, 0), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPEnumToken, list, &count), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPEnumAlgorithm, 0, 1, list, &count), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPEnumKey, 0, des, 1, list, &count), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPGetTokenName, 0, name, &length), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPGetAlgoName, 0, des, name, &length), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPGetKeyName, 0, 1, name, &length), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPGetKeyFormat, 0, des, 1, &bits), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPGenerateRandomKey, 0, des, 1, "l", &id), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPGenerateKeyFromSentence, 0, des, 1, "l", "s", &id), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPGenerateKeyFromBin, 0, des, 1, "l", buffer, 8, &id), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPDeleteKey, 0, 1), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPGetBlockSize, 0, des, &block), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPCryptBuffer, 0, des, 1, buffer, &length), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPDecryptBuffer, 0, des, 1, buffer, &length), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPHashBuffer, 0, CKM_SHA_1, buffer, 8, buffer, &length), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPSignBuffer, 0, des, 1, buffer, 8, buffer, &length), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPVerifyBuffer, 0, des, 1, buffer, 8, buffer, 8), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPSetKeyRecoveryPublicKey, 0, 0, &private_record, &public_record), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPGetKeyRecoveryField, 0, 1, 0, buffer, &length), ZYPCIP_NO_TOKEN_MODULE);
  EXPECT_EQ(CALL(lib, ZYPCIPGetBinKeyRecoveryField, 0, des, buffer, 8, 0, buffer, &length), ZYPCIP_NO_TOKEN_MODULE);
  // The yes/no calls answer no.
  EXPECT_EQ(CALL(lib, ZYPCIPIsStrongCryptoEnabled, 0), 0);
  EXPECT_EQ(CALL(lib, ZYPCIPIsCompanyKeyRecoveryActive, 0), 0);
  EXPECT_EQ(CALL(lib, ZYPCIPGenerateSessionKeyFromKeyRecoveryField, 0, des, buffer, 16, "l", 1, private_record), 0);
}

TEST(Library, ARefusedAttachLeavesEveryCallFailing) {
  struct Case {
    const char* what;
    const char* module;
    const char* switch_variable;  // steers the test module
    const char* why;              // in the load error
  } cases[] = {
      {"module missing", "/nonexistent/libnothing.so", nullptr, "cannot be loaded: "},
      {"no C_GetFunctionList", NO_TOKEN_MODULE, nullptr, "has no C_GetFunctionList"},
      {"C_GetFunctionList fails", FAKE_TOKEN_MODULE, "FAKE_TOKEN_REFUSE", "complete function list"},
      {"function list with holes", FAKE_TOKEN_MODULE, "FAKE_TOKEN_INCOMPLETE", "complete function list"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.switch_variable) ::setenv(c.switch_variable, "1", 1);
    {
      Library lib(c.module);
      ASSERT_TRUE(lib.loaded()) << "a refused attach still loads";
      expect_every_call_refused(lib);
      char reason[512] = {};
      EXPECT_EQ(CALL(lib, ZYPGetProviderLoadError, reason, sizeof reason), 1);
      if (lib.fresh()) {
        EXPECT_NE(std::string(reason).find(c.module), std::string::npos) << reason;
        EXPECT_NE(std::string(reason).find(c.why), std::string::npos) << reason;
      }
      EXPECT_EQ(zyp::platform::SharedMemory::open(zyp::prov::kSharedVariablesName), nullptr)
          << "the shared state is left as before";
    }
    if (c.switch_variable) ::unsetenv(c.switch_variable);
  }
}

TEST(Library, LoadAndUnloadStartAndStopTheProvider) {
  for (int round = 0; round < 2; ++round) {
    Library lib(FAKE_TOKEN_MODULE);
    ASSERT_TRUE(lib.loaded());
    EXPECT_EQ(CALL(lib, ZYPCIPSetCheckPresence, 1), 0) << "the watchers have work when the library goes";
    EXPECT_EQ(CALL(lib, ZYPGetProviderLoadError, nullptr, 0u), 0);
    uint32_t count = 0;
    EXPECT_EQ(CALL(lib, ZYPCIPEnumToken, nullptr, &count), 1);
    EXPECT_EQ(count, 2u);
    auto shared = zyp::platform::SharedMemory::open(zyp::prov::kSharedVariablesName);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(static_cast<const zyp::prov::SharedVariables*>(shared->data())->load_count, 1) << "round " << round;
  }
}

}  // namespace
