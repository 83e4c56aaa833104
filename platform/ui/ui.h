#pragma once
// The user-interface host: every message box, dialog, chooser, progress
// window and tray icon of the suite goes through this interface, so that each
// dialog-driven component runs the same on a terminal, without any user
// (services, tests) or, later, with a graphical toolkit.
//
// Backends, chosen by $ZYP_UI:
//   script:FILE  scripted user actions and a virtual clock (tests, automation;
//                the format is in platform/ui/SCRIPT_FORMAT.txt)
//   tty          prompts on the controlling terminal, a progress bar on stderr
//   none         every dialog is cancelled, every message box takes its
//                default button, nothing waits for a user
//   qt           real windows (Qt 6 Widgets), from a library loaded only then
// Without $ZYP_UI: qt when standard input is not a terminal and a display
// ($WAYLAND_DISPLAY, $DISPLAY) can be reached and Qt starts on it; else tty
// when the process has a controlling terminal; else none. So a program run
// on a terminal keeps its prompts there, and only a program that shows a
// window loads Qt.
// With $ZYP_UI_TRANSCRIPT=FILE every backend appends one line per thing shown
// to FILE (format in SCRIPT_FORMAT.txt); password edits are recorded masked.
//
// The model follows the Windows dialog model that the suite was written
// against: a modal dialog is made from a language-module template and driven
// by a handler receiving init, command, timer, paint and destroy events; the
// handler ends it with a result. Controls are addressed by their numeric ids.
//
// Threads: a window belongs to the thread that made it. Its operations,
// events and pumping happen on that thread; only Window::post_command may be
// called from another thread. No call of this interface throws.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/lang_module.h"
#include "platform/wait.h"

namespace zyp::platform::ui {

// ---------------------------------------------------------------------------
// Message boxes: the Windows style bits and button results.

enum MessageBoxStyle : uint32_t {
  kMbOk = 0x0,
  kMbOkCancel = 0x1,
  kMbAbortRetryIgnore = 0x2,
  kMbYesNoCancel = 0x3,
  kMbYesNo = 0x4,
  kMbRetryCancel = 0x5,
  kMbCancelTryContinue = 0x6,
  kMbButtonsMask = 0xF,

  kMbIconError = 0x10,
  kMbIconQuestion = 0x20,
  kMbIconWarning = 0x30,
  kMbIconInformation = 0x40,
  kMbIconMask = 0xF0,

  kMbDefButton1 = 0x000,
  kMbDefButton2 = 0x100,
  kMbDefButton3 = 0x200,
  kMbDefButton4 = 0x300,
  kMbDefButtonMask = 0xF00,

  kMbSystemModal = 0x1000,
  kMbTaskModal = 0x2000,
  kMbSetForeground = 0x10000,
  kMbTopmost = 0x40000,
};

// Button and dialog results. Cancel is also what a dialog ends with when the
// user closes it without an answer (Escape, end of the script, no user).
enum ButtonId : int {
  kIdOk = 1,
  kIdCancel = 2,
  kIdAbort = 3,
  kIdRetry = 4,
  kIdIgnore = 5,
  kIdYes = 6,
  kIdNo = 7,
  kIdTryAgain = 10,
  kIdContinue = 11,
};

// The buttons of a message box style, left to right.
std::vector<int> message_box_buttons(uint32_t style);
// The button that Enter presses: the MB_DEFBUTTONn of the style, the first
// button when the style names one that the box lacks. Every backend answers
// with it when the user just confirms, and the none backend always does, so
// a question whose Yes destroys data is asked with kMbDefButton2 (No).
int message_box_default(uint32_t style);
// What closing the box without an answer gives: Cancel when the box has it,
// otherwise its declining answer (OK for an OK box, No for Yes/No, Abort for
// Abort/Retry/Ignore).
int message_box_escape(uint32_t style);
// The button's English name ("OK", "Yes", ...), empty for an unknown id.
std::string_view button_name(int button);

// ---------------------------------------------------------------------------
// Dialogs and windows.

// Notification codes that come with a command event.
enum Notification : uint32_t {
  kButtonClicked = 0,       // a push button, check box or radio button was clicked
  kSelectionChanged = 1,    // the user chose another item of a combo box, list, list view or tab strip
  kEditChanged = 0x0300,    // the text of an edit changed (also when the program sets it)
};

// The control id of Cancel. Closing a dialog without an answer sends this
// command to its handler; a handler that does not end the dialog then has it
// ended with kIdCancel.
inline constexpr uint32_t kCancelCommand = 2;

enum class ColumnAlign : uint8_t { Left, Right, Center };

struct ScreenRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

class Window;

// Receives the events of one dialog or window. It must outlive the window.
// Every event runs on the window's thread; a handler may call any operation
// of the window, show message boxes and run further dialogs.
class DialogHandler {
 public:
  virtual ~DialogHandler() = default;
  // The controls exist with their template texts; the window is not shown yet.
  virtual void on_init(Window& window) { (void)window; }
  // A control was used (see Notification), or a command was posted.
  virtual void on_command(Window& window, uint32_t control, uint32_t notification) {
    (void)window, (void)control, (void)notification;
  }
  virtual void on_timer(Window& window, uint32_t timer) { (void)window, (void)timer; }
  // The window is shown or repaints: the place to draw picture areas.
  virtual void on_paint(Window& window) { (void)window; }
  // The window is going away; its controls can still be read.
  virtual void on_destroy(Window& window) { (void)window; }
};

// A dialog or modeless window on screen. Control operations return false (or
// an empty value) when the control does not exist, has the wrong kind or the
// window is gone.
class Window {
 public:
  virtual ~Window() = default;

