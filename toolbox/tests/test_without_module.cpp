// Without its language module the toolbox makes no progress window and has
// no default picture, and the about box falls back to the template the
// library carries itself. The module is loaded when the library is loaded,
// so each test runs again in a child process whose library finds none.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/ui.h"
#include "testsupport/ui_script.h"
#include "zyp/zypprof.h"
#include "zyp/zyptools.h"

extern char** environ;

namespace zyp::tools::testing {
namespace {

constexpr char kChildMark[] = "ZYP_TOOLBOX_TEST_WITHOUT_MODULE";

// Runs the current test in a child whose toolbox finds an empty resource
// folder; its exit status (or -1 when it did not end within a minute).
int run_without_module() {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  std::string empty = zyp::testing::make_temp_folder("no-resources");
  const char* configured = getenv("ZYP_RESOURCE_DIR");
  std::string kept = configured ? configured : "";
  setenv("ZYP_RESOURCE_DIR", empty.c_str(), 1);
  setenv(kChildMark, "1", 1);
  char self[] = "/proc/self/exe";
  std::vector<char*> args{self, filter.data(), nullptr};
  pid_t child = -1;
  int spawned = posix_spawn(&child, self, nullptr, nullptr, args.data(), environ);
  unsetenv(kChildMark);
  if (configured) {
    setenv("ZYP_RESOURCE_DIR", kept.c_str(), 1);
  } else {
    unsetenv("ZYP_RESOURCE_DIR");
  }
  if (spawned != 0) return -1;
  int status = 0;
  for (auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);;) {
    if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (std::chrono::steady_clock::now() > give_up) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

class WithoutModule : public zyp::testing::UiScriptTest {
 protected:
  bool in_child() const { return getenv(kChildMark) != nullptr; }
};

TEST_F(WithoutModule, NoProgressWindowAndNoDefaultPicture) {
  if (!in_child()) {
    ASSERT_EQ(run_without_module(), 0);
    return;
  }
  EXPECT_EQ(ZYPInitProgress(nullptr, "Working", 0), nullptr);

  ASSERT_NE(ZYPWriteProfileString("General", "Animation", ""), 0);
  ASSERT_NE(ZYPWriteProfileString("General", "Bitmap", ""), 0);
  const char* module = "dialog 300 \"Sign in\" size 200 100\n  control 1024 picture \"\" at 8 8 32 32\nend\n";
  auto dialog = platform::parse_language_module(module);
  ASSERT_TRUE(dialog);
  auto host = platform::ui::make_host("none");
  platform::ui::DialogHandler handler;
  auto window = host->create_window(*dialog->dialog(300), handler);
  ZYPAnimation* animation = ZYPSetAnimation(window_handle(window.get()), nullptr, 1024);
  ZYPAnimate(window_handle(window.get()), nullptr, 1024);
  EXPECT_EQ(window->picture(1024), "");
  ZYPDeleteAnimation(animation);
  window->destroy();
}

TEST_F(WithoutModule, AboutBoxUsesTheBuiltInTemplate) {
  if (!in_child()) {
    ASSERT_EQ(run_without_module(), 0);
    return;
  }
  ASSERT_NE(ZYPWriteProfileString("General", "AppTitle", "Quillmarsh Folder"), 0);
  ZYPReloadConfig();
  script("dialog ABOUTENU click 1\n");
  ZYPAbout(nullptr, nullptr, 101, 0);
  EXPECT_EQ(transcript().front(), "dialog ABOUTENU open \"About\"");
  EXPECT_TRUE(transcript_has("dialog ABOUTENU text 1001 \"Quillmarsh Folder\""));
  EXPECT_EQ(transcript().back(), "dialog ABOUTENU end 1");
}

}  // namespace
}  // namespace zyp::tools::testing
