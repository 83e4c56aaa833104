// The secure erase calls.
#include <string>

#include "filecrypt/erase.h"
#include "filecrypt/library_state.h"
#include "filecrypt/settings.h"
#include "platform/export_guard.h"
#include "platform/files.h"
#include "zyp/zypfile.h"
#include "zyp/zyptools.h"

using zyp::platform::guarded;
using zyp::file::CachedSetting;

namespace {

constexpr uint32_t kProgressTitle = 3;
constexpr int kTitleSize = 260;
constexpr int kUnexpected = zyp::file::kCannotOpen;

// One call's erase: the passes of the shared setting, the library's texts.
zyp::file::EraseContext erase_context(ZYPWindow* window, float max_percent) {
  return {.passes = zyp::file::cached_setting(CachedSetting::erase_passes),
          .window = window,
          .max_percent = max_percent,
          .strings = zyp::file::resources()};
}

}  // namespace

ZYP_API int ZYPSecureErase(const char* path) {
  return guarded(kUnexpected, [&] {
    if (!path) return ZYPFILE_NULL_ARGUMENT;
    ZYPWindow* window = nullptr;
    if (zyp::file::cached_setting(CachedSetting::progress)) {
      char title[kTitleSize] = {};
      ZYPLoadString(zyp::file::resources(), title, sizeof title, kProgressTitle);
      window = ZYPInitProgress(nullptr, title, 0);
    }
    int result = ZYPSecureEraseEx(path, window, 100.0f);
    if (window) ZYPDestroyProgress(window);
    return result;
  });
}

ZYP_API int ZYPSecureEraseEx(const char* path, ZYPWindow* window, float maxPercent) {
  return guarded(kUnexpected, [&] {
    if (!path) return ZYPFILE_NULL_ARGUMENT;
    auto context = erase_context(window, maxPercent);
    return zyp::file::erase_path(path, context);
  });
}

ZYP_API int ZYPSecureEraseFolderEx(const char* folder, ZYPWindow* window, float maxPercent) {
  return guarded(kUnexpected, [&] {
    if (!folder) return ZYPFILE_NULL_ARGUMENT;
    if (!zyp::platform::file_exists(folder)) return int{zyp::file::kMissing};
    if (!zyp::platform::is_folder(folder)) return int{zyp::file::kCannotDelete};
    auto context = erase_context(window, maxPercent);
    return zyp::file::erase_path(folder, context);
  });
}

ZYP_API int ZYPSecureEraseFileEx(const char* file, ZYPWindow* window, float maxPercent) {
  return guarded(kUnexpected, [&] {
    if (!file) return ZYPFILE_NULL_ARGUMENT;
    auto context = erase_context(window, maxPercent);
    return zyp::file::erase_file(file, context);
  });
}

ZYP_API int ZYPDeleteFile(const char* file) {
  return guarded(0, [&] { return file && zyp::platform::delete_file(file) ? 1 : 0; });
}