  // -- the window itself
  // A number that stands for the window in this process, never 0 and never reused.
  virtual uint32_t handle() const = 0;
  // The template's identifier as scripts name it: "129", or "ABOUTENU" for a named template.
  virtual std::string dialog_id() const = 0;
  // False once the window is destroyed (a modal dialog: once it has ended).
  virtual bool alive() const = 0;
  virtual Window* owner() const = 0;
  virtual bool set_caption(std::string_view caption) = 0;
  virtual std::string caption() const = 0;
  // EndDialog: a modal dialog ends with `result` once the running event is
  // handled; a modeless window is destroyed.
  virtual bool end(int result) = 0;
  // DestroyWindow: the window and the windows it owns go at once (on_destroy first).
  virtual bool destroy() = 0;
  virtual bool set_visible(bool visible) = 0;
  virtual bool visible() const = 0;
  // Delivers a paint event now (UpdateWindow after an invalidation).
  virtual void repaint() = 0;
  virtual void bring_to_front() = 0;
  virtual void set_topmost(bool topmost) = 0;
  // Position and size on the screen in pixels, and moves keeping the size.
  virtual ScreenRect rect() const = 0;
  virtual bool move_to(int x, int y) = 0;
  // PostMessage(WM_COMMAND): queued for the window's thread, which handles it
  // at its next wait or pump. Callable from any thread.
  virtual bool post_command(uint32_t control, uint32_t notification = kButtonClicked) = 0;
  // SetTimer/KillTimer: `timer` fires every `period_ms` while the window waits
  // (on the script backend's virtual clock: see `dialog N tick`). Setting an
  // existing timer again restarts it with the new period.
  virtual bool set_timer(uint32_t timer, uint32_t period_ms) = 0;
  virtual bool kill_timer(uint32_t timer) = 0;

  // -- controls of any kind
  virtual bool has_control(uint32_t control) const = 0;
  virtual std::optional<ControlKind> control_kind(uint32_t control) const = 0;
  // Setting the text of a single-line edit sends kEditChanged to the handler,
  // as on Windows.
  virtual bool set_text(uint32_t control, std::string_view text) = 0;
  virtual std::string text(uint32_t control) const = 0;
  virtual bool enable(uint32_t control, bool enabled) = 0;
  virtual bool enabled(uint32_t control) const = 0;
  virtual bool show(uint32_t control, bool shown) = 0;
  virtual bool shown(uint32_t control) const = 0;
  virtual bool set_focus(uint32_t control) = 0;
  virtual uint32_t focus() const = 0;  // 0 when no control has it

  // -- edits
  // Most characters the user can type; 0 for no limit. Text already there is kept.
  virtual bool set_limit(uint32_t control, uint32_t limit) = 0;

  // -- check boxes and radio buttons (checking a radio button clears the
  // radio buttons next to it in the template)
  virtual bool set_checked(uint32_t control, bool checked) = 0;
  virtual bool checked(uint32_t control) const = 0;

  // -- progress bars (0 to 100) and picture areas
  virtual bool set_progress(uint32_t control, int percent) = 0;
  virtual int progress(uint32_t control) const = 0;
  // What a picture area (or, with control 0, the window's own surface) shows:
  // a picture file or a clip; empty shows nothing.
  virtual bool set_picture(uint32_t control, std::string_view picture) = 0;
  virtual std::string picture(uint32_t control) const = 0;

