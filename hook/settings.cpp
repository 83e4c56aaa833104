// The automatic settings: kept in the profile, cached in the shared block,
// and (AutoDecrypt, AutoSecureErase) told to the device.
#include <atomic>

#include "hook/file_library.h"
#include "hook/hook_state.h"
#include "platform/export_guard.h"
#include "platform/hookdev/protocol.h"
#include "zyp/zyphook.h"
#include "zyp/zypprof.h"

using zyp::platform::guarded;
namespace hookdev = zyp::hookdev;

namespace zyp::hook {
namespace {

constexpr char kSection[] = "General";
// What the user scope answers when it has no value.
constexpr uint32_t kNoUserValue = 0x80000000u;

constexpr char kAutoDecrypt[] = "AutoDecrypt";
constexpr char kAutoSecureErase[] = "AutoSecureErase";
constexpr char kAutoCheckSign[] = "AutoCheckSign";
constexpr char kOpenSessionOnStart[] = "OpenSessionOnStart";

uint32_t read_user_over_machine(const char* name, uint32_t machine_default) {
  uint32_t user = ZYPGetUSProfileDWord(kSection, name, kNoUserValue);
  return user != kNoUserValue ? user : ZYPGetProfileDWord(kSection, name, machine_default);
}

void store_cache(uint32_t SharedHookState::*field, uint32_t value) {
  if (SharedHookState* shared = shared_state()) std::atomic_ref<uint32_t>(shared->*field).store(value);
}

// The cached value, or the profile's when the block is not attached.
uint32_t cached(uint32_t SharedHookState::*field, uint32_t (*read)()) {
  if (SharedHookState* shared = shared_state()) return std::atomic_ref<uint32_t>(shared->*field).load();
  return read();
}

uint32_t read_auto_decrypt() { return ZYPGetProfileDWord(kSection, kAutoDecrypt, 0); }
uint32_t read_auto_secure_erase() { return read_user_over_machine(kAutoSecureErase, 0); }
uint32_t read_auto_check_sign() { return read_user_over_machine(kAutoCheckSign, 0); }

void send_word(uint32_t code, const void* input, size_t input_size) {
  uint32_t result = ZYPHOOK_NO_DEVICE;
  device_control(code, input, input_size, &result, sizeof result);
}

int set_auto_decrypt(uint32_t flag) {
  store_cache(&SharedHookState::auto_decrypt, flag);
  ZYPWriteProfileDWord(kSection, kAutoDecrypt, flag);
  if (device_available()) send_word(hookdev::kAutoDecrypt, &flag, sizeof flag);
  return 0;
}

}  // namespace

void load_settings() {
  set_auto_decrypt(read_auto_decrypt());
  store_cache(&SharedHookState::auto_secure_erase, read_auto_secure_erase());
  store_cache(&SharedHookState::auto_check_sign, read_auto_check_sign());
}

}  // namespace zyp::hook

using namespace zyp::hook;

ZYP_API uint32_t ZYPGetAutoDecrypt(void) {
  return guarded(0u, [] { return cached(&SharedHookState::auto_decrypt, read_auto_decrypt); });
}

ZYP_API int ZYPSetAutoDecrypt(uint32_t flag) {
  return guarded(0, [&] { return set_auto_decrypt(flag); });
}

ZYP_API uint32_t ZYPGetAutoSecureErase(void) {
  return guarded(0u, [] { return cached(&SharedHookState::auto_secure_erase, read_auto_secure_erase); });
}

ZYP_API int ZYPSetAutoSecureErase(uint32_t flag) {
  return guarded(0, [&] {
    store_cache(&SharedHookState::auto_secure_erase, flag);
    ZYPWriteUSProfileDWord(kSection, kAutoSecureErase, flag);
    hookdev::SecureEraseSetting setting{flag, secure_erase_passes()};
    send_word(hookdev::kAutoSecureErase, &setting, sizeof setting);
    return 0;
  });
}

ZYP_API uint32_t ZYPGetAutoCheckSign(void) {
  return guarded(0u, [] { return cached(&SharedHookState::auto_check_sign, read_auto_check_sign); });
}

ZYP_API int ZYPSetAutoCheckSign(uint32_t flag) {
  return guarded(0, [&] {
    store_cache(&SharedHookState::auto_check_sign, flag);
    ZYPWriteUSProfileDWord(kSection, kAutoCheckSign, flag);
    return 0;
  });
}

ZYP_API uint32_t ZYPGetAutoOpenSession(void) {
  return guarded(1u, [] { return read_user_over_machine(kOpenSessionOnStart, 1); });
}

ZYP_API int ZYPSetAutoOpenSession(uint32_t flag) {
  return guarded(0, [&] {
    ZYPWriteUSProfileDWord(kSection, kOpenSessionOnStart, flag);
    return 0;
  });
}
