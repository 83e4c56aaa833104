#include "platform/shell_folders.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "platform/atomic_file.h"
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

// XDG_DESKTOP_DIR="$HOME/Desktop" in the user's user-dirs.dirs (the
// xdg-user-dirs layout: a quoted absolute path or one starting with $HOME).
std::optional<std::string> xdg_user_dir(std::string_view name) {
  std::string config = environment("XDG_CONFIG_HOME");
  if (config.empty()) config = home_folder() + "/.config";
  std::optional<std::string> text = read_whole_file(config + "/user-dirs.dirs");
  if (!text) return std::nullopt;
  const std::string prefix = std::string(name) + "=\"";
  for (size_t start = 0; start < text->size();) {
    size_t end = std::min(text->find('\n', start), text->size());
    std::string_view line(text->data() + start, end - start);
    start = end + 1;
    if (!line.starts_with(prefix) || !line.ends_with('"') || line.size() <= prefix.size()) continue;
    std::string_view value = line.substr(prefix.size(), line.size() - prefix.size() - 1);
    if (value.starts_with("$HOME")) return home_folder() + std::string(value.substr(5));
    if (value.starts_with('/')) return std::string(value);
  }
  return std::nullopt;
}

}  // namespace

std::string desktop_folder() {
  if (auto folder = registry_folder("Desktop")) return *folder;
  if (auto folder = xdg_user_dir("XDG_DESKTOP_DIR")) return *folder;
  return home_folder() + "/Desktop";
}

std::string start_menu_folder() {
  if (auto folder = registry_folder("Start Menu")) return *folder;
  std::string data = environment("XDG_DATA_HOME");
  return (data.empty() ? home_folder() + "/.local/share" : data) + "/applications";
}

}  // namespace zyp::platform
