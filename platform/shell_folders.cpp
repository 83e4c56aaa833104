#include "platform/shell_folders.h"

#include <cstdlib>
#include <optional>
#include <string_view>

#include "platform/registry.h"

namespace zyp::platform {
namespace {

constexpr char kShellFolders[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

std::optional<std::string> registry_folder(std::string_view name) {
  reg::Value value;
  if (reg::query_value(reg::Root::CurrentUser, kShellFolders, name, value) != 0) return std::nullopt;
  if (value.type != reg::kString && value.type != reg::kExpandString) return std::nullopt;
  std::string text(value.data.begin(), value.data.end());
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  if (text.empty()) return std::nullopt;
  return text;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string home_folder() {
  std::string home = environment("HOME");
  return home.empty() ? "/" : home;
}

}  // namespace

std::string desktop_folder() {
  if (auto folder = registry_folder("Desktop")) return *folder;
  std::string xdg = environment("XDG_DESKTOP_DIR");
  return xdg.empty() ? home_folder() + "/Desktop" : xdg;
}

std::string start_menu_folder() {
  if (auto folder = registry_folder("Start Menu")) return *folder;
  std::string data = environment("XDG_DATA_HOME");
  return (data.empty() ? home_folder() + "/.local/share" : data) + "/applications";
}

}  // namespace zyp::platform
