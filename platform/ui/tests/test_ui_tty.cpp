// The tty backend driven for real: each test runs the dialog in a child
// process whose controlling terminal is a pseudo-terminal, and types into it.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/ui/tests/ui_fixtures.h"

namespace zyp::platform::ui::testing {
namespace {

constexpr int kWaitMs = 10'000;

// A child process on a pseudo-terminal, and what it wrote there.
class TerminalSession {
 public:
  template <typename Body>
  explicit TerminalSession(Body body) {
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) ::_exit(body());
  }
  ~TerminalSession() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      finish(kWaitMs);
    }
    if (master_ >= 0) ::close(master_);
  }
  bool started() const { return pid_ > 0; }

  // Reads until `text` has appeared after what earlier waits consumed.
  bool wait_for(const std::string& text) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
      size_t found = output_.find(text, consumed_);
      if (found != std::string::npos) {
        consumed_ = found + text.size();
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) return false;
    }
  }
  void type(const std::string& keys) { ASSERT_EQ(::write(master_, keys.data(), keys.size()), ssize_t(keys.size())); }

  // The child's exit status, -1 when it did not end in time.
  int finish(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (status_ < 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) return -1;
      read_some(20);
    }
    while (read_some(0)) {
    }
    return status_;
  }
  const std::string& output() const { return output_; }

 private:
  bool read_some(int timeout_ms) {
    pollfd ready{master_, POLLIN, 0};
    if (::poll(&ready, 1, timeout_ms) != 1) return false;
    char buffer[512];
    ssize_t got = ::read(master_, buffer, sizeof buffer);
    if (got <= 0) return false;
    output_.append(buffer, got);
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  int status_ = -1;
  std::string output_;
  size_t consumed_ = 0;
};

int run_sign_in() {
  auto ui = make_host("tty");
  if (ui->name() != "tty") return 100;
  SignInHandler handler;
  return ui->run_dialog(dialog_template(kSignInModule, 300), handler);
}

TEST(TtyHost, PinPromptDoesNotEchoAndAWrongPinAsksAgain) {
  TerminalSession session(run_sign_in);
  ASSERT_TRUE(session.started());
  ASSERT_TRUE(session.wait_for("== Sign in ==")) << session.output();
  ASSERT_TRUE(session.wait_for("PIN: ")) << session.output();
  session.type("9999\n");
  ASSERT_TRUE(session.wait_for("Remember the token (y/n) [n]: ")) << session.output();
  session.type("\n");
  ASSERT_TRUE(session.wait_for("2) Second token")) << session.output();
  ASSERT_TRUE(session.wait_for("Token [1]: ")) << session.output();
  session.type("\n");
  ASSERT_TRUE(session.wait_for("OK / Cancel [OK]: ")) << session.output();
  session.type("\n");
  ASSERT_TRUE(session.wait_for("Wrong PIN")) << session.output();
  ASSERT_TRUE(session.wait_for("PIN: ")) << session.output();
  session.type("1234\n");
  ASSERT_TRUE(session.wait_for("(y/n)")) << session.output();
  session.type("y\n");
  ASSERT_TRUE(session.wait_for("Token [1]: ")) << session.output();
  session.type("2\n");
  ASSERT_TRUE(session.wait_for("[OK]: ")) << session.output();
  session.type("ok\n");
  EXPECT_EQ(session.finish(kWaitMs), 0) << session.output();
  EXPECT_EQ(session.output().find("9999"), std::string::npos) << session.output();
  EXPECT_EQ(session.output().find("1234"), std::string::npos) << session.output();
}

int run_yes_no_box() {
  auto ui = make_host("tty");
  return ui->message_box("Erase report.doc for good?", "Quillmarsh Folder", kMbYesNo | kMbIconQuestion);
}

