#include "platform/ui/qt/qt_widgets.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSignalBlocker>
#include <QTabBar>
#include <QTreeWidget>

namespace zyp::platform::ui::qt {
namespace {

using detail::Control;
using detail::WindowRole;
using Kind = UserAction::Kind;

QString qs(const std::string& text) { return QString::fromStdString(text); }

// A static shows '&' as Windows does: "&&" is one '&', a single '&' marks an
// access key and is not shown.
QString static_text(const std::string& text) { return qs(detail::plain(text)); }

Qt::Alignment column_alignment(ColumnAlign align) {
  switch (align) {
    case ColumnAlign::Right: return Qt::AlignRight | Qt::AlignVCenter;
    case ColumnAlign::Center: return Qt::AlignCenter;
    default: return Qt::AlignLeft | Qt::AlignVCenter;
  }
}

bool same_items(const Control& a, const Control& b) {
  if (a.items.size() != b.items.size() || a.columns.size() != b.columns.size()) return false;
  for (size_t i = 0; i < a.items.size(); ++i) {
    if (a.items[i].texts != b.items[i].texts) return false;
  }
  for (size_t i = 0; i < a.columns.size(); ++i) {
    if (a.columns[i].header != b.columns[i].header || a.columns[i].width != b.columns[i].width) return false;
  }
  return true;
}

int first_selected(const Control& c) {
  for (size_t i = 0; i < c.items.size(); ++i) {
    if (c.items[i].selected) return static_cast<int>(i);
  }
  return -1;
}

void show_picture(QLabel* label, const std::string& file) {
  QPixmap picture = file.empty() ? QPixmap() : load_picture(file);
  if (picture.isNull()) {
    label->clear();
    return;
  }
  if (picture.width() > label->width() || picture.height() > label->height()) {
    picture = picture.scaled(label->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
  }
  label->setPixmap(picture);
}

// A one-line static too narrow for its text (a long path) shows its start
// and end with an ellipsis between, and the whole text as its tooltip.
void show_static(QLabel* label, const std::string& text) {
  const QString full = static_text(text);
  if (label->wordWrap()) {
    label->setText(full);
    return;
  }
  const QString shown = label->fontMetrics().elidedText(full, Qt::ElideMiddle, label->width());
  label->setText(shown);
  label->setToolTip(shown == full ? QString() : full);
}

}  // namespace

QPixmap load_picture(const std::string& file) {
  QImage image(qs(file));
  if (image.isNull()) return {};
  QPixmap picture = QPixmap::fromImage(image);
  // The suite's bitmaps are drawn with white as the transparent colour.
  picture.setMask(picture.createMaskFromColor(Qt::white));
  return picture;
}

DialogWindow::DialogWindow(const WindowView& view, QWidget* parent, ActionSink sink)
    : QDialog(parent, view.role == WindowRole::Child ? Qt::Widget : Qt::Dialog),
      handle_(view.handle),
      key_(view.key),
      role_(view.role),
      sink_(std::move(sink)) {
  QFontMetrics metrics(font());
  // Dialog units follow the dialog font: 4 horizontal units are the average
  // letter width, 8 vertical units the line height.
  base_x_ = (metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")) / 26 + 1) / 2;
  base_y_ = metrics.height();
  // As on Windows, a modal dialog blocks its owner only: the windows of
  // other threads, and its thread's windows without an owner, stay usable.
  if (view.role == WindowRole::Modal && parent) setWindowModality(Qt::WindowModal);
  setSizeGripEnabled(false);
  build(view);
}

QRect DialogWindow::to_pixels(const Rect& units) const {
  return QRect(units.x * base_x_ / 4, units.y * base_y_ / 8, units.width * base_x_ / 4, units.height * base_y_ / 8);
}

QWidget* DialogWindow::control_widget(uint32_t control) const {
  QWidget* found = nullptr;
  for (const Slot& slot : slots_) {
    if (slot.shown.id != control) continue;
    if (found) return nullptr;
    found = slot.widget;
  }
  return found;
}

ControlKind DialogWindow::control_kind(uint32_t control) const {
  for (const Slot& slot : slots_) {
    if (slot.shown.id == control) return slot.shown.kind;
  }
  return ControlKind::Static;
}

void DialogWindow::act(UserAction::Kind kind, uint32_t control, std::string text, int64_t number) {
  UserAction action;
  action.handle = handle_;
  action.kind = kind;
  action.control = control;
  action.text = std::move(text);
  action.number = number;
  sink_(std::move(action));
}

void DialogWindow::reject() { act(Kind::Cancel, kCancelCommand, {}, 0); }

void DialogWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  reject();
}

QWidget* DialogWindow::make_widget(const Control& c) {
  const uint32_t id = c.id;
  switch (c.kind) {
    case ControlKind::Static: {
      auto* label = new QLabel(this);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      label->setWordWrap(c.position.height > 12);
      return label;
    }
    case ControlKind::Edit: {
      if (c.has(kStyleMultiline)) {
        auto* edit = new QPlainTextEdit(this);
        edit->setReadOnly(c.has(kStyleReadOnly));
        connect(edit, &QPlainTextEdit::textChanged, this,
                [this, id, edit] { act(Kind::Type, id, edit->toPlainText().toStdString(), 0); });
        return edit;
      }
      auto* edit = new QLineEdit(this);
      if (c.is_password()) edit->setEchoMode(QLineEdit::Password);
      if (c.has(kStyleNumber)) {
        edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
      }
      edit->setReadOnly(c.has(kStyleReadOnly));
      connect(edit, &QLineEdit::textEdited, this,
              [this, id](const QString& text) { act(Kind::Type, id, text.toStdString(), 0); });
      return edit;
    }
    case ControlKind::Button: {
      auto* button = new QPushButton(this);
      button->setDefault(c.has(kStyleDefault));
      button->setAutoDefault(c.has(kStyleDefault));
      connect(button, &QPushButton::clicked, this, [this, id] { act(Kind::Click, id, {}, 0); });
      return button;
    }
    case ControlKind::Check:
    case ControlKind::Radio: {
      QAbstractButton* box = c.kind == ControlKind::Check ? static_cast<QAbstractButton*>(new QCheckBox(this))
                                                          : new QRadioButton(this);
      // The model clears the radio buttons next to a chosen one.
      box->setAutoExclusive(false);
      const bool radio = c.kind == ControlKind::Radio;
      connect(box, &QAbstractButton::clicked, this, [this, id, radio](bool on) {
        auto named = reported_as_.find(id);
        Kind kind = named == reported_as_.end() ? Kind::Check : named->second;
        if (named != reported_as_.end()) reported_as_.erase(named);
        act(kind, id, {}, radio || on ? 1 : 0);
      });
      return box;
    }
    case ControlKind::Group: return new QGroupBox(this);
    case ControlKind::Combo: {
      auto* combo = new QComboBox(this);
      connect(combo, &QComboBox::activated, this, [this, id](int index) { act(Kind::Select, id, {}, index); });
      return combo;
    }
    case ControlKind::List: {
      auto* list = new QListWidget(this);
      connect(list, &QListWidget::currentRowChanged, this, [this, id](int row) {
        if (row >= 0) act(Kind::Select, id, {}, row);
      });
      return list;
    }
    case ControlKind::ListView: {
      auto* view = new QTreeWidget(this);
      view->setRootIsDecorated(false);
      view->setSelectionMode(QAbstractItemView::SingleSelection);
      connect(view, &QTreeWidget::currentItemChanged, this, [this, id, view](QTreeWidgetItem* item) {
        int row = item ? view->indexOfTopLevelItem(item) : -1;
        if (row >= 0) act(Kind::Select, id, {}, row);
      });
      return view;
    }
    case ControlKind::Tab: {
      auto* tabs = new QTabBar(this);
      tabs->setExpanding(false);
      connect(tabs, &QTabBar::currentChanged, this, [this, id](int index) {
        if (index >= 0) act(Kind::Select, id, {}, index);
      });
      return tabs;
    }
    case ControlKind::Progress: {
      auto* bar = new QProgressBar(this);
      bar->setRange(0, 100);
      return bar;
    }
    case ControlKind::Picture:
    case ControlKind::Icon: {
      // Pictures keep their own size, at the area's top left corner.
      auto* label = new QLabel(this);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      return label;
    }
  }
  return new QWidget(this);
}

void DialogWindow::build(const WindowView& view) {
  QSize size(view.width_units * base_x_ / 4, view.height_units * base_y_ / 8);
  if (role_ == WindowRole::Child) {
    resize(size);
  } else {
    setFixedSize(size);
  }
  backdrop_ = new QLabel(this);
  backdrop_->setGeometry(QRect(QPoint(0, 0), size));
  backdrop_->lower();
  slots_.reserve(view.controls.size());
  for (const Control& control : view.controls) {
    Slot slot;
    slot.widget = make_widget(control);
    QRect place = to_pixels(control.position);
    // A combo box's template height includes its drop-down list.
    if (control.kind == ControlKind::Combo) place.setHeight(slot.widget->sizeHint().height());
    slot.widget->setGeometry(place);
    if (control.kind == ControlKind::Group) slot.widget->lower();
    slots_.push_back(std::move(slot));
  }
  backdrop_->lower();
  for (size_t i = 0; i < slots_.size(); ++i) update_control(slots_[i], view.controls[i], true);
}

void DialogWindow::update_from(const WindowView& view) {
  setWindowTitle(qs(view.caption));
  if (view.picture != backdrop_picture_) {
    backdrop_picture_ = view.picture;
    show_picture(static_cast<QLabel*>(backdrop_), view.picture);
  }
  settled_ = view.settled;
  for (size_t i = 0; i < slots_.size() && i < view.controls.size(); ++i) {
    update_control(slots_[i], view.controls[i], false);
  }
  if (view.focus != focus_) {
    focus_ = view.focus;
    if (QWidget* widget = control_widget(view.focus)) widget->setFocus(Qt::OtherFocusReason);
  }
  if (!view.on_screen) {
    hide();
    return;
  }
  if (!isVisible()) {
    if (!shown_once_ && role_ != WindowRole::Child) {
      // Centred over the owner, or on the desktop without one.
      QWidget* over = parentWidget();
      QRect area = over ? over->geometry() : screen()->availableGeometry();
      move(area.center() - QPoint(width() / 2, height() / 2));
    }
    shown_once_ = true;
    show();
    if (role_ != WindowRole::Child) {
      raise();
      activateWindow();
    }
  }
}

void DialogWindow::update_control(Slot& slot, const Control& c, bool first) {
  QWidget* widget = slot.widget;
  const Control& was = slot.shown;
  QSignalBlocker quiet(widget);
  if (first || was.enabled != c.enabled) widget->setEnabled(c.enabled);
  if (first || was.visible != c.visible) widget->setVisible(c.visible);
  const bool text_changed = first || was.text != c.text;
  const bool items_changed = first || !same_items(was, c);
  switch (c.kind) {
    case ControlKind::Static:
      if (text_changed) show_static(static_cast<QLabel*>(widget), c.text);
      break;
    case ControlKind::Edit:
      if (first || was.limit != c.limit) {
        if (auto* edit = qobject_cast<QLineEdit*>(widget)) edit->setMaxLength(c.limit ? int(c.limit) : 32767);
      }
      if (!settled_) break;
      if (auto* edit = qobject_cast<QLineEdit*>(widget); edit && c.is_password()) {
        if (c.text.empty() && !edit->text().isEmpty()) edit->clear();
      } else if (edit) {
        if (edit->text() != qs(c.text)) edit->setText(qs(c.text));
      } else if (auto* lines = qobject_cast<QPlainTextEdit*>(widget)) {
        if (lines->toPlainText() != qs(c.text)) lines->setPlainText(qs(c.text));
      }
      break;
    case ControlKind::Button:
    case ControlKind::Check:
    case ControlKind::Radio: {
      auto* button = static_cast<QAbstractButton*>(widget);
      if (text_changed) button->setText(qs(c.text));
      if (c.kind != ControlKind::Button) button->setChecked(c.checked);
      break;
    }
    case ControlKind::Group:
      if (text_changed) static_cast<QGroupBox*>(widget)->setTitle(static_text(c.text));
      break;
    case ControlKind::Combo: {
      auto* combo = static_cast<QComboBox*>(widget);
      if (items_changed) {
        combo->clear();
        for (const auto& item : c.items) combo->addItem(qs(item.texts[0]));
      }
      combo->setCurrentIndex(first_selected(c));
      break;
    }
    case ControlKind::List: {
      auto* list = static_cast<QListWidget*>(widget);
      if (items_changed) {
        list->clear();
        for (const auto& item : c.items) list->addItem(qs(item.texts[0]));
      }
      for (size_t i = 0; i < c.items.size(); ++i) list->item(int(i))->setSelected(c.items[i].selected);
      list->setCurrentRow(first_selected(c), QItemSelectionModel::NoUpdate);
      break;
    }
    case ControlKind::ListView: {
      auto* view = static_cast<QTreeWidget*>(widget);
      if (items_changed) {
        view->clear();
        int columns = std::max<int>(1, int(c.columns.size()));
        view->setColumnCount(columns);
        view->setHeaderHidden(c.columns.empty());
        QStringList headers;
        for (const auto& column : c.columns) headers << qs(column.header);
        view->setHeaderLabels(headers);
        QFontMetrics metrics(view->font());
        for (size_t i = 0; i < c.columns.size(); ++i) {
          view->setColumnWidth(int(i), c.columns[i].width * metrics.averageCharWidth() + 12);
          view->headerItem()->setTextAlignment(int(i), column_alignment(c.columns[i].align));
        }
        for (const auto& item : c.items) {
          auto* row = new QTreeWidgetItem(view);
          for (size_t col = 0; col < item.texts.size() && int(col) < columns; ++col) {
            row->setText(int(col), qs(item.texts[col]));
            if (col < c.columns.size()) row->setTextAlignment(int(col), column_alignment(c.columns[col].align));
          }
        }
      }
      for (size_t i = 0; i < c.items.size(); ++i) view->topLevelItem(int(i))->setSelected(c.items[i].selected);
      break;
    }
    case ControlKind::Tab: {
      auto* tabs = static_cast<QTabBar*>(widget);
      if (items_changed) {
        while (tabs->count() > 0) tabs->removeTab(0);
        for (const auto& item : c.items) tabs->addTab(static_text(item.texts[0]));
      }
      tabs->setCurrentIndex(first_selected(c));
      break;
    }
    case ControlKind::Progress:
      static_cast<QProgressBar*>(widget)->setValue(c.percent);
      break;
    case ControlKind::Picture:
    case ControlKind::Icon:
      if (first || was.picture != c.picture) show_picture(static_cast<QLabel*>(widget), c.picture);
      break;
  }
  slot.shown = c;
}

}  // namespace zyp::platform::ui::qt
