#pragma once
// The qt backend's host (see qt_host.cpp).
#include <QPointer>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/ui/model.h"
#include "platform/ui/qt/qt_widgets.h"

class QMessageBox;
class QFileDialog;
class QMenu;

namespace zyp::platform::ui::qt {

class Gui;
class Driver;

class QtHost final : public detail::ModelHost {
 public:
  QtHost(Gui& gui, std::string transcript);
  ~QtHost() override;

  std::string_view name() const override { return "qt"; }
  Gui& gui() const { return gui_; }
  // Drops the tray events not yet delivered to `handler` (its icon went).
  void forget_tray_events(TrayHandler* handler);

 protected:
  void wait_for_user(detail::ModelWindow& dialog) override;
  bool take_window_action() override;
  int ask_message_box(const MessageBoxRequest& request) override;
  std::optional<std::string> ask_path(ChooserKind kind, const ChooserOptions& options) override;
  uint32_t ask_menu(const std::vector<MenuItem>& items, uint32_t default_command) override;
  std::unique_ptr<TrayIcon> do_add_tray_icon(uint32_t icon, std::string_view tooltip, TrayHandler* handler) override;
  void do_set_wait_cursor(bool waiting) override;
  void ring() override;
  ScreenRect do_screen() const override;
  void window_updated(detail::ModelWindow& window) override;
  void window_closed(detail::ModelWindow& window) override;
  bool holds_transcript(const detail::ModelWindow& window) const override;

 private:
  friend class Driver;

  // On a window's thread.
  static WindowView view_of(detail::ModelWindow& window);
  // Sends what changed in this thread's windows; `waiting` is the modal
  // dialog that now waits for its user (0: none).
  void sync_windows(uint32_t waiting);
  // Adds the window's view to `changed` when it differs from the one last sent.
  bool changed_view(detail::ModelWindow& window, std::vector<WindowView>& changed);
  void send(std::vector<WindowView> views, uint32_t waiting, uint32_t closed);
  // Applies one action of the user to a window of this thread (with `modal`
  // waiting, also to it); false when none is pending.
  bool take_action(detail::ModelWindow* modal);
  void perform(detail::ModelWindow& window, const UserAction& action);
  // Records the text typed since the last action, one line per edit.
  void commit_typing();
  bool deliver_tray_event();
  // Shows something modal on the toolkit's thread and waits for its answer.
  template <typename Answer>
  Answer ask_gui(std::function<void(std::function<void(Answer)>)> show);

  // On the toolkit's thread.
  void user_acted(UserAction action);
  void show_views(std::vector<WindowView> views, std::thread::id thread, uint32_t waiting, uint32_t closed,
                  uint64_t taken);
  QWidget* widget_of(uint32_t handle) const;
  uint32_t waiting_dialog() const;
  // True once every action the user took has been applied to the model and
  // what followed was shown.
  bool settled() const { return acked_ == queued_.load(); }

  Gui& gui_;

  // Shared between the threads.
  std::mutex actions_lock_;
  std::deque<UserAction> actions_;
  struct TrayEventEntry {
    std::thread::id thread;
    TrayHandler* handler;
    TrayEvent event;
  };
  std::deque<TrayEventEntry> tray_events_;
  std::atomic<uint64_t> queued_{0};  // actions the user took
  std::atomic<uint64_t> taken_{0};   // actions a window's thread took
  mutable std::mutex typing_lock_;
  std::set<std::pair<uint32_t, uint32_t>> typing_;  // (window, edit) typed into, not yet recorded

  // The windows' threads: what was last sent of each window (each window is
  // only touched by its own thread).
  std::map<uint32_t, WindowView> sent_views_;
  std::mutex sent_lock_;

  // The toolkit's thread only.
  std::map<uint32_t, QPointer<DialogWindow>> widgets_;
  std::map<std::thread::id, uint32_t> waiting_;
  uint64_t acked_ = 0;  // taken_ as the latest message from a window's thread saw it
  QPointer<QMessageBox> open_box_;
  std::string open_box_text_;
  QPointer<QFileDialog> open_chooser_;
  QPointer<QMenu> open_menu_;
  std::string open_chooser_title_;
  std::unique_ptr<Driver> driver_;
};

}  // namespace zyp::platform::ui::qt
