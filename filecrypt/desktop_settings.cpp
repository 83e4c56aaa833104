#include "filecrypt/desktop_settings.h"

#include <charconv>
#include <string>

#include "platform/registry.h"

namespace zyp::file::desktop {
namespace {

using platform::reg::Root;

constexpr char kDesktopKey[] = "Control Panel\\Desktop";
constexpr char kSecureValue[] = "ScreenSaverIsSecure";
constexpr char kTimeoutValue[] = "ScreenSaveTimeOut";

bool set_number(const char* name, uint32_t number) {
  return platform::reg::set_string(Root::CurrentUser, kDesktopKey, name, std::to_string(number)) == 0;
}

// A text value holding a decimal number (its terminating zero aside).
std::optional<uint32_t> number(const char* name) {
  platform::reg::Value value;
  if (platform::reg::query_value(Root::CurrentUser, kDesktopKey, name, value) != 0) return std::nullopt;
  if (value.type != platform::reg::kString) return std::nullopt;
  std::string text(value.data.begin(), value.data.end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  uint32_t parsed = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return parsed;
}

}  // namespace

bool set_screen_saver_secure(uint32_t flag) { return set_number(kSecureValue, flag); }
std::optional<uint32_t> screen_saver_secure() { return number(kSecureValue); }

bool set_screen_saver_timeout(uint32_t seconds) { return set_number(kTimeoutValue, seconds); }
std::optional<uint32_t> screen_saver_timeout() { return number(kTimeoutValue); }

}  // namespace zyp::file::desktop
