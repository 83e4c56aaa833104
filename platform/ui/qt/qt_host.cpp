// The qt backend: real windows for the model's dialogs, message boxes,
// choosers, menus and tray icon. The model stays the truth (texts, states,
// items, timers, transcript); the widgets on the toolkit's thread show it and
// report what the user does, which the window's own thread then applies as
// the user's action.
#include <poll.h>
#include <string.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "platform/export_guard.h"
#include "platform/system_info.h"
#include "platform/ui/qt/qt_driver.h"
#include "platform/ui/qt/qt_gui.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/qt_backend.h"

namespace zyp::platform::ui::qt {
namespace {

using detail::ModelWindow;
using detail::WindowRole;

QString qs(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// Message box buttons in the user's language (Qt's own translations are not
// installed with the suite).
QString button_text(int button) {
  static const std::map<std::string, std::map<int, const char*>> kNames = {
      {"FRA",
       {{kIdOk, "OK"}, {kIdCancel, "Annuler"}, {kIdAbort, "Abandonner"}, {kIdRetry, "R\xC3\xA9" "essayer"},
        {kIdIgnore, "Ignorer"}, {kIdYes, "Oui"}, {kIdNo, "Non"}, {kIdTryAgain, "Recommencer"},
        {kIdContinue, "Continuer"}}},
      {"DEU",
       {{kIdOk, "OK"}, {kIdCancel, "Abbrechen"}, {kIdAbort, "Abbrechen"}, {kIdRetry, "Wiederholen"},
        {kIdIgnore, "Ignorieren"}, {kIdYes, "Ja"}, {kIdNo, "Nein"}, {kIdTryAgain, "Erneut versuchen"},
        {kIdContinue, "Weiter"}}},
  };
  auto language = kNames.find(language_code());
  if (language != kNames.end()) {
    auto name = language->second.find(button);
    if (name != language->second.end()) return QString::fromUtf8(name->second);
  }
  return qs(button_name(button));
}

QMessageBox::Icon box_icon(uint32_t style) {
  switch (style & kMbIconMask) {
    case kMbIconError: return QMessageBox::Critical;
    case kMbIconQuestion: return QMessageBox::Question;
    case kMbIconWarning: return QMessageBox::Warning;
    case kMbIconInformation: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

// "Programs|*.exe|All files|*" -> "Programs (*.exe);;All files (*)".
QString name_filters(const std::string& filter) {
  QStringList parts = qs(filter).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    filters << parts[i] + QStringLiteral(" (") + QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')) +
                   QStringLiteral(")");
  }
  return filters.join(QStringLiteral(";;"));
}

void add_menu_items(QMenu* menu, const std::vector<MenuItem>& items, uint32_t default_command) {
  for (const MenuItem& item : items) {
    switch (item.kind) {
      case MenuItem::Kind::Separator: menu->addSeparator(); break;
      case MenuItem::Kind::Popup: {
        QMenu* sub = menu->addMenu(qs(item.text));
        sub->setEnabled(!item.grayed);
        add_menu_items(sub, item.children, default_command);
        break;
      }
      case MenuItem::Kind::Command: {
        QAction* action = menu->addAction(qs(item.text));
        action->setData(item.id);
        action->setEnabled(!item.grayed);
        if (item.checked) {
          action->setCheckable(true);
          action->setChecked(true);
        }
        if (item.id == default_command) {
          QFont bold = action->font();
          bold.setBold(true);
          action->setFont(bold);
        }
        break;
      }
    }
  }
}

void wipe(std::string& text) {
  if (!text.empty()) explicit_bzero(text.data(), text.size());
  text.clear();
}

bool same_control(const detail::Control& a, const detail::Control& b) {
  if (a.text != b.text || a.enabled != b.enabled || a.visible != b.visible || a.checked != b.checked ||
      a.limit != b.limit || a.percent != b.percent || a.picture != b.picture || a.items.size() != b.items.size() ||
      a.columns.size() != b.columns.size()) {
    return false;
  }
  for (size_t i = 0; i < a.items.size(); ++i) {
    if (a.items[i].texts != b.items[i].texts || a.items[i].selected != b.items[i].selected) return false;
  }
  for (size_t i = 0; i < a.columns.size(); ++i) {
    if (a.columns[i].header != b.columns[i].header || a.columns[i].width != b.columns[i].width) return false;
  }
  return true;
}

bool same_view(const WindowView& a, const WindowView& b) {
  if (a.caption != b.caption || a.on_screen != b.on_screen || a.picture != b.picture || a.focus != b.focus ||
      a.controls.size() != b.controls.size()) {
    return false;
  }
  for (size_t i = 0; i < a.controls.size(); ++i) {
    if (!same_control(a.controls[i], b.controls[i])) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// The tray icon: the model's icon records the transcript lines, the widget is
// what the desktop shows.

class QtTrayIcon final : public TrayIcon {
 public:
  QtTrayIcon(QtHost& host, std::unique_ptr<TrayIcon> recorder, QSystemTrayIcon* icon, TrayHandler* handler)
      : host_(host), recorder_(std::move(recorder)), icon_(icon), handler_(handler) {}
  ~QtTrayIcon() override {
    QSystemTrayIcon* icon = icon_;
    host_.gui().call<int>([icon] {
      delete icon;
      return 0;
    });
    if (handler_) host_.forget_tray_events(handler_);
  }
  bool set_icon(uint32_t icon) override { return recorder_->set_icon(icon); }
  bool set_tooltip(std::string_view tooltip) override {
    QString text = guarded(QString(), [&] { return qs(tooltip); });
    QSystemTrayIcon* icon = icon_;
    host_.gui().post([icon, text] { icon->setToolTip(text); });
    return recorder_->set_tooltip(tooltip);
  }

 private:
  QtHost& host_;
  std::unique_ptr<TrayIcon> recorder_;
  QSystemTrayIcon* icon_;
  TrayHandler* handler_;
};

// ---------------------------------------------------------------------------

QtHost::QtHost(Gui& gui, std::string transcript) : ModelHost(std::move(transcript)), gui_(gui) {
  const char* drive = std::getenv(kDriveVariable);
  const char* snapshots = std::getenv(kSnapshotVariable);
  if (drive && *drive) {
    std::string script = drive;
    std::string folder = snapshots ? snapshots : "";
    gui_.call<int>([&] {
      driver_ = std::make_unique<Driver>(*this, script, folder);
      return 0;
    });
  }
}

QtHost::~QtHost() {
  gui_.call<int>([this] {
    driver_.reset();
    for (auto& [handle, widget] : widgets_) delete widget.data();
    widgets_.clear();
    return 0;
  });
}

// -- the window's thread ----------------------------------------------------

WindowView QtHost::view_of(ModelWindow& window) {
  WindowView view;
  view.handle = window.handle();
  view.owner = window.owner() ? window.owner()->handle() : 0;
  view.role = window.role();
  view.key = window.key();
  view.id = window.dialog_id();
  view.caption = window.caption();
  view.on_screen = window.presented() && window.on_screen();
  view.width_units = window.width_units();
  view.height_units = window.height_units();
  view.rect = window.rect();
  view.picture = window.picture(0);
  view.focus = window.focus();
  view.controls = window.controls();
  // A password stays in the model and the edit: the view only tells whether
  // the edit holds one, which is all the widget needs (a handler empties it).
  for (detail::Control& control : view.controls) {
    if (control.is_password() && !control.text.empty()) {
      wipe(control.text);
      control.text = kPasswordHeld;
    }
  }
  return view;
}

bool QtHost::changed_view(ModelWindow& window, std::vector<WindowView>& changed) {
  WindowView view = view_of(window);
  std::lock_guard<std::mutex> hold(sent_lock_);
  auto& sent = sent_views_[window.handle()];
  if (sent.handle == view.handle && same_view(sent, view)) return false;
  sent = view;
  changed.push_back(std::move(view));
  return true;
}

void QtHost::sync_windows(uint32_t waiting) {
  std::vector<WindowView> changed;
  for (const auto& window : thread_windows()) changed_view(*window, changed);
  send(std::move(changed), waiting, 0);
}

void QtHost::window_updated(ModelWindow& window) {
  // The window's thread is at work (not waiting for its user), and what it
  // changed is shown at once.
  std::vector<WindowView> changed;
  if (changed_view(window, changed)) send(std::move(changed), 0, 0);
}

void QtHost::send(std::vector<WindowView> views, uint32_t waiting, uint32_t closed) {
  uint64_t taken = taken_.load();
  auto thread = std::this_thread::get_id();
  gui_.post([this, views = std::move(views), waiting, closed, taken, thread]() mutable {
    show_views(std::move(views), thread, waiting, closed, taken);
  });
}

bool QtHost::take_action(ModelWindow* modal) {
  std::optional<UserAction> next;
  std::shared_ptr<ModelWindow> target;
  {
    std::lock_guard<std::mutex> hold(actions_lock_);
    auto mine = thread_windows();
    for (auto it = actions_.begin(); it != actions_.end();) {
      auto window = std::find_if(mine.begin(), mine.end(), [&](const auto& w) { return w->handle() == it->handle; });
      if (window == mine.end()) {
        if (!find_window(it->handle)) {
          wipe(it->text);
          it = actions_.erase(it);  // its window is gone
          ++taken_;
          continue;
        }
        ++it;  // another thread's window
        continue;
      }
      // While a modal dialog waits, its thread's other windows still take
      // actions; a pump outside a modal wait takes those of modeless windows.
      if (!modal && (*window)->role() == WindowRole::Modal) {
        ++it;
        continue;
      }
      next = std::move(*it);
      target = *window;
      actions_.erase(it);
      break;
    }
  }
  if (!next) return deliver_tray_event();
  ++taken_;
  perform(*target, *next);
  wipe(next->text);  // typed text, perhaps a PIN
  return true;
}

void QtHost::perform(ModelWindow& window, const UserAction& action) {
  using Kind = UserAction::Kind;
  if (action.kind == Kind::Type) {
    if (user_type(window, action.control, action.text, false).empty()) {
      std::lock_guard<std::mutex> hold(typing_lock_);
      typing_.insert({window.handle(), action.control});
    }
    return;
  }
  commit_typing();
  switch (action.kind) {
    case Kind::Check: user_check(window, action.control, action.number != 0); break;
    case Kind::Select: user_select(window, action.control, action.number); break;
    case Kind::Click: user_click(window, action.control); break;
    case Kind::Cancel: cancel(window); break;
    case Kind::Mismatch: record_mismatch(action.text, action.reason); break;
    case Kind::Type: break;
  }
}

void QtHost::commit_typing() {
  std::set<std::pair<uint32_t, uint32_t>> typed;
  {
    std::lock_guard<std::mutex> hold(typing_lock_);
    typed = typing_;
  }
  if (typed.empty()) return;
  for (const auto& [handle, control] : typed) {
    auto window = find_window(handle);
    if (auto* model = dynamic_cast<ModelWindow*>(window.get())) record_typed(*model, control);
  }
  {
    std::lock_guard<std::mutex> hold(typing_lock_);
    for (const auto& entry : typed) typing_.erase(entry);
  }
  flush();
}

bool QtHost::holds_transcript(const ModelWindow& window) const {
  if (window.ended()) return false;
  std::lock_guard<std::mutex> hold(typing_lock_);
  auto at = typing_.lower_bound({window.handle(), 0});
  return at != typing_.end() && at->first == window.handle();
}

void QtHost::wait_for_user(ModelWindow& dialog) {
  sync_windows(dialog.handle());
  for (;;) {
    drain_wake();
    if (take_action(&dialog) || dispatch_posted() || fire_due_timers()) break;
    int wait = -1;
    if (auto due = next_timer_due()) {
      wait = static_cast<int>(std::clamp<int64_t>(static_cast<int64_t>(*due) - static_cast<int64_t>(now_ms()), 0, 60'000));
    }
    pollfd wake{wake_fd(), POLLIN, 0};
    ::poll(&wake, 1, wait);
  }
  if (dialog.ended()) commit_typing();
}

bool QtHost::take_window_action() {
  sync_windows(0);
  return take_action(nullptr);
}

void QtHost::window_closed(ModelWindow& window) {
  {
    std::lock_guard<std::mutex> hold(typing_lock_);
    std::erase_if(typing_, [&](const auto& entry) { return entry.first == window.handle(); });
  }
  {
    std::lock_guard<std::mutex> hold(sent_lock_);
    sent_views_.erase(window.handle());
  }
  {
    // What the user did to it meanwhile has nothing left to act on.
    std::lock_guard<std::mutex> hold(actions_lock_);
    taken_ += std::erase_if(actions_, [&](UserAction& action) {
      if (action.handle != window.handle()) return false;
      wipe(action.text);
      return true;
    });
  }
  send({}, 0, window.handle());
}

void QtHost::user_acted(UserAction action) {
  {
    std::lock_guard<std::mutex> hold(actions_lock_);
    actions_.push_back(std::move(action));
  }
  ++queued_;
  wake();
}

template <typename Answer>
Answer QtHost::ask_gui(std::function<void(std::function<void(Answer)>)> show) {
  commit_typing();
  sync_windows(0);
  auto answer = std::make_shared<std::promise<Answer>>();
  auto ready = answer->get_future();
  uint64_t taken = taken_.load();
  gui_.post([this, show, answer, taken] {
    acked_ = std::max(acked_, taken);
    show([this, answer](Answer given) {
      gui_.keep_exit_order();
      answer->set_value(std::move(given));
    });
    gui_.keep_exit_order();
  });
  return ready.get();
}

int QtHost::ask_message_box(const MessageBoxRequest& request) {
  const uint32_t owner = request.owner ? request.owner->handle() : 0;
  const QString text = qs(request.text);
  const QString caption = qs(request.caption);
  const uint32_t style = request.style;
  return ask_gui<int>([this, owner, text, caption, style](std::function<void(int)> done) {
    auto* box = new QMessageBox(box_icon(style), caption, text, QMessageBox::NoButton, widget_of(owner));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality((style & (kMbTaskModal | kMbSystemModal)) ? Qt::ApplicationModal
                           : owner                                    ? Qt::WindowModal
                                                                      : Qt::NonModal);
    std::map<QAbstractButton*, int> ids;
    for (int id : message_box_buttons(style)) {
      QPushButton* button = box->addButton(button_text(id), id == kIdCancel || id == kIdNo || id == kIdAbort
                                                                 ? QMessageBox::RejectRole
                                                                 : QMessageBox::AcceptRole);
      ids[button] = id;
      button->setProperty(kButtonIdProperty, id);
      if (id == message_box_default(style)) box->setDefaultButton(button);
      if (id == message_box_escape(style)) box->setEscapeButton(button);
    }
    const int escape = message_box_escape(style);
    QObject::connect(box, &QMessageBox::finished, box, [box, ids, escape, done] {
      auto chosen = ids.find(box->clickedButton());
      done(chosen == ids.end() ? escape : chosen->second);
    });
    if (style & kMbTopmost) box->setWindowFlag(Qt::WindowStaysOnTopHint);
    open_box_ = box;
    open_box_text_ = text.toStdString();
    box->show();  // open() would make it modal to the whole application
    if (style & (kMbSetForeground | kMbTopmost | kMbSystemModal)) {
      box->raise();
      box->activateWindow();
    }
  });
}

std::optional<std::string> QtHost::ask_path(ChooserKind kind, const ChooserOptions& options) {
  const uint32_t owner = options.owner ? options.owner->handle() : 0;
  ChooserOptions copy = options;
  copy.owner = nullptr;
  return ask_gui<std::optional<std::string>>(
      [this, kind, copy, owner](std::function<void(std::optional<std::string>)> done) {
        auto* chooser = new QFileDialog(widget_of(owner), qs(copy.title));
        chooser->setAttribute(Qt::WA_DeleteOnClose);
        chooser->setOption(QFileDialog::DontUseNativeDialog);
        switch (kind) {
          case ChooserKind::Folder:
            chooser->setFileMode(QFileDialog::Directory);
            chooser->setOption(QFileDialog::ShowDirsOnly);
            break;
          case ChooserKind::OpenFile: chooser->setFileMode(QFileDialog::ExistingFile); break;
          case ChooserKind::SaveFile:
            chooser->setAcceptMode(QFileDialog::AcceptSave);
            chooser->setFileMode(QFileDialog::AnyFile);
            if (!copy.default_extension.empty()) chooser->setDefaultSuffix(qs(copy.default_extension));
            if (!copy.overwrite_prompt) chooser->setOption(QFileDialog::DontConfirmOverwrite);
            break;
        }
        if (!copy.filter.empty()) chooser->setNameFilter(name_filters(copy.filter));
        if (!copy.initial.empty()) {
          QFileInfo initial(qs(copy.initial));
          if (initial.isDir()) {
            chooser->setDirectory(initial.absoluteFilePath());
          } else {
            chooser->setDirectory(initial.absolutePath());
            chooser->selectFile(initial.fileName());
          }
        }
        QObject::connect(chooser, &QFileDialog::finished, chooser, [chooser, done](int result) {
          QStringList chosen = chooser->selectedFiles();
          if (result == QDialog::Accepted && !chosen.isEmpty()) {
            done(chosen.first().toStdString());
          } else {
            done(std::nullopt);
          }
        });
        open_chooser_ = chooser;
        open_chooser_title_ = copy.title;
        chooser->setWindowModality(owner ? Qt::WindowModal : Qt::NonModal);
        chooser->show();
      });
}

uint32_t QtHost::ask_menu(const std::vector<MenuItem>& items, uint32_t default_command) {
  return ask_gui<uint32_t>([this, items, default_command](std::function<void(uint32_t)> done) {
    auto* menu = new QMenu();
    open_menu_ = menu;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    add_menu_items(menu, items, default_command);
    auto chosen = std::make_shared<uint32_t>(0);
    QObject::connect(menu, &QMenu::triggered, menu, [chosen](QAction* action) { *chosen = action->data().toUInt(); });
    // Hidden comes before triggered: answer once the event loop is back.
    QObject::connect(menu, &QMenu::aboutToHide, menu,
                     [chosen, done] { QTimer::singleShot(0, [chosen, done] { done(*chosen); }); });
    menu->popup(QCursor::pos());
  });
}

std::unique_ptr<TrayIcon> QtHost::do_add_tray_icon(uint32_t icon, std::string_view tooltip, TrayHandler* handler) {
  bool available = gui_.call<bool>([] { return QSystemTrayIcon::isSystemTrayAvailable(); });
  if (!available) {
    std::fprintf(stderr, "zyp ui: the desktop has no notification area; the tray icon is not shown\n");
    return nullptr;
  }
  auto recorder = ModelHost::do_add_tray_icon(icon, tooltip, handler);
  const QString text = qs(tooltip);
  const auto thread = std::this_thread::get_id();
  QSystemTrayIcon* widget = gui_.call<QSystemTrayIcon*>([this, text, handler, thread] {
    auto* tray = new QSystemTrayIcon(QApplication::style()->standardIcon(QStyle::SP_DriveHDIcon));
    tray->setToolTip(text);
    if (handler) {
      QObject::connect(tray, &QSystemTrayIcon::activated, tray, [this, handler, thread](auto reason) {
        TrayEvent event = reason == QSystemTrayIcon::DoubleClick ? TrayEvent::LeftDoubleClick
                          : reason == QSystemTrayIcon::Context   ? TrayEvent::RightClick
                                                                 : TrayEvent::LeftClick;
        {
          std::lock_guard<std::mutex> hold(actions_lock_);
          tray_events_.push_back({thread, handler, event});
        }
        wake();
      });
    }
    tray->show();
    return tray;
  });
  return std::make_unique<QtTrayIcon>(*this, std::move(recorder), widget, handler);
}

void QtHost::forget_tray_events(TrayHandler* handler) {
  std::lock_guard<std::mutex> hold(actions_lock_);
  std::erase_if(tray_events_, [&](const TrayEventEntry& entry) { return entry.handler == handler; });
}

bool QtHost::deliver_tray_event() {
  std::optional<TrayEventEntry> entry;
  {
    std::lock_guard<std::mutex> hold(actions_lock_);
    auto it = std::find_if(tray_events_.begin(), tray_events_.end(),
                           [](const TrayEventEntry& e) { return e.thread == std::this_thread::get_id(); });
    if (it == tray_events_.end()) return false;
    entry = *it;
    tray_events_.erase(it);
  }
  entry->handler->on_tray_event(entry->event);
  return true;
}

void QtHost::do_set_wait_cursor(bool waiting) {
  ModelHost::do_set_wait_cursor(waiting);
  gui_.post([waiting] {
    if (waiting) {
      QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
      QApplication::restoreOverrideCursor();
    }
  });
}

void QtHost::ring() {
  gui_.post([] { QApplication::beep(); });
}

ScreenRect QtHost::do_screen() const {
  return gui_.call<ScreenRect>([] {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return ScreenRect{0, 0, 1024, 768};
    QRect area = screen->geometry();
    return ScreenRect{area.x(), area.y(), area.width(), area.height()};
  });
}

// -- the toolkit's thread -----------------------------------------------------

QWidget* QtHost::widget_of(uint32_t handle) const {
  auto found = widgets_.find(handle);
  return found == widgets_.end() ? nullptr : found->second.data();
}

void QtHost::show_views(std::vector<WindowView> views, std::thread::id thread, uint32_t waiting, uint32_t closed,
                        uint64_t taken) {
  acked_ = std::max(acked_, taken);
  waiting_[thread] = waiting;
  if (closed) {
    if (auto found = widgets_.find(closed); found != widgets_.end()) {
      delete found->second.data();
      widgets_.erase(found);
      gui_.keep_exit_order();
    }
  }
  for (WindowView& view : views) {
    view.settled = acked_ == queued_.load();
    auto found = widgets_.find(view.handle);
    DialogWindow* widget = found == widgets_.end() ? nullptr : found->second.data();
    if (!widget) {
      if (!view.on_screen) continue;  // made once it is first shown
      QWidget* parent = widget_of(view.owner);
      if (view.role == WindowRole::Child && !parent) continue;
      widget = new DialogWindow(view, parent, [this](UserAction action) { user_acted(std::move(action)); });
      if (view.role == WindowRole::Child) {
        widget->move(view.rect.x * 4 / 6, view.rect.y * 8 / 13);
      }
      widgets_[view.handle] = widget;
      widget->update_from(view);
      gui_.keep_exit_order();
      continue;
    }
    widget->update_from(view);
  }
}

uint32_t QtHost::waiting_dialog() const {
  for (const auto& [thread, handle] : waiting_) {
    if (handle) return handle;
  }
  return 0;
}

}  // namespace zyp::platform::ui::qt

// ---------------------------------------------------------------------------

extern "C" __attribute__((visibility("default"))) zyp::platform::ui::Host* zyp_ui_make_qt_host(const char* transcript,
                                                                                               char* why,
                                                                                               size_t why_size) {
  using namespace zyp::platform::ui;
  std::string reason;
  Host* made = zyp::platform::guarded<Host*>(nullptr, [&]() -> Host* {
    qt::Gui* gui = qt::Gui::instance(reason);
    if (!gui) return nullptr;
    return new qt::QtHost(*gui, transcript ? transcript : "");
  });
  if (!made && why && why_size > 0) std::snprintf(why, why_size, "%s", reason.c_str());
  return made;
}
