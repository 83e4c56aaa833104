// The script backend: scripted user actions, the virtual clock, mismatches,
// the transcript and the script position shared between processes.
#include <chrono>

#include "platform/ui/tests/ui_fixtures.h"

namespace zyp::platform::ui::testing {
namespace {

class ScriptHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = zyp::testing::make_temp_folder("ui-script");
    script_ = folder_ + "/actions.txt";
    transcript_ = folder_ + "/transcript.txt";
  }
  // A host reading `script`, as a process started with ZYP_UI=script:FILE.
  std::unique_ptr<Host> scripted(const std::string& script) {
    EXPECT_TRUE(write_file_atomically(script_, script));
    auto made = make_host("script:" + script_, transcript_);
    EXPECT_EQ(made->name(), "script");
    return made;
  }
  std::vector<std::string> transcript() const { return lines_of(transcript_); }

  std::string folder_;
  std::string script_;
  std::string transcript_;
  DialogTemplate sign_in_ = dialog_template(kSignInModule, 300);
  DialogTemplate working_ = dialog_template(kSignInModule, 302);
};

TEST_F(ScriptHostTest, ScriptedUserSignsInAfterAWrongPin) {
  auto ui = scripted(R"(# a user who mistypes once
dialog 300 set 1000 "99"
dialog 300 set 1000 "1111"
dialog 300 click 1
dialog 300 check 1010 1
dialog 300 select 1020 1   # the second token
dialog 300 tick 2
dialog 300 set 1000 "1234"
dialog 300 click 1
)");
  SignInHandler handler;
  EXPECT_EQ(ui->run_dialog(sign_in_, handler), 0);
  EXPECT_EQ(handler.ticks, 2);
  EXPECT_EQ(handler.events, (std::vector<std::string>{"remember 1", "token 22"}));

  auto lines = transcript();
  EXPECT_EQ(lines.front(), "dialog 300 open \"Sign in\"");
  for (const char* expected : {
           "dialog 300 text 65535 \"PIN:\"",
           "dialog 300 enable 1 0",
           "dialog 300 items 1020 \"First token\" \"Second token\"",
           "dialog 300 select 1020 0",
           "dialog 300 user set 1000 \"****\"",
           "dialog 300 enable 1 1",
           "dialog 300 text 6 \"Wrong PIN\"",
           "dialog 300 text 1000 \"\"",
           "dialog 300 user select 1020 1",
           "dialog 300 user tick 2",
           "dialog 300 end 0",
       }) {
    EXPECT_TRUE(has_line(lines, expected)) << expected;
  }
  std::string all = read_whole_file(transcript_).value_or("");
  EXPECT_EQ(all.find("1234"), std::string::npos) << "the PIN is in the transcript";
  EXPECT_EQ(all.find("1111"), std::string::npos) << "the PIN is in the transcript";
}

TEST_F(ScriptHostTest, TypingFollowsTheEditsLimitAndDigitsOnlyStyle) {
  const char* module = R"(
dialog 310 "Code" size 100 40
  control 1000 edit "" at 0 0 50 10 limit 3
  control 1001 edit "" at 0 12 50 10 number
  control 1002 edit "" at 0 24 50 10 readonly
end
)";
  auto ui = scripted("dialog 310 set 1000 \"abcdef\"\ndialog 310 set 1001 \"12ab34\"\ndialog 310 set 1002 \"x\"\n");
  struct Keep : DialogHandler {
    std::string first, second;
    void on_command(Window& w, uint32_t, uint32_t) override {
      first = w.text(1000);
      second = w.text(1001);
    }
  } handler;
  EXPECT_EQ(ui->run_dialog(dialog_template(module, 310), handler), kIdCancel);
  EXPECT_EQ(handler.first, "abc");
  EXPECT_EQ(handler.second, "1234");
  EXPECT_TRUE(has_line_starting(transcript(), "mismatch dialog 310: line 3 \"dialog 310 set 1002 \\\"x\\\"\": control 1002 is read-only"));
}

