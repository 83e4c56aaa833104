#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/export_guard.h"
#include "platform/ui/model.h"

namespace zyp::platform::ui::detail {
namespace {

constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;

uint64_t steady_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

const char* chooser_word(int kind) {
  static const char* const kWords[] = {"folder", "open", "save"};
  return kWords[kind];
}

std::string describe_menu(const std::vector<MenuItem>& items, uint32_t default_command) {
  std::string text;
  for (const MenuItem& item : items) {
    if (!text.empty()) text += ", ";
    switch (item.kind) {
      case MenuItem::Kind::Separator:
        text += "-";
        continue;
      case MenuItem::Kind::Popup:
        text += "popup " + quote(item.text) + " (" + describe_menu(item.children, default_command) + ")";
        break;
      case MenuItem::Kind::Command:
        text += std::to_string(item.id) + " " + quote(item.text);
        if (item.id == default_command) text += " default";
        break;
    }
    if (item.grayed) text += " grayed";
    if (item.checked) text += " checked";
  }
  return text;
}

// Keeps at most `limit` characters (not bytes) of UTF-8 text.
std::string keep_characters(std::string_view text, uint32_t limit) {
  if (limit == 0) return std::string(text);
  size_t end = 0;
  for (uint32_t count = 0; end < text.size() && count < limit; ++count) {
    ++end;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  }
  return std::string(text.substr(0, end));
}

std::string typed_text(const Control& edit, std::string_view typed) {
  std::string kept;
  for (char c : typed) {
    if (!edit.has(kStyleNumber) || (c >= '0' && c <= '9')) kept += c;
  }
  return keep_characters(kept, edit.limit);
}

class ModelTrayIcon final : public TrayIcon {
 public:
  ModelTrayIcon(ModelHost& host, uint32_t icon, std::string_view tooltip) : host_(host) {
    host_.record("tray add " + std::to_string(icon) + " " + quote(tooltip));
  }
  ~ModelTrayIcon() override { record("tray remove"); }
  bool set_icon(uint32_t icon) override {
    return guarded(false, [&] { return record("tray icon " + std::to_string(icon)); });
  }
  bool set_tooltip(std::string_view tooltip) override {
    return guarded(false, [&] { return record("tray tooltip " + quote(tooltip)); });
  }

 private:
  bool record(std::string_view line) noexcept {
    return guarded(false, [&] {
      host_.record(line);
      return true;
    });
  }

  ModelHost& host_;
};

}  // namespace

std::string dialog_name(const std::string& key) {
  return !key.empty() && key[0] == '#' ? key.substr(1) : key;
}

ModelHost::ModelHost(std::string transcript_path) : transcript_(std::move(transcript_path)) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
    wake_read_.reset(ends[0]);
    wake_write_.reset(ends[1]);
  }
}

ModelHost::~ModelHost() = default;

uint64_t ModelHost::now_ms() const { return virtual_clock() ? virtual_now_.load() : steady_ms(); }

void ModelHost::move_clock_to(uint64_t when) {
  uint64_t now = virtual_now_.load();
  while (now < when && !virtual_now_.compare_exchange_weak(now, when)) {
  }
}

uint32_t ModelHost::new_handle() {
  std::lock_guard<std::mutex> hold(lock_);
  return next_handle_++;
}

void ModelHost::record(std::string_view line) {
  flush();
  transcript_.write(line);
}

std::shared_ptr<ModelWindow> ModelHost::make_window(const DialogTemplate& dialog, DialogHandler& handler,
                                                    WindowRole role, Window* owner, bool visible) {
  auto window = std::make_shared<ModelWindow>(*this, dialog, handler, role, owner, visible, new_handle());
  std::lock_guard<std::mutex> hold(lock_);
  windows_.push_back(window);
  return window;
}

void ModelHost::forget(ModelWindow& window) {
  std::lock_guard<std::mutex> hold(lock_);
  std::erase_if(windows_, [&](const std::shared_ptr<ModelWindow>& w) { return w.get() == &window; });
}

std::vector<std::shared_ptr<ModelWindow>> ModelHost::thread_windows() {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::shared_ptr<ModelWindow>> mine;
  for (const auto& window : windows_) {
    if (window->thread() == std::this_thread::get_id() && window->alive()) mine.push_back(window);
  }
  return mine;
}