  // -- items of combo boxes, lists, list views and tab strips. Each item has
  // a text per column (column 0 is the item's own text) and a data value.
  // Indexes count from 0; the add and insert calls return the new index or -1.
  virtual int add_item(uint32_t control, std::string_view text, int64_t data = 0) = 0;
  virtual int insert_item(uint32_t control, int index, std::string_view text, int64_t data = 0) = 0;
  virtual bool set_item_text(uint32_t control, int index, int column, std::string_view text) = 0;
  virtual bool set_item_data(uint32_t control, int index, int64_t data) = 0;
  virtual bool remove_item(uint32_t control, int index) = 0;
  virtual bool clear_items(uint32_t control) = 0;
  virtual int item_count(uint32_t control) const = 0;
  virtual std::string item_text(uint32_t control, int index, int column = 0) const = 0;
  virtual int64_t item_data(uint32_t control, int index) const = 0;  // 0 when there is no such item
  // Selects exactly this item (-1: none). No notification is sent: only the
  // user's choice sends kSelectionChanged.
  virtual bool select_item(uint32_t control, int index) = 0;
  // List views may hold several selected items.
  virtual bool set_item_selected(uint32_t control, int index, bool selected) = 0;
  virtual int selected_item(uint32_t control) const = 0;  // the first, -1 for none
  virtual std::vector<int> selected_items(uint32_t control) const = 0;
  // List view columns; `width` in characters.
  virtual bool add_column(uint32_t control, std::string_view header, int width,
                          ColumnAlign align = ColumnAlign::Left) = 0;
  virtual int column_count(uint32_t control) const = 0;
};

struct WindowOptions {
  Window* owner = nullptr;
  // A child window lives inside its owner (for example the page of a tab
  // strip): it is shown with the owner, takes the owner's user actions and
  // goes with it.
  bool child = false;
  bool visible = true;
};

// ---------------------------------------------------------------------------
// Choosers, tray icon, menus.

struct ChooserOptions {
  std::string title;
  std::string initial;         // folder or file proposed at start
  std::string filter;          // file choosers: "Programs|*.exe|All files|*"
  std::string default_extension;  // save chooser: added when the name has none
  bool overwrite_prompt = false;  // save chooser: ask before choosing an existing file
  Window* owner = nullptr;
};

enum class TrayEvent : uint8_t { LeftClick, LeftDoubleClick, RightClick };

class TrayHandler {
 public:
  virtual ~TrayHandler() = default;
  virtual void on_tray_event(TrayEvent event) = 0;
};

// An icon in the desktop's notification area; the icon goes when the object
// goes. Its events reach the handler while the thread that added it pumps or
// waits.
class TrayIcon {
 public:
  virtual ~TrayIcon() = default;
  virtual bool set_icon(uint32_t icon) = 0;
  virtual bool set_tooltip(std::string_view tooltip) = 0;
};

// ---------------------------------------------------------------------------
// The host.

class Host {
 public:
  virtual ~Host() = default;
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // "script", "tty", "none" or "qt".
  virtual std::string_view name() const = 0;

  // MessageBox: the button that closed the box, 0 when it could not be shown.
  int message_box(std::string_view text, std::string_view caption, uint32_t style, Window* owner = nullptr) noexcept;

  // DialogBoxParam: runs the dialog until its handler ends it and returns the
  // result; -1 when the dialog cannot be made.
  int run_dialog(const DialogTemplate& dialog, DialogHandler& handler, Window* owner = nullptr) noexcept;

  // CreateDialogParam: a modeless window, already initialised; null when it
  // cannot be made. The host keeps it until it is destroyed; the pointer may be
  // kept longer and then reports alive() false.
  std::shared_ptr<Window> create_window(const DialogTemplate& dialog, DialogHandler& handler,
                                        const WindowOptions& options = {}) noexcept;
  // The live window of this process with that handle, null once it is gone.
  std::shared_ptr<Window> find_window(uint32_t handle) noexcept;

  // Handles at most one pending event of the calling thread's windows (a
  // posted command, a due timer, a user action on a modeless window); false
  // when there was none. Never waits for the user.
  bool pump() noexcept;
  // Waits up to `timeout_ms` (kInfinite: no limit) for one event of the
  // calling thread's windows and handles it; false when none came. The script
  // backend never waits: without a line for these windows it returns false.
  bool wait_event(uint32_t timeout_ms) noexcept;

