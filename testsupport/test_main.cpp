#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr char kRootVariable[] = "ZYP_TEST_ROOT=";
constexpr char kLauncher[] = "zyp_test_env";

bool in_private_root(char** envp) {
  for (char** entry = envp; entry && *entry; ++entry) {
    if (std::strncmp(*entry, kRootVariable, sizeof kRootVariable - 1) == 0) return true;
  }
  return false;
}

void fail(const char* text) {
  ssize_t ignored = write(2, text, std::strlen(text));
  (void)ignored;
  _exit(125);
}

// Starts the program again through the launcher beside it, which gives it a
// private set of folders. This runs among the program's pre-initialisation
// functions, before the load-time code of the shared libraries it links (which
// attach the suite's shared blocks and read its settings), and before the C
// library is fully set up: so it uses fixed buffers and system calls only.
void enter_private_root_before_libraries(int argc, char** argv, char** envp) {
  if (in_private_root(envp)) return;
  static char self[4096];
  static char launcher[4096 + sizeof kLauncher];
  static char* args[512];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) fail("test: cannot find this program's file\n");
  self[n] = '\0';
  char* slash = std::strrchr(self, '/');
  size_t folder = static_cast<size_t>(slash - self) + 1;
  std::memcpy(launcher, self, folder);
  std::memcpy(launcher + folder, kLauncher, sizeof kLauncher);
  if (argc + 2 > static_cast<int>(sizeof args / sizeof args[0])) fail("test: too many arguments\n");
  args[0] = launcher;
  args[1] = self;
  for (int i = 1; i < argc; ++i) args[i + 1] = argv[i];
  args[argc + 1] = nullptr;
  execve(launcher, args, envp);
  fail("test: cannot start zyp_test_env beside the test program\n");
}

}  // namespace

__attribute__((section(".preinit_array"), used)) void (*const zyp_test_preinit)(int, char**, char**) =
    enter_private_root_before_libraries;

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
