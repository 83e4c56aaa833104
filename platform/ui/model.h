#pragma once
// The host shared by the script, tty and none backends: windows are models
// of their controls (texts, states, items, timers) kept in memory, and a
// backend only decides how the user acts on them. The model also produces
// the transcript, so every backend records the same lines.
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/object_files.h"
#include "platform/ui/transcript.h"
#include "platform/ui/ui.h"

namespace zyp::platform::ui::detail {

struct ListItem {
  std::vector<std::string> texts;  // one per column, at least one
  int64_t data = 0;
  bool selected = false;
};

struct ListColumn {
  std::string header;
  int width = 0;
  ColumnAlign align = ColumnAlign::Left;
};

struct Control {
  uint32_t id = 0;
  ControlKind kind = ControlKind::Static;
  uint32_t styles = 0;
  std::string text;
  bool enabled = true;
  bool visible = true;
  bool checked = false;
  uint32_t limit = 0;
  Rect position;  // in dialog units, from the template
  int percent = 0;
  std::string picture;
  std::vector<ListColumn> columns;
  std::vector<ListItem> items;

  bool has(ControlStyle style) const { return (styles & style) != 0; }
  bool is_password() const { return kind == ControlKind::Edit && has(kStylePassword); }
  bool holds_items() const;
  bool holds_text() const;
  // The text as it may be shown in a transcript: a password edit's text masked.
  std::string shown_text() const;
};

enum class WindowRole : uint8_t { Modal, Modeless, Child };

// One line of what a window shows, keyed so that changes can be found.
struct ShownEntry {
  std::string key;
  std::string line;       // after "dialog N "
  bool is_default = false;  // not worth a line when the window opens
};

class ModelHost;

class ModelWindow final : public Window, public std::enable_shared_from_this<ModelWindow> {
 public:
  ModelWindow(ModelHost& host, const DialogTemplate& dialog, DialogHandler& handler, WindowRole role,
              Window* owner, bool visible, uint32_t handle);

  // Window
  uint32_t handle() const override { return handle_; }
  std::string dialog_id() const override { return id_; }
  bool alive() const override;
  Window* owner() const override { return owner_; }
  bool set_caption(std::string_view caption) override;
  std::string caption() const override;
  bool end(int result) override;
  bool destroy() override;
  bool set_visible(bool visible) override;
  bool visible() const override { return visible_; }
  void repaint() override;
  void bring_to_front() override {}
  void set_topmost(bool) override {}
  ScreenRect rect() const override { return rect_; }
  // The template's size in dialog units.
  int width_units() const { return width_units_; }
  int height_units() const { return height_units_; }
  bool move_to(int x, int y) override;
  bool post_command(uint32_t control, uint32_t notification) override;
  bool set_timer(uint32_t timer, uint32_t period_ms) override;
  bool kill_timer(uint32_t timer) override;
  bool has_control(uint32_t control) const override { return find(control) != nullptr; }
  std::optional<ControlKind> control_kind(uint32_t control) const override;
  bool set_text(uint32_t control, std::string_view text) override;
  std::string text(uint32_t control) const override;
  bool enable(uint32_t control, bool enabled) override;
  bool enabled(uint32_t control) const override;
  bool show(uint32_t control, bool shown) override;
  bool shown(uint32_t control) const override;
  bool set_focus(uint32_t control) override;
  uint32_t focus() const override { return focus_; }
  bool set_limit(uint32_t control, uint32_t limit) override;
  bool set_checked(uint32_t control, bool checked) override;
  bool checked(uint32_t control) const override;
  bool set_progress(uint32_t control, int percent) override;
  int progress(uint32_t control) const override;
  bool set_picture(uint32_t control, std::string_view picture) override;
  std::string picture(uint32_t control) const override;
  int add_item(uint32_t control, std::string_view text, int64_t data) override;
  int insert_item(uint32_t control, int index, std::string_view text, int64_t data) override;
  bool set_item_text(uint32_t control, int index, int column, std::string_view text) override;
  bool set_item_data(uint32_t control, int index, int64_t data) override;
  bool remove_item(uint32_t control, int index) override;
  bool clear_items(uint32_t control) override;
  int item_count(uint32_t control) const override;
  std::string item_text(uint32_t control, int index, int column) const override;
  int64_t item_data(uint32_t control, int index) const override;
  bool select_item(uint32_t control, int index) override;
  bool set_item_selected(uint32_t control, int index, bool selected) override;
  int selected_item(uint32_t control) const override;
  std::vector<int> selected_items(uint32_t control) const override;
  bool add_column(uint32_t control, std::string_view header, int width, ColumnAlign align) override;
  int column_count(uint32_t control) const override;

