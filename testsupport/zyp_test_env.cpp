// zyp_test_env: runs a test program in a fresh private set of the suite's
// folders and removes them afterwards, so that tests never touch the
// developer's own configuration and may run in parallel.
//   zyp_test_env PROGRAM [ARGS...]
// Every test program starts itself through this launcher before any of its
// libraries' load-time code runs (see test_main.cpp).
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string create_root() {
  const char* base = std::getenv("ZYP_TEST_TMP");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zyptest-XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

void point_environment_at(const std::string& root) {
  for (const char* sub : {"runtime", "user", "machine", "tmp"}) mkdir((root + "/" + sub).c_str(), 0700);
  setenv("ZYP_TEST_ROOT", root.c_str(), 1);
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

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: zyp_test_env PROGRAM [ARGS...]\n");
    return 2;
  }
  std::string root = create_root();
  if (root.empty()) {
    std::perror("zyp_test_env: cannot create the private test folder");
    return 125;
  }
  point_environment_at(root);
  pid_t child = fork();
  if (child < 0) return 125;
  if (child == 0) {
    execv(argv[1], argv + 1);
    std::perror("zyp_test_env: cannot start the test program");
    _exit(125);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return exit_status_of(status);
}
