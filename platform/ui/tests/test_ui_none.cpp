// The none backend (no user), the message box rules every backend shares,
// real-time timers and posted commands, and the choice of backend.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/ui/tests/ui_fixtures.h"

namespace zyp::platform::ui::testing {
namespace {

TEST(MessageBoxRules, DefaultAndEscapeButtonsFollowTheStyle) {
  struct Case {
    uint32_t style;
    int default_button;
    int escape_button;
  };
  const Case cases[] = {
      {kMbOk | kMbIconInformation, kIdOk, kIdOk},
      {kMbOkCancel, kIdOk, kIdCancel},
      {kMbOkCancel | kMbDefButton2, kIdCancel, kIdCancel},
      {kMbOkCancel | kMbDefButton3, kIdOk, kIdCancel},  // no third button: the first
      {kMbYesNo | kMbIconQuestion, kIdYes, kIdNo},
      {kMbYesNo | kMbDefButton2, kIdNo, kIdNo},
      {kMbYesNoCancel | kMbDefButton3, kIdCancel, kIdCancel},
      {kMbAbortRetryIgnore | kMbDefButton2, kIdRetry, kIdAbort},
      {kMbRetryCancel | kMbSetForeground | kMbTopmost, kIdRetry, kIdCancel},
      {kMbCancelTryContinue | kMbDefButton3, kIdContinue, kIdCancel},
  };
  auto ui = make_host("none");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.style);
    EXPECT_EQ(message_box_default(c.style), c.default_button);
    EXPECT_EQ(message_box_escape(c.style), c.escape_button);
    EXPECT_EQ(ui->message_box("text", "caption", c.style), c.default_button);
  }
}

class NoneHostTest : public ::testing::Test {
 protected:
  std::string transcript_ = zyp::testing::make_temp_folder("ui-none") + "/transcript.txt";
  std::unique_ptr<Host> ui_ = make_host("none", transcript_);
  DialogTemplate sign_in_ = dialog_template(kSignInModule, 300);
  DialogTemplate working_ = dialog_template(kSignInModule, 302);
};

TEST_F(NoneHostTest, DialogsEndAsCancelledWithoutWaiting) {
  SignInHandler handler;
  handler.timer_period = 60'000;
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ui_->run_dialog(sign_in_, handler), 9);  // the handler's own cancel result
  EXPECT_EQ(handler.events, std::vector<std::string>{"cancel"});
  DialogHandler ignores_cancel;
  EXPECT_EQ(ui_->run_dialog(sign_in_, ignores_cancel), kIdCancel);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

  auto lines = lines_of(transcript_);
  EXPECT_TRUE(has_line(lines, "dialog 300 open \"Sign in\""));
  EXPECT_TRUE(has_line(lines, "dialog 300 end 9"));
  EXPECT_TRUE(has_line(lines, "dialog 300 end 2"));
}

TEST_F(NoneHostTest, DialogEndedInItsInitIsNeverShown) {
  struct EndsAtOnce : DialogHandler {
    bool destroyed = false;
    void on_init(Window& w) override { w.end(0); }
    void on_paint(Window&) override { ADD_FAILURE() << "painted"; }
    void on_destroy(Window&) override { destroyed = true; }
  } handler;
  EXPECT_EQ(ui_->run_dialog(sign_in_, handler), 0);
  EXPECT_TRUE(handler.destroyed);
  EXPECT_TRUE(lines_of(transcript_).empty());
}

TEST_F(NoneHostTest, ChoosersAndMenusAreDismissed) {
  EXPECT_EQ(ui_->choose_folder({}), std::nullopt);
  EXPECT_EQ(ui_->choose_save_file({}), std::nullopt);
  MenuItem open{MenuItem::Kind::Command, 1033, "&Open session", false, false, {}};
  MenuItem separator{MenuItem::Kind::Separator, 0, "", false, false, {}};
  MenuItem about{MenuItem::Kind::Command, 1026, "About", true, false, {}};
  EXPECT_EQ(ui_->popup_menu({open, separator, about}, 1033), 0u);
  EXPECT_TRUE(has_line(lines_of(transcript_),
                       "menu 1033 \"&Open session\" default, -, 1026 \"About\" grayed -> 0"));
}

