// The screen-saver calls: the user's profile keeps what was asked for, the
// desktop settings what is in force.
#include <limits>

#include "filecrypt/desktop_settings.h"
#include "platform/export_guard.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"

using zyp::platform::guarded;

namespace {

constexpr char kSection[] = "General";
constexpr uint32_t kSecondsPerMinute = 60;
// The longest delay whose seconds still fit the 32-bit values.
constexpr uint32_t kMostMinutes = std::numeric_limits<uint32_t>::max() / kSecondsPerMinute;

}  // namespace

ZYP_API int ZYPSetInactivity(uint32_t flag) {
  return guarded(0, [&] {
    ZYPWriteUSProfileDWord(kSection, "PwdKeepAlive", flag);
    zyp::file::desktop::set_screen_saver_secure(flag);
    return ZYPFILE_OK;
  });
}

ZYP_API uint32_t ZYPGetInactivity(void) {
  return guarded(0u, [] { return zyp::file::desktop::screen_saver_secure().value_or(0); });
}

ZYP_API int ZYPSetInactivityTime(uint32_t minutes) {
  return guarded(0, [&] {
    uint32_t seconds = (minutes < kMostMinutes ? minutes : kMostMinutes) * kSecondsPerMinute;
    ZYPWriteUSProfileDWord(kSection, "PwdKeepAliveDelay", seconds);
    zyp::file::desktop::set_screen_saver_timeout(seconds);
    return ZYPFILE_OK;
  });
}

ZYP_API uint32_t ZYPGetInactivityTime(void) {
  return guarded(0u, [] { return zyp::file::desktop::screen_saver_timeout().value_or(0) / kSecondsPerMinute; });
}