TEST(TtyHost, MessageBoxTakesAButtonByItsName) {
  TerminalSession session(run_yes_no_box);
  ASSERT_TRUE(session.started());
  ASSERT_TRUE(session.wait_for("Erase report.doc for good?")) << session.output();
  ASSERT_TRUE(session.wait_for("Yes / No [Yes]: ")) << session.output();
  session.type("maybe\n");  // not a button: asked again
  ASSERT_TRUE(session.wait_for("Yes / No [Yes]: ")) << session.output();
  session.type("n\n");
  EXPECT_EQ(session.finish(kWaitMs), kIdNo) << session.output();
}

int run_box_until_end_of_input() {
  auto ui = make_host("tty");
  return ui->message_box("Continue?", "", kMbYesNo);
}

TEST(TtyHost, EndOfInputDeclines) {
  TerminalSession session(run_box_until_end_of_input);
  ASSERT_TRUE(session.wait_for("[Yes]: ")) << session.output();
  session.type("\x04");  // Ctrl-D
  EXPECT_EQ(session.finish(kWaitMs), kIdNo) << session.output();
}

const char kInsertionModule[] = R"(
dialog 138 "Insert the token" size 160 50
  control 1028 static "Please insert your token." at 8 8 140 20
  control 2 button "Cancel" at 55 30 50 14
end
)";

// Ends with 0 on its third timer tick, as the insertion dialog does when the
// token arrives; the second tick changes the prompt.
int run_insertion() {
  struct Waits : DialogHandler {
    int ticks = 0;
    void on_init(Window& w) override { w.set_timer(100, 30); }
    void on_timer(Window& w, uint32_t) override {
      if (++ticks == 2) w.set_text(1028, "This is another token.");
      if (ticks == 3) w.end(0);
    }
    void on_command(Window& w, uint32_t control, uint32_t) override {
      if (control == kCancelCommand) w.end(9);
    }
  } handler;
  auto ui = make_host("tty");
  return ui->run_dialog(dialog_template(kInsertionModule, 138), handler);
}

TEST(TtyHost, TimersRunWhileThePromptWaits) {
  TerminalSession session(run_insertion);
  ASSERT_TRUE(session.wait_for("Please insert your token.")) << session.output();
  EXPECT_EQ(session.finish(kWaitMs), 0) << session.output();
  EXPECT_NE(session.output().find("This is another token."), std::string::npos) << session.output();
}

// Another thread posts Cancel to the dialog while its prompt waits, as the
// control panel's close call does.
int run_closed_from_another_thread() {
  struct Closable : DialogHandler {
    std::thread closer;
    void on_init(Window& w) override {
      closer = std::thread([&w] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        w.post_command(kCancelCommand);
      });
    }
    void on_command(Window& w, uint32_t control, uint32_t) override {
      if (control == kCancelCommand) w.end(9);
    }
  } handler;
  auto ui = make_host("tty");
  int result = ui->run_dialog(dialog_template(kInsertionModule, 138), handler);
  handler.closer.join();
  return result;
}

TEST(TtyHost, CommandPostedFromAnotherThreadReachesTheWaitingDialog) {
  TerminalSession session(run_closed_from_another_thread);
  EXPECT_EQ(session.finish(kWaitMs), 9) << session.output();
}

int run_progress() {
  ProgressHandler handler;
  auto ui = make_host("tty");
  auto window = ui->create_window(dialog_template(kSignInModule, 302), handler);
  window->set_text(1001, "report.doc");
  window->set_progress(1000, 40);
  ui->pump();
  window->set_progress(1000, 100);
  window->destroy();
  return 0;
}

TEST(TtyHost, ProgressWindowDrawsABarOnStderr) {
  TerminalSession session(run_progress);
  ASSERT_EQ(session.finish(kWaitMs), 0) << session.output();
  EXPECT_TRUE(session.wait_for("report.doc")) << session.output();
  EXPECT_TRUE(session.wait_for("[############..................] 40%")) << session.output();
  EXPECT_TRUE(session.wait_for("[##############################] 100%")) << session.output();
}

}  // namespace
}  // namespace zyp::platform::ui::testing
