#include "platform/dirs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>

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

bool runtime_dir_is_safe(const std::string& dir, uid_t euid, std::string* error) {
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
  if (st.st_uid != euid) {
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

namespace {

// The last check of the runtime folder made by this thread: which folder
// (by the hash of its path), for which user, and when. Every named object
// finds its file through runtime_dir(), and checking the folder costs system
// calls each time, so a passed check is trusted for a short while: a folder
// that becomes unsafe or is replaced is refused again within
// kRuntimeDirRecheck, and another folder (a changed variable) is checked at
// once. Kept per thread and trivially destructible: no lock that a fork could
// leave held, and no exit handler, which would keep a library that links this
// code loaded after its dlclose.
constexpr auto kRuntimeDirRecheck = std::chrono::milliseconds(250);

struct RuntimeDirCheck {
  bool passed = false;
  uid_t euid = 0;
  size_t path_hash = 0;
  std::chrono::steady_clock::time_point at;
};

thread_local RuntimeDirCheck t_runtime_dir_check;

std::string runtime_dir_path(uid_t euid) {
  std::string dir = env_or_empty("ZYP_RUNTIME_DIR");
  if (!dir.empty()) return dir;
  std::string xdg = env_or_empty("XDG_RUNTIME_DIR");
  if (!xdg.empty()) return xdg + "/zyp";
  return "/tmp/zyp-" + std::to_string(euid);
}

// Creates the runtime folder when missing and checks that it is safe.
bool make_safe_runtime_dir(const std::string& dir, uid_t euid, std::string* error) {
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) {
    auto slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) make_folders(dir.substr(0, slash), 0700);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      set_error(error, "cannot create the runtime folder " + dir + ": " + std::strerror(errno));
      return false;
    }
  }
  return runtime_dir_is_safe(dir, euid, error);
}

}  // namespace

std::optional<std::string> runtime_dir(std::string* error) {
  RuntimeDirCheck& check = t_runtime_dir_check;
  auto now = std::chrono::steady_clock::now();
  bool recent = check.passed && now - check.at < kRuntimeDirRecheck;
  uid_t euid = recent ? check.euid : geteuid();
  std::string dir = runtime_dir_path(euid);
  size_t path_hash = std::hash<std::string>{}(dir);
  if (recent && path_hash == check.path_hash) return dir;
  check.passed = false;
  if (!make_safe_runtime_dir(dir, euid, error)) return std::nullopt;
  check = RuntimeDirCheck{true, euid, path_hash, now};
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
