#include "platform/dirs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zyp::platform {
namespace {

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string home_dir() {
  std::string home = env_or_empty("HOME");
  return home.empty() ? std::string("/") : home;
}

std::string xdg_dir(const char* variable, const char* fallback_below_home) {
  std::string base = env_or_empty(variable);
  if (base.empty()) base = home_dir() + fallback_below_home;
  return base + "/zyp";
}

void set_error(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

std::string default_runtime_dir() {
  std::string xdg = env_or_empty("XDG_RUNTIME_DIR");
  if (!xdg.empty()) return xdg + "/zyp";
  return "/tmp/zyp-" + std::to_string(geteuid());
}

bool runtime_dir_is_safe(const std::string& dir, std::string* error) {
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) {
    set_error(error, "cannot use the runtime folder " + dir + ": " + std::strerror(errno));
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    set_error(error, "the runtime folder " + dir +
                         " is not a folder (or is a symbolic link); remove it or set ZYP_RUNTIME_DIR");
    return false;
  }
  if (st.st_uid != geteuid()) {
    set_error(error, "the runtime folder " + dir + " belongs to another user (uid " +
                         std::to_string(st.st_uid) + "); set ZYP_RUNTIME_DIR to a folder of your own");
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    set_error(error, "the runtime folder " + dir + " is open to other users (mode " + mode +
                         "); run 'chmod 700 " + dir + "' or set ZYP_RUNTIME_DIR");
    return false;
  }
  return true;
}

bool is_plain_name_char(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.' || c == ' ';
}

}  // namespace

bool make_folders(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  auto slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !make_folders(path.substr(0, slash), mode)) return false;
  if (mkdir(path.c_str(), mode) == 0 || errno == EEXIST) return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return false;
}

std::optional<std::string> runtime_dir(std::string* error) {
  std::string dir = env_or_empty("ZYP_RUNTIME_DIR");
  if (dir.empty()) dir = default_runtime_dir();
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) {
    auto slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) make_folders(dir.substr(0, slash), 0700);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      set_error(error, "cannot create the runtime folder " + dir + ": " + std::strerror(errno));
      return std::nullopt;
    }
  }
  if (!runtime_dir_is_safe(dir, error)) return std::nullopt;
  return dir;
}

std::string user_dir() {
  std::string dir = env_or_empty("ZYP_USER_DIR");
  return dir.empty() ? xdg_dir("XDG_CONFIG_HOME", "/.config") : dir;
}

std::string machine_dir() {
  std::string dir = env_or_empty("ZYP_MACHINE_DIR");
  return dir.empty() ? xdg_dir("XDG_DATA_HOME", "/.local/share") : dir;
}

std::string temp_dir() {
  std::string dir = env_or_empty("TMPDIR");
  return dir.empty() ? std::string("/tmp") : dir;
}

std::optional<std::string> object_path(std::string_view name, std::string_view suffix, std::string* error) {
  if (name.empty()) {
    set_error(error, "a named object needs a name");
    return std::nullopt;
  }
  auto dir = runtime_dir(error);
  if (!dir) return std::nullopt;
  std::string path = *dir + "/";
  for (unsigned char c : name) {
    if (is_plain_name_char(c)) {
      path += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      path += escaped;
    }
  }
  path += suffix;
  return path;
}

}  // namespace zyp::platform
