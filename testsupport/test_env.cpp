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

int exit_status_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

}  // namespace

const std::string& test_root() {
  static const std::string root = [] {
    const char* value = std::getenv(kRootVariable);
    if (!value) throw std::runtime_error("the test program runs outside its private root");
    return std::string(value);
  }();
  return root;
}

std::string build_folder() {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return self.parent_path().parent_path().string();  // <build>/tests/<program>
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
