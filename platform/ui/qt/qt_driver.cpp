#include "platform/ui/qt/qt_driver.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTabBar>
#include <QTest>
#include <QTreeWidget>

#include "platform/ui/qt/qt_host.h"
#include "platform/ui/transcript.h"

namespace zyp::platform::ui::qt {
namespace {

using detail::ScriptAction;
using Verb = ScriptAction::Verb;

constexpr int kStepMs = 20;

std::string line_of(const ScriptAction& action) {
  return "line " + std::to_string(action.line) + " " + detail::quote(action.source);
}

void click(QWidget* widget, QPoint at = QPoint()) { QTest::mouseClick(widget, Qt::LeftButton, Qt::NoModifier, at); }

}  // namespace

Driver::Driver(QtHost& host, std::string script, std::string snapshots)
    : host_(host), cursor_(std::move(script)), snapshots_(std::move(snapshots)) {
  if (!snapshots_.empty()) QDir().mkpath(QString::fromStdString(snapshots_));
  timer_.setInterval(kStepMs);
  QObject::connect(&timer_, &QTimer::timeout, [this] { step(); });
  timer_.start();
}

Driver::~Driver() = default;

DialogWindow* Driver::shown_dialog(const std::string& key) const {
  DialogWindow* found = nullptr;
  const uint32_t waiting = host_.waiting_dialog();
  for (const auto& [handle, widget] : host_.widgets_) {
    if (!widget || widget->key() != key || !widget->isVisible()) continue;
    if (handle == waiting) return widget.data();
    found = widget.data();
  }
  return found;
}

bool Driver::fits(const ScriptAction& action) const {
  const bool box = host_.open_box_;
  const bool chooser = host_.open_chooser_;
  switch (action.verb) {
    case Verb::Invalid: return box || chooser || host_.waiting_dialog() != 0;
    case Verb::MsgBox: return box;
    case Verb::Browse: return chooser;
    default: return !box && !chooser && shown_dialog(action.dialog) != nullptr;
  }
}

void Driver::step() {
  if (!host_.settled()) return;  // the last action is not handled yet
  if (host_.open_menu_ && host_.open_menu_->isVisible()) {
    // Scripts have no menu action: a popup menu is dismissed, as with the
    // script backend.
    QTest::keyClick(host_.open_menu_, Qt::Key_Escape);
    return;
  }
  bool took = false;
  std::string problem;
  auto action = cursor_.next(
      [&](const ScriptAction& next) {
        took = fits(next);
        return took;
      },
      &problem);
  std::string what;
  if (host_.open_box_) {
    what = "msgbox " + detail::quote(host_.open_box_text_);
  } else if (host_.open_chooser_) {
    what = "browse " + detail::quote(host_.open_chooser_title_);
  } else if (uint32_t waiting = host_.waiting_dialog()) {
    DialogWindow* window = host_.widgets_.count(waiting) ? host_.widgets_.at(waiting).data() : nullptr;
    what = "dialog " + (window ? detail::dialog_name(window->key()) : std::to_string(waiting));
  }
  if (action && took) {
    if (action->verb == Verb::Invalid) {
      escape(what, line_of(*action) + ": " + action->error);
    } else if (action->verb == Verb::MsgBox) {
      std::string refused = answer_box(*action);
      if (!refused.empty()) escape(what, line_of(*action) + ": " + refused);
    } else if (action->verb == Verb::Browse) {
      answer_chooser(*action);
    } else if (DialogWindow* window = shown_dialog(action->dialog)) {
      std::string refused = perform(*window, *action);
      if (!refused.empty()) close_dialog(*window, line_of(*action) + ": " + refused);
    }
    return;
  }
  if (what.empty()) return;  // nothing waits: the line is for something still to come
  std::string reason;
  if (!action) {
    reason = problem.empty() ? "the script has ended" : problem;
  } else {
    reason = line_of(*action) + (host_.open_box_       ? " is not for a message box"
                                 : host_.open_chooser_ ? " is not for a chooser"
                                                       : " is not for this dialog");
  }
  escape(what, reason);
}

void Driver::escape(const std::string& what, const std::string& reason) {
  QWidget* waiting = host_.open_box_ ? static_cast<QWidget*>(host_.open_box_.data())
                     : host_.open_chooser_ ? static_cast<QWidget*>(host_.open_chooser_.data())
                                           : nullptr;
  if (waiting) {
    // The box's thread waits for it and has recorded all before it.
    host_.record_mismatch(what, reason);
    QTest::keyClick(waiting, Qt::Key_Escape);
  } else if (auto* dialog = dynamic_cast<DialogWindow*>(host_.widget_of(host_.waiting_dialog()))) {
    close_dialog(*dialog, reason);
  }
}

void Driver::close_dialog(DialogWindow& dialog, const std::string& reason) {
  UserAction note;
  note.handle = dialog.handle();
  note.kind = UserAction::Kind::Mismatch;
  note.text = "dialog " + detail::dialog_name(dialog.key());
  note.reason = reason;
  host_.user_acted(std::move(note));
  QTest::keyClick(&dialog, Qt::Key_Escape);
}

void Driver::snapshot(QWidget* widget, const std::string& name) {
  if (snapshots_.empty()) return;
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%02d-", ++snapshot_count_);
  // The window with a plain title bar that shows its caption, as a desktop
  // would frame it.
  QPixmap content = widget->grab();
  QFontMetrics metrics(widget->font());
  const int bar = metrics.height() + 10;
  QImage framed(content.width() + 2, content.height() + bar + 1, QImage::Format_RGB32);
  framed.fill(QColor(0x50, 0x5a, 0x68));
  QPainter painter(&framed);
  painter.setFont(widget->font());
  painter.setPen(Qt::white);
  painter.drawText(QRect(8, 0, framed.width() - 16, bar), Qt::AlignVCenter | Qt::AlignLeft, widget->windowTitle());
  painter.drawPixmap(1, bar, content);
  painter.end();
  framed.save(QString::fromStdString(snapshots_ + "/" + prefix + name + ".png"));
}

std::string Driver::answer_box(const ScriptAction& action) {
  QMessageBox* box = host_.open_box_;
  snapshot(box, "msgbox");
  for (QAbstractButton* button : box->buttons()) {
    if (button->property(kButtonIdProperty).toInt() == action.number) {
      click(button);
      return {};
    }
  }
  return "the box has no button " + std::to_string(action.number);
}

void Driver::answer_chooser(const ScriptAction& action) {
  QFileDialog* chooser = host_.open_chooser_;
  if (action.cancel) {
    QTest::keyClick(chooser, Qt::Key_Escape);
    return;
  }
  auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  QFileInfo chosen(QString::fromStdString(action.text));
  chooser->setDirectory(chosen.absolutePath());
  if (name) {
    name->setFocus();
    name->clear();
    QTest::keyClicks(name, chosen.fileName());
  }
  chooser->selectFile(chosen.absoluteFilePath());
  static_cast<QDialog*>(chooser)->accept();
}

std::string Driver::perform(DialogWindow& window, const ScriptAction& action) {
  if (!snapped_.count(window.handle())) {
    snapped_.insert(window.handle());
    snapshot(&window, "dialog-" + detail::dialog_name(window.key()));
  }
  if (action.verb == Verb::Tick) return {};  // real windows run their timers on the real clock
  const std::string id = std::to_string(action.control);
  QWidget* widget = window.control_widget(action.control);
  if (!widget) return "dialog " + detail::dialog_name(window.key()) + " has no control " + id;
  if (!widget->isVisible()) return "control " + id + " is hidden";
  if (!widget->isEnabled()) return "control " + id + " is disabled";
  const ControlKind kind = window.control_kind(action.control);
  switch (action.verb) {
    case Verb::Set: {
      if (kind != ControlKind::Edit) return "control " + id + " is not an edit";
      const QString text = QString::fromStdString(action.text);
      if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        if (edit->isReadOnly()) return "control " + id + " is read-only";
        edit->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        if (text.isEmpty()) {
          if (!edit->text().isEmpty()) QTest::keyClick(edit, Qt::Key_Backspace);
        } else {
          QTest::keyClicks(edit, text);
        }
      } else if (auto* lines = qobject_cast<QPlainTextEdit*>(widget)) {
        if (lines->isReadOnly()) return "control " + id + " is read-only";
        lines->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(lines, Qt::Key_A, Qt::ControlModifier);
        if (text.isEmpty()) {
          QTest::keyClick(lines, Qt::Key_Backspace);
        } else {
          QTest::keyClicks(lines, text);
        }
      }
      return {};
    }
    case Verb::Check: {
      auto* box = qobject_cast<QAbstractButton*>(widget);
      if (!box || (kind != ControlKind::Check && kind != ControlKind::Radio)) return "control " + id + " is not a check box";
      if (kind == ControlKind::Radio && action.number == 0) return "radio button " + id + " is cleared only by choosing another";
      if (box->isChecked() != (action.number != 0)) {
        click(box);
      } else {
        // Seen already so: the user confirms it, which the handler hears of
        // as with the other backends.
        UserAction confirm;
        confirm.handle = window.handle();
        confirm.kind = UserAction::Kind::Check;
        confirm.control = action.control;
        confirm.number = action.number;
        host_.user_acted(std::move(confirm));
      }
      return {};
    }
    case Verb::Select: {
      const int index = static_cast<int>(action.number);
      auto missing = [&](int count) {
        return "control " + id + " has no item " + std::to_string(action.number) + " (it has " + std::to_string(count) + ")";
      };
      if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        if (index >= combo->count()) return missing(combo->count());
        combo->showPopup();
        QAbstractItemView* view = combo->view();
        QModelIndex item = view->model()->index(index, 0);
        view->scrollTo(item);
        click(view->viewport(), view->visualRect(item).center());
        if (view->isVisible()) combo->hidePopup();
      } else if (auto* list = qobject_cast<QListWidget*>(widget)) {
        if (index >= list->count()) return missing(list->count());
        list->scrollToItem(list->item(index));
        click(list->viewport(), list->visualItemRect(list->item(index)).center());
      } else if (auto* tree = qobject_cast<QTreeWidget*>(widget)) {
        if (index >= tree->topLevelItemCount()) return missing(tree->topLevelItemCount());
        tree->scrollToItem(tree->topLevelItem(index));
        click(tree->viewport(), tree->visualItemRect(tree->topLevelItem(index)).center());
      } else if (auto* tabs = qobject_cast<QTabBar*>(widget)) {
        if (index >= tabs->count()) return missing(tabs->count());
        click(tabs, tabs->tabRect(index).center());
      } else {
        return "control " + id + " has no items to choose from";
      }
      return {};
    }
    case Verb::Click: {
      auto* button = qobject_cast<QAbstractButton*>(widget);
      if (!button) return "control " + id + " cannot be clicked";
      if (kind != ControlKind::Button) window.report_next_as(action.control, UserAction::Kind::Click);
      click(button);
      return {};
    }
    default: return "not a dialog action";
  }
}

}  // namespace zyp::platform::ui::qt
