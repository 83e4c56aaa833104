// The qt backend on real widgets (offscreen): each scenario is run once by
// the script backend and once by a user acting on the Qt widgets with key and
// mouse events (the driven mode performs the same script lines that way).
// Both runs must end the same and leave the same transcript.
#include <stdlib.h>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <clocale>
#include <functional>
#include <optional>
#include <future>
#include <thread>

#include "platform/ui/tests/ui_fixtures.h"

namespace zyp::platform::ui::testing {
namespace {

struct Outcome {
  int result = 0;
  std::vector<std::string> events;
  std::vector<std::string> transcript;
};

class QtHostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::setenv("QT_QPA_PLATFORM", "offscreen", 1); }

  // Runs `steps` on a host of `backend` ("script" or "qt") whose user
  // performs `script`.
  Outcome run(const std::string& backend, const std::string& script,
              const std::function<int(Host&, std::vector<std::string>&)>& steps) {
    std::string folder = zyp::testing::make_temp_folder("ui-" + backend);
    std::string actions = folder + "/actions.txt";
    std::string transcript = folder + "/transcript.txt";
    EXPECT_TRUE(write_file_atomically(actions, script));
    std::unique_ptr<Host> host;
    if (backend == "qt") {
      ::setenv("ZYP_UI_QT_DRIVE", actions.c_str(), 1);
      host = make_host("qt", transcript);
      ::unsetenv("ZYP_UI_QT_DRIVE");
    } else {
      host = make_host("script:" + actions, transcript);
    }
    EXPECT_EQ(host->name(), backend);
    Outcome outcome;
    outcome.result = steps(*host, outcome.events);
    host.reset();
    outcome.transcript = lines_of(transcript);
    return outcome;
  }

  void expect_same_in_both(const std::string& script,
                           const std::function<int(Host&, std::vector<std::string>&)>& steps, int result) {
    Outcome scripted = run("script", script, steps);
    Outcome real = run("qt", script, steps);
    EXPECT_EQ(scripted.result, result);
    EXPECT_EQ(real.result, result);
    EXPECT_EQ(real.events, scripted.events);
    EXPECT_EQ(real.transcript, scripted.transcript);
  }

  DialogTemplate sign_in_ = dialog_template(kSignInModule, 300);
  DialogTemplate working_ = dialog_template(kSignInModule, 302);
};

