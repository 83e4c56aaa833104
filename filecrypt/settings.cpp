// The settings calls: progress, compression, erase passes, token presence.
#include "filecrypt/settings.h"

#include <atomic>

#include "platform/export_guard.h"
#include "zyp/zypclient.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"

using zyp::platform::guarded;

namespace zyp::file {
namespace {

constexpr char kSection[] = "General";
// What the user scope answers when it has no value.
constexpr uint32_t kNoUserValue = 0x80000000u;

struct SettingRow {
  const char* name;
  uint32_t machine_default;
  uint32_t SharedSettings::*cache;
};

SettingRow row_of(CachedSetting setting) {
  switch (setting) {
    case CachedSetting::progress:
      return {"ProgressBar", 1, &SharedSettings::progress};
    case CachedSetting::compression:
      return {"ActiveCompression", 0, &SharedSettings::compression};
    case CachedSetting::erase_passes:
      break;
  }
  return {"SecureEraseCycle", 3, &SharedSettings::erase_passes};
}

uint32_t read_general(const char* name, uint32_t machine_default) {
  uint32_t user = ZYPGetUSProfileDWord(kSection, name, kNoUserValue);
  return user != kNoUserValue ? user : ZYPGetProfileDWord(kSection, name, machine_default);
}

void store_cache(SettingRow row, SharedSettings* shared, uint32_t value) {
  if (shared) std::atomic_ref<uint32_t>(shared->*row.cache).store(value);
}

int set_cached(CachedSetting setting, uint32_t value) {
  SettingRow row = row_of(setting);
  store_cache(row, shared_settings(), value);
  ZYPWriteUSProfileDWord(kSection, row.name, value);
  return ZYPFILE_OK;
}

uint32_t get_cached(CachedSetting setting, uint32_t on_failure) {
  return guarded(on_failure, [&] { return refresh_setting(setting, shared_settings()); });
}

}  // namespace

uint32_t refresh_setting(CachedSetting setting, SharedSettings* shared) {
  SettingRow row = row_of(setting);
  uint32_t value = read_general(row.name, row.machine_default);
  store_cache(row, shared, value);
  return value;
}

namespace {
// This process's own compression choice (-1: follow the shared setting).
std::atomic<int32_t> compression_for_process{-1};
}  // namespace

uint32_t cached_setting(CachedSetting setting) {
  if (setting == CachedSetting::compression) {
    int32_t own = compression_for_process.load();
    if (own >= 0) return static_cast<uint32_t>(own);
  }
  SharedSettings* shared = shared_settings();
  if (!shared) return read_general(row_of(setting).name, row_of(setting).machine_default);
  return std::atomic_ref<uint32_t>(shared->*row_of(setting).cache).load();
}

}  // namespace zyp::file

using zyp::file::CachedSetting;

ZYP_API int ZYPSetProgressState(uint32_t state) {
  return guarded(0, [&] { return zyp::file::set_cached(CachedSetting::progress, state); });
}
ZYP_API uint32_t ZYPGetProgressState(void) { return zyp::file::get_cached(CachedSetting::progress, 1); }

ZYP_API void ZYPSetProcessCompression(int32_t mode) {
  zyp::file::compression_for_process.store(mode < 0 ? -1 : (mode != 0 ? 1 : 0));
}

ZYP_API int ZYPSetCompressionMode(uint32_t mode) {
  return guarded(0, [&] { return zyp::file::set_cached(CachedSetting::compression, mode); });
}
ZYP_API uint32_t ZYPGetCompressionMode(void) { return zyp::file::get_cached(CachedSetting::compression, 0); }

ZYP_API int ZYPSetSecureEraseCycle(uint32_t passes) {
  return guarded(0, [&] { return zyp::file::set_cached(CachedSetting::erase_passes, passes); });
}
ZYP_API uint32_t ZYPGetSecureEraseCycle(void) { return zyp::file::get_cached(CachedSetting::erase_passes, 3); }

ZYP_API int ZYPSetCheckPresence(uint32_t flag) {
  return guarded(0, [&] {
    ZYPWriteUSProfileDWord(zyp::file::kSection, "CheckTokenPresence", flag);
    ZYPCIPSetCheckPresence(static_cast<int32_t>(flag));
    return ZYPFILE_OK;
  });
}

ZYP_API uint32_t ZYPGetCheckPresence(void) {
  return guarded(1u, [] { return zyp::file::read_general("CheckTokenPresence", 1); });
}
