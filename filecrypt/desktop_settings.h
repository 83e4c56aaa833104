#pragma once
// The desktop settings that the screen-saver calls change: registry values of
// HKEY_CURRENT_USER "Control Panel\Desktop", stored as text as the desktop
// keeps them. Nothing here starts or stops a real screen saver.
#include <cstdint>
#include <optional>

namespace zyp::file::desktop {

// "ScreenSaverIsSecure": whether the screen saver locks the session.
bool set_screen_saver_secure(uint32_t flag);
std::optional<uint32_t> screen_saver_secure();

// "ScreenSaveTimeOut": the delay before the screen saver starts, in seconds.
bool set_screen_saver_timeout(uint32_t seconds);
std::optional<uint32_t> screen_saver_timeout();

}  // namespace zyp::file::desktop