TEST_F(QtHostTest, TheSignInDialogEndsAsScripted) {
  struct Case {
    const char* what;
    const char* script;
    int result;
  };
  const Case cases[] = {
      {"a wrong PIN, then the right one after choosing the second token",
       "dialog 300 set 1000 \"9999\"\n"
       "dialog 300 click 1\n"
       "dialog 300 check 1010 1\n"
       "dialog 300 select 1020 1\n"
       "dialog 300 set 1000 \"1234\"\n"
       "dialog 300 click 1\n",
       0},
      {"typing past the edit's limit keeps its first characters", "dialog 300 set 1000 \"1234567890\"\ndialog 300 click 1\n",
       9},
      {"Cancel", "dialog 300 set 1000 \"12\"\ndialog 300 click 2\n", 9},
      {"a click on the disabled OK closes the dialog as Escape does", "dialog 300 set 1000 \"12\"\ndialog 300 click 1\n", 9},
      {"a script that ends while the dialog waits", "dialog 300 set 1000 \"1\"\n", 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    expect_same_in_both(
        c.script,
        [&](Host& host, std::vector<std::string>& events) {
          SignInHandler handler;
          handler.timer_period = 0;
          int result = host.run_dialog(sign_in_, handler);
          events = handler.events;
          return result;
        },
        c.result);
  }
}

TEST_F(QtHostTest, AMessageBoxGivesTheButtonTheUserPressed) {
  struct Case {
    const char* what;
    const char* script;
    int result;
  };
  const Case cases[] = {
      {"No", "msgbox 7\n", kIdNo},
      {"Yes", "msgbox 6\n", kIdYes},
      {"a button the box lacks closes it as Escape does", "msgbox 2\n", kIdNo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    expect_same_in_both(
        c.script,
        [](Host& host, std::vector<std::string>&) {
          return host.message_box("Initialise the token now?", "Quillmarsh Folder",
                                  kMbYesNo | kMbIconQuestion | kMbDefButton2);
        },
        c.result);
  }
}

TEST_F(QtHostTest, TheProgressWindowClosesOnItsCancel) {
  expect_same_in_both(
      "dialog 302 click 2\n",
      [&](Host& host, std::vector<std::string>& events) {
        ProgressHandler handler;
        auto window = host.create_window(working_, handler);
        window->set_text(1001, "Processing report.odt");
        window->set_progress(1000, 40);
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (window->alive() && std::chrono::steady_clock::now() < give_up) {
          if (!host.wait_event(20)) std::this_thread::yield();
        }
        events.push_back(window->alive() ? "still open" : "closed");
        if (window->alive()) window->destroy();
        return 0;
      },
      0);
}

// A dialog of every kind of choice: radio buttons, a check box, a list, a
// list view with columns and a tab strip.
constexpr char kChoicesModule[] = R"(
dialog 310 "Choices" size 250 150
  control 1101 radio "&Small" at 8 8 60 10 checked
  control 1102 radio "&Large" at 8 20 60 10
  control 1103 check "&Compress" at 8 32 60 10
  control 1110 list "" at 80 8 70 40
  control 1120 listview "" at 8 54 150 60
  control 1130 tab "" at 160 8 80 14
  control 1 button "OK" at 190 130 50 14 default
end
)";

struct ChoicesHandler : DialogHandler {
  std::vector<std::string> events;
  void on_init(Window& w) override {
    for (const char* name : {"Documents", "Pictures", "Music"}) w.add_item(1110, name);
    w.add_column(1120, "Name", 16);
    w.add_column(1120, "Size", 8, ColumnAlign::Right);
    for (const char* name : {"report.odt", "photo.jpg"}) {
      int row = w.add_item(1120, name);
      w.set_item_text(1120, row, 1, std::to_string(row + 1) + " KB");
    }
    w.add_item(1130, "General");
    w.add_item(1130, "Keys");
    w.select_item(1130, 0);
  }
  void on_command(Window& w, uint32_t control, uint32_t notification) override {
    if (control == 1) {
      w.end(0);
      return;
    }
    std::string state = std::to_string(control) + ":" + std::to_string(notification);
    for (uint32_t box : {1101u, 1102u, 1103u}) state += " " + std::to_string(w.checked(box));
    for (uint32_t list : {1110u, 1120u, 1130u}) state += " " + std::to_string(w.selected_item(list));
    events.push_back(state);
  }
};

TEST_F(QtHostTest, EveryKindOfChoiceIsMadeOnTheWidgetsAsScripted) {
  DialogTemplate choices = dialog_template(kChoicesModule, 310);
  expect_same_in_both(
      "dialog 310 check 1102 1\n"
      "dialog 310 click 1103\n"
      "dialog 310 check 1103 1\n"
      "dialog 310 select 1110 2\n"
      "dialog 310 select 1120 1\n"
      "dialog 310 select 1130 1\n"
      "dialog 310 click 1101\n"
      "dialog 310 click 1\n",
      [&](Host& host, std::vector<std::string>& events) {
        ChoicesHandler handler;
        int result = host.run_dialog(choices, handler);
        events = handler.events;
        return result;
      },
      0);
}

// Records on which thread each event came.
struct ThreadsHandler : DialogHandler {
  std::vector<std::pair<std::string, std::thread::id>> events;
  int ticks = 0;
  void note(const char* what) { events.emplace_back(what, std::this_thread::get_id()); }
  void on_init(Window& w) override {
    note("init");
    w.set_timer(7, 10);
  }
  void on_paint(Window&) override { note("paint"); }
  void on_timer(Window& w, uint32_t) override {
    note("timer");
    if (++ticks == 3) w.post_command(1);
  }
  void on_command(Window& w, uint32_t control, uint32_t) override {
    note("command");
    if (control == 1) w.end(0);
  }
  void on_destroy(Window&) override { note("destroy"); }
};

TEST_F(QtHostTest, EveryEventOfADialogRunsOnItsOwnThreadWithTimersOnTheRealClock) {
  auto host = make_host("qt");
  ThreadsHandler handler;
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(host->run_dialog(sign_in_, handler), 0);
  // Three ticks 10 ms apart, on a clock of whole milliseconds.
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(25));
  std::vector<std::string> kinds;
  for (const auto& [what, thread] : handler.events) {
    kinds.push_back(what);
    EXPECT_EQ(thread, std::this_thread::get_id()) << what;
  }
  EXPECT_EQ(kinds, (std::vector<std::string>{"init", "paint", "timer", "timer", "timer", "command", "destroy"}));
}

