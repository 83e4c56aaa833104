// The tty backend: dialogs as prompts on the controlling terminal. Each
// round shows the dialog's texts, asks for its fields in tab order (no echo
// for password edits, numbered choices for lists, y/n for check boxes) and
// then for one of its buttons. Timers keep running while a prompt waits, and
// a dialog that its timer ends abandons the prompt. Modeless windows with a
// progress bar draw it on stderr.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <functional>
#include <mutex>
#include <set>

#include "platform/terminal_echo.h"
#include "platform/ui/model.h"

namespace zyp::platform::ui::detail {
namespace {

constexpr uint32_t kLabelId = 65535;
constexpr int kBarWidth = 30;
constexpr size_t kBarTextWidth = 36;
constexpr int kMostTimersPerWake = 16;

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(written);
  }
}

class Terminal {
 public:
  explicit Terminal(int fd) : fd_(fd) {}
  static std::unique_ptr<Terminal> open() {
    int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    return fd < 0 ? nullptr : std::make_unique<Terminal>(fd);
  }

  void write(std::string_view text) { write_all(fd_.get(), text); }

  enum class Read { Line, EndOfInput, GaveUp };
  // Shows `prompt` and reads one line of input; a hidden line is not echoed
  // (echo goes off before the prompt shows, so nothing typed after it
  // echoes). While it waits, `idle` runs whenever `wait_ms` passes or
  // `wake_fd` becomes readable; it returns false to give up waiting.
  Read read_line(std::string_view prompt, std::string& line, bool hidden, int wake_fd,
                 const std::function<int()>& wait_ms, const std::function<bool()>& idle) {
    EchoOff echo(fd_.get(), hidden);
    write(prompt);
    for (;;) {
      size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        line = pending_.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pending_.erase(0, end + 1);
        return Read::Line;
      }
      pollfd ready[2] = {{fd_.get(), POLLIN, 0}, {wake_fd, POLLIN, 0}};
      int count = ::poll(ready, wake_fd >= 0 ? 2 : 1, wait_ms());
      if (count < 0 && errno != EINTR) return Read::EndOfInput;
      if (count > 0 && ready[0].revents != 0) {
        char buffer[256];
        ssize_t got = ::read(fd_.get(), buffer, sizeof buffer);
        if (got > 0) {
          pending_.append(buffer, got);
          continue;
        }
        if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
          if (pending_.empty()) return Read::EndOfInput;
          line.swap(pending_);  // end of input after a partial line
          pending_.clear();
          return Read::Line;
        }
      }
      if (!idle()) return Read::GaveUp;
    }
  }

 private:
  objects::UniqueFd fd_;
  std::string pending_;
};

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool is_field(const Control& c) {
  switch (c.kind) {
    case ControlKind::Edit: return !c.has(kStyleReadOnly);
    case ControlKind::Check:
    case ControlKind::Radio:
    case ControlKind::Combo:
    case ControlKind::List:
    case ControlKind::ListView:
    case ControlKind::Tab: return true;
    default: return false;
  }
}

bool takes_own_label(const Control& c) { return c.kind == ControlKind::Check || c.kind == ControlKind::Radio; }

// The static before a field that names it: an unaddressed label (id 65535).
const Control* label_of(const std::vector<Control>& controls, size_t index) {
  if (index == 0 || takes_own_label(controls[index])) return nullptr;
  const Control& before = controls[index - 1];
  return before.kind == ControlKind::Static && before.id == kLabelId && !before.text.empty() ? &before : nullptr;
}

bool is_label(const std::vector<Control>& controls, size_t index) {
  return index + 1 < controls.size() && is_field(controls[index + 1]) && label_of(controls, index + 1) == &controls[index];
}

std::string field_name(const std::vector<Control>& controls, size_t index) {
  const Control& c = controls[index];
  if (takes_own_label(c) && !c.text.empty()) return plain(c.text);
  if (const Control* label = label_of(controls, index)) {
    std::string name = plain(label->text);
    while (!name.empty() && (name.back() == ':' || name.back() == ' ')) name.pop_back();
    return name;
  }
  return std::string(control_kind_name(c.kind)) + " " + std::to_string(c.id);
}

// Finds the one choice that `typed` names: its number (from 1) or the start
// of its name, without regard to case; -1 when none or several fit.
int match_choice(const std::vector<std::string>& names, const std::string& typed) {
  if (typed.empty()) return -1;
  bool digits = std::all_of(typed.begin(), typed.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) {
    size_t number = typed.size() > 6 ? 0 : std::stoul(typed);
    return number >= 1 && number <= names.size() ? static_cast<int>(number - 1) : -1;
  }
  int found = -1;
  std::string wanted = lower(typed);
  for (size_t i = 0; i < names.size(); ++i) {
    std::string name = lower(names[i]);
    if (name == wanted) return static_cast<int>(i);
    if (name.starts_with(wanted)) {
      if (found >= 0) return -1;
      found = static_cast<int>(i);
    }
  }
  return found;
}