std::shared_ptr<ModelWindow> ModelHost::target_window(const std::string& key, ModelWindow* modal) {
  if (modal && modal->alive() && modal->key() == key) return modal->shared_from_this();
  auto mine = thread_windows();
  for (auto it = mine.rbegin(); it != mine.rend(); ++it) {
    ModelWindow& window = **it;
    if (window.role() != WindowRole::Modal && window.key() == key && window.on_screen()) return *it;
  }
  return nullptr;
}

void ModelHost::flush_window(ModelWindow& window) {
  if (!window.presented() || holds_transcript(window)) return;
  const std::string prefix = "dialog " + window.dialog_id() + " ";
  auto& recorded = window.recorded();
  if (!window.on_screen()) {
    const std::string hidden = "visible 0";
    if (window.opened() && window.alive() && recorded["~visible"] != hidden) {
      transcript_.write(prefix + hidden);
      recorded["~visible"] = hidden;
    }
    return;
  }
  std::vector<ShownEntry> entries = window.shown_entries();
  if (!window.opened()) {
    transcript_.write(prefix + "open " + quote(window.caption()));
    for (const ShownEntry& entry : entries) {
      if (!entry.is_default) transcript_.write(prefix + entry.line);
    }
    window.set_opened();
  } else {
    for (const ShownEntry& entry : entries) {
      auto before = recorded.find(entry.key);
      if (before == recorded.end() ? !entry.is_default : before->second != entry.line) {
        transcript_.write(prefix + entry.line);
      }
    }
  }
  recorded.clear();
  for (ShownEntry& entry : entries) recorded.emplace(std::move(entry.key), std::move(entry.line));
  window_updated(window);
}

void ModelHost::flush() {
  for (const auto& window : thread_windows()) flush_window(*window);
}

void ModelHost::destroy_window(ModelWindow& window) {
  if (!window.alive()) return;
  auto keep = window.shared_from_this();
  for (const auto& other : thread_windows()) {
    if (other->owner() == &window) other->destroy();
  }
  flush_window(window);
  window.deliver_destroy();
  window.mark_dead();
  forget(window);
  if (window.opened()) {
    record("dialog " + window.dialog_id() +
           (window.role() == WindowRole::Modal ? " end " + std::to_string(window.result()) : " close"));
  }
  window_closed(window);
}

void ModelHost::post(ModelWindow& window, uint32_t control, uint32_t notification) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!window.alive()) return;
    window.posted().emplace_back(control, notification);
  }
  wake();
}

void ModelHost::wake() {
  char wake = 1;
  (void)!::write(wake_write_.get(), &wake, 1);
}

void ModelHost::drain_wake() {
  char sink[64];
  while (::read(wake_read_.get(), sink, sizeof sink) > 0) {
  }
}

bool ModelHost::dispatch_posted() {
  std::shared_ptr<ModelWindow> target;
  std::pair<uint32_t, uint32_t> command;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& window : windows_) {
      if (window->thread() != std::this_thread::get_id() || window->posted().empty()) continue;
      target = window;
      command = window->posted().front();
      window->posted().pop_front();
      break;
    }
  }
  if (!target) return false;
  target->deliver_command(command.first, command.second);
  return true;
}

bool ModelHost::fire_due_timers() {
  if (virtual_clock()) return false;
  uint64_t now = now_ms();
  for (const auto& window : thread_windows()) {
    if (window->fire_due_timer(now)) return true;
  }
  return false;
}

std::optional<uint64_t> ModelHost::next_timer_due() {
  std::optional<uint64_t> first;
  for (const auto& window : thread_windows()) {
    auto due = window->next_due();
    if (due && (!first || *due < *first)) first = due;
  }
  return first;
}

void ModelHost::cancel(ModelWindow& window) {
  if (!window.alive() || window.ended()) return;
  window.deliver_command(kCancelCommand, kButtonClicked);
  if (window.alive() && !window.ended()) window.end(kIdCancel);
}

void ModelHost::record_mismatch(std::string_view what, std::string_view reason) {
  std::string line = "mismatch " + std::string(what) + ": " + std::string(reason);
  record(line);
  std::fprintf(stderr, "zyp ui: %s\n", line.c_str());
}

int ModelHost::do_run_dialog(const DialogTemplate& dialog, DialogHandler& handler, Window* owner) {
  auto window = make_window(dialog, handler, WindowRole::Modal, owner, true);
  window->deliver_init();
  if (!window->ended()) {
    window->set_presented();
    window->deliver_paint();
  }
  while (!window->ended()) {
    if (dispatch_posted()) continue;
    flush();
    wait_for_user(*window);
  }
  destroy_window(*window);
  return window->result();
}