  // For the hosts.
  WindowRole role() const { return role_; }
  const std::string& key() const { return key_; }
  std::thread::id thread() const { return thread_; }
  bool ended() const { return ended_; }
  int result() const { return result_; }
  std::vector<Control>& controls() { return controls_; }
  const std::vector<Control>& controls() const { return controls_; }
  Control* find(uint32_t control);
  const Control* find(uint32_t control) const;
  // Visible itself and, for a child, inside a visible owner.
  bool on_screen() const;

  void deliver_init();
  void deliver_command(uint32_t control, uint32_t notification);
  void deliver_timer(uint32_t timer);
  void deliver_paint();
  void deliver_destroy();
  void mark_dead();
  // Checks a radio button and clears the radio buttons next to it.
  void check_radio(Control& radio);

  // Timers, in the host's clock (milliseconds).
  bool has_timers() const { return !timers_.empty(); }
  std::optional<uint64_t> next_due() const;
  // Fires the timer that is due first, moving the host's virtual clock
  // forward to it; false when no timer runs.
  bool fire_next_timer();
  // Fires one timer that is due at `now`; false when none is.
  bool fire_due_timer(uint64_t now);

  // Posted commands; guarded by the host's lock.
  std::deque<std::pair<uint32_t, uint32_t>>& posted() { return posted_; }

  // Transcript state: what was last recorded of this window.
  std::vector<ShownEntry> shown_entries() const;
  // Shown to the user: a modal dialog once its init is over and it waits, a
  // modeless window once made. Nothing is recorded of a window before.
  bool presented() const { return presented_; }
  void set_presented() { presented_ = true; }
  bool opened() const { return opened_; }
  void set_opened() { opened_ = true; }
  std::map<std::string, std::string>& recorded() { return recorded_; }

 private:
  ModelHost& host_;
  DialogHandler& handler_;
  WindowRole role_;
  Window* owner_;
  uint32_t handle_;
  std::thread::id thread_;
  std::string key_;
  std::string id_;
  std::string caption_;
  ScreenRect rect_;
  int width_units_;
  int height_units_;
  bool visible_;
  std::string window_picture_;
  std::vector<Control> controls_;
  uint32_t focus_ = 0;
  struct Timer {
    uint32_t period = 0;
    uint64_t due = 0;
  };
  std::map<uint32_t, Timer> timers_;
  bool ended_ = false;
  int result_ = 0;
  std::atomic<bool> alive_{true};
  std::deque<std::pair<uint32_t, uint32_t>> posted_;
  bool presented_ = false;
  bool opened_ = false;
  std::map<std::string, std::string> recorded_;
};

class ModelHost : public Host {
 public:
  explicit ModelHost(std::string transcript_path);
  ~ModelHost() override;

  // For the windows.
  uint64_t now_ms() const;
  // Moves the virtual clock forward to `when` (never back).
  void move_clock_to(uint64_t when);
  void destroy_window(ModelWindow& window);
  void post(ModelWindow& window, uint32_t control, uint32_t notification);
  uint32_t new_handle();

  // Records a transcript line (after the windows' pending changes).
  void record(std::string_view line);
  // Wakes the thread that waits in wait_event or in a backend's own wait.
  void wake();

 protected:
  int do_message_box(const MessageBoxRequest& request) override;
  int do_run_dialog(const DialogTemplate& dialog, DialogHandler& handler, Window* owner) override;
  std::shared_ptr<Window> do_create_window(const DialogTemplate& dialog, DialogHandler& handler,
                                           const WindowOptions& options) override;
  std::shared_ptr<Window> do_find_window(uint32_t handle) override;
  bool do_pump() override;
  bool do_wait_event(uint32_t timeout_ms) override;
  std::optional<std::string> do_choose(ChooserKind kind, const ChooserOptions& options) override;
  uint32_t do_popup_menu(const std::vector<MenuItem>& items, uint32_t default_command, Window* owner) override;
  std::unique_ptr<TrayIcon> do_add_tray_icon(uint32_t icon, std::string_view tooltip,
                                             TrayHandler* handler) override;
  void do_set_wait_cursor(bool waiting) override;
  void do_beep(uint32_t sound) override;
  void do_notify_change(std::string_view event, std::string_view path) override;
  void do_sleep(uint32_t milliseconds) override;
  ScreenRect do_screen() const override;