// The visible dialog or message box with that caption, null when none is.
QWidget* shown_window(const QString& caption) {
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->isVisible() && window->windowTitle() == caption) return window;
  }
  return nullptr;
}

// A person at the keyboard: once `act` finds what it needs on screen (on the
// toolkit's thread), it acts there; false when it never did.
bool act_on_screen(const std::function<bool()>& act) {
  for (auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       std::chrono::steady_clock::now() < give_up;) {
    bool done = false;
    QMetaObject::invokeMethod(qApp, [&] { done = act(); }, Qt::BlockingQueuedConnection);
    if (done) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(QtHostTest, EnterPressesTheDefaultButtonAndEscapeCancels) {
  struct Case {
    const char* what;
    Qt::Key key;
    int result;
    std::vector<std::string> events;
  };
  const Case cases[] = {
      {"Enter after a PIN long enough for OK", Qt::Key_Return, 0, {}},
      {"Escape", Qt::Key_Escape, 9, {"cancel"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto host = make_host("qt");
    SignInHandler handler;
    handler.timer_period = 0;
    auto person = std::async(std::launch::async, [&] {
      bool typed = act_on_screen([] {
        QWidget* dialog = shown_window(QStringLiteral("Sign in"));
        auto* edit = dialog ? dialog->findChild<QLineEdit*>() : nullptr;
        if (!edit) return false;
        QTest::keyClicks(edit, QStringLiteral("1234"));
        return true;
      });
      // OK is enabled once the handler has seen the four digits.
      return typed && act_on_screen([&] {
               QWidget* dialog = shown_window(QStringLiteral("Sign in"));
               if (!dialog) return false;
               for (auto* button : dialog->findChildren<QPushButton*>()) {
                 if (button->text() == QStringLiteral("OK") && !button->isEnabled()) return false;
               }
               QTest::keyClick(dialog->findChild<QLineEdit*>(), c.key);
               return true;
             });
    });
    EXPECT_EQ(host->run_dialog(sign_in_, handler), c.result);
    EXPECT_TRUE(person.get());
    EXPECT_EQ(handler.events, c.events);
  }
}

TEST_F(QtHostTest, EnterInAMessageBoxTakesItsDefaultButtonAndEscapeItsDecliningOne) {
  struct Case {
    const char* what;
    uint32_t style;
    Qt::Key key;
    int result;
  };
  const Case cases[] = {
      {"Enter, second button the default", kMbYesNo | kMbDefButton2, Qt::Key_Return, kIdNo},
      {"Enter, first button the default", kMbYesNo | kMbDefButton1, Qt::Key_Return, kIdYes},
      {"Escape on Yes/No", kMbYesNo, Qt::Key_Escape, kIdNo},
      {"Escape on Yes/No/Cancel", kMbYesNoCancel, Qt::Key_Escape, kIdCancel},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto host = make_host("qt");
    auto person = std::async(std::launch::async, [&] {
      return act_on_screen([&] {
        QWidget* box = shown_window(QStringLiteral("Question"));
        if (!box) return false;
        QTest::keyClick(box, c.key);
        return true;
      });
    });
    EXPECT_EQ(host->message_box("Go on?", "Question", c.style), c.result);
    EXPECT_TRUE(person.get());
  }
}

TEST_F(QtHostTest, ChoosersGiveThePathTheUserChose) {
  std::string folder = zyp::testing::make_temp_folder("chosen");
  ASSERT_TRUE(write_file_atomically(folder + "/letter.txt", "text"));
  struct Case {
    const char* what;
    std::string script;
    std::function<std::optional<std::string>(Host&, const ChooserOptions&)> choose;
    std::optional<std::string> chosen;
  };
  const Case cases[] = {
      {"a file to open", "browse " + folder + "/letter.txt\n",
       [](Host& host, const ChooserOptions& options) { return host.choose_open_file(options); }, folder + "/letter.txt"},
      {"a new file to save", "browse " + folder + "/new.txt\n",
       [](Host& host, const ChooserOptions& options) { return host.choose_save_file(options); }, folder + "/new.txt"},
      {"a folder", "browse " + folder + "\n",
       [](Host& host, const ChooserOptions& options) { return host.choose_folder(options); }, folder},
      {"cancelled", "browse\n",
       [](Host& host, const ChooserOptions& options) { return host.choose_open_file(options); }, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<std::string> chosen[2];
    Outcome outcome[2];
    for (int qt = 0; qt < 2; ++qt) {
      outcome[qt] = run(qt ? "qt" : "script", c.script, [&](Host& host, std::vector<std::string>&) {
        ChooserOptions options;
        options.title = "Choose";
        options.initial = folder;
        chosen[qt] = c.choose(host, options);
        return 0;
      });
      EXPECT_EQ(chosen[qt], c.chosen) << (qt ? "qt" : "script");
    }
    EXPECT_EQ(outcome[1].transcript, outcome[0].transcript);
  }
}

std::vector<MenuItem> sample_menu() {
  MenuItem open{MenuItem::Kind::Command, 1001, "&Open", false, false, {}};
  MenuItem separator{MenuItem::Kind::Separator, 0, "", false, false, {}};
  MenuItem details{MenuItem::Kind::Command, 1002, "&Details", true, false, {}};
  MenuItem more{MenuItem::Kind::Popup, 0, "&More", false, false, {details}};
  return {open, separator, more};
}

TEST_F(QtHostTest, APopupMenuIsDismissedAsScripted) {
  expect_same_in_both(
      "", [](Host& host, std::vector<std::string>&) { return static_cast<int>(host.popup_menu(sample_menu(), 1001)); },
      0);
}

TEST_F(QtHostTest, APopupMenuGivesTheCommandTheUserChose) {
  auto host = make_host("qt");
  auto person = std::async(std::launch::async, [] {
    return act_on_screen([] {
      for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible() || !qobject_cast<QMenu*>(window)) continue;
        QTest::keyClick(window, Qt::Key_Down);
        QTest::keyClick(window, Qt::Key_Return);
        return true;
      }
      return false;
    });
  });
  EXPECT_EQ(host->popup_menu(sample_menu(), 1001), 1001u);
  EXPECT_TRUE(person.get());
}

// Qt sets the C locale from the environment when it starts; the program's
// number formats must not change under it.
TEST_F(QtHostTest, StartingTheToolkitLeavesTheProcessLocaleAsItWas) {
  ::setenv("LC_ALL", "C.UTF-8", 1);
  const std::string before = std::setlocale(LC_ALL, nullptr);
  auto host = make_host("qt");
  ::unsetenv("LC_ALL");
  EXPECT_EQ(host->name(), "qt");
  EXPECT_EQ(std::setlocale(LC_ALL, nullptr), before);
}

TEST_F(QtHostTest, WithoutANotificationAreaThereIsNoTrayIcon) {
  Outcome outcome = run("qt", "", [](Host& host, std::vector<std::string>&) {
    return host.add_tray_icon(1, "Quillmarsh Folder") == nullptr ? 1 : 0;
  });
  EXPECT_EQ(outcome.result, 1);
}

}  // namespace
}  // namespace zyp::platform::ui::testing
