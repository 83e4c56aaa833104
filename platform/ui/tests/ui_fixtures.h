#pragma once
// Dialogs and handlers shared by the user-interface host's tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/lang_module.h"
#include "platform/ui/ui.h"
#include "testsupport/test_env.h"

namespace zyp::platform::ui::testing {

// A sign-in dialog in the shape of the suite's PIN dialogs.
inline constexpr char kSignInModule[] = R"(
dialog 300 "Sign in" size 200 100
  control 65535 static "PIN:" at 8 8 40 10
  control 1000 edit "" at 50 8 100 12 password limit 8
  control 6 static "" at 8 24 180 10
  control 1010 check "Remember the token" at 8 40 100 10
  control 65535 static "Token:" at 8 54 40 10
  control 1020 combo "" at 50 54 100 40
  control 1 button "OK" at 40 80 50 14 default
  control 2 button "Cancel" at 100 80 50 14
end
dialog 302 "Working" size 240 76
  control 1001 static "" at 48 10 184 10
  control 1000 progress "" at 48 28 184 10
  control 2 button "Cancel" at 95 54 50 14 default
end
)";

inline DialogTemplate dialog_template(const char* module_text, uint32_t number) {
  std::string error;
  auto module = parse_language_module(module_text, &error);
  EXPECT_TRUE(module) << error;
  return module ? *module->dialog(number) : DialogTemplate{};
}

// Accepts the PIN "1234"; a wrong PIN empties the edit and shows a message.
// OK is enabled once the PIN has 4 characters. Cancel ends with 9.
struct SignInHandler : DialogHandler {
  uint32_t timer_period = 100;  // 0: no timer
  int end_on_tick = 0;          // > 0: the timer ends the dialog with 0 on that tick
  int ticks = 0;
  std::vector<std::string> events;

  void on_init(Window& w) override {
    w.add_item(1020, "First token", 11);
    w.add_item(1020, "Second token", 22);
    w.select_item(1020, 0);
    w.enable(1, false);
    if (timer_period) w.set_timer(100, timer_period);
  }
  void on_command(Window& w, uint32_t control, uint32_t notification) override {
    if (control == 1000 && notification == kEditChanged) {
      w.set_text(6, "");
      w.enable(1, w.text(1000).size() >= 4);
    } else if (control == 1010) {
      events.push_back("remember " + std::to_string(w.checked(1010)));
    } else if (control == 1020 && notification == kSelectionChanged) {
      events.push_back("token " + std::to_string(w.item_data(1020, w.selected_item(1020))));
    } else if (control == 1 && w.text(1000) == "1234") {
      w.end(0);
    } else if (control == 1) {
      w.set_text(1000, "");
      w.set_text(6, "Wrong PIN");
    } else if (control == kCancelCommand) {
      events.push_back("cancel");
      w.end(9);
    }
  }
  void on_timer(Window& w, uint32_t timer) override {
    ++ticks;
    if (timer == 100 && ticks == end_on_tick) w.end(0);
  }
};

// Closes itself on Cancel, as the progress window does.
struct ProgressHandler : DialogHandler {
  void on_command(Window& w, uint32_t control, uint32_t) override {
    if (control == kCancelCommand) w.destroy();
  }
};

inline std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> lines;
  std::string text = read_whole_file(path).value_or("");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

inline bool has_line(const std::vector<std::string>& lines, const std::string& wanted) {
  for (const auto& line : lines) {
    if (line == wanted) return true;
  }
  return false;
}

inline bool has_line_starting(const std::vector<std::string>& lines, const std::string& start) {
  for (const auto& line : lines) {
    if (line.rfind(start, 0) == 0) return true;
  }
  return false;
}

}  // namespace zyp::platform::ui::testing