std::shared_ptr<Window> ModelHost::do_create_window(const DialogTemplate& dialog, DialogHandler& handler,
                                                    const WindowOptions& options) {
  auto window = make_window(dialog, handler, options.child ? WindowRole::Child : WindowRole::Modeless,
                            options.owner, options.visible);
  window->deliver_init();
  window->set_presented();
  if (window->alive() && window->on_screen()) window->deliver_paint();
  return window;
}

std::shared_ptr<Window> ModelHost::do_find_window(uint32_t handle) {
  std::lock_guard<std::mutex> hold(lock_);
  for (const auto& window : windows_) {
    if (window->handle() == handle && window->alive()) return window;
  }
  return nullptr;
}

bool ModelHost::do_pump() {
  flush();
  bool handled = dispatch_posted() || fire_due_timers() || take_window_action();
  if (handled) flush();
  return handled;
}

bool ModelHost::do_wait_event(uint32_t timeout_ms) {
  objects::Deadline deadline(timeout_ms);
  for (;;) {
    if (do_pump()) return true;
    if (virtual_clock()) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.remaining()).count();
    if (!deadline.infinite() && left <= 0) return false;
    int64_t wait = deadline.infinite() ? -1 : left;
    if (auto due = next_timer_due()) {
      int64_t until = static_cast<int64_t>(*due) - static_cast<int64_t>(now_ms());
      wait = wait < 0 ? std::max<int64_t>(until, 0) : std::clamp<int64_t>(until, 0, wait);
    }
    pollfd wake{wake_read_.get(), POLLIN, 0};
    ::poll(&wake, 1, static_cast<int>(std::min<int64_t>(wait, 60'000)));
    drain_wake();
  }
}

int ModelHost::do_message_box(const MessageBoxRequest& request) {
  flush();
  int answer = ask_message_box(request);
  record("msgbox " + quote(request.caption) + " " + quote(request.text) + " style " + hex(request.style) + " -> " +
         std::to_string(answer));
  return answer;
}

std::optional<std::string> ModelHost::do_choose(ChooserKind kind, const ChooserOptions& options) {
  flush();
  auto chosen = ask_path(kind, options);
  record(std::string("browse ") + chooser_word(static_cast<int>(kind)) + " " + quote(options.title) + " -> " +
         (chosen ? quote(*chosen) : std::string("cancel")));
  return chosen;
}

uint32_t ModelHost::do_popup_menu(const std::vector<MenuItem>& items, uint32_t default_command, Window*) {
  flush();
  uint32_t chosen = ask_menu(items, default_command);
  record("menu " + describe_menu(items, default_command) + " -> " + std::to_string(chosen));
  return chosen;
}

std::unique_ptr<TrayIcon> ModelHost::do_add_tray_icon(uint32_t icon, std::string_view tooltip, TrayHandler*) {
  return std::make_unique<ModelTrayIcon>(*this, icon, tooltip);
}

void ModelHost::do_set_wait_cursor(bool waiting) { record(waiting ? "cursor wait" : "cursor normal"); }

void ModelHost::do_beep(uint32_t sound) {
  record("beep " + hex(sound));
  ring();
}

void ModelHost::do_notify_change(std::string_view event, std::string_view path) {
  record("notify " + std::string(event) + " " + quote(path));
}

void ModelHost::do_sleep(uint32_t milliseconds) {
  record("sleep " + std::to_string(milliseconds));
  if (virtual_clock()) {
    move_clock_to(virtual_now_.load() + milliseconds);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

ScreenRect ModelHost::do_screen() const { return ScreenRect{0, 0, kScreenWidth, kScreenHeight}; }

// ---------------------------------------------------------------------------
// User actions.

Control* ModelHost::usable_control(ModelWindow& window, uint32_t control, std::string& why) {
  const std::string id = std::to_string(control);
  Control* c = window.find(control);
  if (!c) {
    why = "dialog " + window.dialog_id() + " has no control " + id;
  } else if (!window.on_screen()) {
    why = "dialog " + window.dialog_id() + " is not shown";
  } else if (!c->visible) {
    why = "control " + id + " is hidden";
  } else if (!c->enabled) {
    why = "control " + id + " is disabled";
  } else {
    return c;
  }
  return nullptr;
}

void ModelHost::record_user(ModelWindow& window, std::string_view action) {
  record("dialog " + window.dialog_id() + " user " + std::string(action));
}

// After the user's own change is recorded as an action, it need not be
// recorded again as a change of the window.
static void note_shown(ModelWindow& window) {
  if (!window.opened()) return;
  auto& recorded = window.recorded();
  recorded.clear();
  for (ShownEntry& entry : window.shown_entries()) recorded.emplace(std::move(entry.key), std::move(entry.line));
}

std::string ModelHost::user_type(ModelWindow& window, uint32_t control, std::string_view text, bool record) {
  std::string why;
  Control* edit = usable_control(window, control, why);
  if (!edit) return why;
  if (edit->kind != ControlKind::Edit) return "control " + std::to_string(control) + " is not an edit";
  if (edit->has(kStyleReadOnly)) return "control " + std::to_string(control) + " is read-only";
  std::string typed = typed_text(*edit, text);
  if (record) {
    record_user(window, "set " + std::to_string(control) + " " +
                            quote(edit->is_password() && !typed.empty() ? "****" : typed));
  }
  edit->text = std::move(typed);
  if (record) note_shown(window);
  window.deliver_command(control, kEditChanged);
  return {};
}

void ModelHost::record_typed(ModelWindow& window, uint32_t control) {
  const Control* edit = window.find(control);
  if (!edit) return;
  flush();
  transcript_.write("dialog " + window.dialog_id() + " user set " + std::to_string(control) + " " +
                    quote(edit->shown_text()));
  // The typed text is now on record; what the handler changed meanwhile is
  // recorded by the next flush, after this line.
  if (!window.opened()) return;
  auto& recorded = window.recorded();
  for (ShownEntry& entry : window.shown_entries()) {
    if (entry.line.starts_with("text " + std::to_string(control) + " ")) recorded[entry.key] = entry.line;
  }
}

std::string ModelHost::user_check(ModelWindow& window, uint32_t control, bool checked) {
  std::string why;
  Control* box = usable_control(window, control, why);
  if (!box) return why;
  const std::string id = std::to_string(control);
  if (box->kind == ControlKind::Radio && !checked) return "radio button " + id + " is cleared only by choosing another";
  if (box->kind != ControlKind::Check && box->kind != ControlKind::Radio) return "control " + id + " is not a check box";
  record_user(window, "check " + id + (checked ? " 1" : " 0"));
  if (box->checked == checked) return {};
  if (box->kind == ControlKind::Radio) {
    window.check_radio(*box);
  } else {
    box->checked = checked;
  }
  note_shown(window);
  window.deliver_command(control, kButtonClicked);
  return {};
}

std::string ModelHost::user_select(ModelWindow& window, uint32_t control, int64_t index) {
  std::string why;
  Control* list = usable_control(window, control, why);
  if (!list) return why;
  const std::string id = std::to_string(control);
  if (!list->holds_items()) return "control " + id + " has no items to choose from";
  if (index < 0 || static_cast<size_t>(index) >= list->items.size()) {
    return "control " + id + " has no item " + std::to_string(index) + " (it has " +
           std::to_string(list->items.size()) + ")";
  }
  record_user(window, "select " + id + " " + std::to_string(index));
  window.select_item(control, static_cast<int>(index));
  note_shown(window);
  window.deliver_command(control, kSelectionChanged);
  return {};
}

std::string ModelHost::user_click(ModelWindow& window, uint32_t control) {
  std::string why;
  Control* button = usable_control(window, control, why);
  if (!button) return why;
  const std::string id = std::to_string(control);
  const ControlKind kind = button->kind;
  if (kind != ControlKind::Button && kind != ControlKind::Check && kind != ControlKind::Radio) {
    return "control " + id + " cannot be clicked";
  }
  record_user(window, "click " + id);
  if (kind == ControlKind::Check) button->checked = !button->checked;
  if (kind == ControlKind::Radio) window.check_radio(*button);
  note_shown(window);
  window.deliver_command(control, kButtonClicked);
  return {};
}

std::string ModelHost::user_tick(ModelWindow& window, int64_t count) {
  if (count < 1) return "a tick needs a count of at least 1";
  if (!window.has_timers()) return "dialog " + window.dialog_id() + " has no timer running";
  record_user(window, "tick " + std::to_string(count));
  // Ticks left over when the window closes are dropped: "tick 50" lets a
  // dialog wait until its timer ends it.
  for (int64_t fired = 0; fired < count && window.alive() && !window.ended(); ++fired) {
    if (!window.fire_next_timer()) break;
  }
  return {};
}

}  // namespace zyp::platform::ui::detail