std::optional<bool> yes_or_no(const std::string& typed) {
  std::string answer = lower(typed);
  if (answer == "y" || answer == "yes") return true;
  if (answer == "n" || answer == "no") return false;
  return std::nullopt;
}

struct FieldRef {
  std::shared_ptr<ModelWindow> window;
  size_t index;
};

class TtyHost final : public ModelHost {
 public:
  TtyHost(std::unique_ptr<Terminal> terminal, std::string transcript)
      : ModelHost(std::move(transcript)), terminal_(std::move(terminal)), bar_on_stderr_(::isatty(2) == 1) {}

  std::string_view name() const override { return "tty"; }

 protected:
  void wait_for_user(ModelWindow& dialog) override {
    if (std::lock_guard<std::recursive_mutex> hold(state_lock_); headed_.insert(dialog.handle()).second) {
      say("\n== " + plain(dialog.caption()) + " ==\n");
    }
    show_texts(dialog);
    for (const FieldRef& field : fields(dialog)) {
      if (dialog.ended()) return;
      Control& c = field.window->controls()[field.index];
      if (!field.window->on_screen() || !c.visible || !c.enabled || !is_field(c)) continue;
      if (!ask_field(dialog, *field.window, field.index)) return;
      show_texts(dialog);
    }
    if (!dialog.ended()) ask_button(dialog);
  }

  int ask_message_box(const MessageBoxRequest& request) override {
    std::string shown = "\n";
    if (!request.caption.empty()) shown += plain(request.caption) + "\n";
    say(shown + std::string(request.text) + "\n");
    std::vector<int> buttons = message_box_buttons(request.style);
    std::vector<std::string> names;
    for (int button : buttons) names.emplace_back(button_name(button));
    int preset = message_box_default(request.style);
    for (;;) {
      std::string line;
      Answer answer = ask(nullptr, choice_prompt(names, std::string(button_name(preset))), false, line);
      if (answer != Answer::Given) return message_box_escape(request.style);
      if (line.empty()) return preset;
      int chosen = match_choice(names, line);
      if (chosen >= 0) return buttons[chosen];
    }
  }

  std::optional<std::string> ask_path(ChooserKind kind, const ChooserOptions& options) override {
    static const char* const kTitles[] = {"Folder", "File to open", "File to save"};
    std::string title = options.title.empty() ? kTitles[static_cast<int>(kind)] : plain(options.title);
    std::string prompt = title + (options.initial.empty() ? "" : " [" + options.initial + "]") + ": ";
    std::string line;
    if (ask(nullptr, prompt, false, line) != Answer::Given) return std::nullopt;
    if (line.empty()) line = options.initial;
    if (line.empty()) return std::nullopt;
    if (kind != ChooserKind::SaveFile) return line;
    size_t name = line.find_last_of('/');
    if (!options.default_extension.empty() && line.find('.', name == std::string::npos ? 0 : name) == std::string::npos) {
      line += "." + options.default_extension;
    }
    struct stat existing {};
    if (options.overwrite_prompt && ::stat(line.c_str(), &existing) == 0) {
      std::string answer;
      if (ask(nullptr, line + " exists. Replace it? (y/n) [n]: ", false, answer) != Answer::Given) return std::nullopt;
      if (yes_or_no(answer) != true) return std::nullopt;
    }
    return line;
  }

  uint32_t ask_menu(const std::vector<MenuItem>& items, uint32_t default_command) override {
    std::vector<uint32_t> commands;
    std::string listing;
    list_menu(items, default_command, "", commands, listing);
    if (commands.empty()) return 0;
    say("\n" + listing);
    for (;;) {
      std::string line;
      if (ask(nullptr, "Choose a number (Enter: none): ", false, line) != Answer::Given || line.empty()) return 0;
      std::vector<std::string> numbers(commands.size());
      int chosen = match_choice(numbers, line);
      if (chosen >= 0) return commands[chosen];
    }
  }

  void ring() override { terminal_->write("\a"); }

