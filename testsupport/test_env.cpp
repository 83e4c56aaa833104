#include "testsupport/test_env.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace zyp::testing {
namespace {

constexpr char kRootVariable[] = "ZYP_TEST_ROOT";

std::string create_root() {
  const char* base = std::getenv("ZYP_TEST_TMP");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zyptest-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create the test root " + pattern);
  return pattern;
}

void point_environment_at(const std::string& root) {
  for (const char* sub : {"runtime", "user", "machine", "tmp"}) {
    std::string dir = root + "/" + sub;
    mkdir(dir.c_str(), 0700);
  }
  setenv(kRootVariable, root.c_str(), 1);
  setenv("ZYP_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
  setenv("ZYP_USER_DIR", (root + "/user").c_str(), 1);
  setenv("ZYP_MACHINE_DIR", (root + "/machine").c_str(), 1);
  setenv("TMPDIR", (root + "/tmp").c_str(), 1);
  setenv("ZYP_UI", "none", 1);
  setenv("ZYP_LANG", "ENU", 1);
}

int exit_status_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

}  // namespace

int run_in_private_root(char** argv) {
  if (std::getenv(kRootVariable)) return -1;
  std::string root = create_root();
  point_environment_at(root);
  pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    execv("/proc/self/exe", argv);
    _exit(127);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return exit_status_of(status);
}

const std::string& test_root() {
  static const std::string root = [] {
    const char* value = std::getenv(kRootVariable);
    if (!value) throw std::runtime_error("the test program runs outside its private root");
    return std::string(value);
  }();
  return root;
}

std::string make_temp_folder(const std::string& stem) {
  static std::atomic<int> counter{0};
  std::string dir = test_root() + "/" + stem + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  std::filesystem::create_directories(dir);
  return dir;
}

int run_in_child(int (*body)(void*), void* arg) {
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) _exit(body(arg));
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return exit_status_of(status);
}

}  // namespace zyp::testing
