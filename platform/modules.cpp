#include "platform/modules.h"

#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <link.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/last_error.h"

extern char** environ;

namespace zyp::platform {
namespace {

char to_lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower_ascii(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = to_lower_ascii(c);
  return lowered;
}

bool ends_with_ignoring_case(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && lower_ascii(text.substr(text.size() - suffix.size())) == suffix;
}

std::string folder_of(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::optional<std::string> real_path(const char* path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path, nullptr), &std::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) != 0;
}

std::vector<std::string> split_search_path(const char* list) {
  std::vector<std::string> folders;
  if (!list) return folders;
  std::string_view rest(list);
  while (true) {
    size_t colon = rest.find(':');
    std::string_view folder = rest.substr(0, colon);
    folders.emplace_back(folder.empty() ? "." : folder);  // an empty entry means the current folder
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return folders;
}

// The folder of the file the dynamic loader mapped this code from: the
// program itself when the platform library is linked into it, else the
// shared library that holds it.
std::optional<std::string> binary_folder() {
  static const int anchor = 0;
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(&anchor, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) return std::nullopt;
  bool main_program = !map || !map->l_name || map->l_name[0] == '\0';
  auto file = real_path(main_program ? "/proc/self/exe" : map->l_name);
  if (!file) return std::nullopt;
  return folder_of(*file);
}

// The suite's own folders for a kind of file: "<binary>/../<kind>" (the
// installed and the build-tree layout) and the binary's own folder.
std::vector<std::string> suite_folders(const char* kind) {
  std::vector<std::string> folders;
  if (auto folder = binary_folder()) {
    folders.push_back(folder_of(*folder) + "/" + kind);
    folders.push_back(*folder);
  }
  return folders;
}

// The folders the dynamic loader searches by default, after LD_LIBRARY_PATH:
// the C library's own folder stands for the multiarch one.
std::vector<std::string> loader_folders() {
  std::vector<std::string> folders = split_search_path(std::getenv("LD_LIBRARY_PATH"));
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&::gnu_get_libc_version), &info) != 0 && info.dli_fname) {
    if (auto libc = real_path(info.dli_fname)) {
      std::string folder = folder_of(*libc);
      folders.push_back(folder);
      if (folder.rfind("/usr/", 0) != 0) folders.push_back("/usr" + folder);
    }
  }
  for (const char* folder : {"/usr/local/lib", "/lib64", "/usr/lib64", "/lib", "/usr/lib"})
    folders.emplace_back(folder);
  return folders;
}

std::optional<std::string> find_in(const std::vector<std::string>& folders, const std::string& name,
                                   bool (*accept)(const std::string&)) {
  for (const std::string& folder : folders) {
    std::string path = folder + "/" + name;
    if (accept(path)) return path;
  }
  return std::nullopt;
}

std::optional<std::string> find_module_unguarded(std::string_view windows_name) {
  std::string name = linux_file_name(windows_name);
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) return is_regular_file(name) ? std::optional(name) : std::nullopt;
  if (auto own = find_in(suite_folders("lib"), name, &is_regular_file)) return own;
  return find_in(loader_folders(), name, &is_regular_file);
}

std::optional<std::string> find_program_unguarded(std::string_view windows_name) {
  std::string name = linux_file_name(windows_name);
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string::npos) return is_executable_file(name) ? std::optional(name) : std::nullopt;
  if (auto own = find_in(suite_folders("bin"), name, &is_executable_file)) return own;
  const char* path = std::getenv("PATH");
  return find_in(split_search_path(path ? path : "/usr/local/bin:/usr/bin:/bin"), name, &is_executable_file);
}

int exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// The child starts with no blocked signals and with default handling of the
// signals this process ignores (a server often ignores SIGPIPE).
void reset_signals(posix_spawnattr_t& attr) {
  sigset_t none, ignored;
  sigemptyset(&none);
  sigemptyset(&ignored);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    struct sigaction action {};
    if (::sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) sigaddset(&ignored, sig);
  }
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &ignored);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

int start_program(const std::string& path, const std::vector<std::string>& args, pid_t& pid, bool quiet) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  reset_signals(attr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  int err = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return err;
}

int spawn_program_unguarded(std::string_view program, const std::vector<std::string>& args, bool wait, pid_t* child,
                            bool quiet) {
  auto path = find_program(program);
  if (!path) {
    set_last_error(kErrorFileNotFound);
    return -1;
  }
  pid_t pid = 0;
  if (int err = start_program(*path, args, pid, quiet); err != 0) {
    set_last_error(win_error_from_errno(err));
    return -1;
  }
  if (child) *child = pid;
  return wait ? wait_for_program(pid) : 0;
}

}  // namespace

std::string linux_file_name(std::string_view windows_name) {
  std::string name(windows_name);
  if (name.find('/') != std::string::npos || name.size() <= 4) return name;
  std::string_view stem = windows_name.substr(0, windows_name.size() - 4);
  if (ends_with_ignoring_case(windows_name, ".dll") || ends_with_ignoring_case(windows_name, ".cpl"))
    return "lib" + lower_ascii(stem) + ".so";
  if (ends_with_ignoring_case(windows_name, ".exe")) return lower_ascii(stem);
  return name;
}

std::optional<std::string> find_module(std::string_view windows_name) {
  try {
    return find_module_unguarded(windows_name);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::string> find_program(std::string_view windows_name) {
  try {
    return find_program_unguarded(windows_name);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::string> running_binary_folder() {
  try {
    return binary_folder();
  } catch (...) {
    return std::nullopt;
  }
}

void* load_module(std::string_view windows_name, std::string* error) {
  try {
    // The suite's own copy first; otherwise the loader's own search decides,
    // which also honours its cache and the caller's run path.
    std::string target = linux_file_name(windows_name);
    if (target.find('/') == std::string::npos) {
      if (auto own = find_in(suite_folders("lib"), target, &is_regular_file)) target = *own;
    }
    ::dlerror();
    void* module = ::dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
      const char* text = ::dlerror();
      if (error) *error = text ? text : "cannot load " + target;
      set_last_error(kErrorFileNotFound);
    }
    return module;
  } catch (...) {
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

void* module_symbol(void* module, const char* symbol) {
  if (!module || !symbol) return nullptr;
  return ::dlsym(module, symbol);
}

void unload_module(void* module) {
  if (module) ::dlclose(module);
}

int spawn_program(std::string_view program, const std::vector<std::string>& args, bool wait, pid_t* child) {
  try {
    return spawn_program_unguarded(program, args, wait, child, false);
  } catch (...) {
    set_last_error(kErrorNotEnoughMemory);
    return -1;
  }
}

int run_program_quietly(std::string_view program, const std::vector<std::string>& args) {
  try {
    return spawn_program_unguarded(program, args, true, nullptr, true);
  } catch (...) {
    set_last_error(kErrorNotEnoughMemory);
    return -1;
  }
}

int wait_for_program(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return exit_code(status);
}

}  // namespace zyp::platform