TEST_F(NoneHostTest, TrayIconCursorAndBeepAreRecorded) {
  {
    auto icon = ui_->add_tray_icon(102, "Quillmarsh Folder");
    ASSERT_TRUE(icon);
    icon->set_icon(107);
    icon->set_tooltip("Quillmarsh Folder - idle");
    ScopedWaitCursor waiting(*ui_);
    ScopedWaitCursor nested(*ui_);
    ui_->beep();
  }
  EXPECT_EQ(lines_of(transcript_), (std::vector<std::string>{
                                       "tray add 102 \"Quillmarsh Folder\"",
                                       "tray icon 107",
                                       "tray tooltip \"Quillmarsh Folder - idle\"",
                                       "cursor wait",
                                       "beep 0x30",
                                       "cursor normal",
                                       "tray remove",
                                   }));
}

// Counts what reaches a modeless window.
struct Recorder : DialogHandler {
  std::atomic<int> timers{0};
  std::atomic<uint32_t> command{0};
  void on_command(Window&, uint32_t control, uint32_t) override { command = control; }
  void on_timer(Window&, uint32_t) override { ++timers; }
};

TEST_F(NoneHostTest, CommandPostedFromAnotherThreadWakesTheWait) {
  Recorder handler;
  auto window = ui_->create_window(working_, handler);
  ASSERT_TRUE(window);
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    window->post_command(1234);
  });
  EXPECT_TRUE(ui_->wait_event(10'000));
  poster.join();
  EXPECT_EQ(handler.command.load(), 1234u);
  EXPECT_FALSE(ui_->pump());
}

TEST_F(NoneHostTest, TimersOfModelessWindowsRunInRealTime) {
  Recorder handler;
  auto window = ui_->create_window(working_, handler);
  ASSERT_TRUE(window->set_timer(7, 20));
  EXPECT_FALSE(ui_->pump());  // not due yet
  EXPECT_TRUE(ui_->wait_event(10'000));
  EXPECT_EQ(handler.timers.load(), 1);
  ASSERT_TRUE(window->kill_timer(7));
  EXPECT_FALSE(ui_->wait_event(50));
}

TEST_F(NoneHostTest, DestroyingAWindowTakesTheWindowsItOwns) {
  Recorder outer_handler, page_handler;
  auto outer = ui_->create_window(working_, outer_handler);
  WindowOptions page_options;
  page_options.owner = outer.get();
  page_options.child = true;
  auto page = ui_->create_window(sign_in_, page_handler, page_options);
  ASSERT_TRUE(outer && page);
  EXPECT_TRUE(outer->destroy());
  EXPECT_FALSE(page->alive());
  EXPECT_FALSE(page->set_text(6, "late"));
}

TEST(HostChoice, ZypUiNamesTheBackend) {
  struct Case {
    const char* spec;
    const char* backend;
  };
  const Case cases[] = {
      {"none", "none"}, {"script:/nowhere/actions.txt", "script"}, {"qt", "none"}, {"bogus", "none"}, {"script:", "none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec);
    auto ui = make_host(c.spec);
    ASSERT_TRUE(ui);
    EXPECT_EQ(ui->name(), c.backend);
  }
}

int backend_without_terminal(void* spec) {
  ::setsid();  // no controlling terminal any more
  auto ui = make_host(static_cast<const char*>(spec));
  return ui->name() == "none" ? 0 : 1;
}

TEST(HostChoice, WithoutATerminalTtyAndTheAutomaticChoiceAreNone) {
  char tty[] = "tty";
  char automatic[] = "";
  EXPECT_EQ(zyp::testing::run_in_child(backend_without_terminal, tty), 0);
  EXPECT_EQ(zyp::testing::run_in_child(backend_without_terminal, automatic), 0);
}

}  // namespace
}  // namespace zyp::platform::ui::testing