  void window_updated(ModelWindow& window) override {
    if (window.role() == WindowRole::Modal || !bar_on_stderr_ || !window.on_screen()) return;
    const Control* bar = nullptr;
    std::string text;
    for (const Control& c : window.controls()) {
      if (c.kind == ControlKind::Progress && !bar) bar = &c;
      if (c.kind == ControlKind::Static && c.visible && text.empty()) text = plain(c.text);
    }
    if (!bar) return;
    if (text.empty()) text = plain(window.caption());
    if (text.size() > kBarTextWidth) text = "..." + text.substr(text.size() - (kBarTextWidth - 3));
    std::lock_guard<std::recursive_mutex> hold(state_lock_);
    int filled = bar->percent * kBarWidth / 100;
    std::string line = "\r" + text + std::string(kBarTextWidth - text.size() + 1, ' ') + "[" +
                       std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] " +
                       std::to_string(bar->percent) + "%";
    std::string& drawn = bars_[window.handle()];
    if (drawn == line && bar_open_) return;
    drawn = line;
    write_all(2, line);
    bar_open_ = true;
  }

  void window_closed(ModelWindow& window) override {
    std::lock_guard<std::recursive_mutex> hold(state_lock_);
    headed_.erase(window.handle());
    texts_.erase(window.handle());
    if (bars_.erase(window.handle()) && bar_open_) {
      write_all(2, "\n");
      bar_open_ = false;
    }
  }

 private:
  enum class Answer { Given, Closed, EndOfInput };

  // Writes to the terminal, first ending a progress bar's line.
  void say(std::string_view text) {
    std::lock_guard<std::recursive_mutex> hold(state_lock_);
    if (bar_open_) {
      write_all(2, "\n");
      bar_open_ = false;
    }
    terminal_->write(text);
  }

  static std::string choice_prompt(const std::vector<std::string>& names, const std::string& preset) {
    std::string prompt;
    for (const std::string& name : names) prompt += (prompt.empty() ? "" : " / ") + name;
    return prompt + (preset.empty() ? "" : " [" + preset + "]") + ": ";
  }

  // Asks with timers running. `dialog` (when given) closing ends the wait.
  Answer ask(ModelWindow* dialog, const std::string& prompt, bool hidden, std::string& line) {
    say("");
    auto wait_ms = [&]() -> int {
      auto due = next_timer_due();
      if (!due) return -1;
      int64_t left = static_cast<int64_t>(*due) - static_cast<int64_t>(now_ms());
      return static_cast<int>(std::clamp<int64_t>(left, 0, 60'000));
    };
    auto idle = [&]() -> bool {
      drain_wake();
      for (int handled = 0; handled < kMostTimersPerWake && (dispatch_posted() || fire_due_timers()); ++handled) {
        if (dialog && dialog->ended()) break;
      }
      flush();
      if (dialog && dialog->ended()) return false;
      if (dialog && show_texts(*dialog)) say(prompt);
      return true;
    };
    switch (terminal_->read_line(prompt, line, hidden, wake_fd(), wait_ms, idle)) {
      case Terminal::Read::Line: return Answer::Given;
      case Terminal::Read::GaveUp: terminal_->write("\n"); return Answer::Closed;
      case Terminal::Read::EndOfInput: break;
    }
    terminal_->write("\n");
    if (dialog) cancel(*dialog);
    return Answer::EndOfInput;
  }

  // The dialog and its child windows on screen.
  std::vector<std::shared_ptr<ModelWindow>> windows_of(ModelWindow& dialog) {
    std::vector<std::shared_ptr<ModelWindow>> shown{dialog.shared_from_this()};
    for (const auto& window : thread_windows()) {
      if (window->role() == WindowRole::Child && window->owner() == &dialog && window->on_screen()) {
        shown.push_back(window);
      }
    }
    return shown;
  }

  std::vector<FieldRef> fields(ModelWindow& dialog) {
    std::vector<FieldRef> found;
    for (const auto& window : windows_of(dialog)) {
      for (size_t i = 0; i < window->controls().size(); ++i) {
        if (is_field(window->controls()[i])) found.push_back({window, i});
      }
    }
    return found;
  }

  // Prints the texts of the dialog that are new or changed since last shown;
  // true when something was printed.
  bool show_texts(ModelWindow& dialog) {
    std::lock_guard<std::recursive_mutex> hold(state_lock_);
    std::string shown;
    for (const auto& window : windows_of(dialog)) {
      auto& seen = texts_[window->handle()];
      const auto& controls = window->controls();
      for (size_t i = 0; i < controls.size(); ++i) {
        const Control& c = controls[i];
        if ((c.kind != ControlKind::Static && c.kind != ControlKind::Group) || !c.visible || is_label(controls, i)) {
          continue;
        }
        auto before = seen.find(i);
        if (before != seen.end() && before->second == c.text) continue;
        seen[i] = c.text;
        if (!c.text.empty()) shown += "  " + plain(c.text) + "\n";
      }
    }
    if (!shown.empty()) say(shown);
    return !shown.empty();
  }

  // Asks for one field; false when the dialog closed meanwhile.
  bool ask_field(ModelWindow& dialog, ModelWindow& window, size_t index) {
    const Control& c = window.controls()[index];
    const uint32_t id = c.id;
    const std::string name = field_name(window.controls(), index);
    for (;;) {
      std::string prompt;
      std::vector<std::string> choices;
      switch (c.kind) {
        case ControlKind::Edit:
          prompt = name + (c.is_password() || c.text.empty() ? "" : " [" + c.text + "]") + ": ";
          break;
        case ControlKind::Check:
        case ControlKind::Radio:
          prompt = name + " (y/n) [" + (c.checked ? "y" : "n") + "]: ";
          break;
        default: {
          std::string listing;
          for (size_t row = 0; row < c.items.size(); ++row) {
            std::string text;
            for (const std::string& column : c.items[row].texts) text += (text.empty() ? "" : " | ") + column;
            listing += "  " + std::to_string(row + 1) + ") " + text + "\n";
            choices.push_back(text);
          }
          if (choices.empty()) return true;
          say(listing);
          int current = window.selected_item(id);
          prompt = name + (current >= 0 ? " [" + std::to_string(current + 1) + "]" : "") + ": ";
        }
      }
      std::string line;
      Answer answer = ask(&dialog, prompt, c.is_password(), line);
      if (answer != Answer::Given) return false;
      if (line.empty()) return true;
      if (c.kind == ControlKind::Edit) {
        user_type(window, id, line);
        return !dialog.ended();
      }
      if (c.kind == ControlKind::Check || c.kind == ControlKind::Radio) {
        auto yes = yes_or_no(line);
        if (!yes) continue;
        if (*yes || c.kind == ControlKind::Check) user_check(window, id, *yes);
        return !dialog.ended();
      }
      std::vector<std::string> numbers(choices.size());
      int chosen = match_choice(numbers, line);
      if (chosen < 0) continue;
      user_select(window, id, chosen);
      return !dialog.ended();
    }
  }

  void ask_button(ModelWindow& dialog) {
    std::vector<std::pair<ModelWindow*, uint32_t>> buttons;
    std::vector<std::string> names;
    std::string preset;
    for (const auto& window : windows_of(dialog)) {
      for (const Control& c : window->controls()) {
        if (c.kind != ControlKind::Button || !c.visible || !c.enabled) continue;
        buttons.emplace_back(window.get(), c.id);
        names.push_back(plain(c.text));
        if (c.has(kStyleDefault) && preset.empty()) preset = names.back();
      }
    }
    for (;;) {
      std::string line;
      std::string prompt = buttons.empty() ? "Press Enter to close: " : choice_prompt(names, preset);
      if (ask(&dialog, prompt, false, line) != Answer::Given) return;
      if (buttons.empty()) {
        cancel(dialog);
        return;
      }
      int chosen = match_choice(names, line.empty() ? preset : line);
      if (chosen < 0) continue;
      auto [window, id] = buttons[chosen];
      user_click(*window, id);
      return;
    }
  }

  static void list_menu(const std::vector<MenuItem>& items, uint32_t default_command, const std::string& indent,
                        std::vector<uint32_t>& commands, std::string& listing) {
    for (const MenuItem& item : items) {
      if (item.kind == MenuItem::Kind::Separator) continue;
      if (item.kind == MenuItem::Kind::Popup) {
        listing += indent + plain(item.text) + ":\n";
        if (!item.grayed) list_menu(item.children, default_command, indent + "  ", commands, listing);
        continue;
      }
      if (item.grayed) continue;
      commands.push_back(item.id);
      listing += indent + "  " + std::to_string(commands.size()) + ") " + plain(item.text) +
                 (item.checked ? " (on)" : "") + (item.id == default_command ? " *" : "") + "\n";
    }
  }

  std::unique_ptr<Terminal> terminal_;
  const bool bar_on_stderr_;
  // The display state below, for dialogs and progress windows of several
  // threads; prompts themselves are not serialised.
  std::recursive_mutex state_lock_;
  bool bar_open_ = false;
  std::set<uint32_t> headed_;
  std::map<uint32_t, std::map<size_t, std::string>> texts_;
  std::map<uint32_t, std::string> bars_;
};

}  // namespace

std::unique_ptr<Host> make_tty_host(std::string transcript) {
  auto terminal = Terminal::open();
  if (!terminal) return make_none_host(std::move(transcript));
  return std::make_unique<TtyHost>(std::move(terminal), std::move(transcript));
}

}  // namespace zyp::platform::ui::detail