  // Folder, open and save choosers: the chosen path, nothing when cancelled.
  std::optional<std::string> choose_folder(const ChooserOptions& options) noexcept;
  std::optional<std::string> choose_open_file(const ChooserOptions& options) noexcept;
  std::optional<std::string> choose_save_file(const ChooserOptions& options) noexcept;

  // TrackPopupMenu: the chosen command, 0 when the menu was dismissed.
  // `default_command` is shown as the default item (0: none).
  uint32_t popup_menu(const std::vector<MenuItem>& items, uint32_t default_command = 0,
                      Window* owner = nullptr) noexcept;

  // Shell_NotifyIcon: null when the desktop has no notification area.
  std::unique_ptr<TrayIcon> add_tray_icon(uint32_t icon, std::string_view tooltip,
                                          TrayHandler* handler = nullptr) noexcept;

  // The wait cursor while at least one begin is not yet ended.
  void begin_wait_cursor() noexcept;
  void end_wait_cursor() noexcept;
  // MessageBeep: `sound` is a message box icon style (0x30 the exclamation).
  void beep(uint32_t sound = kMbIconWarning) noexcept;
  // SHChangeNotify: tells file views that `path` changed ("delete", "create", ...).
  void notify_change(std::string_view event, std::string_view path) noexcept;
  // A pause the user sits through (for example after a wrong PIN). The script
  // backend only advances its virtual clock and records it.
  void sleep(uint32_t milliseconds) noexcept;
  // The desktop's size in pixels, for centring windows.
  ScreenRect screen() const noexcept;

 protected:
  Host() = default;

  struct MessageBoxRequest {
    std::string_view text;
    std::string_view caption;
    uint32_t style;
    Window* owner;
  };
  enum class ChooserKind : uint8_t { Folder, OpenFile, SaveFile };

  virtual int do_message_box(const MessageBoxRequest& request) = 0;
  virtual int do_run_dialog(const DialogTemplate& dialog, DialogHandler& handler, Window* owner) = 0;
  virtual std::shared_ptr<Window> do_create_window(const DialogTemplate& dialog, DialogHandler& handler,
                                                   const WindowOptions& options) = 0;
  virtual std::shared_ptr<Window> do_find_window(uint32_t handle) = 0;
  virtual bool do_pump() = 0;
  virtual bool do_wait_event(uint32_t timeout_ms) = 0;
  virtual std::optional<std::string> do_choose(ChooserKind kind, const ChooserOptions& options) = 0;
  virtual uint32_t do_popup_menu(const std::vector<MenuItem>& items, uint32_t default_command, Window* owner) = 0;
  virtual std::unique_ptr<TrayIcon> do_add_tray_icon(uint32_t icon, std::string_view tooltip,
                                                     TrayHandler* handler) = 0;
  virtual void do_set_wait_cursor(bool waiting) = 0;
  virtual void do_beep(uint32_t sound) = 0;
  virtual void do_notify_change(std::string_view event, std::string_view path) = 0;
  virtual void do_sleep(uint32_t milliseconds) = 0;
  virtual ScreenRect do_screen() const = 0;

 private:
  std::atomic<int> wait_cursor_depth_{0};
};

// The process's host, made on first use from $ZYP_UI and $ZYP_UI_TRANSCRIPT.
// Every library that links this one statically has a host of its own; they
// share the script position and the transcript through their files.
Host& host() noexcept;

// A host for `spec` ("script:FILE", "tty", "none", "qt"; empty: the automatic
// choice) writing its transcript to `transcript` (empty: none). An unknown
// spec gives the none backend and a note on stderr. Null only when memory
// is lacking.
std::unique_ptr<Host> make_host(std::string_view spec, std::string_view transcript = {}) noexcept;

// Shows the wait cursor for the lifetime of the object.
class ScopedWaitCursor {
 public:
  explicit ScopedWaitCursor(Host& host = ui::host()) noexcept : host_(host) { host_.begin_wait_cursor(); }
  ~ScopedWaitCursor() { host_.end_wait_cursor(); }
  ScopedWaitCursor(const ScopedWaitCursor&) = delete;
  ScopedWaitCursor& operator=(const ScopedWaitCursor&) = delete;

 private:
  Host& host_;
};

}  // namespace zyp::platform::ui
