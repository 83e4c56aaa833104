// The script backend: user actions come from a script file, timers run on
// a virtual clock that only `dialog N tick COUNT` and sleeps move, so scripted
// runs are fast and always end: an action that does not fit, or a script that
// runs out, closes what waits for it and is recorded as a mismatch.
#include <algorithm>

#include "platform/ui/model.h"
#include "platform/ui/script.h"

namespace zyp::platform::ui::detail {
namespace {

using Verb = ScriptAction::Verb;

std::string line_of(const ScriptAction& action) {
  return "line " + std::to_string(action.line) + " " + quote(action.source);
}

class ScriptHost final : public ModelHost {
 public:
  ScriptHost(std::string script, std::string transcript)
      : ModelHost(std::move(transcript)), cursor_(std::move(script)) {}

  std::string_view name() const override { return "script"; }

 protected:
  bool virtual_clock() const override { return true; }

  void wait_for_user(ModelWindow& dialog) override {
    std::string problem;
    auto action = cursor_.next(
        [&](const ScriptAction& next) {
          return next.verb == Verb::Invalid || (next.for_dialog() && target_window(next.dialog, &dialog));
        },
        &problem);
    const std::string what = "dialog " + dialog.dialog_id();
    if (!action) {
      record_mismatch(what, problem.empty() ? "the script has ended" : problem);
    } else if (action->verb == Verb::Invalid) {
      record_mismatch(what, line_of(*action) + ": " + action->error);
    } else if (auto target = action->for_dialog() ? target_window(action->dialog, &dialog) : nullptr) {
      perform(*target, *action);
      return;
    } else {
      record_mismatch(what, line_of(*action) + " is not for this dialog");
    }
    cancel(dialog);
  }

  bool take_window_action() override {
    auto action = cursor_.next([&](const ScriptAction& next) {
      return next.for_dialog() && target_window(next.dialog, nullptr) != nullptr;
    });
    if (!action || !action->for_dialog()) return false;
    auto target = target_window(action->dialog, nullptr);
    if (!target) return false;  // the line stays for whoever it is for
    perform(*target, *action);
    return true;
  }

  int ask_message_box(const MessageBoxRequest& request) override {
    std::string problem;
    auto action = cursor_.next(
        [](const ScriptAction& next) { return next.verb == Verb::MsgBox || next.verb == Verb::Invalid; }, &problem);
    std::string reason;
    if (!action) {
      reason = problem.empty() ? "the script has ended" : problem;
    } else if (action->verb == Verb::Invalid) {
      reason = line_of(*action) + ": " + action->error;
    } else if (action->verb != Verb::MsgBox) {
      reason = line_of(*action) + " is not for a message box";
    } else {
      auto buttons = message_box_buttons(request.style);
      if (std::find(buttons.begin(), buttons.end(), action->number) != buttons.end()) {
        return static_cast<int>(action->number);
      }
      reason = line_of(*action) + ": the box has no button " + std::to_string(action->number);
    }
    record_mismatch("msgbox " + quote(request.text), reason);
    return message_box_escape(request.style);
  }

  std::optional<std::string> ask_path(ChooserKind, const ChooserOptions& options) override {
    std::string problem;
    auto action = cursor_.next(
        [](const ScriptAction& next) { return next.verb == Verb::Browse || next.verb == Verb::Invalid; }, &problem);
    std::string reason;
    if (!action) {
      reason = problem.empty() ? "the script has ended" : problem;
    } else if (action->verb == Verb::Invalid) {
      reason = line_of(*action) + ": " + action->error;
    } else if (action->verb != Verb::Browse) {
      reason = line_of(*action) + " is not for a chooser";
    } else if (action->cancel) {
      return std::nullopt;
    } else {
      return action->text;
    }
    record_mismatch("browse " + quote(options.title), reason);
    return std::nullopt;
  }

  // The script has no action for menus: a popup menu is recorded and dismissed.
  uint32_t ask_menu(const std::vector<MenuItem>&, uint32_t) override { return 0; }

 private:
  void perform(ModelWindow& target, const ScriptAction& action) {
    std::string refused;
    switch (action.verb) {
      case Verb::Set: refused = user_type(target, action.control, action.text); break;
      case Verb::Check: refused = user_check(target, action.control, action.number != 0); break;
      case Verb::Select: refused = user_select(target, action.control, action.number); break;
      case Verb::Click: refused = user_click(target, action.control); break;
      case Verb::Tick: refused = user_tick(target, action.number); break;
      default: refused = "not a dialog action"; break;
    }
    if (refused.empty()) return;
    record_mismatch("dialog " + target.dialog_id(), line_of(action) + ": " + refused);
    cancel(target);
  }

  ScriptCursor cursor_;
};

}  // namespace

std::unique_ptr<Host> make_script_host(std::string script, std::string transcript) {
  return std::make_unique<ScriptHost>(std::move(script), std::move(transcript));
}

}  // namespace zyp::platform::ui::detail