  // What the backends decide.
  // The modal dialog waits for its user: take one action, or close it.
  virtual void wait_for_user(ModelWindow& dialog) = 0;
  virtual int ask_message_box(const MessageBoxRequest& request) = 0;
  virtual std::optional<std::string> ask_path(ChooserKind kind, const ChooserOptions& options) = 0;
  virtual uint32_t ask_menu(const std::vector<MenuItem>& items, uint32_t default_command) = 0;
  // A user action on a modeless window of this thread, when one is pending.
  virtual bool take_window_action() { return false; }
  // The script backend's timers run on a virtual clock that only its script moves.
  virtual bool virtual_clock() const { return false; }
  virtual void ring() {}
  // After a window's changes were recorded, and when it goes.
  virtual void window_updated(ModelWindow&) {}
  // True while the window's changes are not to be recorded yet (a backend
  // whose user is still typing records the typed text first).
  virtual bool holds_transcript(const ModelWindow&) const { return false; }
  virtual void window_closed(ModelWindow&) {}

  // Helpers for the backends.
  // Closes a window without an answer: Cancel goes to its handler, and a
  // window still open after that ends with kIdCancel.
  void cancel(ModelWindow& window);
  // Records what changed in the calling thread's windows.
  void flush();
  std::vector<std::shared_ptr<ModelWindow>> thread_windows();
  // The window a user action names: the waiting modal dialog or a modeless
  // or child window of this thread on screen; null when none has that key.
  std::shared_ptr<ModelWindow> target_window(const std::string& key, ModelWindow* modal);
  bool dispatch_posted();
  bool fire_due_timers();
  std::optional<uint64_t> next_timer_due();
  int wake_fd() const { return wake_read_.get(); }
  void drain_wake();
  void record_mismatch(std::string_view what, std::string_view reason);

  // What a user can do to a control; each returns why it could not be done,
  // or an empty text when it was done (recorded and notified).
  // Without `record`, the typing is recorded later by record_typed (a user
  // who types one key at a time reads as one action in the transcript).
  std::string user_type(ModelWindow& window, uint32_t control, std::string_view text, bool record = true);
  void record_typed(ModelWindow& window, uint32_t control);
  std::string user_check(ModelWindow& window, uint32_t control, bool checked);
  std::string user_select(ModelWindow& window, uint32_t control, int64_t index);
  std::string user_click(ModelWindow& window, uint32_t control);
  // Lets the window's timers fire `count` times on the virtual clock.
  std::string user_tick(ModelWindow& window, int64_t count);

 private:
  std::shared_ptr<ModelWindow> make_window(const DialogTemplate& dialog, DialogHandler& handler, WindowRole role,
                                           Window* owner, bool visible);
  void forget(ModelWindow& window);
  void flush_window(ModelWindow& window);
  void record_user(ModelWindow& window, std::string_view action);
  Control* usable_control(ModelWindow& window, uint32_t control, std::string& why);

  Transcript transcript_;
  std::mutex lock_;  // windows_, the windows' posted commands, next_handle_
  std::vector<std::shared_ptr<ModelWindow>> windows_;
  uint32_t next_handle_ = 0x10;
  std::atomic<uint64_t> virtual_now_{0};
  objects::UniqueFd wake_read_;
  objects::UniqueFd wake_write_;
};

// The backends.
std::unique_ptr<Host> make_none_host(std::string transcript);
std::unique_ptr<Host> make_script_host(std::string script, std::string transcript);
// Falls back to the none backend when the process has no terminal.
std::unique_ptr<Host> make_tty_host(std::string transcript);

// A text without the '&' that marks access keys ("&&" stands for '&').
std::string plain(std::string_view text);

// "129" for the key "#129", the name otherwise.
std::string dialog_name(const std::string& key);

}  // namespace zyp::platform::ui::detail