TEST_F(ScriptHostTest, ActionsTheDialogCannotTakeCancelItAndAreRecorded) {
  struct Case {
    const char* script;
    const char* reason;  // the end of the mismatch line
    bool with_timer;
  };
  const Case cases[] = {
      {"", "the script has ended", true},
      {"dialog 300 click 1\n", "control 1 is disabled", true},
      {"dialog 300 set 6 \"x\"\n", "control 6 is not an edit", true},
      {"dialog 300 click 4242\n", "dialog 300 has no control 4242", true},
      {"dialog 300 select 1020 5\n", "control 1020 has no item 5 (it has 2)", true},
      {"dialog 300 check 1020 1\n", "control 1020 is not a check box", true},
      {"dialog 300 tick 1\n", "dialog 300 has no timer running", false},
      {"msgbox 6\n", "line 1 \"msgbox 6\" is not for this dialog", true},
      {"dialog 301 click 1\n", "line 1 \"dialog 301 click 1\" is not for this dialog", true},
      {"dialog 300 jump\n", "line 1 \"dialog 300 jump\": unknown dialog action jump", true},
      {"dialog 300 set 1000 1234\n", "the text to type must stand in double quotes", true},
      {"dialog 300 tick 1000001\n", "expected a tick count from 1 to 1000000, found 1000001", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    std::remove(transcript_.c_str());
    auto ui = scripted(c.script);
    SignInHandler handler;
    handler.timer_period = c.with_timer ? 100 : 0;
    EXPECT_EQ(ui->run_dialog(sign_in_, handler), 9);
    EXPECT_EQ(handler.events, std::vector<std::string>{"cancel"});
    auto lines = transcript();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(lines[lines.size() - 2].starts_with("mismatch dialog 300: ")) << lines[lines.size() - 2];
    EXPECT_TRUE(lines[lines.size() - 2].ends_with(c.reason)) << lines[lines.size() - 2];
    EXPECT_EQ(lines.back(), "dialog 300 end 9");
  }
}

TEST_F(ScriptHostTest, DialogWhoseHandlerIgnoresCancelEndsWithCancel) {
  auto ui = scripted("");
  DialogHandler ignores_everything;
  EXPECT_EQ(ui->run_dialog(sign_in_, ignores_everything), kIdCancel);
}

TEST_F(ScriptHostTest, LineForSomethingElseStaysForIt) {
  auto ui = scripted("msgbox 7\ndialog 300 click 2\n");
  SignInHandler handler;
  EXPECT_EQ(ui->run_dialog(sign_in_, handler), 9);  // mismatch: the msgbox line is next
  EXPECT_EQ(ui->message_box("Erase?", "Quillmarsh", kMbYesNo), kIdNo);
  SignInHandler second;
  EXPECT_EQ(ui->run_dialog(sign_in_, second), 9);  // the click on Cancel, not a mismatch
  EXPECT_FALSE(has_line_starting(transcript(), "mismatch dialog 300: line 2"));
}

TEST_F(ScriptHostTest, TimersRunOnTheVirtualClockAndLeftOverTicksAreDropped) {
  auto ui = scripted("dialog 300 tick 50\nmsgbox 1\n");
  SignInHandler handler;
  handler.timer_period = 10'000;
  handler.end_on_tick = 3;
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ui->run_dialog(sign_in_, handler), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(handler.ticks, 3);
  EXPECT_EQ(ui->message_box("Done", "", kMbOk), kIdOk);  // the tick line was used up whole

  auto slept = std::chrono::steady_clock::now();
  ui->sleep(60'000);
  EXPECT_LT(std::chrono::steady_clock::now() - slept, std::chrono::seconds(5));
  EXPECT_TRUE(has_line(transcript(), "sleep 60000"));
}

TEST_F(ScriptHostTest, TimersFireInTheOrderOfTheirDueTimes) {
  struct TwoTimers : DialogHandler {
    std::string fired;
    void on_init(Window& w) override {
      w.set_timer(1, 100);
      w.set_timer(2, 250);
    }
    void on_timer(Window& w, uint32_t timer) override {
      fired += std::to_string(timer);
      if (fired.size() == 5) w.end(0);
    }
  } handler;
  auto ui = scripted("dialog 300 tick 5\n");
  EXPECT_EQ(ui->run_dialog(sign_in_, handler), 0);
  EXPECT_EQ(handler.fired, "11211");  // at 100, 200, 250, 300, 400
}

TEST_F(ScriptHostTest, MessageBoxesTakeTheirAnswersAndRefuseButtonsTheyLack) {
  auto ui = scripted("msgbox 6\nmsgbox 4\nmsgbox 4\n");
  EXPECT_EQ(ui->message_box("Initialise the token?", "Quillmarsh", kMbYesNo | kMbIconQuestion), kIdYes);
  EXPECT_EQ(ui->message_box("Try again?", "Copy", kMbRetryCancel), kIdRetry);
  EXPECT_EQ(ui->message_box("Done.", "Copy", kMbOk), kIdOk);      // 4 is not on an OK box
  EXPECT_EQ(ui->message_box("Still there?", "", kMbYesNo), kIdNo);  // the script has ended
  auto lines = transcript();
  EXPECT_TRUE(has_line(lines, "msgbox \"Quillmarsh\" \"Initialise the token?\" style 0x24 -> 6"));
  EXPECT_TRUE(has_line(lines, "mismatch msgbox \"Done.\": line 3 \"msgbox 4\": the box has no button 4"));
  EXPECT_TRUE(has_line(lines, "mismatch msgbox \"Still there?\": the script has ended"));
}

TEST_F(ScriptHostTest, ChoosersTakeBrowseLines) {
  auto ui = scripted("browse /srv/backup keys\nbrowse\nbrowse \"/tmp/a \\\"b\\\"\"  # quoted\nmsgbox 1\n");
  ChooserOptions options;
  options.title = "Backup folder";
  EXPECT_EQ(ui->choose_folder(options), std::optional<std::string>("/srv/backup keys"));
  EXPECT_EQ(ui->choose_save_file(options), std::nullopt);
  EXPECT_EQ(ui->choose_open_file(options), std::optional<std::string>("/tmp/a \"b\""));
  EXPECT_EQ(ui->choose_folder(options), std::nullopt);  // the next line is a msgbox line
  auto lines = transcript();
  EXPECT_TRUE(has_line(lines, "browse folder \"Backup folder\" -> \"/srv/backup keys\""));
  EXPECT_TRUE(has_line(lines, "browse save \"Backup folder\" -> cancel"));
  EXPECT_TRUE(has_line_starting(lines, "mismatch browse \"Backup folder\": line 4 \"msgbox 1\""));
}

TEST_F(ScriptHostTest, ModelessWindowTakesItsLinesWhenPumped) {
  auto ui = scripted("msgbox 1\ndialog 302 click 2\n");
  ProgressHandler handler;
  auto window = ui->create_window(working_, handler);
  ASSERT_TRUE(window);
  uint32_t handle = window->handle();
  EXPECT_EQ(ui->find_window(handle), window);
  window->set_text(1001, "report.doc");
  window->set_progress(1000, 10);
  EXPECT_FALSE(ui->pump());  // the next line is for a message box
  window->set_progress(1000, 75);
  EXPECT_EQ(ui->message_box("Read-only file", "", kMbOkCancel), kIdOk);
  EXPECT_TRUE(ui->pump());  // Cancel clicked
  EXPECT_FALSE(window->alive());
  EXPECT_EQ(ui->find_window(handle), nullptr);
  EXPECT_FALSE(window->set_progress(1000, 90));
  EXPECT_FALSE(ui->pump());

  EXPECT_EQ(transcript(), (std::vector<std::string>{
                              "dialog 302 open \"Working\"",
                              "dialog 302 text 1001 \"report.doc\"",
                              "dialog 302 progress 1000 10",
                              "dialog 302 text 2 \"Cancel\"",
                              "dialog 302 progress 1000 75",
                              "msgbox \"\" \"Read-only file\" style 0x1 -> 1",
                              "dialog 302 user click 2",
                              "dialog 302 close",
                          }));
}

TEST_F(ScriptHostTest, ModalDialogPassesLinesToTheThreadsModelessWindows) {
  auto ui = scripted("dialog 302 click 2\ndialog 300 click 2\n");
  ProgressHandler progress;
  auto window = ui->create_window(working_, progress);
  SignInHandler handler;
  EXPECT_EQ(ui->run_dialog(sign_in_, handler), 9);
  EXPECT_FALSE(window->alive());
  EXPECT_FALSE(has_line_starting(transcript(), "mismatch"));
}

struct Files {
  std::string script;
  std::string transcript;
};

// Another program started with the same ZYP_UI and ZYP_UI_TRANSCRIPT.
int answer_from_own_host(void* files) {
  const Files& same = *static_cast<Files*>(files);
  auto ui = make_host("script:" + same.script, same.transcript);
  return ui->message_box("Second process", "", kMbYesNo) == kIdNo ? 0 : 1;
}

TEST_F(ScriptHostTest, ProcessesUsingTheSameScriptTakeLinesInTurn) {
  auto ui = scripted("msgbox 6\nmsgbox 7\nmsgbox 2\n");
  EXPECT_EQ(ui->message_box("First process", "", kMbYesNo), kIdYes);
  Files same{script_, transcript_};
  EXPECT_EQ(zyp::testing::run_in_child(answer_from_own_host, &same), 0);
  EXPECT_EQ(ui->message_box("First process again", "", kMbOkCancel), kIdCancel);
  auto lines = transcript();
  EXPECT_TRUE(has_line(lines, "msgbox \"\" \"Second process\" style 0x4 -> 7"));
  EXPECT_FALSE(has_line_starting(lines, "mismatch"));
}

TEST_F(ScriptHostTest, RewrittenScriptStartsAtTheTopAndAppendedLinesFollow) {
  auto ui = scripted("msgbox 6\n");
  EXPECT_EQ(ui->message_box("one", "", kMbYesNo), kIdYes);
  ASSERT_TRUE(write_file_atomically(script_, "msgbox 6\nmsgbox 7\n"));  // the same start: appended
  EXPECT_EQ(ui->message_box("two", "", kMbYesNo), kIdNo);
  ASSERT_TRUE(write_file_atomically(script_, "msgbox 1\n"));  // a new script
  EXPECT_EQ(ui->message_box("three", "", kMbOkCancel), kIdOk);
}

}  // namespace
}  // namespace zyp::platform::ui::testing
